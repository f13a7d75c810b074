// Loading a long external subtitle into a playing clip: the longest pause of
// the event loop (a 5 ms timer, while the position, length and buffered
// ranges are read as the main window does) and the time until the subtitle
// is selected,
// for 1, 5, 12 and 19 MB of SRT text, also with a pause, a play, a seek and a
// volume change during the load. The engine wrapper loads in the
// background; the anchor is the same file added with a blocking mpv_command
// on a second mpv handle that plays the same clip. Rounds interleaved,
// medians of 3. The anchor's one setting that changes a load, the character
// set (guessed, or named as UTF-8 so that no guess runs), is tried both ways
// on the longest file in a warm-up and the quicker is kept.
//
// usage: bench_subtitleload [--smoke]   (smoke: a 1 MB subtitle, one round)
#include "benchtools.h"
#include "mediaserver.h"
#include "player/aplayercontrol.h"
#include "player/mpvengine.h"
#include "testdir.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <mpv/client.h>

#include <algorithm>
#include <clocale>
#include <cstdio>

namespace {
int Rounds = 3;
const char *const AnchorCodepages[] = { "auto", "utf-8" };

struct Figures
{
    double stallMs;
    double loadMs;
};

Figures wrapperRun(APlayerControl &control, const QString &path)
{
    control.setSubtitleFile(QString());
    QElapsedTimer clock;
    StallWatch stalls;
    clock.start();
    control.setSubtitleFile(path);
    // The readings the main window and its progress bar take every second,
    // taken here on every turn.
    while (control.subtitleFile() != path && clock.elapsed() < 120000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        control.position();
        control.duration();
        control.engine()->bufferedRanges();
    }
    if (control.subtitleFile() != path)
        return { -1, -1 };
    return { double(stalls.longestMs()), clock.nsecsElapsed() / 1e6 };
}

// The same load while the user pauses, plays, seeks and turns the volume
// down, one action every 150 ms as the main window would pass them on.
Figures actionsRun(APlayerControl &control, const QString &path)
{
    control.setSubtitleFile(QString());
    QElapsedTimer clock;
    StallWatch stalls;
    clock.start();
    control.setSubtitleFile(path);
    int step = 0;
    while (control.subtitleFile() != path && clock.elapsed() < 120000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        control.position();
        control.duration();
        if (step < 4 && clock.elapsed() > 150 * (step + 1)) {
            switch (step++) {
            case 0:
                control.pause();
                break;
            case 1:
                control.play();
                break;
            case 2:
                control.setPosition(60000);
                break;
            default:
                control.setVolume(40);
                break;
            }
        }
    }
    if (control.subtitleFile() != path)
        return { -1, -1 };
    return { double(stalls.longestMs()), clock.nsecsElapsed() / 1e6 };
}

Figures blockingRun(mpv_handle *mpv, const QString &path)
{
    const char *remove[] = { "sub-remove", nullptr };
    mpv_command(mpv, remove);
    const QByteArray bytes = path.toUtf8();
    const char *add[] = { "sub-add", bytes.constData(), "select", nullptr };
    QElapsedTimer clock;
    StallWatch stalls;
    clock.start();
    const bool added = mpv_command(mpv, add) >= 0;
    const double loadMs = clock.nsecsElapsed() / 1e6;
    QCoreApplication::processEvents();
    if (!added)
        return { -1, -1 };
    return { double(stalls.longestMs()), loadMs };
}

bool playing(APlayerControl &control)
{
    QElapsedTimer clock;
    clock.start();
    while (control.state() != APlayerControl::Playing && clock.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return control.state() == APlayerControl::Playing;
}
} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const bool smoke = takeSmokeFlag(argc, argv);
    if (smoke)
        Rounds = 1;
    QApplication app(argc, argv);
    QTemporaryDir media;
    TestMedia::Options options;
    options.seconds = smoke ? 120 : 600;
    const QString file = TestMedia::makeVideo(media.path(), QStringLiteral("bench.mp4"), options);
    MediaServer server(file);
    if (file.isEmpty() || !server.start()) {
        std::fprintf(stderr, "cannot make or serve the test media\n");
        return 1;
    }

    const QList<int> sizes = smoke ? QList<int> { 1 } : QList<int> { 1, 5, 12, 19 };
    QStringList subtitles;
    for (int megabytes : sizes) {
        subtitles << media.filePath(QStringLiteral("long%1.srt").arg(megabytes));
        writeFileBytes(subtitles.last(), TestMedia::longSubtitle(megabytes << 20));
    }

    APlayerControl::setEngineFactory([] {
        return std::make_unique<MpvEngine>(MpvEngine::Options { { "ao", "null" } });
    });
    APlayerControl control;
    control.initialize(0);
    auto clip = QSharedPointer<VideoFileInfo>::create();
    clip->url = server.url();
    control.open(clip);

    std::setlocale(LC_NUMERIC, "C");
    mpv_handle *mpv = mpv_create();
    mpv_set_option_string(mpv, "vo", "null");
    mpv_set_option_string(mpv, "ao", "null");
    mpv_initialize(mpv);
    const QByteArray url = server.url().toUtf8();
    const char *load[] = { "loadfile", url.constData(), nullptr };
    mpv_command(mpv, load);
    if (!playing(control)) {
        std::fprintf(stderr, "the clip does not play\n");
        return 1;
    }
    // The anchor's clip plays too before anything is added to it.
    QElapsedTimer anchorClock;
    anchorClock.start();
    double position = -1;
    while (mpv_get_property(mpv, "time-pos", MPV_FORMAT_DOUBLE, &position) < 0
        && anchorClock.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QVector<double> trial;
    const int codepage = bestCandidate(
        int(std::size(AnchorCodepages)), smoke ? 1 : 2,
        [&](int i) {
            mpv_set_property_string(mpv, "sub-codepage", AnchorCodepages[i]);
            return blockingRun(mpv, subtitles.last()).loadMs;
        },
        &trial);
    if (codepage < 0) {
        std::fprintf(stderr, "mpv does not load the subtitle\n");
        return 1;
    }
    mpv_set_property_string(mpv, "sub-codepage", AnchorCodepages[codepage]);
    std::printf("anchor: sub-add with --sub-codepage=%s (warm-up: auto %.0f ms, utf-8 %.0f ms)\n\n",
        AnchorCodepages[codepage], trial.at(0), trial.at(1));
    bool failed = false;

    QVector<QVector<double>> wrapperStall(sizes.size()), wrapperLoad(sizes.size());
    QVector<QVector<double>> blockingStall(sizes.size()), blockingLoad(sizes.size());
    QVector<QVector<double>> actionsStall(sizes.size());
    for (int round = 0; round < Rounds; ++round) {
        for (int i = 0; i < sizes.size(); ++i) {
            const Figures wrapper = wrapperRun(control, subtitles.at(i));
            const Figures blocking = blockingRun(mpv, subtitles.at(i));
            const Figures actions = actionsRun(control, subtitles.at(i));
            if (wrapper.loadMs < 0 || blocking.loadMs < 0 || actions.loadMs < 0) {
                std::fprintf(stderr, "round %d: a %d MB load failed\n", round + 1, sizes.at(i));
                failed = true;
                continue;
            }
            actionsStall[i] << actions.stallMs;
            wrapperStall[i] << wrapper.stallMs;
            wrapperLoad[i] << wrapper.loadMs;
            blockingStall[i] << blocking.stallMs;
            blockingLoad[i] << blocking.loadMs;
        }
    }
    mpv_terminate_destroy(mpv);

    std::printf("subtitle  longest pause (ms)                     load until selected (ms)\n");
    std::printf("MB        engine  blocking  ratio  actions      engine  blocking  ratio\n");
    for (int i = 0; i < sizes.size(); ++i) {
        const double stall = median(wrapperStall.at(i));
        const double stallAnchor = median(blockingStall.at(i));
        const double loadTime = median(wrapperLoad.at(i));
        const double loadAnchor = median(blockingLoad.at(i));
        std::printf("%-8d %7.0f %9.0f %6.3f %8.0f  %11.0f %9.0f %6.2f\n", sizes.at(i), stall,
            stallAnchor, stall / stallAnchor, median(actionsStall.at(i)), loadTime, loadAnchor,
            loadTime / loadAnchor);
    }
    return failed ? 1 : 0;
}
