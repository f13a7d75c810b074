#include "app/appsettings.h"
#include "service/serverclient.h"
#include "swarmtesting.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtTest>

class ServerSwarmTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void resolvesAndStreamsWhileDownloading();
    void seederVanishingEndsTheRange();
    void unknownHashAsksToTryAgainWithoutBlocking();
    void resumedStartFetchesThatPositionOnly();
    void nextVideoFileStartsPastEightyPercent();
    void evictionKeepsTheStreamingResource();
    void unlimitedFileCompletesOnceTheStreamEnds();
    void restartResumesFromTheCache();

private:
    bool startServer(ServerProcess &server, const QString &data, const QStringList &peers,
        const QStringList &extra);
    static QString cacheFolder(const QString &data, const QString &hash);

    ScopedWorkingDirectory m_dir;
    ServerProcess m_server;
    SeederProcess m_clipSeeder;
    SeederProcess m_vanishSeeder;
    QByteArray m_clip = randomBytes(8 * 1024 * 1024, 1);
    // Large enough that the download (at most 1 MiB/s) cannot finish before
    // the seeder is killed, even on a loaded machine.
    QByteArray m_vanish = randomBytes(16 * 1024 * 1024, 2);
    QString m_libraryCopy;
    SeederProcess m_resumeSeeder;
    QByteArray m_resume = randomBytes(4 * 1024 * 1024, 5);
    // Three episodes; in name order ep1, ep2, ep10.
    SeederProcess m_showSeeder;
    QMap<QString, QByteArray> m_episodes { { "ep1.mp4", randomBytes(2 * 1024 * 1024, 6) },
        { "ep10.mp4", randomBytes(2 * 1024 * 1024, 7) },
        { "ep2.mp4", randomBytes(2 * 1024 * 1024, 8) } };
};

bool ServerSwarmTest::startServer(
    ServerProcess &server, const QString &data, const QStringList &peers, const QStringList &extra)
{
    QStringList arguments { "--host", "127.0.0.1:0", "--bt", "--bt-listen", "127.0.0.1:0",
        "--bt-dht", "off", "--bt-metadata-wait", "2" };
    for (const QString &peer : peers)
        arguments << "--bt-peer" << peer;
    if (!server.start(data, arguments + extra)) {
        qWarning("%s", qPrintable(server.errorOutput()));
        return false;
    }
    AppSettings::instance()->setServiceBaseAddress(server.baseAddress());
    return true;
}

QString ServerSwarmTest::cacheFolder(const QString &data, const QString &hash)
{
    return data + QStringLiteral("/swarm/") + hash;
}

void ServerSwarmTest::initTestCase()
{
    QVERIFY2(!ServerProcess::program().isEmpty(), "tavrion-server is not built");
    QVERIFY2(!builtProgram("tavrion-seeder").isEmpty(), "tavrion-seeder is not built");
    AppSettings::initialize(m_dir.filePath("Config.ini"));
    QVERIFY(m_clipSeeder.start(makePayload(m_dir, "clip", m_clip), m_dir.filePath("clip")));
    QVERIFY(m_vanishSeeder.start(makePayload(m_dir, "vanish", m_vanish), m_dir.filePath("vanish")));
    QVERIFY(m_resumeSeeder.start(makePayload(m_dir, "resume", m_resume), m_dir.filePath("resume")));
    for (auto it = m_episodes.cbegin(); it != m_episodes.cend(); ++it)
        QVERIFY(writeFileBytes(m_dir.filePath("shows/show/" + it.key()), it.value()));
    bool made = false;
    ServerProcess::admin(
        { "make-torrent", m_dir.filePath("show.torrent"), m_dir.filePath("shows/show") }, &made);
    QVERIFY(made);
    QVERIFY(m_showSeeder.start(m_dir.filePath("show.torrent"), m_dir.filePath("shows")));
    // The library already holds the clip's bytes under another resource.
    QVERIFY(writeFileBytes(m_dir.filePath("copy/clip.mp4"), m_clip));
    m_libraryCopy = ServerProcess::admin(
        { "add-folder", "--data", m_dir.filePath("data"), m_dir.filePath("copy") })
                        .trimmed();
    QVERIFY(startServer(m_server, m_dir.filePath("data"),
        { m_clipSeeder.address(), m_vanishSeeder.address(), m_resumeSeeder.address(),
            m_showSeeder.address() },
        { "--bt-download-limit", "1M", "--bt-stall", "5" }));
}

void ServerSwarmTest::cleanupTestCase()
{
    QVERIFY2(m_server.stop(), qPrintable(m_server.errorOutput()));
    AppSettings::release();
}

void ServerSwarmTest::resolvesAndStreamsWhileDownloading()
{
    const QSharedPointer<VideoFileInfo> info = resolveSwarmFile(m_clipSeeder.infoHash());
    QVERIFY(info);
    QCOMPARE(info->fileSize, quint64(m_clip.size()));
    QCOMPARE(info->name, QStringLiteral("clip.mp4"));
    // Resolved but not streamed, the resource holds its peer and fetches nothing.
    QTest::qWait(1500);
    const QString idle
        = ServerProcess::admin({ "list-resources", "--data", m_dir.filePath("data") });
    QVERIFY2(idle.contains(m_clipSeeder.infoHash() + "\n  swarm: active, 0.0%, peers 1,"),
        qPrintable(idle));
    // Until the bytes are all verified the file goes by an id of its own.
    const QString swarmId = info->jxhash;
    QCOMPARE(swarmId.size(), 40);
    QVERIFY(swarmId != sha1Hex(m_clip));
    QVERIFY(!info->remapped);
    const QUrl url = swarmFileUrl(m_server, *info);
    const QByteArray cookie = info->comCookie.toUtf8();

    // A seek to 80 % is answered long before the download (1 MB/s) gets there.
    const int at = m_clip.size() * 8 / 10;
    const Reply part
        = get(url, cookie, QStringLiteral("bytes=%1-%2").arg(at).arg(at + 65535).toLatin1());
    QCOMPARE(part.status, 206);
    QVERIFY(part.body == m_clip.mid(at, 65536));
    const auto probe = QSharedPointer<VideoFileInfo>::create(*info);
    QCOMPARE(getVideoFileHash(probe).status, 1);
    QCOMPARE(probe->jxhash, swarmId);
    const Reply beyond
        = get(url, cookie, QStringLiteral("bytes=%1-").arg(m_clip.size()).toLatin1());
    QCOMPARE(beyond.status, 416);
    QCOMPARE(beyond.contentRange, QStringLiteral("bytes */%1").arg(m_clip.size()).toLatin1());

    // The whole file waits for its pieces on an open connection. A range
    // opened meanwhile (a seek, the older range left open) gets its bytes,
    // and the older range still finishes.
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setRawHeader("Cookie", cookie);
    const std::unique_ptr<QNetworkReply> whole(manager.get(request));
    QTRY_VERIFY_WITH_TIMEOUT(whole->bytesAvailable() > 0, 30000);
    const int late = m_clip.size() * 9 / 10;
    const Reply seek
        = get(url, cookie, QStringLiteral("bytes=%1-%2").arg(late).arg(late + 65535).toLatin1());
    QCOMPARE(seek.status, 206);
    QVERIFY(seek.body == m_clip.mid(late, 65536));
    QTRY_VERIFY_WITH_TIMEOUT(whole->isFinished(), 60000);
    QCOMPARE(whole->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QVERIFY(whole->readAll() == m_clip);

    // Complete, it is named by its content and remaps to the library's copy.
    QTRY_VERIFY_WITH_TIMEOUT(
        getVideoFileHash(probe).status == 1 && probe->jxhash == sha1Hex(m_clip) && probe->remapped,
        15000);
    QCOMPARE(probe->remappedHash, m_libraryCopy);
    // A client that kept the earlier id still gets an address.
    const auto kept = QSharedPointer<VideoFileInfo>::create();
    kept->hash = m_clipSeeder.infoHash();
    kept->fileSize = quint64(m_clip.size());
    kept->jxhash = swarmId;
    QCOMPARE(getVideoFileAddress(kept, 1).status, 1);
    const auto wrongSize = QSharedPointer<VideoFileInfo>::create(*kept);
    wrongSize->fileSize += 1;
    QCOMPARE(getVideoFileAddress(wrongSize, 0).status, 0);

    const struct
    {
        QByteArray range;
        int status;
        QByteArray body;
    } ranges[] = {
        { "bytes=0-99", 206, m_clip.left(100) },
        { "bytes=-100", 206, m_clip.right(100) },
        { "bytes=100-", 206, m_clip.mid(100) },
        { QStringLiteral("bytes=%1-%2").arg(m_clip.size() + 10).arg(m_clip.size() + 20).toLatin1(),
            416, {} },
    };
    for (const auto &range : ranges) {
        const Reply reply
            = get(swarmFileUrl(m_server, *kept), kept->comCookie.toUtf8(), range.range);
        QCOMPARE(reply.status, range.status);
        if (range.status == 206)
            QVERIFY2(reply.body == range.body, range.range.constData());
    }

    // The operator sees the resource with its progress, peers and rates.
    QTRY_VERIFY_WITH_TIMEOUT(
        ServerProcess::admin({ "list-resources", "--data", m_dir.filePath("data") })
            .contains(QRegularExpression(m_clipSeeder.infoHash()
                + "\\n  swarm: active, 100.0%, peers \\d+, down [0-9.]+ [KMG]?B/s, up [0-9.]+ "
                  "[KMG]?B/s, streams 0\\n")),
        5000);
}

void ServerSwarmTest::seederVanishingEndsTheRange()
{
    const QSharedPointer<VideoFileInfo> info = resolveSwarmFile(m_vanishSeeder.infoHash());
    QVERIFY(info);
    const QUrl url = swarmFileUrl(m_server, *info);
    // The range ends short of its length once no piece came for the stall
    // limit (5 s), and the service goes on answering.
    const std::optional<QByteArray> body
        = readWhileSeederVanishes(url, info->comCookie, [this] { m_vanishSeeder.kill(); });
    QVERIFY(body);
    QVERIFY(body->size() < m_vanish.size());
    QVERIFY(m_vanish.startsWith(*body));
    QCOMPARE(getResourceFileList(m_clipSeeder.infoHash()).status, 1);
}

void ServerSwarmTest::unknownHashAsksToTryAgainWithoutBlocking()
{
    // More waiting file lists than the service has worker threads, then a
    // call that must not wait behind them.
    QNetworkAccessManager manager;
    QVector<QNetworkReply *> waiting;
    for (int i = 0; i < 8; ++i) {
        const QByteArray query = encodeRequestParameters(
            { "r=www/default/pc", "do=getNewHashFileList",
                "hash=" + QString(40, QLatin1Char("abcdef01"[i])), "_s=pc" },
            true);
        waiting.append(
            manager.get(QNetworkRequest(QUrl(m_server.baseAddress() + "/server/?" + query))));
    }
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(300);
    QCOMPARE(getResourceFileList(m_clipSeeder.infoHash()).status, 1);
    QVERIFY(std::none_of(waiting.begin(), waiting.end(),
        [](const QNetworkReply *reply) { return reply->isFinished(); }));
    for (QNetworkReply *reply : waiting) {
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 10000);
        const QJsonObject envelope = QJsonDocument::fromJson(reply->readAll()).object();
        QCOMPARE(envelope.value("statu").toInt(), 0);
        QCOMPARE(envelope.value("msg").toString(), QStringLiteral("资源正在获取中，请稍后再试"));
        delete reply;
    }
    QVERIFY(clock.elapsed() >= 1800);
}

// The first bytes of a cached file, empty when it has none yet.
static QByteArray cachedHead(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(16384) : QByteArray();
}

void ServerSwarmTest::resumedStartFetchesThatPositionOnly()
{
    // A play resumed at 60 %: its bytes come, and with the bandwidth short
    // nothing fetched the head of the file for it.
    const QSharedPointer<VideoFileInfo> info = resolveSwarmFile(m_resumeSeeder.infoHash());
    QVERIFY(info);
    const int at = m_resume.size() * 6 / 10;
    const Reply part = get(swarmFileUrl(m_server, *info), info->comCookie.toUtf8(),
        QStringLiteral("bytes=%1-%2").arg(at).arg(at + 65535).toLatin1());
    QCOMPARE(part.status, 206);
    QVERIFY(part.body == m_resume.mid(at, 65536));
    const QString cached
        = cacheFolder(m_dir.filePath("data"), m_resumeSeeder.infoHash()) + "/resume.mp4";
    QVERIFY(QFileInfo::exists(cached));
    QVERIFY(cachedHead(cached) != m_resume.left(16384));
}

void ServerSwarmTest::nextVideoFileStartsPastEightyPercent()
{
    const FileListResult list = getResourceFileList(m_showSeeder.infoHash());
    QCOMPARE(list.status, 1);
    QSharedPointer<VideoFileInfo> first;
    for (const QSharedPointer<VideoFileInfo> &file : list.files) {
        if (file->name == QLatin1String("ep1.mp4"))
            first = file;
    }
    QVERIFY(first);
    QCOMPARE(getVideoFileHash(first).status, 1);
    QCOMPARE(getVideoFileAddress(first, 0).status, 1);
    const QByteArray &episode = m_episodes.value("ep1.mp4");
    const int at = episode.size() * 85 / 100;
    const Reply part = get(swarmFileUrl(m_server, *first), first->comCookie.toUtf8(),
        QStringLiteral("bytes=%1-%2").arg(at).arg(at + 65535).toLatin1());
    QVERIFY(part.body == episode.mid(at, 65536));
    // The next episode in name order is ep2, not ep10.
    const QString folder = cacheFolder(m_dir.filePath("data"), m_showSeeder.infoHash()) + "/show/";
    QTRY_VERIFY_WITH_TIMEOUT(
        cachedHead(folder + "ep2.mp4") == m_episodes.value("ep2.mp4").left(16384), 15000);
    QVERIFY(cachedHead(folder + "ep10.mp4") != m_episodes.value("ep10.mp4").left(16384));
}

void ServerSwarmTest::evictionKeepsTheStreamingResource()
{
    // A cache of 1 MB: each resource alone is larger, so only being streamed
    // keeps one in it.
    const QByteArray first = randomBytes(1536 * 1024, 3);
    const QByteArray second = randomBytes(3 * 1024 * 1024, 4);
    SeederProcess firstSeeder;
    SeederProcess secondSeeder;
    QVERIFY(firstSeeder.start(makePayload(m_dir, "first", first), m_dir.filePath("first")));
    QVERIFY(secondSeeder.start(makePayload(m_dir, "second", second), m_dir.filePath("second")));
    ServerProcess server;
    const QString data = m_dir.filePath("small");
    QVERIFY(startServer(server, data, { firstSeeder.address(), secondSeeder.address() },
        { "--bt-cache-size", "1M", "--bt-download-limit", "1M" }));

    const QSharedPointer<VideoFileInfo> early = resolveSwarmFile(firstSeeder.infoHash());
    QVERIFY(early);
    const QString earlyId = early->jxhash;
    QVERIFY(get(swarmFileUrl(server, *early), early->comCookie.toUtf8()).body == first);
    // Streamed to its end, the first resource leaves the cache; its file goes
    // by its own id again.
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(cacheFolder(data, firstSeeder.infoHash())), 10000);
    QCOMPARE(getVideoFileHash(early).status, 1);
    QCOMPARE(early->jxhash, earlyId);

    // Three seconds of streaming at 1 MB/s, every one of them over the bound.
    const QSharedPointer<VideoFileInfo> late = resolveSwarmFile(secondSeeder.infoHash());
    QVERIFY(late);
    QVERIFY(get(swarmFileUrl(server, *late), late->comCookie.toUtf8()).body == second);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(cacheFolder(data, secondSeeder.infoHash())), 10000);
    QVERIFY(server.stop());
    AppSettings::instance()->setServiceBaseAddress(m_server.baseAddress());
}

void ServerSwarmTest::unlimitedFileCompletesOnceTheStreamEnds()
{
    // Without a limit only the streams' windows are fetched while they read;
    // the rest of the file follows when the last one ends, and a download
    // of the whole file gets every byte.
    ServerProcess server;
    const QString data = m_dir.filePath("unlimited");
    QVERIFY(startServer(server, data, { m_resumeSeeder.address() }, {}));
    const QSharedPointer<VideoFileInfo> info = resolveSwarmFile(m_resumeSeeder.infoHash());
    QVERIFY(info);
    const int at = m_resume.size() / 2;
    const Reply part = get(swarmFileUrl(server, *info), info->comCookie.toUtf8(),
        QStringLiteral("bytes=%1-%2").arg(at).arg(at + 65535).toLatin1());
    QVERIFY(part.body == m_resume.mid(at, 65536));
    const QString cached = cacheFolder(data, m_resumeSeeder.infoHash()) + "/resume.mp4";
    QTRY_VERIFY_WITH_TIMEOUT(readFileBytes(cached) == m_resume, 15000);
    QVERIFY(get(swarmFileUrl(server, *info), info->comCookie.toUtf8()).body == m_resume);
    QVERIFY(server.stop());
    AppSettings::instance()->setServiceBaseAddress(m_server.baseAddress());
}

void ServerSwarmTest::restartResumesFromTheCache()
{
    // No peer left: the file list comes from the database and the bytes
    // from the cache folder.
    m_clipSeeder.kill();
    QVERIFY(m_server.stop());
    QVERIFY(startServer(m_server, m_dir.filePath("data"), {}, {}));
    const QSharedPointer<VideoFileInfo> info = resolveSwarmFile(m_clipSeeder.infoHash());
    QVERIFY(info);
    QCOMPARE(info->jxhash, sha1Hex(m_clip));
    const auto direct = QSharedPointer<VideoFileInfo>::create(*info);
    direct->remapped = false;
    QCOMPARE(getVideoFileAddress(direct, 1).status, 1);
    const Reply tail
        = get(swarmFileUrl(m_server, *direct), direct->comCookie.toUtf8(), "bytes=-4096");
    QCOMPARE(tail.status, 206);
    QVERIFY(tail.body == m_clip.right(4096));
}

QTEST_MAIN(ServerSwarmTest)
#include "tst_serverswarm.moc"
