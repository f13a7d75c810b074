// Steady playback of a 1920x1080 30 fps H.264 file from a loopback HTTP
// address: the real main window (default size) beside the mpv program in a
// borderless window of the play page's size and place, under the same X
// server. Each round plays the file once in each, the order alternating; CPU
// is read from /proc over the measured span, frames shown are the frames the
// clock passed minus the frames either player dropped.
//
// The anchor is mpv at its best on this display: a warm-up plays the file
// with each video output that can run here (gpu and gpu-next on Mesa's
// software OpenGL with --gpu-sw, x11 with software scaling, xv, sdl) and
// keeps the one with the least CPU per frame shown, mpv's and the X server's
// together, among those that showed at least half the frames. Each output is
// taken at its best trial, so that frames a busy machine made it drop in
// another count neither for nor against it. Outputs that fail to start are
// skipped.
// The main window draws the way it chooses for this display (OpenGL, or
// mpv's software renderer where OpenGL runs on the CPU) and says which.
//
// Run under an X server with a window manager, e.g.
//   tests/support/run-xvfb build/bench/bench_playback [rounds]
//   tests/support/run-xvfb build/bench/bench_playback --smoke   (short spans, one round)
#include "app/appsettings.h"
#include "app/startup.h"
#include "benchtools.h"
#include "guitest.h"
#include "mainwindow/mainwindow.h"
#include "mediaserver.h"
#include "player/aplayercontrol.h"
#include "player/mpvengine.h"
#include "player/videohost.h"
#include "resource/videofileinfo.h"
#include "testdir.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <mpv/client.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {
int WarmUpMs = 3000;
int MeasureMs = 20000;
int ClipSeconds = 30;
constexpr int FrameRate = 30;
// Video outputs the anchor is tried with, and the spans of that trial.
const char *const VideoOutputs[] = { "gpu", "gpu-next", "x11", "xv", "sdl" };
int TrialWarmUpMs = 2000;
int TrialMeasureMs = 5000;

// Frame counters of one player at one moment.
struct Counters
{
    qint64 frame = 0; // frame number the playback clock has reached
    qint64 dropped = 0; // by the video output and by the decoder
};

struct Round
{
    double cpu = 0; // % of one core, the player's process
    double server = 0; // % of one core, the X server
    double fps = 0; // frames shown per second
    qint64 dropped = 0;
    bool ok = false;
};

// User plus system time of a process, in seconds; -1 when unreadable.
double cpuSeconds(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray stat = file.readAll();
    // The command name may hold spaces; the fields count from its ')'.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) {
        return -1;
    }
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / sysconf(_SC_CLK_TCK);
}

// The Xvfb process serving this display, if it runs on this machine.
qint64 xServerPid()
{
    const QByteArray display = qgetenv("DISPLAY");
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number) {
            continue;
        }
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QList<QByteArray> arguments = cmdline.readAll().split('\0');
        if (!arguments.isEmpty() && arguments.first().endsWith("Xvfb")
            && arguments.contains(display)) {
            return pid;
        }
    }
    return 0;
}

// Samples the CPU of a player and of the X server at the start and the end
// of the measured span.
class Span
{
public:
    Span(qint64 player, qint64 server)
        : m_player(player)
        , m_server(server)
    {
    }
    void begin(const Counters &counters)
    {
        m_clock.start();
        m_playerStart = cpuSeconds(m_player);
        m_serverStart = cpuSeconds(m_server);
        m_start = counters;
    }
    Round end(const Counters &counters) const
    {
        const double seconds = m_clock.nsecsElapsed() / 1e9;
        Round round;
        round.cpu = (cpuSeconds(m_player) - m_playerStart) / seconds * 100;
        round.server = m_server ? (cpuSeconds(m_server) - m_serverStart) / seconds * 100 : 0;
        round.dropped = counters.dropped - m_start.dropped;
        round.fps = (counters.frame - m_start.frame - round.dropped) / seconds;
        round.ok = m_playerStart >= 0;
        return round;
    }

private:
    qint64 m_player;
    qint64 m_server;
    QElapsedTimer m_clock;
    double m_playerStart = 0;
    double m_serverStart = 0;
    Counters m_start;
};

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

qint64 intProperty(mpv_handle *mpv, const char *name)
{
    int64_t value = 0;
    return mpv_get_property(mpv, name, MPV_FORMAT_INT64, &value) < 0 ? 0 : value;
}

// The child process: the real main window plays the address and reports
// its page geometry, then "begin" and "end" with its counters.
int runHost(const QString &url, int warmUpMs, int measureMs)
{
    Startup::initResources();
    Startup::installFontSubstitutions();
    ScopedWorkingDirectory work;
    AppSettings::initialize(QStringLiteral("Config.ini"));
    startWithoutService();
    APlayerControl::setEngineFactory([] {
        return std::make_unique<MpvEngine>(MpvEngine::Options { { "ao", "null" } });
    });
    MainWindow window;
    window.move(0, 0);
    // Nobody is logged in: the login page that the start opens is closed
    // unanswered, as a user would close it to watch a local file.
    showClosingModals(&window);
    auto *engine = dynamic_cast<MpvEngine *>(APlayerControl::instance->engine());
    auto *page = window.findChild<QWidget *>(QStringLiteral("playPage"));
    if (!engine || !engine->videoHost() || !page) {
        std::fprintf(stderr, "no video host\n");
        return 1;
    }
    const auto counters = [engine] {
        mpv_handle *mpv = engine->handle();
        return Counters { intProperty(mpv, "estimated-frame-number"),
            intProperty(mpv, "frame-drop-count") + intProperty(mpv, "decoder-frame-drop-count") };
    };
    QEventLoop opened;
    QObject::connect(
        APlayerControl::instance, &APlayerControl::onOpenSucceeded, &opened, &QEventLoop::quit);
    QTimer::singleShot(30000, &opened, [&opened] { opened.exit(1); });
    auto file = QSharedPointer<VideoFileInfo>::create();
    file->url = url;
    APlayerControl::instance->open(file);
    if (opened.exec() != 0) {
        std::fprintf(stderr, "the host did not open the file\n");
        return 1;
    }
    const QPoint at = page->mapToGlobal(QPoint(0, 0));
    std::printf("page %d %d %d %d %s\n", page->width(), page->height(), at.x(), at.y(),
        engine->videoHost()->drawsInSoftware() ? "software" : "opengl");
    std::fflush(stdout);
    wait(warmUpMs);
    const Counters start = counters();
    const quint64 swaps = engine->videoHost()->framesShown();
    std::printf("begin %lld %lld\n", start.frame, start.dropped);
    std::fflush(stdout);
    wait(measureMs);
    const Counters end = counters();
    std::printf("end %lld %lld %llu\n", end.frame, end.dropped,
        static_cast<unsigned long long>(engine->videoHost()->framesShown() - swaps));
    std::fflush(stdout);
    APlayerControl::instance->close();
    wait(500);
    APlayerControl::setEngineFactory({});
    return 0;
}

// Reads the host's report lines until one starts with the word.
QList<QByteArray> hostLine(QProcess &host, const QByteArray &word, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs && host.state() != QProcess::NotRunning) {
        while (host.canReadLine()) {
            const QList<QByteArray> fields = host.readLine().trimmed().split(' ');
            if (fields.first() == word) {
                return fields;
            }
        }
        host.waitForReadyRead(200);
    }
    return {};
}

struct Geometry
{
    int width = 0;
    int height = 0;
    int x = 0;
    int y = 0;
    QByteArray path; // how the main window drew its frames
};

Round hostRound(const QString &url, qint64 server, Geometry *geometry, double *swapRate)
{
    QProcess host;
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host.start(QCoreApplication::applicationFilePath(),
        { QStringLiteral("--host"), url, QString::number(WarmUpMs), QString::number(MeasureMs) });
    Round round;
    const QList<QByteArray> page = hostLine(host, "page", 60000);
    if (page.size() == 6) {
        *geometry = { page.at(1).toInt(), page.at(2).toInt(), page.at(3).toInt(),
            page.at(4).toInt(), page.at(5) };
        Span span(host.processId(), server);
        const QList<QByteArray> begin = hostLine(host, "begin", WarmUpMs + 10000);
        if (begin.size() == 3) {
            span.begin({ begin.at(1).toLongLong(), begin.at(2).toLongLong() });
            const QList<QByteArray> end = hostLine(host, "end", MeasureMs + 10000);
            if (end.size() == 4) {
                round = span.end({ end.at(1).toLongLong(), end.at(2).toLongLong() });
                *swapRate = end.at(3).toDouble() * 1000 / MeasureMs;
            }
        }
    }
    if (!host.waitForFinished(10000)) {
        host.kill();
        host.waitForFinished();
    }
    return round;
}

// mpv's JSON IPC: one property read at a time.
class MpvIpc
{
public:
    bool connectTo(const QString &path, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            m_socket.connectToServer(path);
            if (m_socket.waitForConnected(500)) {
                return true;
            }
            wait(100);
        }
        return false;
    }
    qint64 property(const char *name)
    {
        const int id = ++m_request;
        const QJsonObject request {
            { QStringLiteral("command"),
                QJsonArray { QStringLiteral("get_property"), QString::fromLatin1(name) } },
            { QStringLiteral("request_id"), id }
        };
        m_socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
        m_socket.flush();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            while (m_socket.canReadLine()) {
                const QJsonObject reply = QJsonDocument::fromJson(m_socket.readLine()).object();
                if (reply.value(QStringLiteral("request_id")).toInt() == id) {
                    return reply.value(QStringLiteral("data")).toVariant().toLongLong();
                }
            }
            m_socket.waitForReadyRead(200);
        }
        return -1;
    }
    Counters counters()
    {
        return { property("estimated-frame-number"),
            property("frame-drop-count") + property("decoder-frame-drop-count") };
    }

private:
    QLocalSocket m_socket;
    int m_request = 0;
};

Round mpvRound(const QString &url, qint64 server, const Geometry &geometry, const QString &vo,
    int warmUpMs, int measureMs)
{
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("mpv.socket"));
    QProcess mpv;
    mpv.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    mpv.start(QStringLiteral("mpv"),
        { QStringLiteral("--no-config"), QStringLiteral("--really-quiet"),
            QStringLiteral("--vo=") + vo, QStringLiteral("--gpu-sw"), QStringLiteral("--ao=null"),
            QStringLiteral("--osc=no"), QStringLiteral("--no-border"),
            QStringLiteral("--geometry=%1x%2+%3+%4")
                .arg(geometry.width)
                .arg(geometry.height)
                .arg(geometry.x)
                .arg(geometry.y),
            QStringLiteral("--input-ipc-server=") + socket, url });
    Round round;
    MpvIpc ipc;
    if (mpv.waitForStarted() && ipc.connectTo(socket, 10000)) {
        QElapsedTimer started;
        started.start();
        // An output that cannot run here leaves mpv playing without
        // pictures: the clock moves on while no frame is counted.
        bool playing = false;
        while (!(playing = ipc.property("estimated-frame-number") > 0)
            && mpv.state() == QProcess::Running && started.elapsed() < 30000
            && ipc.property("time-pos") < 2) {
            wait(100);
        }
        if (playing) {
            wait(warmUpMs);
            Span span(mpv.processId(), server);
            span.begin(ipc.counters());
            wait(measureMs);
            round = span.end(ipc.counters());
            // An output that gave up meanwhile leaves no figure.
            round.ok = round.ok && mpv.state() == QProcess::Running;
        }
    }
    mpv.terminate();
    if (!mpv.waitForFinished(5000)) {
        mpv.kill();
        mpv.waitForFinished();
    }
    return round;
}

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').first().toDouble() : -1;
}

// Plays the file with every candidate output in turns and returns the one
// with the least CPU of mpv and the X server per frame shown, each at its
// best trial, among those that showed half the frames or more in a trial;
// when none did, the one that showed the most. Empty when none runs here.
QString bestVideoOutput(const QString &url, qint64 server, const Geometry &geometry, int tries)
{
    const int count = int(std::size(VideoOutputs));
    QVector<double> cost(count, 1e9), fps(count, 0);
    QVector<bool> failed(count, false);
    for (int turn = 0; turn < tries; ++turn) {
        for (int i = 0; i < count; ++i) {
            const int candidate = (i + turn) % count;
            if (failed.at(candidate))
                continue;
            const Round round = mpvRound(url, server, geometry,
                QString::fromLatin1(VideoOutputs[candidate]), TrialWarmUpMs, TrialMeasureMs);
            std::printf("trial  --vo=%-8s %s\n", VideoOutputs[candidate],
                round.ok ? qPrintable(QStringLiteral("CPU %1 %, X server %2 %, %3 frames/s")
                                          .arg(round.cpu, 0, 'f', 1)
                                          .arg(round.server, 0, 'f', 1)
                                          .arg(round.fps, 0, 'f', 1))
                         : "does not run here");
            std::fflush(stdout);
            failed[candidate] = !round.ok;
            if (round.fps > 0) {
                cost[candidate]
                    = std::min(cost.at(candidate), (round.cpu + round.server) / round.fps);
                fps[candidate] = std::max(fps.at(candidate), round.fps);
            }
        }
    }
    int best = -1;
    for (int i = 0; i < count; ++i) {
        if (failed.at(i))
            continue;
        const auto shows = [&fps](int c) { return fps.at(c) >= 0.5 * FrameRate; };
        if (best < 0 || (shows(i) && !shows(best))
            || (shows(i) == shows(best)
                && (shows(i) ? cost.at(i) < cost.at(best) : fps.at(i) > fps.at(best))))
            best = i;
    }
    return best < 0 ? QString() : QString::fromLatin1(VideoOutputs[best]);
}
} // namespace

int main(int argc, char **argv)
{
    const bool smoke = takeSmokeFlag(argc, argv);
    if (argc == 5 && qstrcmp(argv[1], "--host") == 0) {
        QApplication app(argc, argv);
        return runHost(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt(),
            QByteArray(argv[4]).toInt());
    }
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "needs an X server: run under tests/support/run-xvfb\n");
        return 1;
    }
    if (smoke) {
        WarmUpMs = 1000;
        MeasureMs = 3000;
        ClipSeconds = 10;
        TrialWarmUpMs = 1000;
        TrialMeasureMs = 1500;
    }
    const int rounds = smoke ? 1 : argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 5;
    QTemporaryDir media;
    TestMedia::Options options;
    options.width = 1920;
    options.height = 1080;
    options.rate = FrameRate;
    options.seconds = ClipSeconds;
    options.frameCounter = true;
    const QString file
        = TestMedia::makeVideo(media.path(), QStringLiteral("playback.mp4"), options);
    MediaServer server(file);
    if (file.isEmpty() || !server.start()) {
        std::fprintf(stderr, "cannot make or serve the test media\n");
        return 1;
    }
    const qint64 xServer = xServerPid();
    std::printf("playback of 1920x1080 %d fps H.264 over HTTP on 127.0.0.1, %.1f s per run\n",
        FrameRate, MeasureMs / 1000.0);

    // A first start of the main window learns the play page's geometry,
    // which mpv's window then takes, and warms the caches.
    Geometry geometry;
    double swapRate = 0;
    hostRound(server.url(), xServer, &geometry, &swapRate);
    if (geometry.width == 0) {
        std::fprintf(stderr, "the main window did not play the file\n");
        return 1;
    }
    const QString vo = bestVideoOutput(server.url(), xServer, geometry, smoke ? 1 : 2);
    if (vo.isEmpty()) {
        std::fprintf(stderr, "no video output of mpv runs here\n");
        return 1;
    }
    const QString anchor = QStringLiteral("mpv --vo=") + vo
        + (vo.startsWith(QLatin1String("gpu")) ? QStringLiteral(" --gpu-sw") : QString());
    std::printf("anchor kept: %s\n", qPrintable(anchor));
    std::printf("Tavrion draws with: %s\n\n",
        geometry.path == "software"
            ? "mpv's software renderer into the window's X shared-memory backing store"
            : "mpv's OpenGL renderer into the window's framebuffer");

    QVector<double> hostCpu, mpvCpu, hostFps, mpvFps, hostX, mpvX, ratios, totalRatios, frameRatios;
    qint64 hostDropped = 0;
    qint64 mpvDropped = 0;
    int failures = 0;
    std::printf("round  player     CPU %%  X server %%   frames/s  dropped  load\n");
    for (int i = 0; i < rounds; ++i) {
        // The order alternates, the main window first in even rounds.
        Round host;
        Round mpv;
        if (i % 2 == 0) {
            host = hostRound(server.url(), xServer, &geometry, &swapRate);
            mpv = mpvRound(server.url(), xServer, geometry, vo, WarmUpMs, MeasureMs);
        } else {
            mpv = mpvRound(server.url(), xServer, geometry, vo, WarmUpMs, MeasureMs);
            host = hostRound(server.url(), xServer, &geometry, &swapRate);
        }
        const double load = loadAverage();
        std::printf("%5d  Tavrion %8.1f %11.1f %10.1f %8lld %5.1f  (%.1f swaps/s)\n", i + 1,
            host.cpu, host.server, host.fps, host.dropped, load, swapRate);
        std::printf("%5d  mpv     %8.1f %11.1f %10.1f %8lld %5.1f\n", i + 1, mpv.cpu, mpv.server,
            mpv.fps, mpv.dropped, load);
        std::fflush(stdout);
        if (!host.ok || !mpv.ok || !(mpv.cpu > 0)) {
            std::fprintf(stderr, "round %d failed\n", i + 1);
            ++failures;
            continue;
        }
        hostCpu << host.cpu;
        mpvCpu << mpv.cpu;
        hostFps << host.fps;
        mpvFps << mpv.fps;
        hostX << host.server;
        mpvX << mpv.server;
        ratios << host.cpu / mpv.cpu;
        totalRatios << (host.cpu + host.server) / (mpv.cpu + mpv.server);
        if (host.fps > 0 && mpv.fps > 0) {
            frameRatios << (host.cpu + host.server) / host.fps / ((mpv.cpu + mpv.server) / mpv.fps);
        }
        hostDropped += host.dropped;
        mpvDropped += mpv.dropped;
    }
    std::printf("\nvideo area %dx%d; medians of %d rounds\n", geometry.width, geometry.height,
        int(hostCpu.size()));
    std::printf("%-26s CPU %6.1f %%  X server %6.1f %%  %5.1f frames/s  %lld dropped\n",
        qPrintable(QStringLiteral("Tavrion, ") + QString::fromLatin1(geometry.path)),
        median(hostCpu), median(hostX), median(hostFps), hostDropped);
    std::printf("%-26s CPU %6.1f %%  X server %6.1f %%  %5.1f frames/s  %lld dropped\n",
        qPrintable(anchor), median(mpvCpu), median(mpvX), median(mpvFps), mpvDropped);
    std::printf("CPU ratio Tavrion / mpv: %.2f (of medians), %.2f (median of rounds); with the X "
                "server: %.2f (median of rounds), %.2f per frame shown\n",
        median(mpvCpu) > 0 ? median(hostCpu) / median(mpvCpu) : 0.0, median(ratios),
        median(totalRatios), median(frameRatios));
    return hostCpu.isEmpty() || (smoke && failures > 0) ? 1 : 0;
}
