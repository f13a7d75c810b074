#include "app/appsettings.h"
#include "externalseeder.h"
#include "swarmtesting.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>

Q_DECLARE_METATYPE(SeederClient)

namespace {

// bittorrent-tracker from npm, run by tracker.mjs beside this suite's source.
class Tracker
{
public:
    ~Tracker()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    bool start()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("node"), { QStringLiteral(TAVRION_TRACKER_SCRIPT) });
        if (!m_process.waitForStarted(10000))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000 && m_process.state() == QProcess::Running) {
            if (!m_process.canReadLine() && !m_process.waitForReadyRead(1000))
                continue;
            const QStringList fields
                = QString::fromUtf8(m_process.readLine()).trimmed().split(QLatin1Char(' '));
            if (fields.value(0) == QLatin1String("listening")) {
                m_url = QStringLiteral("http://127.0.0.1:%1/announce").arg(fields.value(1));
                return true;
            }
        }
        return false;
    }
    QString url() const { return m_url; }
    // Waits until a peer at `address` announced itself.
    bool waitForPeer(const QString &address)
    {
        QElapsedTimer clock;
        clock.start();
        while (!m_peers.contains(address) && clock.elapsed() < 30000) {
            if (m_process.canReadLine() || m_process.waitForReadyRead(500)) {
                const QStringList fields
                    = QString::fromUtf8(m_process.readLine()).trimmed().split(QLatin1Char(' '));
                if (fields.value(0) == QLatin1String("peer"))
                    m_peers.insert(fields.value(1));
            }
        }
        return m_peers.contains(address);
    }

private:
    QProcess m_process;
    QString m_url;
    QSet<QString> m_peers;
};

} // namespace

class ServerInteropTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void streamsFromIndependentSeeders_data();
    void streamsFromIndependentSeeders();
    void corruptPieceIsNeverServed();
    void seederKilledMidReadEndsTheRangeCleanly();

private:
    // A server whose swarm side finds peers only as `peers` and `tracker` say.
    bool startServer(ServerProcess &server, const QString &name, const QStringList &peers,
        const QString &tracker, const QStringList &extra = {});

    ScopedWorkingDirectory m_dir;
    Tracker m_tracker;
    int m_seed = 0;
};

void ServerInteropTest::initTestCase()
{
    QVERIFY2(!ServerProcess::program().isEmpty(), "tavrion-server is not built");
    for (const char *program : { "aria2c", "transmission-daemon", "node" })
        QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty(),
            qPrintable(QStringLiteral("%1 is missing: run scripts/install-deps").arg(program)));
    QVERIFY2(m_tracker.start(), "the tracker did not start: run scripts/install-deps");
    AppSettings::initialize(m_dir.filePath("Config.ini"));
}

void ServerInteropTest::cleanupTestCase()
{
    AppSettings::release();
}

bool ServerInteropTest::startServer(ServerProcess &server, const QString &name,
    const QStringList &peers, const QString &tracker, const QStringList &extra)
{
    QStringList arguments { "--host", "127.0.0.1:0", "--bt", "--bt-listen", "127.0.0.1:0",
        "--bt-dht", "off", "--bt-metadata-wait", "2" };
    for (const QString &peer : peers)
        arguments << "--bt-peer" << peer;
    if (!tracker.isEmpty())
        arguments << "--bt-tracker" << tracker;
    if (!server.start(m_dir.filePath(name + QStringLiteral("-data")), arguments + extra)) {
        qWarning("%s", qPrintable(server.errorOutput()));
        return false;
    }
    AppSettings::instance()->setServiceBaseAddress(server.baseAddress());
    return true;
}

void ServerInteropTest::streamsFromIndependentSeeders_data()
{
    QTest::addColumn<SeederClient>("client");
    QTest::addColumn<bool>("throughTracker");
    QTest::newRow("aria2, named peer") << SeederClient::Aria2 << false;
    QTest::newRow("aria2, tracker") << SeederClient::Aria2 << true;
    QTest::newRow("transmission, named peer") << SeederClient::Transmission << false;
    QTest::newRow("transmission, tracker") << SeederClient::Transmission << true;
}

void ServerInteropTest::streamsFromIndependentSeeders()
{
    QFETCH(SeederClient, client);
    QFETCH(bool, throughTracker);
    const QString name = QStringLiteral("row%1").arg(++m_seed);
    const QByteArray clip = randomBytes(6 * 1024 * 1024 + 4321, quint32(m_seed));
    const QString torrent
        = makePayload(m_dir, name, clip, throughTracker ? m_tracker.url() : QString());
    QVERIFY(!torrent.isEmpty());
    ExternalSeeder seeder;
    QVERIFY(
        seeder.start(client, { torrent }, m_dir.filePath(name), m_dir.filePath(name + "-seeder")));
    // The service announces once: the seeder must be known to the tracker.
    QVERIFY(!throughTracker || m_tracker.waitForPeer(seeder.address()));
    ServerProcess server;
    QVERIFY(
        startServer(server, name, throughTracker ? QStringList() : QStringList { seeder.address() },
            throughTracker ? m_tracker.url() : QString()));

    const QSharedPointer<VideoFileInfo> info = resolveSwarmFile(torrentInfoHash(torrent), 15);
    QVERIFY(info);
    QCOMPARE(info->fileSize, quint64(clip.size()));
    const QUrl url = swarmFileUrl(server, *info);
    const QByteArray cookie = info->comCookie.toUtf8();
    // Ranges first, as a player seeks while the file still downloads; then
    // the whole file.
    QRandomGenerator random { quint32(m_seed) };
    for (int i = 0; i < 6; ++i) {
        const int at = random.bounded(clip.size());
        const int length = 1 + random.bounded(300 * 1024);
        const Reply part = get(
            url, cookie, QStringLiteral("bytes=%1-%2").arg(at).arg(at + length - 1).toLatin1());
        QCOMPARE(part.status, 206);
        QVERIFY2(part.body == clip.mid(at, length), qPrintable(QString::number(at)));
    }
    const Reply whole = get(url, cookie);
    QCOMPARE(whole.status, 200);
    QCOMPARE(whole.body.size(), clip.size());
    QVERIFY(whole.body == clip);
}

void ServerInteropTest::corruptPieceIsNeverServed()
{
    const QByteArray clip = randomBytes(4 * 1024 * 1024, 101);
    const QString torrent = makePayload(m_dir, "corrupt", clip);
    qint64 pieceLength = 0;
    const QString hash = torrentInfoHash(torrent, &pieceLength);
    QVERIFY(pieceLength > 0 && clip.size() / pieceLength >= 4);
    // The seeder's copy has one byte wrong in its third piece.
    const qint64 bad = 2 * pieceLength + 1000;
    QByteArray damaged = clip;
    damaged[int(bad)] = char(~damaged[int(bad)]);
    QVERIFY(writeFileBytes(m_dir.filePath("corrupt/corrupt.mp4"), damaged));
    ExternalSeeder seeder;
    QVERIFY(seeder.start(SeederClient::Aria2, { torrent }, m_dir.filePath("corrupt"),
        m_dir.filePath("corrupt-seeder"), false));
    ServerProcess server;
    QVERIFY(startServer(server, "corrupt", { seeder.address() }, {}, { "--bt-stall", "3" }));
    const QSharedPointer<VideoFileInfo> info = resolveSwarmFile(hash);
    QVERIFY(info);
    const QUrl url = swarmFileUrl(server, *info);
    const QByteArray cookie = info->comCookie.toUtf8();

    // The bytes before the bad piece arrive; the bad piece never does: the
    // read ends short once it stalls, and nothing it sent is wrong.
    const Reply across = get(url, cookie);
    QVERIFY(across.body.size() <= 2 * pieceLength);
    QVERIFY(clip.startsWith(across.body));
}

void ServerInteropTest::seederKilledMidReadEndsTheRangeCleanly()
{
    const QByteArray clip = randomBytes(16 * 1024 * 1024, 202);
    const QString torrent = makePayload(m_dir, "killed", clip);
    ExternalSeeder seeder;
    QVERIFY(seeder.start(SeederClient::Aria2, { torrent }, m_dir.filePath("killed"),
        m_dir.filePath("killed-seeder")));
    ServerProcess server;
    QVERIFY(startServer(server, "killed", { seeder.address() }, {},
        { "--bt-download-limit", "1M", "--bt-stall", "3" }));
    const QSharedPointer<VideoFileInfo> info = resolveSwarmFile(torrentInfoHash(torrent), 15);
    QVERIFY(info);
    const QUrl url = swarmFileUrl(server, *info);

    const std::optional<QByteArray> body
        = readWhileSeederVanishes(url, info->comCookie, [&seeder] { seeder.kill(); });
    QVERIFY(body);
    QVERIFY(body->size() < clip.size());
    QVERIFY(clip.startsWith(*body));
}

QTEST_MAIN(ServerInteropTest)
#include "tst_serverinterop.moc"
