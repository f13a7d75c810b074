#include "app/appsettings.h"
#include "database.h"
#include "postgresfixture.h"
#include "serverprocess.h"
#include "service/accountendpoints.h"
#include "service/resourceendpoints.h"
#include "testdir.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QtTest>

namespace {

struct RawReply
{
    int status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers; // names in lower case

    QJsonObject envelope() const { return QJsonDocument::fromJson(body).object(); }
    int statu() const { return envelope().value(QStringLiteral("statu")).toInt(-1); }
    QString msg() const { return envelope().value(QStringLiteral("msg")).toString(); }
};

using Headers = QList<QPair<QByteArray, QByteArray>>;

// One HTTP exchange on a manager of its own: no cookie jar is shared.
RawReply fetch(const QByteArray &method, const QUrl &url, const QByteArray &body = {},
    const Headers &headers = {})
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    for (const auto &header : headers)
        request.setRawHeader(header.first, header.second);
    if (method == "POST")
        request.setHeader(
            QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    QNetworkReply *reply = manager.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
    RawReply raw;
    raw.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    raw.body = reply->readAll();
    for (const auto &pair : reply->rawHeaderPairs())
        raw.headers.insert(pair.first.toLower(), pair.second);
    delete reply;
    return raw;
}

QByteArray sha1Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}

} // namespace

// A session of its own against the service, for what the client's process-wide
// session cannot show (a second user).
class RawSession
{
public:
    explicit RawSession(const ServerProcess &server)
        : m_server(server)
    {
    }
    RawReply call(const QByteArray &method, const QStringList &parameters, bool sign)
    {
        const QByteArray encoded = encodeRequestParameters(parameters, sign);
        Headers headers;
        if (!m_cookie.isEmpty())
            headers.append({ "Cookie", m_cookie });
        const QString base = m_server.baseAddress() + QStringLiteral("/server/");
        const RawReply reply = method == "GET"
            ? fetch(
                method, QUrl(base + QLatin1Char('?') + QString::fromLatin1(encoded)), {}, headers)
            : fetch(method, QUrl(base), encoded, headers);
        if (m_cookie.isEmpty())
            m_cookie = reply.headers.value("set-cookie");
        return reply;
    }

    QByteArray cookie() const { return m_cookie; }

    // Logs this session in; returns the reply's status.
    int login(const QString &email, const QString &password)
    {
        return call("POST",
            { QStringLiteral("r=www/user/login"), QStringLiteral("do=login"),
                QStringLiteral("f[username]=") + email, QStringLiteral("f[password]=") + password,
                QStringLiteral("_s=pc") },
            true)
            .statu();
    }

private:
    const ServerProcess &m_server;
    QByteArray m_cookie;
};

class ServerIntegrationTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void signUpLogInAndVip();
    void favouritesBelongToTheirUser();
    void signatureIsRefusedWhenOneByteChanges();
    void fileListRemapAndAddress();
    void hostServesOnlyWithTheCookie();
    void rangeRequests_data();
    void rangeRequests();
    void reloadRefusesTheOldCode();
    void codesExpire();
    void concurrentWritesAreAllKept();
    void badInputIsRefused_data();
    void badInputIsRefused();
    void passwordRetrievalAndChange_data();
    void passwordRetrievalAndChange();
    void retrievalAndChangeRefusals();
    void noticesAndPages();
    void logoutEndsTheSession();
    void restartKeepsAccountsAndFavourites();
    void knownCaptchaOnlyOnLoopback();

private:
    QString dataPath(const QString &name) const { return m_data + QLatin1Char('/') + name; }
    bool startServer();
    QString addResource(const QString &payload, const QString &parent);
    QSharedPointer<VideoFileInfo> resolvedClip(int reload);
    QString captchaCode();
    // The database as the service sees it, and its stored bytes: the SQLite
    // file, or on PostgreSQL the rows that hold secrets.
    QString databaseLocation() const;
    QByteArray storedBytes() const;
    // The password of the one mail written since the last look, for email.
    QString newMailedPassword(const QString &email);

    ScopedWorkingDirectory m_dir;
    PostgresCluster m_cluster;
    QString m_data;
    ServerProcess m_server;
    QByteArray m_clip;
    QString m_clipHash;
    QString m_episodesHash;
    QString m_folderId;
    const QString m_email = QStringLiteral("viewer@example.com");
    QString m_password = QStringLiteral("first-pass");
    int m_retrievalAccounts = 0;
    QSet<QString> m_seenMails;
};

bool ServerIntegrationTest::startServer()
{
    if (!m_server.start(m_data,
            { "--host", "127.0.0.1:0", "--slow-host", "127.0.0.1:0", "--wrong-host",
                "127.0.0.1:0" })) {
        qWarning("%s", qPrintable(m_server.errorOutput()));
        return false;
    }
    AppSettings::instance()->setServiceBaseAddress(m_server.baseAddress());
    return true;
}

QString ServerIntegrationTest::addResource(const QString &payload, const QString &parent)
{
    const QString torrent = m_dir.filePath(QFileInfo(payload).fileName() + ".torrent");
    bool ok = false;
    ServerProcess::admin({ "make-torrent", torrent, m_dir.filePath(payload) }, &ok);
    if (!ok)
        return {};
    return ServerProcess::admin(
        { "add-resource", "--data", m_data, torrent, m_dir.filePath(parent) })
        .trimmed();
}

void ServerIntegrationTest::initTestCase()
{
    QVERIFY2(!ServerProcess::program().isEmpty(), "tavrion-server is not built");
    USE_TEST_DATABASE(m_cluster);
    m_data = m_dir.filePath("data");
    m_clip = seededBytes(400 * 1024, 400);
    QVERIFY(writeFileBytes(m_dir.filePath("single/clip.mp4"), m_clip));
    QVERIFY(writeFileBytes(m_dir.filePath("show/ep1.mkv"), seededBytes(150 * 1024, 150)));
    QVERIFY(writeFileBytes(m_dir.filePath("show/ep2.mkv"), seededBytes(120 * 1024, 120)));
    QVERIFY(writeFileBytes(m_dir.filePath("folder/copy.mp4"), m_clip));
    m_clipHash = addResource("single/clip.mp4", "single");
    m_episodesHash = addResource("show", ".");
    QCOMPARE(m_clipHash.size(), 40);
    QCOMPARE(m_episodesHash.size(), 40);
    m_folderId = ServerProcess::admin({ "add-folder", "--data", m_data, m_dir.filePath("folder") })
                     .trimmed();
    QVERIFY(m_folderId.startsWith("appdata_"));
    ServerProcess::admin({ "add-user", "--data", m_data, "other@example.com", "other-pass" });

    AppSettings::initialize(m_dir.filePath("Config.ini"));
    QVERIFY(startServer());
    QCOMPARE(m_server.hostAddresses().size(), 3);
}

void ServerIntegrationTest::cleanupTestCase()
{
    m_server.stop();
    AppSettings::release();
}

QString ServerIntegrationTest::captchaCode()
{
    // The picture is for people; the test reads the code the service stored
    // for the client's session.
    const QByteArray cookie = ServerClient::instance()->serverCookie();
    const QString session = QString::fromLatin1(cookie).section(';', 0, 0).section('=', 1);
    const auto db = openServiceDatabase(databaseLocation());
    Statement query(*db, "SELECT code FROM captchas WHERE session_id = ?");
    query.bind(1, session);
    return query.next() ? query.text(0) : QString();
}

QString ServerIntegrationTest::databaseLocation() const
{
    return testsUsePostgres() ? ServerProcess::database() : dataPath("tavrion.db");
}

QByteArray ServerIntegrationTest::storedBytes() const
{
    if (!testsUsePostgres())
        return readFileBytes(dataPath("tavrion.db")) + readFileBytes(dataPath("tavrion.db-wal"));
    QByteArray bytes;
    const auto db = openServiceDatabase(databaseLocation());
    for (const char *sql : { "SELECT CAST(a AS TEXT) FROM accounts a",
             "SELECT CAST(p AS TEXT) FROM pending_passwords p" }) {
        Statement rows(*db, sql);
        while (rows.next())
            bytes += rows.text(0).toUtf8() + '\n';
    }
    return bytes;
}

void ServerIntegrationTest::signUpLogInAndVip()
{
    const CaptchaResult captcha = getCaptchaImage();
    QCOMPARE(captcha.status, 1);
    QVERIFY(!QImage::fromData(captcha.image, "PNG").isNull());
    const QString code = captchaCode().toLower(); // compared ignoring case
    QCOMPARE(code.size(), 4);

    ServerResult result = userRegister("XXXX", m_email, m_password, {});
    QCOMPARE(result.status, 0);
    QCOMPARE(result.message, QStringLiteral("验证码错误"));
    result = userRegister(code, "not-an-address", m_password, {});
    QCOMPARE(result.message, QStringLiteral("邮箱格式不正确"));
    result = userRegister(code, m_email, "123", {});
    QCOMPARE(result.status, 0);
    result = userRegister(code, m_email, m_password, {});
    QCOMPARE(result.status, 1);
    // The captcha is used up by a successful sign-up.
    QCOMPARE(userRegister(code, "second@example.com", m_password, {}).status, 0);

    QCOMPARE(getCaptchaImage().status, 1);
    result = userRegister(captchaCode(), m_email.toUpper(), m_password, {});
    QCOMPARE(result.status, 0);
    QCOMPARE(result.message, QStringLiteral("该邮箱已被注册"));

    LoginResult login = userLogin(m_email, "wrong-pass");
    QCOMPARE(login.status, 0);
    QCOMPARE(login.message, QStringLiteral("账号或密码错误"));
    login = userLogin(m_email, m_password);
    QCOMPARE(login.status, 1);
    QVERIFY(!login.isvip);
    QCOMPARE(login.viptime, 0u);

    ServerProcess::admin({ "grant-vip", "--data", m_data, m_email, "--days", "30" });
    login = userLogin(m_email, m_password);
    QCOMPARE(login.status, 1);
    QVERIFY(login.isvip);
    QVERIFY(!login.issvip);
    const qint64 expected = QDateTime::currentSecsSinceEpoch() + 30 * 86400;
    QVERIFY(qAbs(qint64(login.viptime) - expected) < 600);

    // Passwords are kept only as salted hashes.
    const QByteArray database = storedBytes();
    QVERIFY(database.contains(m_email.toUtf8()));
    QVERIFY(!database.contains(m_password.toUtf8()));
    QVERIFY(ServerProcess::admin({ "list-accounts", "--data", m_data }).contains(m_email));
}

void ServerIntegrationTest::favouritesBelongToTheirUser()
{
    FileListResult list = getCollectList();
    QCOMPARE(list.status, 1);
    QVERIFY(list.files.isEmpty());
    const QString name = QStringLiteral("片名 a&b=c.mp4");
    QCOMPARE(addCollect(m_clipHash.toUpper(), 0, name).status, 1);
    QCOMPARE(addCollect(m_episodesHash, 1, "ep2.mkv").status, 1);
    const ServerResult duplicate = addCollect(m_clipHash, 0, name);
    QCOMPARE(duplicate.status, 0);
    QVERIFY(!duplicate.message.isEmpty());

    list = getCollectList();
    QCOMPARE(list.status, 1);
    QCOMPARE(list.files.size(), 2);
    QSharedPointer<VideoFileInfo> clip;
    for (const auto &file : list.files) {
        if (file->hash == m_clipHash)
            clip = file;
    }
    QVERIFY(clip);
    QCOMPARE(clip->name, name);
    QCOMPARE(clip->index, 0u);
    QVERIFY(clip->favouriteId > 0);

    // Another user's favourite cannot be deleted from this session.
    RawSession other(m_server);
    QCOMPARE(other.login(QStringLiteral("other@example.com"), QStringLiteral("other-pass")), 1);
    QCOMPARE(other
                 .call("POST",
                     { "r=www/default/pc", "do=fav", "method=add", "hash=" + m_clipHash, "index=0",
                         "name=theirs", "_s=pc" },
                     true)
                 .statu(),
        1);
    const RawReply theirs = other.call("GET",
        { "r=www/default/pc", "do=fav", "method=get", "persize=100", "page=1", "_s=pc" }, true);
    const QJsonArray theirList = theirs.envelope().value("datas").toArray();
    QCOMPARE(theirList.size(), 1);
    const uint theirId = uint(theirList.first().toObject().value("id").toInt());
    const ServerResult refused = deleteCollect(theirId);
    QCOMPARE(refused.status, 0);
    QCOMPARE(refused.message, QStringLiteral("收藏不存在"));

    QCOMPARE(deleteCollect(clip->favouriteId).status, 1);
    list = getCollectList();
    QCOMPARE(list.files.size(), 1);
    QCOMPARE(list.files.first()->hash, m_episodesHash);
    QCOMPARE(list.files.first()->index, 1u);
}

void ServerIntegrationTest::signatureIsRefusedWhenOneByteChanges()
{
    const QStringList parameters { "r=www/default/pc", "do=getNewHashFileList",
        "hash=" + m_clipHash, "_s=pc" };
    const QByteArray good = encodeRequestParameters(parameters, true);
    const QString base = m_server.baseAddress() + "/server/?";
    QCOMPARE(fetch("GET", QUrl(base + good)).statu(), 1);

    QByteArray changed = good;
    const int at = changed.indexOf("hash=") + 5;
    changed[at] = changed[at] == 'a' ? 'b' : 'a';
    RawReply refused = fetch("GET", QUrl(base + changed));
    QCOMPARE(refused.status, 200);
    QCOMPARE(refused.statu(), 0);
    QCOMPARE(refused.msg(), QStringLiteral("签名错误"));

    refused = fetch("GET", QUrl(base + encodeRequestParameters(parameters, false)));
    QCOMPARE(refused.msg(), QStringLiteral("签名错误"));
}

void ServerIntegrationTest::fileListRemapAndAddress()
{
    FileListResult list = getResourceFileList(m_episodesHash.toUpper());
    QCOMPARE(list.status, 1);
    QCOMPARE(list.files.size(), 2);
    QStringList names;
    for (const auto &file : list.files)
        names.append(file->name);
    names.sort();
    QCOMPARE(names, QStringList({ "ep1.mkv", "ep2.mkv" }));

    const FileListResult unknown = getResourceFileList(QString(40, 'e'));
    QCOMPARE(unknown.status, 0);
    QCOMPARE(unknown.message, QStringLiteral("资源不存在"));

    // The folder resource holds the same bytes as the torrent added first.
    list = getResourceFileList(m_folderId);
    QCOMPARE(list.status, 1);
    QCOMPARE(list.files.size(), 1);
    const QSharedPointer<VideoFileInfo> info = list.files.first();
    QCOMPARE(info->fileSize, quint64(m_clip.size()));
    QCOMPARE(getVideoFileHash(info).status, 1);
    QCOMPARE(info->jxhash.toLatin1(), sha1Hex(m_clip));
    QVERIFY(info->remapped);
    QCOMPARE(info->remappedHash, m_clipHash);
    QCOMPARE(info->remappedIndex, 0u);
    QCOMPARE(info->remappedSize, quint64(m_clip.size()));

    QCOMPARE(getVideoFileAddress(info, 0).status, 1);
    QCOMPARE(info->code.size(), 32);
    QVERIFY(info->comCookie.contains('='));
    QCOMPARE(info->host, m_server.hostAddresses().first());

    const DomainListResult domains = getVideoDomainList();
    QCOMPARE(domains.status, 1);
    QCOMPARE(domains.domains, m_server.hostAddresses());

    // A size or content hash that does not match the file is refused.
    info->remappedSize += 1;
    const ServerResult wrongSize = getVideoFileAddress(info, 0);
    QCOMPARE(wrongSize.status, 0);
}

QSharedPointer<VideoFileInfo> ServerIntegrationTest::resolvedClip(int reload)
{
    const FileListResult list = getResourceFileList(m_clipHash);
    if (list.status != 1 || list.files.size() != 1)
        return {};
    const QSharedPointer<VideoFileInfo> info = list.files.first();
    if (getVideoFileHash(info).status != 1 || getVideoFileAddress(info, reload).status != 1)
        return {};
    return info;
}

void ServerIntegrationTest::hostServesOnlyWithTheCookie()
{
    const QSharedPointer<VideoFileInfo> info = resolvedClip(0);
    QVERIFY(info);
    QVERIFY(!info->remapped);
    const QList<QString> hosts = m_server.hostAddresses();
    const QUrl url(QStringLiteral("http://%1/ftn_handler/%2").arg(hosts.first(), info->code));
    const Headers cookie { { "Cookie", info->comCookie.toUtf8() } };

    QCOMPARE(fetch("GET", url).status, 403);
    QCOMPARE(fetch("GET", url, {}, { { "Cookie", "tav_ftn=guess" } }).status, 403);
    RawReply reply = fetch("GET", url, {}, cookie);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.headers.value("content-length").toLongLong(), qint64(m_clip.size()));
    QCOMPARE(reply.headers.value("accept-ranges"), QByteArray("bytes"));
    QVERIFY(reply.body == m_clip);

    // The cookie may come with others, as a browser would send it.
    reply = fetch("GET", url, {}, { { "Cookie", "a=1; " + info->comCookie.toUtf8() + "; b=2" } });
    QCOMPARE(reply.status, 200);

    QCOMPARE(
        fetch("GET",
            QUrl(QStringLiteral("http://%1/ftn_handler/%2").arg(hosts.first(), QString(32, 'f'))),
            {}, cookie)
            .status,
        404);

    // The slow host answers late but right; the wrong one announces a length
    // that is not the file's.
    reply = fetch("GET",
        QUrl(QStringLiteral("http://%1/ftn_handler/%2").arg(hosts.at(1), info->code)), {}, cookie);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.headers.value("content-length").toLongLong(), qint64(m_clip.size()));
    reply = fetch("GET",
        QUrl(QStringLiteral("http://%1/ftn_handler/%2").arg(hosts.at(2), info->code)), {}, cookie);
    QVERIFY(reply.headers.value("content-length").toLongLong() != qint64(m_clip.size()));
}

void ServerIntegrationTest::rangeRequests_data()
{
    const qint64 size = 400 * 1024;
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("length");
    QTest::newRow("middle") << QByteArray("bytes=1000-1999") << 206 << qint64(1000) << qint64(1000);
    QTest::newRow("open end") << QByteArray("bytes=409000-") << 206 << qint64(409000)
                              << size - 409000;
    QTest::newRow("suffix") << QByteArray("bytes=-500") << 206 << size - 500 << qint64(500);
    QTest::newRow("end clamped") << QByteArray("bytes=409500-999999") << 206 << qint64(409500)
                                 << size - 409500;
    QTest::newRow("past the end") << QByteArray("bytes=409600-") << 416 << qint64(0) << qint64(0);
    QTest::newRow("far past the end")
        << QByteArray("bytes=999999-1000000") << 416 << qint64(0) << qint64(0);
}

void ServerIntegrationTest::rangeRequests()
{
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(qint64, first);
    QFETCH(qint64, length);
    const QSharedPointer<VideoFileInfo> info = resolvedClip(0);
    QVERIFY(info);
    const QUrl url(QStringLiteral("http://%1/ftn_handler/%2")
                       .arg(m_server.hostAddresses().first(), info->code));
    const RawReply reply
        = fetch("GET", url, {}, { { "Cookie", info->comCookie.toUtf8() }, { "Range", range } });
    QCOMPARE(reply.status, status);
    const QByteArray size = QByteArray::number(m_clip.size());
    if (status == 416) {
        QCOMPARE(reply.headers.value("content-range"), "bytes */" + size);
        return;
    }
    QCOMPARE(reply.headers.value("content-length").toLongLong(), length);
    QCOMPARE(reply.headers.value("content-range"),
        "bytes " + QByteArray::number(first) + '-' + QByteArray::number(first + length - 1) + '/'
            + size);
    QVERIFY(reply.body == m_clip.mid(int(first), int(length)));
}

void ServerIntegrationTest::reloadRefusesTheOldCode()
{
    const QSharedPointer<VideoFileInfo> first = resolvedClip(0);
    const QSharedPointer<VideoFileInfo> again = resolvedClip(0);
    const QSharedPointer<VideoFileInfo> reloaded = resolvedClip(1);
    QVERIFY(first && again && reloaded);
    QCOMPARE(again->code, first->code);
    QVERIFY(reloaded->code != first->code);
    const QString host = m_server.hostAddresses().first();
    const auto status = [&host](const QSharedPointer<VideoFileInfo> &info) {
        return fetch("GET", QUrl(QStringLiteral("http://%1/ftn_handler/%2").arg(host, info->code)),
            {}, { { "Cookie", info->comCookie.toUtf8() }, { "Range", "bytes=0-9" } })
            .status;
    };
    QCOMPARE(status(first), 404);
    QCOMPARE(status(reloaded), 206);
}

void ServerIntegrationTest::codesExpire()
{
    // A second server on the same data folder whose codes live two seconds.
    ServerProcess shortLived;
    QVERIFY(shortLived.start(m_data, { "--code-ttl", "2" }));
    AppSettings::instance()->setServiceBaseAddress(shortLived.baseAddress());
    const QSharedPointer<VideoFileInfo> info = resolvedClip(1);
    AppSettings::instance()->setServiceBaseAddress(m_server.baseAddress());
    QVERIFY(info);
    QCOMPARE(info->host, shortLived.serviceAddress());
    const QUrl url(QStringLiteral("http://%1/ftn_handler/%2").arg(info->host, info->code));
    const Headers headers { { "Cookie", info->comCookie.toUtf8() }, { "Range", "bytes=0-0" } };
    QCOMPARE(fetch("GET", url, {}, headers).status, 206);
    QTest::qWait(2500);
    QCOMPARE(fetch("GET", url, {}, headers).status, 404);
    // The same session asking again gets a live code, not the expired one.
    AppSettings::instance()->setServiceBaseAddress(shortLived.baseAddress());
    const QSharedPointer<VideoFileInfo> again = resolvedClip(0);
    AppSettings::instance()->setServiceBaseAddress(m_server.baseAddress());
    QVERIFY(again);
    QVERIFY(again->code != info->code);
    const QUrl fresh(QStringLiteral("http://%1/ftn_handler/%2").arg(again->host, again->code));
    QCOMPARE(fetch("GET", fresh, {},
                 { { "Cookie", again->comCookie.toUtf8() }, { "Range", "bytes=0-0" } })
                 .status,
        206);
}

void ServerIntegrationTest::concurrentWritesAreAllKept()
{
    // Many requests of one logged-in session at once: every favourite added
    // in parallel is stored, each reply is a success.
    RawSession session(m_server);
    QCOMPARE(session.login(QStringLiteral("other@example.com"), QStringLiteral("other-pass")), 1);
    const QByteArray cookie = session.cookie();
    QNetworkAccessManager manager;
    QList<QNetworkReply *> replies;
    const int count = 40;
    for (int i = 0; i < count; ++i) {
        QNetworkRequest request(QUrl(m_server.baseAddress() + "/server/"));
        request.setRawHeader("Cookie", cookie);
        request.setHeader(
            QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
        replies.append(manager.post(request,
            encodeRequestParameters(
                { "r=www/default/pc", "do=fav", "method=add", "hash=" + m_episodesHash,
                    "index=" + QString::number(100 + i), "name=parallel " + QString::number(i),
                    "_s=pc" },
                true)));
    }
    int successes = 0;
    for (QNetworkReply *reply : replies) {
        if (!reply->isFinished()) {
            QEventLoop loop;
            connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            QTimer::singleShot(30000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (QJsonDocument::fromJson(reply->readAll()).object().value("statu").toInt() == 1)
            ++successes;
        delete reply;
    }
    QCOMPARE(successes, count);
    const RawReply list = session.call("GET",
        { "r=www/default/pc", "do=fav", "method=get", "persize=100", "page=1", "_s=pc" }, true);
    QCOMPARE(list.envelope().value("datas").toArray().size(), count + 1);
}

void ServerIntegrationTest::badInputIsRefused_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message"); // empty: not an envelope

    const QString base = QStringLiteral("/server/?");
    const auto signedQuery = [&base](const QStringList &parameters) -> QString {
        return base + QString::fromLatin1(encodeRequestParameters(parameters, true));
    };
    QTest::newRow("malformed escape") << QByteArray("POST") << QStringLiteral("/server/")
                                      << QByteArray("r=%ZZ&_s=pc") << 200 << "参数错误";
    QTest::newRow("no parameters")
        << QByteArray("GET") << QStringLiteral("/server/") << QByteArray() << 200 << "未知的请求";
    QTest::newRow("unknown operation")
        << QByteArray("GET") << QString(base + "r=www/default/pc&do=unknown&_s=pc") << QByteArray()
        << 200 << "未知的请求";
    QTest::newRow("login by GET") << QByteArray("GET")
                                  << signedQuery({ "r=www/user/login", "do=login", "f[username]=a",
                                         "f[password]=b", "_s=pc" })
                                  << QByteArray() << 200 << "请求方式错误";
    QTest::newRow("empty hash") << QByteArray(
        "GET") << signedQuery({ "r=www/default/pc", "do=getNewHashFileList", "hash=", "_s=pc" })
                                << QByteArray() << 200 << "资源格式错误";
    QTest::newRow("path in hash") << QByteArray("GET")
                                  << signedQuery({ "r=www/default/pc", "do=getNewHashFileList",
                                         "hash=../../../etc/passwd", "_s=pc" })
                                  << QByteArray() << 200 << "资源格式错误";
    QTest::newRow("negative index")
        << QByteArray("GET")
        << signedQuery({ "r=www/default/pc", "cs0=lixian_qq", "hash=" + QString(40, 'a'),
               "index=-1", "name=x", "_mac=", "_s=pc" })
        << QByteArray() << 200 << "参数错误";
    QTest::newRow("PUT") << QByteArray("PUT") << QStringLiteral("/server/") << QByteArray("x")
                         << 405 << "请求方式错误";
    QTest::newRow("unknown path") << QByteArray("GET") << QStringLiteral("/admin") << QByteArray()
                                  << 404 << "请求的地址不存在";
    QTest::newRow("huge body") << QByteArray("POST") << QStringLiteral("/server/")
                               << QByteArray(512 * 1024, 'a') << 413 << "请求内容过大";
    QTest::newRow("huge request line")
        << QByteArray("GET") << QString(base + "r=" + QString(40 * 1024, 'a')) << QByteArray()
        << 431 << "请求无效";
    QTest::newRow("notice outside its folder")
        << QByteArray("GET") << QStringLiteral("/notice/..%2Ftavrion.db") << QByteArray() << 404
        << QString();
    QTest::newRow("code with a path")
        << QByteArray("GET") << QStringLiteral("/ftn_handler/..%2F..%2Ftavrion.db") << QByteArray()
        << 404 << QString();
}

void ServerIntegrationTest::badInputIsRefused()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, target);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, message);
    const RawReply reply = fetch(method, QUrl(m_server.baseAddress() + target), body);
    QCOMPARE(reply.status, status);
    if (!message.isEmpty()) {
        QCOMPARE(reply.statu(), 0);
        QCOMPARE(reply.msg(), message);
    }
    QVERIFY(!reply.body.startsWith("SQLite format"));
    // The service is still up.
    QCOMPARE(getVideoDomainList().status, 1);
}

void ServerIntegrationTest::passwordRetrievalAndChange_data()
{
    // Each row is one account's story, one step a word: "retrieve" mails a
    // password; "login WHO 0|1" logs in with the original password (old), the
    // latest or first mailed one (mail, mail1), the changed one (new) or a
    // wrong one; "pwd WHO" changes the password to the new one.
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("mailed one is used: it becomes the password") << QStringList { "retrieve",
        "login wrong 0", "login mail 1", "login old 0", "login mail 1" };
    QTest::newRow("old one is used: the mailed one is dropped")
        << QStringList { "retrieve", "login old 1", "login mail 0", "login old 1" };
    QTest::newRow("a new retrieval replaces the pending one")
        << QStringList { "retrieve", "retrieve", "login mail1 0", "login mail 1", "login old 0" };
    QTest::newRow("a change drops the pending one") << QStringList { "login old 1", "retrieve",
        "pwd old", "login mail 0", "login old 0", "login new 1" };
    QTest::newRow("a change proven with the mailed one") << QStringList { "login old 1", "retrieve",
        "pwd mail", "login mail 0", "login old 0", "login new 1" };
}

void ServerIntegrationTest::passwordRetrievalAndChange()
{
    QFETCH(QStringList, steps);
    const QString email = QStringLiteral("retrieval%1@example.com").arg(m_retrievalAccounts++);
    ServerProcess::admin({ "add-user", "--data", m_data, email, "old-pass" });
    QHash<QString, QString> secrets { { "old", "old-pass" }, { "new", "new-pass" },
        { "wrong", "wrong-pass" } };
    for (const QString &step : steps) {
        const QStringList words = step.split(' ');
        if (words[0] == "retrieve") {
            QCOMPARE(userForgetPassword(email).status, 1);
            const QString mailed = newMailedPassword(email);
            QVERIFY(!mailed.isEmpty());
            if (!secrets.contains("mail1"))
                secrets.insert("mail1", mailed);
            secrets.insert("mail", mailed);
            // Kept as a salted hash only, like the password.
            QVERIFY(!storedBytes().contains(mailed.toUtf8()));
        } else if (words[0] == "login") {
            QCOMPARE(userLogin(email, secrets.value(words[1])).status, words[2].toInt());
        } else {
            QCOMPARE(userModifyPassword(secrets.value(words[1]), "new-pass").status, 1);
        }
    }
}

void ServerIntegrationTest::retrievalAndChangeRefusals()
{
    ServerResult result = userForgetPassword("nobody@example.com");
    QCOMPARE(result.status, 0);
    QCOMPARE(result.message, QStringLiteral("该邮箱尚未注册"));
    QCOMPARE(userLogin(m_email, m_password).status, 1);
    result = userModifyPassword("not-the-password", "changed-pass");
    QCOMPARE(result.status, 0);
    QCOMPARE(result.message, QStringLiteral("原密码错误"));
    QCOMPARE(userModifyPassword(m_password, "changed-pass").status, 1);
    m_password = QStringLiteral("changed-pass");
    QCOMPARE(userLogin(m_email, m_password).status, 1);
}

QString ServerIntegrationTest::newMailedPassword(const QString &email)
{
    QString password;
    QDirIterator mails(dataPath("outbox"), { "*.eml" }, QDir::Files);
    while (mails.hasNext()) {
        const QString path = mails.next();
        if (m_seenMails.contains(path))
            continue;
        m_seenMails.insert(path);
        const QString mail = QString::fromUtf8(readFileBytes(path));
        const QRegularExpressionMatch match
            = QRegularExpression(QStringLiteral("新密码是：(\\S+)")).match(mail);
        if (!mail.contains("To: " + email) || !match.hasMatch() || !password.isEmpty())
            return {};
        password = match.captured(1);
    }
    return password;
}

void ServerIntegrationTest::noticesAndPages()
{
    QImage picture(64, 40, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    QVERIFY(picture.save(m_dir.filePath("notice.png")));
    const QString link = m_server.baseAddress() + "/?r=www";
    ServerProcess::admin({ "add-announcement", "--data", m_data, "B 公告", link + "&b" });
    ServerProcess::admin({ "add-announcement", "--data", m_data, "A 公告", link + "&a" });
    ServerProcess::admin({ "add-popup", "--data", m_data, m_dir.filePath("notice.png"), link });

    const AnnouncementResult announcements = getAnnouncementList();
    QCOMPARE(announcements.status, 1);
    QCOMPARE(announcements.announcements.keys(), QStringList({ "A 公告", "B 公告" }));
    QCOMPARE(announcements.announcements.value("A 公告"), link + "&a");

    QCOMPARE(getPopupNoticeList().enable, false);
    ServerProcess::admin({ "set-popup", "--data", m_data, "on" });
    const PopupNoticeResult notices = getPopupNoticeList();
    QCOMPARE(notices.status, 1);
    QVERIFY(notices.enable);
    QCOMPARE(notices.pages.size(), 1);
    QCOMPARE(notices.pages.first().image, readFileBytes(m_dir.filePath("notice.png")));
    QCOMPARE(notices.pages.first().url, QUrl(link));

    const QStringList pages { "/?r=www/default/page&p=jiaocheng", "/?r=www/default/page&p=mianze",
        "/?r=www/user/login", "/?r=www", "/server/?r=www" };
    for (const QString &page : pages) {
        const RawReply reply = fetch("GET", QUrl(m_server.baseAddress() + page));
        QCOMPARE(reply.status, 200);
        QVERIFY2(reply.headers.value("content-type").startsWith("text/html"), qPrintable(page));
        QVERIFY(reply.body.contains("<html"));
    }
}

void ServerIntegrationTest::logoutEndsTheSession()
{
    QCOMPARE(userLogout().status, 1);
    const FileListResult list = getCollectList();
    QCOMPARE(list.status, 0);
    QCOMPARE(list.message, QStringLiteral("请先登录"));
    QCOMPARE(userModifyPassword(m_password, "another-pass").status, 0);
    QCOMPARE(userLogin(m_email, m_password).status, 1);
}

void ServerIntegrationTest::restartKeepsAccountsAndFavourites()
{
    QVERIFY(m_server.stop());
    QVERIFY(startServer());
    // The client keeps its cookie, and the session outlives the restart.
    FileListResult list = getCollectList();
    QCOMPARE(list.status, 1);
    QCOMPARE(list.files.size(), 1);
    QCOMPARE(list.files.first()->hash, m_episodesHash);
    const LoginResult login = userLogin(m_email, m_password);
    QCOMPARE(login.status, 1);
    QVERIFY(login.isvip);
    QCOMPARE(getResourceFileList(m_folderId).status, 1);
}

void ServerIntegrationTest::knownCaptchaOnlyOnLoopback()
{
    const QString data = m_dir.filePath("known");
    for (const char *listen : { "0.0.0.0:0", "127.example.com:0", "[::]:0" }) {
        QProcess refused;
        refused.start(ServerProcess::program(),
            { "serve", "--data", data, "--listen", listen, "--captcha-text", "K7M2" });
        QVERIFY(refused.waitForFinished(10000));
        QVERIFY2(refused.exitCode() != 0, listen);
        QVERIFY(refused.readAllStandardError().contains("loopback"));
    }

    ServerProcess known;
    QVERIFY2(known.start(data, { "--captcha-text", "K7M2" }), qPrintable(known.errorOutput()));
    AppSettings::instance()->setServiceBaseAddress(known.baseAddress());
    QCOMPARE(getCaptchaImage().status, 1);
    const ServerResult signUp
        = userRegister("k7m2", "known@example.com", "known-pass", QByteArray());
    QCOMPARE(signUp.message, QString());
    QCOMPARE(signUp.status, 1);
    QCOMPARE(userLogin("known@example.com", "known-pass").status, 1);
}

QTEST_GUILESS_MAIN(ServerIntegrationTest)
#include "tst_serverintegration.moc"
