#include "serverprocess.h"
#include "service/serverclient.h"
#include "testdir.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QtTest>

// Two service processes and two video-host nodes over one database, on
// loopback: what one service process writes the other reads, and addresses
// name a live node that holds the file.
namespace {

struct Reply
{
    int status = 0;
    QByteArray body;
    QByteArray cookie;
    QJsonObject envelope() const { return QJsonDocument::fromJson(body).object(); }
    int statu() const { return envelope().value("statu").toInt(-1); }
    QJsonObject data() const { return envelope().value("data").toObject(); }
};

Reply fetch(const QUrl &url, const QByteArray &post = {},
    const QList<QPair<QByteArray, QByteArray>> &headers = {})
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    for (const auto &header : headers)
        request.setRawHeader(header.first, header.second);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    QNetworkReply *reply = post.isNull() ? manager.get(request) : manager.post(request, post);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    Reply result { reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
        reply->readAll(), reply->rawHeader("Set-Cookie") };
    delete reply;
    return result;
}

// One client session; each call may go to another service process.
struct Session
{
    QByteArray cookie;

    Reply call(const ServerProcess &api, const QStringList &parameters, bool post = false)
    {
        const QByteArray query
            = encodeRequestParameters(parameters + QStringList { "_s=pc" }, true);
        const QString base = api.baseAddress() + "/server/";
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!cookie.isEmpty())
            headers.append({ "Cookie", cookie });
        const Reply reply = post
            ? fetch(QUrl(base), query, headers)
            : fetch(QUrl(base + '?' + QString::fromLatin1(query)), {}, headers);
        if (cookie.isEmpty())
            cookie = reply.cookie.split(';').first();
        return reply;
    }
    int signUp(const ServerProcess &api, const QString &email)
    {
        call(api, { "r=default/verfy" });
        return call(api,
            { "r=www/user/register", "do=register_new", "f[code]=ABCD", "f[username]=" + email,
                "f[password]=secret-1", "f[repassword]=secret-1", "union_uid=" },
            true)
            .statu();
    }
    int logIn(const ServerProcess &api, const QString &email)
    {
        return call(api,
            { "r=www/user/login", "do=login", "f[username]=" + email, "f[password]=secret-1" },
            true)
            .statu();
    }
    int addFavourite(const ServerProcess &api, const QString &hash)
    {
        return call(api,
            { "r=www/default/pc", "do=fav", "method=add", "hash=" + hash, "index=0", "name=x" },
            true)
            .statu();
    }
    QStringList favourites(const ServerProcess &api)
    {
        QStringList hashes;
        const Reply reply
            = call(api, { "r=www/default/pc", "do=fav", "method=get", "persize=100", "page=1" });
        for (const QJsonValue &row : reply.envelope().value("datas").toArray())
            hashes.append(row.toObject().value("hash").toString());
        return hashes;
    }
    // The reply's data: code, com_cookie and field.
    QJsonObject address(const ServerProcess &api, const QString &hash, qint64 size)
    {
        return call(api,
            { "r=www/default/pc", "cs0=qqlixian_gethttp", "hash=" + hash, "index=0",
                "jxhash=", "size=" + QString::number(size), "reload=1" })
            .data();
    }
    QStringList domains(const ServerProcess &api)
    {
        QStringList names;
        const Reply reply = call(api, { "r=www/default/pc", "do=getConfig", "cfg=video_domain" });
        for (const QJsonValue &name : reply.envelope().value("data").toArray())
            names.append(name.toString());
        return names;
    }
};

Reply stream(const QString &host, const QJsonObject &address, const QByteArray &range)
{
    return fetch(QUrl("http://" + host + "/ftn_handler/" + address.value("code").toString()), {},
        { { "Cookie", address.value("com_cookie").toString().toLatin1() }, { "Range", range } });
}

void copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        QVERIFY(
            writeFileBytes(to + '/' + QDir(from).relativeFilePath(source), readFileBytes(source)));
    }
}

} // namespace

class ServerScaleOutTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void accountsAndFavouritesAreShared();
    void addressesNameALiveHolder();
    void stoppedNodesAreNamedNoMore();
    void killedServiceLosesNoAcknowledgedWrite();

private:
    QString addClip(const QString &name, const QByteArray &bytes);
    // Waits up to the stale time (and a little) for the holder of a new code.
    QString fieldWithin(const QString &hash, qint64 size, const QString &wanted);

    ScopedWorkingDirectory m_dir;
    QString m_api;
    QStringList m_database; // how every process names the shared database
    ServerProcess m_service1, m_service2, m_node1, m_node2;
    QByteArray m_both = QByteArray(300 * 1024, 'a'), m_one, m_none;
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

void ServerScaleOutTest::initTestCase()
{
    QRandomGenerator random(7);
    for (char &byte : m_both)
        byte = char(random.bounded(256));
    m_one = m_both.mid(1000, 200 * 1024);
    m_none = m_both.left(50 * 1024);
    m_api = m_dir.filePath("api");
    m_bothHash = addClip("both", m_both);
    m_oneHash = addClip("one", m_one);
    m_noneHash = addClip("none", m_none);
    QCOMPARE(m_noneHash.size(), 40);
    m_database = QStringList { "--database", m_api + "/tavrion.db" };

    // Node 1 holds a copy of the whole library; node 2 the first clip only,
    // and a copy of the second cut short, which it must not offer.
    copyTree(m_api + "/library", m_dir.filePath("node1/library"));
    copyTree(m_api + "/library/" + m_bothHash, m_dir.filePath("node2/library/" + m_bothHash));
    copyTree(m_api + "/library/" + m_oneHash, m_dir.filePath("node2/library/" + m_oneHash));
    const auto fileOf = [this](const QString &node, const QString &hash) {
        QDirIterator it(
            m_dir.filePath(node + "/library/" + hash), QDir::Files, QDirIterator::Subdirectories);
        return it.next();
    };
    QVERIFY(QFile::resize(fileOf("node2", m_oneHash), m_one.size() - 1));
    QVERIFY(QFile::remove(fileOf("node1", m_noneHash)));

    QVERIFY(m_service1.start(m_api, { "--captcha-text", "ABCD" }));
    QVERIFY(m_service2.start(m_api, { "--captcha-text", "ABCD" }));
    QVERIFY2(
        m_node1.startHost(m_dir.filePath("node1"), m_database), qPrintable(m_node1.errorOutput()));
    QVERIFY(m_node2.startHost(m_dir.filePath("node2"), m_database));
}

void ServerScaleOutTest::accountsAndFavouritesAreShared()
{
    Session first, second;
    QCOMPARE(first.signUp(m_service1, "a@example.com"), 1);
    QCOMPARE(second.logIn(m_service2, "a@example.com"), 1);
    QCOMPARE(second.addFavourite(m_service2, m_bothHash), 1);
    // A session begun on one process is known to the other.
    QCOMPARE(second.favourites(m_service1), QStringList { m_bothHash });
    QCOMPARE(first.logIn(m_service1, "a@example.com"), 1);
    QCOMPARE(first.favourites(m_service1), QStringList { m_bothHash });
}

void ServerScaleOutTest::addressesNameALiveHolder()
{
    Session session;
    const QStringList nodes { m_node1.hostName(), m_node2.hostName() };
    QStringList domains = nodes;
    domains.sort();
    QCOMPARE(session.domains(m_service2), domains + QStringList { m_service2.serviceAddress() });

    // Codes of a file both hold spread over both; each streams the exact
    // bytes from the node named, with a range.
    QSet<QString> named;
    for (int i = 0; i < 16; ++i) {
        const QJsonObject address
            = session.address(i % 2 ? m_service1 : m_service2, m_bothHash, m_both.size());
        const QString field = address.value("field").toString();
        QVERIFY2(nodes.contains(field), qPrintable(field));
        named.insert(field);
        if (i < 2) {
            const Reply reply = stream(field, address, "bytes=1000-70999");
            QCOMPARE(reply.status, 206);
            QCOMPARE(reply.body, m_both.mid(1000, 70000));
        }
    }
    QCOMPARE(named.size(), 2);

    // Only node 1 holds the second clip whole; node 2 answers 404 for it,
    // and a node checks the cookie.
    const QJsonObject one = session.address(m_service1, m_oneHash, m_one.size());
    QCOMPARE(one.value("field").toString(), m_node1.hostName());
    QCOMPARE(stream(m_node1.hostName(), one, "bytes=0-").body, m_one);
    QCOMPARE(stream(m_node2.hostName(), one, "bytes=0-").status, 404);
    QJsonObject forged = one;
    forged["com_cookie"] = "tav_ftn=0";
    QCOMPARE(stream(m_node1.hostName(), forged, "bytes=0-").status, 403);

    // A file no node holds is served by the service itself, as without nodes.
    const QJsonObject none = session.address(m_service2, m_noneHash, m_none.size());
    QCOMPARE(none.value("field").toString(), m_service2.serviceAddress());
    QCOMPARE(stream(m_service2.serviceAddress(), none, "bytes=10-19").body, m_none.mid(10, 10));
}

QString ServerScaleOutTest::fieldWithin(const QString &hash, qint64 size, const QString &wanted)
{
    Session session;
    QString field;
    QDeadlineTimer deadline(10000);
    do {
        field = session.address(m_service1, hash, size).value("field").toString();
        if (field == wanted)
            break;
        QTest::qWait(250);
    } while (!deadline.hasExpired());
    return field;
}

void ServerScaleOutTest::stoppedNodesAreNamedNoMore()
{
    // A clean stop withdraws the node at once: every code goes to the other
    // holder, and a file only it held to the service itself.
    QVERIFY(m_node1.stop());
    Session session;
    for (int i = 0; i < 6; ++i)
        QCOMPARE(session.address(m_service1, m_bothHash, m_both.size()).value("field").toString(),
            m_node2.hostName());
    QCOMPARE(session.address(m_service2, m_oneHash, m_one.size()).value("field").toString(),
        m_service2.serviceAddress());
    QVERIFY(!session.domains(m_service1).contains(m_node1.hostName()));

    // A node that dies is dropped once its heartbeat is stale; one that
    // starts again is named again.
    m_node2.kill();
    QCOMPARE(fieldWithin(m_bothHash, m_both.size(), m_service1.serviceAddress()),
        m_service1.serviceAddress());
    QVERIFY(m_node1.startHost(m_dir.filePath("node1"), m_database));
    QCOMPARE(fieldWithin(m_oneHash, m_one.size(), m_node1.hostName()), m_node1.hostName());
}

void ServerScaleOutTest::killedServiceLosesNoAcknowledgedWrite()
{
    // Each write is acknowledged by one process, which then dies at once.
    Session session;
    QCOMPARE(session.signUp(m_service1, "b@example.com"), 1);
    m_service1.kill();
    QCOMPARE(session.logIn(m_service2, "b@example.com"), 1);
    QCOMPARE(session.addFavourite(m_service2, m_oneHash), 1);
    m_service2.kill();
    QVERIFY(m_service1.start(m_api));
    QCOMPARE(session.favourites(m_service1), QStringList { m_oneHash });
}

QTEST_MAIN(ServerScaleOutTest)
#include "tst_serverscaleout.moc"
