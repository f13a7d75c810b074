// How quickly the playing comforts act, each beside bare libmpv doing the
// same thing, interleaved round by round:
// - a speed change and an audio track change: the engine command until the
//   next video frame after mpv has taken the change (a second client of the
//   engine's mpv core watches the frames), beside the same property write on
//   a bare handle playing the same file;
// - the next episode: from the end of the countdown until the next file's
//   first frame (onOpenSucceeded), through the file hash call, the address
//   call, the probe and the open against tavrion-server on loopback, beside a
//   bare libmpv loadfile of a freshly issued address of the same file.
// Prints medians; asserts nothing about time.
//
// usage: bench_playextras [--smoke]   (smoke: 2 rounds each)
#include "account/usersession.h"
#include "app/appsettings.h"
#include "benchtools.h"
#include "mainwindow/nextepisodecountdown.h"
#include "mediaserver.h"
#include "player/aplayercontrol.h"
#include "player/mpvengine.h"
#include "resource/playresolvedfile.h"
#include "resource/videofileresolver.h"
#include "serverprocess.h"
#include "service/resourceendpoints.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <mpv/client.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <functional>

namespace {

int Rounds = 15;

// Runs the Qt event loop until `done` holds or the time is up.
bool spinUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Watches one mpv core: `property` reaching a value, then the next frame
// (a change of the playback time).
class CoreWatch
{
public:
    explicit CoreWatch(mpv_handle *client)
        : m_mpv(client)
    {
        mpv_observe_property(m_mpv, 1, "time-pos", MPV_FORMAT_DOUBLE);
        mpv_observe_property(m_mpv, 2, "speed", MPV_FORMAT_STRING);
        mpv_observe_property(m_mpv, 3, "aid", MPV_FORMAT_STRING);
    }
    // Milliseconds from now until the property reads `value` and a frame
    // follows; -1 when that does not happen within 5 s. `change` makes the
    // change and is timed with it.
    double time(const char *property, const QByteArray &value, const std::function<void()> &change)
    {
        drain();
        QElapsedTimer clock;
        clock.start();
        change();
        bool taken = false;
        while (clock.elapsed() < 5000) {
            // The wrapper's own events are drained by the Qt loop.
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            mpv_event *event = mpv_wait_event(m_mpv, 0.002);
            if (event->event_id != MPV_EVENT_PROPERTY_CHANGE)
                continue;
            const auto *changed = static_cast<mpv_event_property *>(event->data);
            if (!taken && std::strcmp(changed->name, property) == 0
                && changed->format == MPV_FORMAT_STRING
                && value == *static_cast<const char **>(changed->data))
                taken = true;
            else if (taken && event->reply_userdata == 1)
                return clock.nsecsElapsed() / 1e6;
        }
        std::fprintf(stderr, "%s did not become %s%s\n", property, value.constData(),
            taken ? " (it did, but no frame followed)" : "");
        return -1;
    }

private:
    void drain()
    {
        while (mpv_wait_event(m_mpv, 0)->event_id != MPV_EVENT_NONE) { }
    }
    mpv_handle *m_mpv;
};

mpv_handle *bareHandle()
{
    mpv_handle *mpv = mpv_create();
    mpv_set_option_string(mpv, "vo", "null");
    mpv_set_option_string(mpv, "ao", "null");
    mpv_set_option_string(mpv, "idle", "yes");
    mpv_set_option_string(mpv, "loop-file", "inf");
    mpv_initialize(mpv);
    return mpv;
}

bool bareOpen(mpv_handle *mpv, const QByteArray &url, const QString &cookie = {})
{
    mpv_node header;
    mpv_node_list list;
    QByteArray line = "Cookie: " + cookie.toUtf8();
    char *text = line.data();
    header.format = MPV_FORMAT_NODE_ARRAY;
    header.u.list = &list;
    list.num = cookie.isEmpty() ? 0 : 1;
    mpv_node item;
    item.format = MPV_FORMAT_STRING;
    item.u.string = text;
    list.values = &item;
    list.keys = nullptr;
    mpv_set_property(mpv, "http-header-fields", MPV_FORMAT_NODE, &header);
    const char *load[] = { "loadfile", url.constData(), "replace", nullptr };
    mpv_command(mpv, load);
    for (;;) {
        mpv_event *event = mpv_wait_event(mpv, 15);
        if (event->event_id == MPV_EVENT_PLAYBACK_RESTART)
            return true;
        if (event->event_id == MPV_EVENT_NONE || event->event_id == MPV_EVENT_END_FILE)
            return false;
    }
}

void bareStop(mpv_handle *mpv)
{
    const char *stop[] = { "stop", nullptr };
    mpv_command(mpv, stop);
    for (;;) {
        mpv_event *event = mpv_wait_event(mpv, 5);
        if (event->event_id == MPV_EVENT_END_FILE || event->event_id == MPV_EVENT_NONE)
            break;
    }
}

bool openAndWait(APlayerControl &player, const QSharedPointer<VideoFileInfo> &file)
{
    bool opened = false;
    const QMetaObject::Connection connection
        = QObject::connect(&player, &APlayerControl::onOpenSucceeded, [&opened] { opened = true; });
    player.open(file);
    spinUntil([&] { return opened; }, 15000);
    QObject::disconnect(connection);
    return opened;
}

void closeFile(APlayerControl &player)
{
    if (player.state() != APlayerControl::Ready)
        player.close();
    spinUntil([&] { return player.state() == APlayerControl::Ready; }, 5000);
}

void print(const char *what, const QVector<double> &ours, const QVector<double> &bare)
{
    const double a = ours.isEmpty() ? -1 : median(ours);
    const double b = bare.isEmpty() ? -1 : median(bare);
    std::printf("%-40s %9.1f %9.1f %7.2f\n", what, a, b, b > 0 ? a / b : 0.0);
}

bool anyFailed(const QVector<double> &times)
{
    return std::any_of(times.begin(), times.end(), [](double ms) { return ms < 0; });
}

// A file with two audio tracks, served over HTTP.
QString makeTwoTrackFile(const QString &folder)
{
    const QString path = QDir(folder).filePath(QStringLiteral("tracks.mkv"));
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
        { "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-f", "lavfi",
            "-i", "sine=f=440", "-f", "lavfi", "-i", "sine=f=1000", "-map", "0:v", "-map", "1:a",
            "-map", "2:a", "-t", "20", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
            path });
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0 ? path : QString();
}

int switches(const QString &folder)
{
    const QString file = makeTwoTrackFile(folder);
    MediaServer server(file);
    if (file.isEmpty() || !server.start()) {
        std::fprintf(stderr, "cannot make or serve the test media\n");
        return 1;
    }
    APlayerControl::setEngineFactory([] {
        return std::make_unique<MpvEngine>(
            MpvEngine::Options { { "ao", "null" }, { "loop-file", "inf" } });
    });
    APlayerControl player;
    player.initialize(0);
    auto *engine = dynamic_cast<MpvEngine *>(player.engine());
    auto info = QSharedPointer<VideoFileInfo>::create();
    info->url = server.url();
    mpv_handle *bare = bareHandle();
    if (!openAndWait(player, info) || !bareOpen(bare, server.url().toUtf8())) {
        std::fprintf(stderr, "the file does not open\n");
        return 1;
    }
    mpv_handle *client = mpv_create_client(engine->handle(), "bench");
    CoreWatch ours(client);
    CoreWatch anchor(bare);

    QVector<double> speedOurs, speedBare, trackOurs, trackBare;
    for (int round = 0; round <= Rounds; ++round) {
        const double speed = round % 2 ? 1.0 : 1.5;
        const QByteArray speedText = round % 2 ? "1.000000" : "1.500000";
        const int track = round % 2 ? 1 : 2;
        const QByteArray trackText = QByteArray::number(track);
        const double a = ours.time("speed", speedText, [&] { engine->setSpeed(speed); });
        const double b = anchor.time("speed", speedText,
            [&] { mpv_set_property_string(bare, "speed", speedText.constData()); });
        const double c
            = ours.time("aid", trackText, [&] { engine->selectTrack(PlayerTrack::Audio, track); });
        const double d = anchor.time(
            "aid", trackText, [&] { mpv_set_property_string(bare, "aid", trackText.constData()); });
        if (round > 0) {
            speedOurs << a;
            speedBare << b;
            trackOurs << c;
            trackBare << d;
        }
    }
    mpv_destroy(client);
    mpv_terminate_destroy(bare);
    closeFile(player);

    std::printf("command to next frame, %d rounds (ms)        ours      bare   ratio\n", Rounds);
    print("speed 1.0x <-> 1.5x", speedOurs, speedBare);
    print("audio track 1 <-> 2", trackOurs, trackBare);
    if (anyFailed(speedOurs) || anyFailed(speedBare) || anyFailed(trackOurs)
        || anyFailed(trackBare)) {
        std::fprintf(stderr, "a change was not seen within 5 s (-1 in the figures)\n");
        return 1;
    }
    return 0;
}

int nextEpisode(const QString &folder)
{
    const QString data = QDir(folder).filePath(QStringLiteral("library"));
    if (QProcess::execute(
            QStringLiteral(TAVRION_SOURCE_DIR) + QStringLiteral("/tools/make-demo-library"),
            { QStringLiteral("--quick"), QStringLiteral("--server"), ServerProcess::program(),
                data })
        != 0) {
        std::fprintf(stderr, "make-demo-library failed\n");
        return 1;
    }
    const QString episodes = demoResources(data).value(QStringLiteral("episodes"));
    ServerProcess server;
    if (episodes.isEmpty()
        || !server.start(data, { QStringLiteral("--host"), QStringLiteral("127.0.0.1:0") })) {
        std::fprintf(stderr, "no demo library or the server did not start\n");
        return 1;
    }
    QDir::setCurrent(folder);
    qputenv("TMPDIR", folder.toLocal8Bit());
    AppSettings::initialize(QStringLiteral("Config.ini"));
    AppSettings::instance()->setServiceBaseAddress(server.baseAddress());
    UserSession::instance()->login(
        QStringLiteral("demo@tavrion.test"), QStringLiteral("tavrion123"));

    APlayerControl::setEngineFactory([] {
        return std::make_unique<MpvEngine>(MpvEngine::Options { { "ao", "null" } });
    });
    APlayerControl player;
    player.initialize(0);
    QWidget window;
    auto *area = new QWidget(&window);
    auto *stop = new QPushButton(&window);
    NextEpisodeCountdown countdown(&player, area, &window, stop, &window);
    countdown.setCountdownSeconds(1);
    QElapsedTimer clock;
    bool finished = false;
    QObject::connect(&countdown, &NextEpisodeCountdown::countdownFinished, [&] {
        finished = true;
        clock.start();
    });

    const FileListResult list = getResourceFileList(episodes);
    QList<QSharedPointer<VideoFileInfo>> videos;
    for (const auto &file : list.files) {
        if (file->name.endsWith(QLatin1String(".mp4")))
            videos << file;
    }
    if (videos.size() < 2) {
        std::fprintf(stderr, "the episodes resource has no two video files\n");
        return 1;
    }
    QWidget caller;
    auto *label = new QLabel(&caller);
    label->setObjectName(QStringLiteral("messageLabel"));
    mpv_handle *bare = bareHandle();
    mpv_set_property_string(bare, "loop-file", "no");

    QVector<double> ours, anchor;
    for (int round = 0; round <= Rounds; ++round) {
        // Episode 1 near its end; the countdown follows its end.
        const auto first = freshRecord(videos.at(0));
        if (!VideoFileResolver::resolve(first, label, false, VideoFileResolver::ParseDialogPlay)
            || !playResolvedFile(first, &caller)) {
            std::fprintf(stderr, "episode 1 does not play: %s\n", qPrintable(label->text()));
            return 1;
        }
        player.setPosition(qMax(0, player.duration() - 1200));
        finished = false;
        bool opened = false;
        const QMetaObject::Connection connection
            = QObject::connect(&player, &APlayerControl::onOpenSucceeded, [&] {
                  if (finished && !opened) {
                      opened = true;
                      ours << (round > 0 ? clock.nsecsElapsed() / 1e6 : 0);
                  }
              });
        const bool next = spinUntil([&] { return opened; }, 20000);
        QObject::disconnect(connection);
        if (!next) {
            std::fprintf(stderr, "the next episode did not start\n");
            return 1;
        }
        if (round == 0)
            ours.clear();
        closeFile(player);

        const auto second = freshRecord(videos.at(1));
        if (!VideoFileResolver::resolve(second, label, false, VideoFileResolver::ParseDialogPlay)) {
            std::fprintf(stderr, "episode 2 does not resolve: %s\n", qPrintable(label->text()));
            return 1;
        }
        QElapsedTimer bareClock;
        bareClock.start();
        const bool bareOpened = bareOpen(bare, second->url.toUtf8(), second->comCookie);
        if (round > 0)
            anchor << (bareOpened ? bareClock.nsecsElapsed() / 1e6 : -1);
        bareStop(bare);
    }
    mpv_terminate_destroy(bare);

    std::printf("\nnext episode, %d rounds (ms)                  ours      bare   ratio\n", Rounds);
    print("countdown end / loadfile -> first frame", ours, anchor);
    std::printf("  (ours: file hash call, address call, probe and open; bare: loadfile of a\n"
                "   resolved address)\n");
    if (anyFailed(anchor)) {
        std::fprintf(stderr, "a bare open failed (-1 in the figures)\n");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setBenchEnvironment();
    if (takeSmokeFlag(argc, argv))
        Rounds = 2;
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QTemporaryDir scratch;
    if (const int failed = switches(scratch.path()))
        return failed;
    return nextEpisode(scratch.path());
}
