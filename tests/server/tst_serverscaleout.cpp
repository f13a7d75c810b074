#include "app/appsettings.h"
#include "postgresfixture.h"
#include "serverprocess.h"
#include "service/accountendpoints.h"
#include "service/resourceendpoints.h"
#include "swarmtesting.h"
#include "testdir.h"

#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QtTest>

// Two service processes and two video-host nodes over one database, on
// loopback. The client's one session moves between the service processes,
// as behind a balancer.
namespace {

void use(const ServerProcess &service)
{
    AppSettings::instance()->setServiceBaseAddress(service.baseAddress());
}

// The address of a library clip (its only file), issued anew.
QSharedPointer<VideoFileInfo> address(const ServerProcess &service, const QString &hash)
{
    use(service);
    const FileListResult list = getResourceFileList(hash);
    if (list.files.size() != 1 || getVideoFileAddress(list.files.first(), 1).status != 1)
        return QSharedPointer<VideoFileInfo>::create();
    return list.files.first();
}

QPair<int, QByteArray> stream(const QString &host, const VideoFileInfo &file, const char *range)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl("http://" + host + "/ftn_handler/" + file.code));
    request.setRawHeader("Cookie", file.comCookie.toLatin1());
    request.setRawHeader("Range", range);
    QNetworkReply *reply = manager.get(request);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(20000);
    const QPair<int, QByteArray> result {
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()
    };
    delete reply;
    return result;
}

void copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        writeFileBytes(to + '/' + QDir(from).relativeFilePath(source), readFileBytes(source));
    }
}

QStringList favouriteHashes()
{
    QStringList hashes;
    for (const auto &file : getCollectList().files)
        hashes.append(file->hash);
    return hashes;
}

} // namespace

class ServerScaleOutTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { AppSettings::release(); }
    void accountsAndFavouritesAreShared();
    void addressesNameALiveHolder();
    void nodesServeOnlyTheirLibrary();
    void swarmResourcesLiveOnTheirOwningNode();
    void stoppedNodesAreNamedNoMore();
    void killedServiceLosesNoAcknowledgedWrite();

private:
    QString addClip(const QString &name, const QByteArray &bytes);
    QString fileOf(const QString &node, const QString &hash) const;
    int signUp(const ServerProcess &service, const QString &email);
    // The host named for the clip, once it is `wanted` or after 10 s.
    QString fieldWithin(const QString &hash, const QString &wanted);
    // The same, for the swarm clip's one file.
    QString swarmFieldWithin(const QString &hash, const QString &wanted);

    PostgresCluster m_cluster;
    ScopedWorkingDirectory m_dir;
    QString m_api;
    QStringList m_database; // how every process reaches the shared database
    ServerProcess m_service1, m_service2, m_node1, m_node2;
    QByteArray m_both, m_one, m_none; // held by both nodes, by node 1, by none
    QString m_bothHash, m_oneHash, m_noneHash;
};

QString ServerScaleOutTest::addClip(const QString &name, const QByteArray &bytes)
{
    const QString torrent = m_dir.filePath(name + ".torrent");
    writeFileBytes(m_dir.filePath(name + "/" + name + ".mp4"), bytes);
    ServerProcess::admin({ "make-torrent", torrent, m_dir.filePath(name) });
    return ServerProcess::admin({ "add-resource", "--data", m_api, torrent, m_dir.path() })
        .trimmed();
}

QString ServerScaleOutTest::fileOf(const QString &node, const QString &hash) const
{
    QDirIterator it(
        m_dir.filePath(node + "/library/" + hash), QDir::Files, QDirIterator::Subdirectories);
    return it.next();
}

int ServerScaleOutTest::signUp(const ServerProcess &service, const QString &email)
{
    use(service);
    getCaptchaImage();
    return userRegister("ABCD", email, "secret-1", {}).status;
}

void ServerScaleOutTest::initTestCase()
{
    if (testsUsePostgres()) {
        if (!m_cluster.start())
            QSKIP(qPrintable(m_cluster.reason()));
        const QString url = m_cluster.createDatabase();
        QVERIFY2(!url.isEmpty(), qPrintable(m_cluster.reason()));
        ServerProcess::setDatabase(url);
    }
    AppSettings::initialize(m_dir.filePath("Config.ini"));
    QRandomGenerator random(7);
    m_both.resize(300 * 1024);
    for (char &byte : m_both)
        byte = char(random.bounded(256));
    m_one = m_both.mid(1000, 200 * 1024);
    m_none = m_both.left(50 * 1024);
    m_api = m_dir.filePath("api");
    m_bothHash = addClip("both", m_both);
    m_oneHash = addClip("one", m_one);
    m_noneHash = addClip("none", m_none);
    QCOMPARE(m_noneHash.size(), 40);
    // Without PostgreSQL the nodes share the services' SQLite file.
    if (!testsUsePostgres())
        m_database = QStringList { "--database", m_api + "/tavrion.db" };

    // Node 2's copy of the second clip is cut short: it must not offer it.
    copyTree(m_api + "/library", m_dir.filePath("node1/library"));
    QVERIFY(QFile::remove(fileOf("node1", m_noneHash)));
    copyTree(m_api + "/library/" + m_bothHash, m_dir.filePath("node2/library/" + m_bothHash));
    copyTree(m_api + "/library/" + m_oneHash, m_dir.filePath("node2/library/" + m_oneHash));
    QVERIFY(QFile::resize(fileOf("node2", m_oneHash), m_one.size() - 1));

    QVERIFY(m_service1.start(m_api, { "--captcha-text", "ABCD" }));
    QVERIFY(m_service2.start(m_api, { "--captcha-text", "ABCD" }));
    QVERIFY2(
        m_node1.startHost(m_dir.filePath("node1"), m_database), qPrintable(m_node1.errorOutput()));
    QVERIFY(m_node2.startHost(m_dir.filePath("node2"), m_database));
}

void ServerScaleOutTest::accountsAndFavouritesAreShared()
{
    QCOMPARE(signUp(m_service1, "a@example.com"), 1);
    use(m_service2);
    QCOMPARE(userLogin("a@example.com", "secret-1").status, 1);
    QCOMPARE(addCollect(m_bothHash, 0, "both").status, 1);
    use(m_service1);
    QCOMPARE(favouriteHashes(), QStringList { m_bothHash });
}

void ServerScaleOutTest::addressesNameALiveHolder()
{
    QStringList nodes { m_node1.hostName(), m_node2.hostName() };
    nodes.sort();
    use(m_service2);
    QCOMPARE(getVideoDomainList().domains, nodes + QStringList { m_service2.serviceAddress() });

    // Codes of a clip both hold spread over both, from either service; the
    // node named streams the exact bytes of a range.
    QSet<QString> named;
    for (int i = 0; i < 16; ++i) {
        const auto both = address(i % 2 ? m_service1 : m_service2, m_bothHash);
        QVERIFY2(nodes.contains(both->host), qPrintable(both->host));
        named.insert(both->host);
        if (i < 2)
            QCOMPARE(stream(both->host, *both, "bytes=1000-70999"),
                qMakePair(206, m_both.mid(1000, 70000)));
    }
    QCOMPARE(named.size(), 2);

    // Only node 1 holds the second clip whole; node 2 answers 404 for it.
    const auto one = address(m_service1, m_oneHash);
    QCOMPARE(one->host, m_node1.hostName());
    QCOMPARE(stream(m_node1.hostName(), *one, "bytes=0-").second, m_one);
    QCOMPARE(stream(m_node2.hostName(), *one, "bytes=0-").first, 404);

    // A clip no node holds is served by the service itself, as without nodes.
    const auto none = address(m_service2, m_noneHash);
    QCOMPARE(none->host, m_service2.serviceAddress());
    QCOMPARE(stream(none->host, *none, "bytes=10-19").second, m_none.mid(10, 10));
}

namespace {

// Changes one byte of a file where it is, keeping its size and inode.
bool writeByteInPlace(const QString &path, qint64 offset, char byte)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(offset) && file.putChar(byte);
}

} // namespace

void ServerScaleOutTest::nodesServeOnlyTheirLibrary()
{
    // A copy whose time changed but whose bytes did not is checked and
    // served; one changed in place under the same size is refused until its
    // bytes are the library's again.
    const QString copy = fileOf("node2", m_bothHash);
    const auto both = address(m_service1, m_bothHash);
    const QPair<int, QByteArray> head { 206, m_both.left(100) };
    {
        QFile file(copy);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(
            QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    }
    QCOMPARE(stream(m_node2.hostName(), *both, "bytes=0-99"), head);
    QVERIFY(writeByteInPlace(copy, 5000, char(~m_both.at(5000))));
    QCOMPARE(stream(m_node2.hostName(), *both, "bytes=0-99").first, 404);
    QVERIFY(writeByteInPlace(copy, 5000, m_both.at(5000)));
    QCOMPARE(stream(m_node2.hostName(), *both, "bytes=0-99"), head);

    // A link that leads out of the library folder is not followed, even to
    // the right bytes.
    const QString one = fileOf("node1", m_oneHash);
    const QString outside = m_dir.filePath("outside.mp4");
    const auto oneAddress = address(m_service1, m_oneHash);
    QVERIFY(QFile::rename(one, outside));
    QVERIFY(QFile::link(outside, one));
    QCOMPARE(stream(m_node1.hostName(), *oneAddress, "bytes=0-9").first, 404);
    QVERIFY(QFile::remove(one));
    QVERIFY(QFile::rename(outside, one));
    QCOMPARE(stream(m_node1.hostName(), *oneAddress, "bytes=0-9"), qMakePair(206, m_one.left(10)));
}

QString ServerScaleOutTest::fieldWithin(const QString &hash, const QString &wanted)
{
    QString field;
    QDeadlineTimer deadline(10000);
    do {
        field = address(m_service1, hash)->host;
        if (field == wanted)
            break;
        QTest::qWait(250);
    } while (!deadline.hasExpired());
    return field;
}

QString ServerScaleOutTest::swarmFieldWithin(const QString &hash, const QString &wanted)
{
    QString field;
    QDeadlineTimer deadline(15000);
    do {
        const auto info = resolveSwarmFile(hash);
        field = info ? info->host : QString();
        if (field == wanted)
            break;
        QTest::qWait(250);
    } while (!deadline.hasExpired());
    return field;
}

void ServerScaleOutTest::swarmResourcesLiveOnTheirOwningNode()
{
    // Two swarm nodes and one seeder; the services have no swarm of their
    // own, so the file list reaches them through the database.
    const QByteArray clip = randomBytes(3 * 1024 * 1024, 9);
    SeederProcess seeder;
    QVERIFY(seeder.start(makePayload(m_dir, "swarmclip", clip), m_dir.filePath("swarmclip")));
    const QString hash = seeder.infoHash();
    const QStringList bt { "--bt", "--bt-listen", "127.0.0.1:0", "--bt-dht", "off", "--bt-peer",
        seeder.address() };
    ServerProcess swarm1, swarm2;
    QVERIFY2(swarm1.startHost(m_dir.filePath("swarm1"), m_database + bt),
        qPrintable(swarm1.errorOutput()));
    QVERIFY(swarm2.startHost(m_dir.filePath("swarm2"), m_database + bt));

    use(m_service2);
    // A hash nobody seeds gets the answer to try again once the wait is up.
    QCOMPARE(getResourceFileList(QString(40, 'a')).message,
        QStringLiteral("资源正在获取中，请稍后再试"));
    const auto info = resolveSwarmFile(hash);
    QVERIFY(info);
    QCOMPARE(info->fileSize, quint64(clip.size()));
    QCOMPARE(info->name, QStringLiteral("swarmclip.mp4"));
    // Every code of the resource, from either service, names its owner;
    // the owner fetches the bytes and streams them.
    const QString owner = info->host;
    QVERIFY2(owner == swarm1.hostName() || owner == swarm2.hostName(), qPrintable(owner));
    for (const ServerProcess *service : { &m_service1, &m_service2 }) {
        use(*service);
        const auto again = resolveSwarmFile(hash);
        QVERIFY(again);
        QCOMPARE(again->host, owner);
    }
    const QUrl url("http://" + owner + "/ftn_handler/" + info->code);
    const Reply head = get(url, info->comCookie.toUtf8(), "bytes=1000-200999");
    QCOMPARE(head.status, 206);
    QVERIFY(head.body == clip.mid(1000, 200000));

    // The owner dies: the other node owns the resource and fetches it anew.
    ServerProcess &dying = owner == swarm1.hostName() ? swarm1 : swarm2;
    const QString next = owner == swarm1.hostName() ? swarm2.hostName() : swarm1.hostName();
    dying.kill();
    use(m_service1);
    QCOMPARE(swarmFieldWithin(hash, next), next);
    const auto moved = resolveSwarmFile(hash);
    QVERIFY(moved);
    const Reply whole = get(QUrl("http://" + next + "/ftn_handler/" + moved->code),
        moved->comCookie.toUtf8(), "bytes=0-");
    QCOMPARE(whole.status, 206);
    QVERIFY(whole.body == clip);
}

void ServerScaleOutTest::stoppedNodesAreNamedNoMore()
{
    // A clean stop withdraws the node at once: every code goes to the other
    // holder, and a clip only it held to the service itself.
    QVERIFY(m_node1.stop());
    for (int i = 0; i < 6; ++i)
        QCOMPARE(address(m_service1, m_bothHash)->host, m_node2.hostName());
    QCOMPARE(address(m_service2, m_oneHash)->host, m_service2.serviceAddress());
    QVERIFY(!getVideoDomainList().domains.contains(m_node1.hostName()));

    // A node that dies is dropped once its heartbeat is stale; one that
    // starts again is named again.
    m_node2.kill();
    QCOMPARE(fieldWithin(m_bothHash, m_service1.serviceAddress()), m_service1.serviceAddress());
    QVERIFY(m_node1.startHost(m_dir.filePath("node1"), m_database));
    QCOMPARE(fieldWithin(m_oneHash, m_node1.hostName()), m_node1.hostName());
}

void ServerScaleOutTest::killedServiceLosesNoAcknowledgedWrite()
{
    // Each write is acknowledged by one process, which then dies at once.
    QCOMPARE(signUp(m_service1, "b@example.com"), 1);
    m_service1.kill();
    use(m_service2);
    QCOMPARE(userLogin("b@example.com", "secret-1").status, 1);
    QCOMPARE(addCollect(m_oneHash, 0, "one").status, 1);
    m_service2.kill();
    QVERIFY(m_service1.start(m_api));
    use(m_service1);
    QCOMPARE(favouriteHashes(), QStringList { m_oneHash });
}

QTEST_MAIN(ServerScaleOutTest)
#include "tst_serverscaleout.moc"
