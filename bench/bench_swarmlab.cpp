// A swarm that behaves like the internet, on loopback: seeders (aria2c and
// tavrion-seeder) each behind a relay that adds a delay in each direction and
// caps its rate, two of them going silent mid-play, as peers that leave
// without closing their connections. One 5 Mbit/s clip is streamed from it by
//  - the service: the client's own road (file list call until the metadata
//    is there, file hash and address calls with the probe, as the parse
//    dialog's play button does), then libmpv on the address;
//  - the anchor: webtorrent streaming the same kind of torrent from the same
//    swarm through its own HTTP server (bench/webtorrent-anchor.mjs) into the
//    same libmpv, given the magnet link as the service is given the hash.
// Each turn seeds a torrent of a new name, so both start cold; the turns of
// a round alternate which goes first. Each turn measures
//  - join: click until libmpv shows the first frame;
//  - seek: one second after the first frame, a seek to the middle until
//    libmpv plays again (the middle is not fetched by then);
//  - rebuffer ratio: time libmpv waits for its cache ÷ play time, over the
//    play window that follows, in which the relays go silent;
//  - fetched, never read: bytes the relays passed from the seeders minus
//    bytes the player received over HTTP (counted by a relay without delay
//    in front of the HTTP server), at the end of the play window.
// libmpv runs with the client's engine options and mpv's own cache settings.
//
// The anchor runs as webtorrent-cli runs it for a player: its defaults
// (sequential piece order, 55 connections, pieces stored in a temp folder,
// no rate limits) with the played file selected; the only settings changed
// keep it on the relays (DHT, local discovery, uTP, trackers, web seeds off)
// and its client starts before the first round, so its start-up is not
// counted against it.
//
// usage: bench_swarmlab [ROUNDS] | --smoke   (default 5 after a warm-up
//        round; smoke: one short round with three seeders, counted)
#include "account/usersession.h"
#include "app/appsettings.h"
#include "benchtools.h"
#include "externalseeder.h"
#include "linkproxy.h"
#include "mediaserver.h"
#include "resource/videofileresolver.h"
#include "serverprocess.h"
#include "service/resourceendpoints.h"
#include "testdir.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <mpv/client.h>

#include <clocale>
#include <cstdio>
#include <memory>
#include <optional>

namespace {

enum class Seeder { Aria2, Tavrion };

// One seeder of the laboratory and the link it sits behind.
struct PeerRow
{
    Seeder seeder;
    int delayMs; // added in each direction
    double megabytesPerSecond;
    double silentAt; // part of the play window after which it goes silent; 0: never
};

const PeerRow FullSwarm[] = {
    { Seeder::Tavrion, 30, 1.0, 0 },
    { Seeder::Aria2, 80, 2.0, 1.0 / 3 },
    { Seeder::Aria2, 150, 0.5, 0 },
    { Seeder::Tavrion, 300, 5.0, 2.0 / 3 },
    { Seeder::Aria2, 20, 0.2, 0 },
};
const PeerRow SmokeSwarm[] = {
    { Seeder::Tavrion, 30, 1.0, 0 },
    { Seeder::Aria2, 80, 2.0, 0.5 },
    { Seeder::Aria2, 200, 0.5, 0 },
};

double secondsSince(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e9;
}

// A seeder process of either kind on a fixed loopback port, for one torrent.
class SeederNode
{
public:
    SeederNode(Seeder kind, quint16 port)
        : m_kind(kind)
        , m_port(port)
    {
    }

    QString infoHash() const { return m_tavrion.infoHash(); }

    bool start(const QString &torrent, const QString &payload)
    {
        if (m_kind == Seeder::Tavrion)
            return m_tavrion.start(torrent, payload, QStringLiteral("127.0.0.1:%1").arg(m_port));
        return m_aria2.start(SeederClient::Aria2, { torrent }, payload, payload, false, m_port);
    }
    void stop()
    {
        m_tavrion.stop();
        m_aria2.stop();
    }

private:
    Seeder m_kind;
    quint16 m_port;
    SeederProcess m_tavrion;
    ExternalSeeder m_aria2;
};

// libmpv as a player uses it, with the time it spends waiting for its cache.
class Player
{
public:
    Player()
        : m_mpv(mpv_create())
    {
        for (const auto &[name, value] :
            { std::pair { "vo", "null" }, { "ao", "null" }, { "idle", "yes" }, { "ytdl", "no" },
                { "keep-open", "no" }, { "network-timeout", "8" } })
            mpv_set_option_string(m_mpv, name, value);
        mpv_initialize(m_mpv);
        mpv_request_log_messages(m_mpv, "error");
        mpv_observe_property(m_mpv, 0, "paused-for-cache", MPV_FORMAT_FLAG);
        m_clock.start();
    }
    ~Player() { mpv_terminate_destroy(m_mpv); }

    void load(const QString &url, const QByteArray &headers)
    {
        mpv_set_property_string(m_mpv, "http-header-fields", headers.constData());
        const QByteArray address = url.toUtf8();
        const char *command[] = { "loadfile", address.constData(), "replace", nullptr };
        mpv_command(m_mpv, command);
    }
    void seekToPercent(const char *percent)
    {
        const char *command[] = { "seek", percent, "absolute-percent", nullptr };
        mpv_command(m_mpv, command);
    }
    void stop()
    {
        const char *command[] = { "stop", nullptr };
        mpv_command(m_mpv, command);
        wait(10, MPV_EVENT_END_FILE);
    }

    // Handles events for `seconds` or until `wanted` comes (true then); false
    // as well when the file ends early.
    bool wait(double seconds, mpv_event_id wanted = MPV_EVENT_NONE)
    {
        QElapsedTimer timer;
        timer.start();
        while (secondsSince(timer) < seconds) {
            const mpv_event *event = mpv_wait_event(m_mpv, seconds - secondsSince(timer));
            if (event->event_id == wanted && wanted != MPV_EVENT_NONE)
                return true;
            if (event->event_id == MPV_EVENT_PROPERTY_CHANGE) {
                const auto *property = static_cast<const mpv_event_property *>(event->data);
                if (property->format == MPV_FORMAT_FLAG)
                    setWaiting(*static_cast<int *>(property->data) != 0);
            } else if (event->event_id == MPV_EVENT_LOG_MESSAGE) {
                const auto *message = static_cast<const mpv_event_log_message *>(event->data);
                std::fprintf(stderr, "libmpv: %s: %s", message->prefix, message->text);
            } else if (event->event_id == MPV_EVENT_END_FILE) {
                setWaiting(false);
                return false;
            }
        }
        return wanted == MPV_EVENT_NONE;
    }

    // Seconds spent waiting for the cache since the last call.
    double takeWaited()
    {
        const bool waiting = m_waitingSince >= 0;
        setWaiting(false);
        const double waited = m_waited;
        m_waited = 0;
        if (waiting)
            setWaiting(true);
        return waited;
    }

private:
    void setWaiting(bool waiting)
    {
        const double now = secondsSince(m_clock);
        if (m_waitingSince >= 0)
            m_waited += now - m_waitingSince;
        m_waitingSince = waiting ? now : -1;
    }

    mpv_handle *m_mpv;
    QElapsedTimer m_clock;
    double m_waitingSince = -1;
    double m_waited = 0;
};

// webtorrent in its own process, driven by bench/webtorrent-anchor.mjs.
class Anchor
{
public:
    ~Anchor()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool start()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("node"),
            { QStringLiteral(TAVRION_SOURCE_DIR "/bench/webtorrent-anchor.mjs") });
        return m_process.waitForStarted(10000) && answer(QStringLiteral("ready"), 20).has_value();
    }
    // The address its HTTP server streams the file at, once it has the metadata.
    QString add(const QString &dir, const QString &hash, const QStringList &peers)
    {
        m_process.write(QStringLiteral("add %1 magnet:?xt=urn:btih:%2 %3\n")
                            .arg(dir, hash, peers.join(QLatin1Char(' ')))
                            .toUtf8());
        return answer(QStringLiteral("url"), 60).value_or(QString());
    }
    void remove()
    {
        m_process.write("remove\n");
        answer(QStringLiteral("removed"), 20);
    }

private:
    std::optional<QString> answer(const QString &word, int seconds)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < seconds * 1000 && m_process.state() == QProcess::Running) {
            if (!m_process.canReadLine() && !m_process.waitForReadyRead(100))
                continue;
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            if (line.section(QLatin1Char(' '), 0, 0) == word)
                return line.section(QLatin1Char(' '), 1);
        }
        std::fprintf(stderr, "webtorrent gave no \"%s\"\n", qPrintable(word));
        return std::nullopt;
    }

    QProcess m_process;
};

struct Figures
{
    double listed = 0; // the service's file list answered (metadata there)
    double resolved = 0; // and the address calls with the probe done
    double join = 0;
    double rebuffer = 0; // waiting ÷ play time
    double seek = 0;
    double unreadMiB = 0;
};

// The service's road from the click: the file list until the metadata is
// there, then the file hash and address calls with the probe.
QSharedPointer<VideoFileInfo> resolveOnService(const QString &hash, double *listed)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000) {
        const FileListResult list = getResourceFileList(hash);
        if (list.status == 1 && !list.files.isEmpty()) {
            *listed = secondsSince(timer);
            QLabel messageLabel;
            if (VideoFileResolver::resolve(
                    list.files.first(), &messageLabel, false, VideoFileResolver::ParseDialogPlay))
                return list.files.first();
            std::fprintf(stderr, "resolve failed: %s\n", qPrintable(messageLabel.text()));
            return nullptr;
        }
        QThread::msleep(50);
    }
    return nullptr;
}

// Everything one turn needs: the relays in front of the seeders and the
// settings of the swarm.
struct Lab
{
    QVector<PeerRow> rows;
    std::vector<std::unique_ptr<LinkProxy>> relays;
    double window = 30; // play seconds

    QString relayHost(int i) const { return QStringLiteral("127.0.0.%1").arg(11 + i); }
    QStringList relayAddresses() const
    {
        QStringList addresses;
        for (int i = 0; i < rows.size(); ++i)
            addresses << QString::fromStdString(relays.at(std::size_t(i))->address());
        return addresses;
    }
    bool openRelays(const QVector<quint16> &seederPorts)
    {
        for (int i = 0; i < rows.size(); ++i) {
            LinkProxy::Link link;
            link.listenHost = relayHost(i).toStdString();
            link.targetPort = seederPorts.at(i);
            link.delay = std::chrono::milliseconds(rows.at(i).delayMs);
            link.bytesPerSecond = rows.at(i).megabytesPerSecond * 1e6;
            relays.push_back(std::make_unique<LinkProxy>(link));
            if (relays.back()->port() == 0)
                return false;
        }
        return true;
    }
    // Every relay passing bytes again, its counters at zero.
    void resetRelays()
    {
        for (const auto &relay : relays)
            relay->reset();
    }
    double fetchedMiB() const
    {
        double bytes = 0;
        for (const auto &relay : relays)
            bytes += relay->bytesDown();
        return bytes / 1048576;
    }
};

// Plays `url` from the click whose clock is `click`, through a counting
// relay, and takes the figures; false when a figure could not be taken.
bool playTurn(Player &player, Lab &lab, const QElapsedTimer &click, const QString &url,
    const QByteArray &headers, Figures &figures)
{
    const QUrl address(url);
    LinkProxy::Link counting;
    counting.targetPort = quint16(address.port(80));
    LinkProxy reader(counting);
    QUrl relayed = address;
    relayed.setPort(reader.port());
    player.load(relayed.toString(), headers);
    if (!player.wait(30, MPV_EVENT_PLAYBACK_RESTART)) {
        std::fprintf(stderr, "no first frame from %s\n", qPrintable(url));
        return false;
    }
    figures.join = secondsSince(click);
    // A jump to the middle a moment after the start, while the middle has
    // not been fetched yet: then the play window, in which relays go silent.
    if (!player.wait(1)) {
        std::fprintf(stderr, "playback ended at once on %s\n", qPrintable(url));
        return false;
    }
    QElapsedTimer seek;
    seek.start();
    player.seekToPercent("50");
    if (!player.wait(30, MPV_EVENT_PLAYBACK_RESTART)) {
        std::fprintf(stderr, "no picture after the seek on %s\n", qPrintable(url));
        return false;
    }
    figures.seek = secondsSince(seek);
    player.takeWaited();
    QElapsedTimer played;
    played.start();
    for (int i = 0; i < lab.rows.size(); ++i) {
        if (lab.rows.at(i).silentAt <= 0)
            continue;
        if (!player.wait(lab.window * lab.rows.at(i).silentAt - secondsSince(played)))
            return false;
        lab.relays.at(std::size_t(i))->silence();
    }
    if (!player.wait(lab.window - secondsSince(played))) {
        std::fprintf(stderr, "playback ended early on %s\n", qPrintable(url));
        return false;
    }
    figures.rebuffer = player.takeWaited() / secondsSince(played);
    figures.unreadMiB = qMax(0.0, lab.fetchedMiB() - reader.bytesDown() / 1048576.0);
    player.stop();
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    setBenchEnvironment();
    const bool smoke = takeSmokeFlag(argc, argv);
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    const int rounds = smoke ? 0 : qMax(1, app.arguments().value(1, QStringLiteral("5")).toInt());

    Lab lab;
    for (const PeerRow &row : smoke ? QVector<PeerRow>(std::begin(SmokeSwarm), std::end(SmokeSwarm))
                                    : QVector<PeerRow>(std::begin(FullSwarm), std::end(FullSwarm)))
        lab.rows << row;
    lab.window = smoke ? 3 : 30;

    QTemporaryDir scratch;
    const QString media = scratch.filePath(QStringLiteral("media"));
    QDir().mkpath(media);
    TestMedia::Options options;
    options.seconds = smoke ? 12 : 90;
    options.width = 640;
    options.height = 360;
    options.noisyVideoKbps = 5000;
    const QString clip = TestMedia::makeVideo(media, QStringLiteral("clip.mp4"), options);
    if (clip.isEmpty())
        return 1;

    QVector<quint16> seederPorts;
    std::vector<std::unique_ptr<SeederNode>> seeders;
    for (const PeerRow &row : lab.rows) {
        seederPorts << ExternalSeeder::freePort();
        seeders.push_back(std::make_unique<SeederNode>(row.seeder, seederPorts.last()));
    }
    if (!lab.openRelays(seederPorts))
        return 1;

    // The service knows the relays as its peers, as webtorrent is told them.
    const QString data = scratch.filePath(QStringLiteral("service"));
    ServerProcess::admin({ QStringLiteral("add-user"), QStringLiteral("--data"), data,
        QStringLiteral("bench@tavrion.test"), QStringLiteral("tavrion123") });
    ServerProcess::admin({ QStringLiteral("grant-vip"), QStringLiteral("--data"), data,
        QStringLiteral("bench@tavrion.test"), QStringLiteral("--permanent"),
        QStringLiteral("--svip") });
    QStringList serviceArguments { QStringLiteral("--host"), QStringLiteral("127.0.0.1:0"),
        QStringLiteral("--bt"), QStringLiteral("--bt-dht"), QStringLiteral("off"),
        QStringLiteral("--bt-listen"), QStringLiteral("127.0.0.1:0") };
    for (const QString &peer : lab.relayAddresses())
        serviceArguments << QStringLiteral("--bt-peer") << peer;
    ServerProcess service;
    if (!service.start(data, serviceArguments)) {
        std::fprintf(stderr, "the server did not start: %s\n", qPrintable(service.errorOutput()));
        return 1;
    }
    Anchor anchor;
    if (!anchor.start()) {
        std::fprintf(stderr, "webtorrent did not start: run scripts/install-deps\n");
        return 1;
    }
    QDir::setCurrent(scratch.path());
    qputenv("TMPDIR", scratch.path().toLocal8Bit());
    AppSettings::initialize(QStringLiteral("Config.ini"));
    AppSettings::instance()->setServiceBaseAddress(service.baseAddress());
    UserSession::instance()->login(
        QStringLiteral("bench@tavrion.test"), QStringLiteral("tavrion123"));

    Player player;
    QVector<Figures> ours;
    QVector<Figures> theirs;
    int failures = 0;
    int turn = 0;
    for (int round = 0; round <= rounds; ++round) {
        Figures figures[2];
        bool taken[2] = { false, false };
        for (int order = 0; order < 2; ++order) {
            const int who = (order + round) % 2; // 0 the service, 1 webtorrent
            const QString dir = scratch.filePath(QStringLiteral("turn-%1").arg(turn));
            const QString name = QStringLiteral("lab-%1.mp4").arg(turn++);
            QDir().mkpath(dir);
            const QString torrent = dir + QStringLiteral(".torrent");
            bool made = QFile::link(clip, dir + QLatin1Char('/') + name);
            ServerProcess::admin(
                { QStringLiteral("make-torrent"), torrent, dir + QLatin1Char('/') + name }, &made);
            for (std::size_t i = 0; made && i < seeders.size(); ++i) {
                made = seeders.at(i)->start(torrent, dir);
                if (!made)
                    std::fprintf(stderr, "seeder %d did not start\n", int(i));
            }
            QString hash;
            for (const auto &seeder : seeders)
                hash = hash.isEmpty() ? seeder->infoHash() : hash;
            if (!made || hash.isEmpty()) {
                std::fprintf(stderr, "the swarm did not start\n");
                return 1;
            }
            lab.resetRelays();
            QElapsedTimer click;
            click.start();
            if (who == 0) {
                const QSharedPointer<VideoFileInfo> file
                    = resolveOnService(hash, &figures[0].listed);
                figures[0].resolved = secondsSince(click);
                taken[0] = file
                    && playTurn(player, lab, click, file->url,
                        "Cookie: " + file->comCookie.toUtf8(), figures[0]);
            } else {
                const QString url
                    = anchor.add(scratch.filePath(QStringLiteral("anchor-%1").arg(turn)), hash,
                        lab.relayAddresses());
                taken[1] = !url.isEmpty() && playTurn(player, lab, click, url, {}, figures[1]);
                anchor.remove();
            }
            for (const auto &seeder : seeders)
                seeder->stop();
        }
        std::printf("round %d: service join %.3f s (file list %.3f s, address %.3f s), rebuffer "
                    "%.2f %%, seek %.3f s, unread %.1f MiB; webtorrent join %.3f s, rebuffer "
                    "%.2f %%, seek %.3f s, unread %.1f MiB\n",
            round, figures[0].join, figures[0].listed, figures[0].resolved,
            figures[0].rebuffer * 100, figures[0].seek, figures[0].unreadMiB, figures[1].join,
            figures[1].rebuffer * 100, figures[1].seek, figures[1].unreadMiB);
        std::fflush(stdout);
        if (round == 0 && rounds > 0)
            continue; // warm-up
        for (int who = 0; who < 2; ++who) {
            if (taken[who])
                (who == 0 ? ours : theirs) << figures[who];
            else
                ++failures;
        }
    }

    const auto of = [](const QVector<Figures> &runs, double Figures::*field) {
        QVector<double> values;
        for (const Figures &run : runs)
            values << run.*field;
        return median(values);
    };
    const auto ratio = [](double a, double b) {
        return b > 0 ? QString::number(a / b, 'f', 2) : QStringLiteral("-");
    };
    std::printf(
        "\nswarm laboratory, medians of %d rounds (%d turns failed)\n", qMax(rounds, 1), failures);
    std::printf("clip %d s 640x360 at %d kbit/s video; %lld bytes\n", options.seconds,
        options.noisyVideoKbps, QFileInfo(clip).size());
    for (int i = 0; i < lab.rows.size(); ++i) {
        const PeerRow &row = lab.rows.at(i);
        std::printf("  seeder %d: %-14s +%3d ms each way, %.1f MB/s%s\n", i,
            row.seeder == Seeder::Aria2 ? "aria2c" : "tavrion-seeder", row.delayMs,
            row.megabytesPerSecond,
            row.silentAt > 0 ? qPrintable(QStringLiteral(", silent %1 s into the play window")
                                              .arg(lab.window * row.silentAt, 0, 'f', 1))
                             : "");
    }
    const struct
    {
        const char *name;
        double Figures::*field;
        double scale;
        const char *unit;
        const char *goal;
    } lines[] = { { "join (click to first frame)", &Figures::join, 1, "s", "<= 2 s" },
        { "rebuffer ratio", &Figures::rebuffer, 100, "%", "<= 0.5 %" },
        { "seek to 50 % until playing", &Figures::seek, 1, "s", "<= 1.5 s" },
        { "fetched, never read", &Figures::unreadMiB, 1, "MiB", "" } };
    std::printf("%-30s %12s %12s %7s  %s\n", "", "service", "webtorrent", "ratio", "goal");
    for (const auto &line : lines) {
        const double a = of(ours, line.field) * line.scale;
        const double b = of(theirs, line.field) * line.scale;
        std::printf("%-30s %8.3f %-3s %8.3f %-3s %7s  %s\n", line.name, a, line.unit, b, line.unit,
            qPrintable(ratio(a, b)), line.goal);
    }
    return failures > 0 ? 1 : 0;
}
