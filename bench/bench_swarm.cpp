// tavrion-server's swarm side on loopback with one tavrion-seeder:
//  (a) play click to first frame for a resource the service has never seen
//      (file list call, file hash and address calls with the probe, libmpv
//      open), and the part of it after the file list answered, that is
//      after the metadata arrived;
//  (b) a seek to 80 % until libmpv plays again;
//  (a) and (b) also against a second service that fetches at most 1 MiB/s,
//      where the seek lands beyond what has been downloaded;
//  (c) the download rate of a 256 MiB file through the video host beside
//      libtorrent's own rate: a plain session fetching the same torrent from
//      the same seeder.
// Each round uses torrents of new names, so every resource is cold; the
// rounds interleave the service and the anchor. Prints medians.
//
// The libtorrent anchor runs with its quicker settings for the case: the
// warm-up round fetches the big file with libtorrent's defaults and with its
// high_performance_seed() pack (deeper queues, larger buffers), both on
// loopback-only networking, and keeps the faster.
//
// usage: bench_swarm [--cold] [ROUNDS] | --smoke   (default 7, after one warm-up
//        round; smoke: the warm-up round alone, counted, with a 10 s clip and a
//        16 MiB file; --cold: (a) without a limit alone, for quick comparisons)
#include "account/usersession.h"
#include "app/appsettings.h"
#include "benchtools.h"
#include "externalseeder.h"
#include "loopbacksettings.h"
#include "mediaserver.h"
#include "resource/videofileresolver.h"
#include "serverprocess.h"
#include "service/resourceendpoints.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <libtorrent/alert_types.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <mpv/client.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <fstream>

namespace {

qint64 BigFileSize = 256LL * 1024 * 1024;
constexpr int LimitedRate = 1024 * 1024; // bytes per second, 4x the clip's rate

// One tavrion-server with its swarm side, on a data folder of its own with
// the benchmark's VIP account.
struct Service
{
    ServerProcess process;

    bool start(const QString &data, const QString &peer, const QStringList &extra)
    {
        ServerProcess::admin({ QStringLiteral("add-user"), QStringLiteral("--data"), data,
            QStringLiteral("bench@tavrion.test"), QStringLiteral("tavrion123") });
        ServerProcess::admin({ QStringLiteral("grant-vip"), QStringLiteral("--data"), data,
            QStringLiteral("bench@tavrion.test"), QStringLiteral("--permanent"),
            QStringLiteral("--svip") });
        const bool started = process.start(data,
            QStringList { QStringLiteral("--host"), QStringLiteral("127.0.0.1:0"),
                QStringLiteral("--bt"), QStringLiteral("--bt-dht"), QStringLiteral("off"),
                QStringLiteral("--bt-listen"), QStringLiteral("127.0.0.1:0"),
                QStringLiteral("--bt-peer"), peer }
                + extra);
        if (!started)
            std::fprintf(
                stderr, "the server did not start: %s\n", qPrintable(process.errorOutput()));
        return started;
    }

    // Points the client's calls at this service, logged in.
    void use()
    {
        AppSettings::instance()->setServiceBaseAddress(process.baseAddress());
        // The host list on disk is the other service's: without it the
        // probes ask this service's hosts, not a host that knows no codes.
        QFile::remove(QStringLiteral("VideoFileURLDomains.dat"));
        VideoFileResolver::clearCachedDomainLists();
        UserSession::instance()->login(
            QStringLiteral("bench@tavrion.test"), QStringLiteral("tavrion123"));
    }
};

double secondsSince(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e9;
}

// A torrent of `payload` under the name `name`: the same piece hashes as
// `model` (the bytes are the same), a different info-hash. The payload is
// linked under the new name into `dir`, which becomes the payload folder.
QString torrentUnderName(
    const lt::torrent_info &model, const QString &payload, const QString &dir, const QString &name)
{
    QDir().mkpath(dir);
    const QString linked = dir + QLatin1Char('/') + name;
    QFile::remove(linked);
    if (!QFile::link(payload, linked) && !QFile::copy(payload, linked))
        return QString();
    lt::file_storage storage;
    storage.add_file(name.toStdString(), model.total_size());
    lt::create_torrent torrent(storage, model.piece_length(), lt::create_torrent::v1_only);
    for (const lt::piece_index_t piece : model.piece_range())
        torrent.set_hash(piece, model.hash_for_piece(piece));
    std::vector<char> bytes;
    lt::bencode(std::back_inserter(bytes), torrent.generate());
    const QString path = dir + QStringLiteral("/") + name + QStringLiteral(".torrent");
    std::ofstream(path.toStdString(), std::ios::binary)
        .write(bytes.data(), std::streamsize(bytes.size()));
    return path;
}

std::shared_ptr<lt::torrent_info> hashedTorrent(const QString &payload)
{
    lt::file_storage storage;
    lt::add_files(storage, payload.toStdString());
    lt::create_torrent torrent(storage, 0, lt::create_torrent::v1_only);
    lt::error_code error;
    lt::set_piece_hashes(torrent, QFileInfo(payload).absolutePath().toStdString(), error);
    if (error)
        return nullptr;
    std::vector<char> bytes;
    lt::bencode(std::back_inserter(bytes), torrent.generate());
    return std::make_shared<lt::torrent_info>(bytes, lt::from_span);
}

QString freeLoopbackAddress()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
}

// The file list call until the service has the metadata; the first answer
// may be the "try again shortly" refusal.
QSharedPointer<VideoFileInfo> listFirstFile(const QString &hash)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000) {
        const FileListResult list = getResourceFileList(hash);
        if (list.status == 1 && !list.files.isEmpty())
            return list.files.first();
        QThread::msleep(100);
    }
    return nullptr;
}

// Stands for the dialog's message label: notes when each step of the
// resolution starts, by the message the resolver shows for it.
class StepLabel : public QObject
{
public:
    StepLabel() { installEventFilter(this); }
    QElapsedTimer clock;
    QStringList texts;
    QVector<double> at; // seconds since construction, per text

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::DynamicPropertyChange) {
            texts << property("text").toString();
            at << secondsSince(clock);
        }
        return false;
    }
};

// Resolves the file to a playable address as the parse dialog's play button
// does; `probeSeconds` gets the time spent probing the hosts.
bool resolveAddress(const QSharedPointer<VideoFileInfo> &file, double *probeSeconds = nullptr)
{
    StepLabel messageLabel;
    messageLabel.clock.start();
    const bool resolved = VideoFileResolver::resolve(
        file, &messageLabel, false, VideoFileResolver::ParseDialogPlay);
    if (!resolved)
        std::fprintf(stderr, "resolve failed: %s\n",
            qPrintable(messageLabel.texts.value(-1 + messageLabel.texts.size())));
    const int probing = messageLabel.texts.indexOf(QStringLiteral("正在筛选视频文件地址..."));
    if (probeSeconds && probing >= 0)
        *probeSeconds = secondsSince(messageLabel.clock) - messageLabel.at.at(probing);
    return resolved;
}

bool waitForEvent(mpv_handle *mpv, mpv_event_id wanted, double timeoutSeconds)
{
    QElapsedTimer timer;
    timer.start();
    while (secondsSince(timer) < timeoutSeconds) {
        const mpv_event *event = mpv_wait_event(mpv, timeoutSeconds - secondsSince(timer));
        if (event->event_id == wanted)
            return true;
        if (event->event_id == MPV_EVENT_LOG_MESSAGE) {
            const auto *message = static_cast<const mpv_event_log_message *>(event->data);
            std::fprintf(stderr, "libmpv: %s: %s", message->prefix, message->text);
        }
        if (event->event_id == MPV_EVENT_END_FILE && wanted != MPV_EVENT_END_FILE)
            return false;
    }
    return false;
}

struct PlayFigures
{
    double fileList = 0; // click to the file list's answer (metadata there)
    double firstFrame = 0; // click to the first frame
    double afterMetadata = 0; // file list's answer to the first frame
    double resolve = 0; // file hash and address calls with the probe
    double probe = 0; // of which the probe of the hosts
    double open = 0; // libmpv's open to the first frame
    double seek = 0; // seek to 80 % until playing again
};

bool playRound(mpv_handle *mpv, const QString &hash, PlayFigures &figures)
{
    QElapsedTimer click;
    click.start();
    const QSharedPointer<VideoFileInfo> file = listFirstFile(hash);
    if (!file) {
        std::fprintf(stderr, "no file list for %s\n", qPrintable(hash));
        return false;
    }
    figures.fileList = secondsSince(click);
    if (!resolveAddress(file, &figures.probe))
        return false;
    figures.resolve = secondsSince(click) - figures.fileList;
    const QByteArray header = "Cookie: " + file->comCookie.toUtf8();
    mpv_set_property_string(mpv, "http-header-fields", header.constData());
    const QByteArray url = file->url.toUtf8();
    const char *load[] = { "loadfile", url.constData(), "replace", nullptr };
    mpv_command(mpv, load);
    bool played = waitForEvent(mpv, MPV_EVENT_PLAYBACK_RESTART, 30);
    if (played) {
        figures.firstFrame = secondsSince(click);
        figures.afterMetadata = figures.firstFrame - figures.fileList;
        figures.open = figures.afterMetadata - figures.resolve;
        QElapsedTimer seek;
        seek.start();
        const char *seekTo[] = { "seek", "80", "absolute-percent", nullptr };
        mpv_command(mpv, seekTo);
        played = waitForEvent(mpv, MPV_EVENT_PLAYBACK_RESTART, 30);
        figures.seek = secondsSince(seek);
    }
    if (!played)
        std::fprintf(stderr, "libmpv stopped or waited 30 s on %s\n", url.constData());
    const char *stop[] = { "stop", nullptr };
    mpv_command(mpv, stop);
    waitForEvent(mpv, MPV_EVENT_END_FILE, 10);
    return played;
}

// Whole-file GET of the resolved address; MiB/s, 0 on failure.
double serviceRate(const QString &hash)
{
    const QSharedPointer<VideoFileInfo> file = listFirstFile(hash);
    if (!file || !resolveAddress(file))
        return 0;
    QProcess curl;
    curl.start(QStringLiteral("curl"),
        { QStringLiteral("-sf"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
            QStringLiteral("-w"), QStringLiteral("%{size_download} %{time_total}"),
            QStringLiteral("-H"), QStringLiteral("Cookie: ") + file->comCookie, file->url });
    curl.waitForFinished(600000);
    const QStringList fields = QString::fromUtf8(curl.readAllStandardOutput()).split(' ');
    if (curl.exitCode() != 0 || fields.value(0).toLongLong() != BigFileSize) {
        std::fprintf(stderr, "download of %s failed: curl %d, %s bytes\n", qPrintable(file->url),
            curl.exitCode(), qPrintable(fields.value(0)));
        return 0;
    }
    return BigFileSize / 1048576.0 / fields.value(1).toDouble();
}

// Names of the settings the anchor is tried with.
const char *const AnchorSettings[] = { "defaults", "high_performance_seed" };

// A plain libtorrent session fetching the torrent from the seeder; MiB/s.
double libtorrentRate(
    const QString &torrentPath, const QString &seeder, const QString &saveDir, int settings)
{
    lt::session session(loopbackSettings());
    if (settings == 1)
        session.apply_settings(lt::high_performance_seed());
    lt::add_torrent_params params;
    params.ti = std::make_shared<lt::torrent_info>(torrentPath.toStdString());
    params.save_path = saveDir.toStdString();
    QElapsedTimer timer;
    timer.start();
    lt::torrent_handle torrent = session.add_torrent(params);
    const QString host = seeder.section(QLatin1Char(':'), 0, 0);
    const int port = seeder.section(QLatin1Char(':'), 1).toInt();
    torrent.connect_peer({ lt::make_address_v4(host.toStdString()), std::uint16_t(port) });
    while (!torrent.status().is_seeding) {
        if (timer.elapsed() > 600000)
            return 0;
        QThread::msleep(5);
    }
    return BigFileSize / 1048576.0 / secondsSince(timer);
}

QString infoHashOf(const QString &torrentPath)
{
    const lt::sha1_hash hash = lt::torrent_info(torrentPath.toStdString()).info_hashes().v1;
    return QString::fromLatin1(QByteArray(hash.data(), int(hash.size())).toHex());
}

// Seconds from the file list's answer (the metadata there) to the first MiB
// of the file through the service, resolution included; 0 on failure.
double serviceFirstMiB(const QString &hash)
{
    const QSharedPointer<VideoFileInfo> file = listFirstFile(hash);
    QElapsedTimer clock;
    clock.start();
    if (!file || !resolveAddress(file))
        return 0;
    QProcess curl;
    curl.start(QStringLiteral("curl"),
        { QStringLiteral("-sf"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
            QStringLiteral("-w"), QStringLiteral("%{size_download}"), QStringLiteral("-r"),
            QStringLiteral("0-1048575"), QStringLiteral("-H"),
            QStringLiteral("Cookie: ") + file->comCookie, file->url });
    curl.waitForFinished(120000);
    if (curl.exitCode() != 0 || curl.readAllStandardOutput() != "1048576")
        return 0;
    return secondsSince(clock);
}

// Seconds from the metadata to the first MiB in a plain libtorrent session
// fetching the torrent by its info-hash, in order, from `seeder`; 0 on failure.
double libtorrentFirstMiB(const QString &hash, const QString &seeder, const QString &saveDir)
{
    lt::session session(loopbackSettings());
    lt::add_torrent_params params;
    params.info_hashes
        = lt::info_hash_t(lt::sha1_hash(QByteArray::fromHex(hash.toLatin1()).constData()));
    params.save_path = saveDir.toStdString();
    params.flags |= lt::torrent_flags::sequential_download;
    lt::torrent_handle torrent = session.add_torrent(params);
    torrent.connect_peer(
        { lt::make_address_v4(seeder.section(QLatin1Char(':'), 0, 0).toStdString()),
            std::uint16_t(seeder.section(QLatin1Char(':'), 1).toInt()) });
    QElapsedTimer clock;
    clock.start();
    bool metadata = false;
    while (clock.elapsed() < 120000) {
        const lt::torrent_status status = torrent.status(lt::torrent_handle::query_pieces);
        if (!metadata && status.has_metadata) {
            metadata = true;
            clock.restart();
        }
        if (metadata) {
            const int pieces = int((1048576 - 1) / torrent.torrent_file()->piece_length()) + 1;
            int have = 0;
            while (have < pieces && status.pieces.get_bit(lt::piece_index_t(have)))
                ++have;
            if (have == pieces)
                return secondsSince(clock);
        }
        QThread::msleep(5);
    }
    return 0;
}

// Rounds of a Transmission seeder: the first MiB through the service and
// through a plain libtorrent session, interleaved, each from a torrent of its
// own.
int transmissionRounds(
    int rounds, const lt::torrent_info &clipModel, const QString &clip, const QString &scratch)
{
    const quint16 port = ExternalSeeder::freePort();
    const QString seederAddress = QStringLiteral("127.0.0.1:%1").arg(port);
    Service tavrion;
    if (!tavrion.start(scratch + QStringLiteral("/transmission-service"), seederAddress, {}))
        return 1;
    tavrion.use();
    QVector<double> ours;
    QVector<double> anchors;
    int failures = 0;
    for (int round = 0; round <= rounds; ++round) {
        const QString dir = scratch + QStringLiteral("/transmission-%1").arg(round);
        const QString viaService
            = torrentUnderName(clipModel, clip, dir, QStringLiteral("service-%1.mp4").arg(round));
        const QString viaLibtorrent
            = torrentUnderName(clipModel, clip, dir, QStringLiteral("plain-%1.mp4").arg(round));
        double service = 0;
        double anchor = 0;
        for (int turn = 0; turn < 2; ++turn) {
            const bool serviceTurn = (turn + round) % 2 == 0;
            // A daemon of its own for each, started the same way: Transmission
            // unchokes on a 10 s round from its start, which would otherwise
            // decide the figures.
            ExternalSeeder seeder;
            if (!seeder.start(SeederClient::Transmission,
                    { serviceTurn ? viaService : viaLibtorrent }, dir,
                    dir + (serviceTurn ? QStringLiteral("/seeder") : QStringLiteral("/anchor")),
                    true, port)) {
                std::fprintf(stderr, "transmission-daemon did not start\n");
                return 1;
            }
            // Its watch folder is read after it listens: the torrent is
            // loaded before anyone asks, so the figures show the transfer.
            QThread::sleep(2);
            if (serviceTurn)
                service = serviceFirstMiB(infoHashOf(viaService));
            else
                anchor = libtorrentFirstMiB(
                    infoHashOf(viaLibtorrent), seederAddress, dir + QStringLiteral("/plain"));
        }
        std::printf("round %d: first MiB from Transmission after the metadata: service %.3f s,"
                    " libtorrent %.3f s\n",
            round, service, anchor);
        std::fflush(stdout);
        if (round == 0 && rounds > 0)
            continue;
        if (service > 0 && anchor > 0) {
            ours << service;
            anchors << anchor;
        } else {
            ++failures;
        }
    }
    std::printf("\nTransmission seeder on loopback, medians of %d rounds (%d failed)\n",
        qMax(rounds, 1), failures);
    std::printf("  first MiB after the metadata, service          %8.3f s\n", median(ours));
    std::printf("  plain libtorrent session, in order             %8.3f s\n", median(anchors));
    std::printf("  ratio service / libtorrent                     %8.2f\n",
        median(anchors) > 0 ? median(ours) / median(anchors) : 0.0);
    return failures > 0 ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    setBenchEnvironment();
    const bool smoke = takeSmokeFlag(argc, argv);
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QStringList arguments = app.arguments();
    const bool coldOnly = arguments.removeAll(QStringLiteral("--cold")) > 0;
    const bool transmission = arguments.removeAll(QStringLiteral("--transmission")) > 0;
    const int rounds = smoke ? 0 : qMax(1, arguments.value(1, QStringLiteral("7")).toInt());
    if (smoke)
        BigFileSize = 16LL * 1024 * 1024;

    QTemporaryDir scratch;
    const QString media = scratch.filePath(QStringLiteral("media"));
    QDir().mkpath(media);
    TestMedia::Options options;
    options.seconds = smoke ? 10 : 60;
    options.width = 640;
    options.height = 360;
    options.noisyVideoKbps = 2000;
    const QString clip = TestMedia::makeVideo(media, QStringLiteral("clip.mp4"), options);
    const QString big = media + QStringLiteral("/big.bin");
    {
        QFile out(big);
        if (clip.isEmpty() || !out.open(QIODevice::WriteOnly))
            return 1;
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (qint64 written = 0; written < BigFileSize; written += block.size()) {
            QRandomGenerator::global()->fillRange(
                reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
            out.write(block);
        }
    }
    const auto clipModel = hashedTorrent(clip);
    const auto bigModel = hashedTorrent(big);
    if (!clipModel || !bigModel)
        return 1;

    // The service knows one peer for every resource: each round's seeder
    // listens on the same port. A second service fetches no faster than
    // LimitedRate, so that its seeks land where the download has not been.
    const QString seederAddress = freeLoopbackAddress();
    Service fast;
    Service limited;
    if (!fast.start(scratch.filePath(QStringLiteral("fast")), seederAddress, {})
        || !limited.start(scratch.filePath(QStringLiteral("limited")), seederAddress,
            { QStringLiteral("--bt-download-limit"), QStringLiteral("%1").arg(LimitedRate) }))
        return 1;
    QDir::setCurrent(scratch.path());
    qputenv("TMPDIR", scratch.path().toLocal8Bit());
    AppSettings::initialize(QStringLiteral("Config.ini"));
    if (transmission)
        return transmissionRounds(rounds, *clipModel, clip, scratch.path());

    mpv_handle *mpv = mpv_create();
    mpv_set_option_string(mpv, "vo", "null");
    mpv_set_option_string(mpv, "ao", "null");
    mpv_set_option_string(mpv, "idle", "yes");
    mpv_initialize(mpv);
    mpv_request_log_messages(mpv, "warn");

    QVector<PlayFigures> fastPlays;
    QVector<PlayFigures> limitedPlays;
    int fastFailures = 0;
    int limitedFailures = 0;
    int downloadFailures = 0;
    QVector<double> serviceRates;
    QVector<double> anchorRates;
    int anchorSettings = 0;
    for (int round = 0; round <= rounds; ++round) {
        const QString dir = scratch.filePath(QStringLiteral("round-%1").arg(round));
        SeederProcess seeder;
        const QString clipTorrent
            = torrentUnderName(*clipModel, clip, dir, QStringLiteral("clip-%1.mp4").arg(round));
        if (!seeder.start(clipTorrent, dir, seederAddress))
            return 1;
        PlayFigures fastPlay;
        PlayFigures limitedPlay;
        bool fastPlayed = false;
        bool limitedPlayed = false;
        for (int turn = 0; turn < 2; ++turn) {
            const bool fastTurn = (turn + round) % 2 == 0;
            if (coldOnly && !fastTurn)
                continue;
            (fastTurn ? fast : limited).use();
            (fastTurn ? fastPlayed : limitedPlayed)
                = playRound(mpv, seeder.infoHash(), fastTurn ? fastPlay : limitedPlay);
        }
        seeder.stop();

        if (coldOnly) {
            std::printf("round %d: first frame %.3f s (metadata %.3f s, resolve %.3f s of which "
                        "probe %.3f s, open %.3f s)\n",
                round, fastPlay.firstFrame, fastPlay.fileList, fastPlay.resolve, fastPlay.probe,
                fastPlay.open);
            std::fflush(stdout);
            if (round > 0 || rounds == 0) {
                if (fastPlayed)
                    fastPlays << fastPlay;
                else
                    ++fastFailures;
            }
            continue;
        }

        const QString bigTorrent
            = torrentUnderName(*bigModel, big, dir, QStringLiteral("big-%1.bin").arg(round));
        if (!seeder.start(bigTorrent, dir, seederAddress))
            return 1;
        const QString anchorDir = dir + QStringLiteral("/anchor");
        if (round == 0) {
            QVector<double> trial;
            anchorSettings = bestCandidate(
                int(std::size(AnchorSettings)), smoke ? 1 : 2,
                [&](int i) {
                    const double rate = libtorrentRate(bigTorrent, seederAddress, anchorDir, i);
                    QDir(anchorDir).removeRecursively();
                    return rate > 0 ? 1 / rate : -1;
                },
                &trial);
            for (int i = 0; i < int(std::size(AnchorSettings)); ++i)
                std::printf("warm-up: libtorrent with %s %.1f MiB/s\n", AnchorSettings[i],
                    trial.at(i) > 0 ? 1 / trial.at(i) : 0.0);
            if (anchorSettings < 0) {
                std::fprintf(stderr, "libtorrent did not fetch the big file\n");
                return 1;
            }
            std::printf("libtorrent anchor runs with %s\n", AnchorSettings[anchorSettings]);
        }
        fast.use();
        double service = 0;
        double anchor = 0;
        if (round % 2 == 0) {
            service = serviceRate(seeder.infoHash());
            anchor = libtorrentRate(bigTorrent, seederAddress, anchorDir, anchorSettings);
        } else {
            anchor = libtorrentRate(bigTorrent, seederAddress, anchorDir, anchorSettings);
            service = serviceRate(seeder.infoHash());
        }
        seeder.stop();
        QDir(anchorDir).removeRecursively();
        std::printf("round %d: first frame %.3f s (metadata %.3f s, resolve %.3f s of which probe"
                    " %.3f s, open %.3f s), seek %.3f s;"
                    " limited: first frame %.3f s, seek %.3f s; rate %.1f MiB/s, libtorrent "
                    "%.1f MiB/s\n",
            round, fastPlay.firstFrame, fastPlay.fileList, fastPlay.resolve, fastPlay.probe,
            fastPlay.open, fastPlay.seek, limitedPlay.firstFrame, limitedPlay.seek, service,
            anchor);
        std::fflush(stdout);
        if (round == 0 && rounds > 0)
            continue; // warm-up
        // A failed run counts apart and leaves no figure.
        if (fastPlayed)
            fastPlays << fastPlay;
        else
            ++fastFailures;
        if (limitedPlayed)
            limitedPlays << limitedPlay;
        else
            ++limitedFailures;
        if (service > 0)
            serviceRates << service;
        else
            ++downloadFailures;
        if (anchor > 0)
            anchorRates << anchor;
        else
            ++downloadFailures;
    }
    mpv_terminate_destroy(mpv);
    const int counted = qMax(rounds, 1);

    const auto of = [](const QVector<PlayFigures> &plays, double PlayFigures::*field) {
        QVector<double> values;
        for (const PlayFigures &play : plays)
            values << play.*field;
        return median(values);
    };
    std::printf("\nswarm on loopback, one seeder, medians of %d rounds\n", counted);
    std::printf("clip: %lld bytes, %d s 640x360 at 2 Mbit/s; big file %lld MiB\n",
        qint64(clipModel->total_size()), options.seconds, BigFileSize / 1048576);
    const struct
    {
        const char *name;
        const QVector<PlayFigures> *plays;
        int failures;
    } services[] = { { "service, no limit", &fastPlays, fastFailures },
        { "service fetching at most 1 MiB/s", &limitedPlays, limitedFailures } };
    for (const auto &[name, plays, failures] : services) {
        if (coldOnly && plays == &limitedPlays)
            break;
        std::printf("%s (%d of %d rounds failed to play):\n", name, failures, counted);
        std::printf("  (a) play click to first frame, cold resource   %8.3f s\n",
            of(*plays, &PlayFigures::firstFrame));
        std::printf("      file list (metadata there)                 %8.3f s\n",
            of(*plays, &PlayFigures::fileList));
        std::printf("      metadata to first frame (goal 2 s)         %8.3f s\n",
            of(*plays, &PlayFigures::afterMetadata));
        std::printf("      of which file hash, address, probe         %8.3f s\n",
            of(*plays, &PlayFigures::resolve));
        std::printf("        of which the probe                       %8.3f s\n",
            of(*plays, &PlayFigures::probe));
        std::printf("      libmpv open to first frame                 %8.3f s\n",
            of(*plays, &PlayFigures::open));
        std::printf("  (b) seek to 80 %% to playing again              %8.3f s\n",
            of(*plays, &PlayFigures::seek));
    }
    if (coldOnly)
        return fastFailures > 0 ? 1 : 0;
    std::printf("(c) download through the video host              %8.1f MiB/s (%d failed)\n",
        median(serviceRates), downloadFailures);
    std::printf("    libtorrent session (%s) from the same seeder %8.1f MiB/s\n",
        AnchorSettings[anchorSettings], median(anchorRates));
    std::printf("    ratio service / libtorrent                   %8.2f\n",
        median(anchorRates) > 0 ? median(serviceRates) / median(anchorRates) : 0.0);
    return fastFailures + limitedFailures + downloadFailures > 0 ? 1 : 0;
}
