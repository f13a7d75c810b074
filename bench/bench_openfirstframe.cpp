// Open-to-first-frame on a local HTTP file: APlayerControl (open until
// onOpenSucceeded) beside a bare libmpv handle (loadfile until the first
// playback-restart) and the mpv program showing one frame.
//
// The anchors run with the quickest of mpv's plausible open settings: a
// warm-up opens the file with the defaults, without the cache, and without
// the cache and with a short stream analysis, in turns, and keeps the
// fastest for the bare handle and for the program alike.
//
// usage: bench_openfirstframe [--smoke]   (smoke: 2 runs, one warm-up try each)
#include "benchtools.h"
#include "mediaserver.h"
#include "player/aplayercontrol.h"
#include "player/mpvengine.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <mpv/client.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <functional>

namespace {
int Runs = 20;

// Open settings the anchors are tried with, as option and value pairs.
const QList<QList<QPair<QByteArray, QByteArray>>> OpenSettings = {
    {},
    { { "cache", "no" } },
    { { "cache", "no" }, { "demuxer-lavf-analyzeduration", "0.1" } },
};

QString settingsText(const QList<QPair<QByteArray, QByteArray>> &settings)
{
    QStringList options;
    for (const auto &option : settings)
        options << QStringLiteral("--%1=%2").arg(
            QString::fromLatin1(option.first), QString::fromLatin1(option.second));
    return options.isEmpty() ? QStringLiteral("(defaults)") : options.join(QLatin1Char(' '));
}

mpv_handle *bareHandle(const QList<QPair<QByteArray, QByteArray>> &settings)
{
    mpv_handle *mpv = mpv_create();
    mpv_set_option_string(mpv, "vo", "null");
    mpv_set_option_string(mpv, "ao", "null");
    mpv_set_option_string(mpv, "idle", "yes");
    mpv_set_option_string(mpv, "http-header-fields", "Cookie: k=v");
    for (const auto &option : settings)
        mpv_set_option_string(mpv, option.first.constData(), option.second.constData());
    mpv_initialize(mpv);
    return mpv;
}

struct Figures
{
    double median;
    double min;
    double max;
};

Figures figures(QVector<double> times)
{
    std::sort(times.begin(), times.end());
    const int n = times.size();
    return { (times.at((n - 1) / 2) + times.at(n / 2)) / 2, times.first(), times.last() };
}

bool waitFor(QObject *sender, const char *signal, int timeoutMs)
{
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, [&loop] { loop.exit(1); });
    QObject::connect(sender, signal, &loop, SLOT(quit()));
    return loop.exec() == 0;
}

double wrapperRun(APlayerControl &control, const QString &url)
{
    auto info = QSharedPointer<VideoFileInfo>::create();
    info->url = url;
    info->comCookie = QStringLiteral("k=v");
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer::singleShot(15000, &loop, [&loop] { loop.exit(1); });
    QObject::connect(&control, &APlayerControl::onOpenSucceeded, &loop, &QEventLoop::quit);
    control.open(info);
    const bool opened = loop.exec() == 0;
    if (!opened) {
        std::fprintf(stderr, "open timed out\n");
    }
    const double ms = opened ? clock.nsecsElapsed() / 1e6 : -1;
    control.close();
    while (control.state() != APlayerControl::Ready) {
        waitFor(&control, SIGNAL(onStateChanged(int, int)), 5000);
    }
    return ms;
}

double bareRun(mpv_handle *mpv, const QByteArray &url)
{
    QElapsedTimer clock;
    clock.start();
    const char *load[] = { "loadfile", url.constData(), "replace", nullptr };
    mpv_command(mpv, load);
    bool restarted = false;
    for (;;) {
        mpv_event *event = mpv_wait_event(mpv, 15);
        if (event->event_id == MPV_EVENT_PLAYBACK_RESTART || event->event_id == MPV_EVENT_NONE) {
            restarted = event->event_id == MPV_EVENT_PLAYBACK_RESTART;
            break;
        }
    }
    const double ms = restarted ? clock.nsecsElapsed() / 1e6 : -1;
    const char *stop[] = { "stop", nullptr };
    mpv_command(mpv, stop);
    for (;;) {
        mpv_event *event = mpv_wait_event(mpv, 5);
        if (event->event_id == MPV_EVENT_END_FILE || event->event_id == MPV_EVENT_NONE) {
            break;
        }
    }
    return ms;
}

double programRun(const QString &url, const QList<QPair<QByteArray, QByteArray>> &settings)
{
    QStringList arguments { QStringLiteral("--no-config"), QStringLiteral("--really-quiet"),
        QStringLiteral("--vo=null"), QStringLiteral("--ao=null"), QStringLiteral("--frames=1"),
        QStringLiteral("--http-header-fields=Cookie: k=v") };
    for (const auto &option : settings)
        arguments << QStringLiteral("--%1=%2").arg(
            QString::fromLatin1(option.first), QString::fromLatin1(option.second));
    QElapsedTimer clock;
    clock.start();
    QProcess mpv;
    mpv.start(QStringLiteral("mpv"), arguments << url);
    const bool done = mpv.waitForFinished(15000) && mpv.exitStatus() == QProcess::NormalExit
        && mpv.exitCode() == 0;
    return done ? clock.nsecsElapsed() / 1e6 : -1;
}

void print(const char *what, const Figures &figures)
{
    std::printf("%-44s %8.1f %8.1f %8.1f\n", what, figures.median, figures.min, figures.max);
}
} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const bool smoke = takeSmokeFlag(argc, argv);
    if (smoke)
        Runs = 2;
    QApplication app(argc, argv);
    QTemporaryDir media;
    TestMedia::Options options;
    options.seconds = 5;
    const QString file = TestMedia::makeVideo(media.path(), QStringLiteral("bench.mp4"), options);
    MediaServer server(file);
    server.setRequiredCookie("k=v");
    if (file.isEmpty() || !server.start()) {
        std::fprintf(stderr, "cannot make or serve the test media\n");
        return 1;
    }
    const QString url = server.url();

    APlayerControl::setEngineFactory([] {
        return std::make_unique<MpvEngine>(MpvEngine::Options { { "ao", "null" } });
    });
    APlayerControl control;
    control.initialize(0);

    std::setlocale(LC_NUMERIC, "C");
    const QByteArray urlBytes = url.toUtf8();
    QVector<double> trial;
    const int best = bestCandidate(
        OpenSettings.size(), smoke ? 1 : 5,
        [&](int i) {
            mpv_handle *handle = bareHandle(OpenSettings.at(i));
            const double ms = bareRun(handle, urlBytes);
            mpv_terminate_destroy(handle);
            return ms;
        },
        &trial);
    for (int i = 0; i < OpenSettings.size(); ++i)
        std::printf(
            "warm-up %-52s %8.1f ms\n", qPrintable(settingsText(OpenSettings.at(i))), trial.at(i));
    if (best < 0) {
        std::fprintf(stderr, "bare libmpv does not open the file\n");
        return 1;
    }
    const QList<QPair<QByteArray, QByteArray>> &settings = OpenSettings.at(best);
    std::printf("anchors run with %s\n\n", qPrintable(settingsText(settings)));
    mpv_handle *mpv = bareHandle(settings);

    // The three are interleaved so that a change in the machine's load
    // shows in all of them alike; the first round only warms up.
    QVector<double> wrapperTimes;
    QVector<double> bareTimes;
    QVector<double> programTimes;
    for (int i = 0; i <= Runs; ++i) {
        // Alternate which of the two goes first, so neither always follows
        // the mpv process.
        double wrapperMs = 0;
        double bareMs = 0;
        if (i % 2 == 0) {
            wrapperMs = wrapperRun(control, url);
            bareMs = bareRun(mpv, urlBytes);
        } else {
            bareMs = bareRun(mpv, urlBytes);
            wrapperMs = wrapperRun(control, url);
        }
        const double programMs = programRun(url, settings);
        if (i > 0) {
            wrapperTimes << wrapperMs;
            bareTimes << bareMs;
            programTimes << programMs;
        }
    }
    mpv_terminate_destroy(mpv);
    const Figures wrapper = figures(wrapperTimes);
    const Figures bare = figures(bareTimes);
    const Figures program = figures(programTimes);

    std::printf("open to first frame, %d runs, local HTTP (ms)   median      min      max\n", Runs);
    print("APlayerControl open -> onOpenSucceeded", wrapper);
    print("bare libmpv loadfile -> playback-restart", bare);
    print("mpv --vo=null --ao=null --frames=1 (process)", program);
    // Paired by round, the difference is less at the mercy of the load.
    QVector<double> differences;
    for (int i = 0; i < Runs; ++i) {
        differences << wrapperTimes.at(i) - bareTimes.at(i);
    }
    print("APlayerControl minus bare libmpv, per round", figures(differences));
    const bool failed
        = std::any_of(wrapperTimes.begin(), wrapperTimes.end(), [](double ms) { return ms < 0; })
        || std::any_of(bareTimes.begin(), bareTimes.end(), [](double ms) { return ms < 0; })
        || std::any_of(programTimes.begin(), programTimes.end(), [](double ms) { return ms < 0; });
    if (failed)
        std::fprintf(stderr, "an open failed or timed out (-1 in the figures)\n");
    return failed ? 1 : 0;
}
