#include "database.h"
#include "fullfilesystem.h"
#include "postgresfixture.h"
#include "serverprocess.h"
#include "service/serverclient.h"
#include "testdir.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Reply
{
    int status = 0;
    QByteArray head;
    QByteArray body;
    int statu() const { return QJsonDocument::fromJson(body).object().value("statu").toInt(-1); }
    QString msg() const { return QJsonDocument::fromJson(body).object().value("msg").toString(); }
};

// One request on a connection of its own from the given loopback address,
// so that limits per address can be shown from one machine.
Reply call(const QString &service, const char *source, const QByteArray &method,
    const QStringList &parameters, bool sign, const QByteArray &cookie = {},
    const QByteArray &headers = {})
{
    const QByteArray encoded = encodeRequestParameters(parameters, sign);
    const QByteArray target = method == "GET" ? "/server/?" + encoded : QByteArray("/server/");
    QByteArray request = method + ' ' + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    if (!cookie.isEmpty())
        request += "Cookie: " + cookie + "\r\n";
    request += headers;
    if (method == "POST")
        request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: "
            + QByteArray::number(encoded.size()) + "\r\n";
    request += "\r\n" + (method == "POST" ? encoded : QByteArray());

    Reply reply;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, source, &address.sin_addr);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    address.sin_port = htons(quint16(service.section(':', 1).toUInt()));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    QByteArray data;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
        char buffer[16384];
        pollfd p { fd, POLLIN, 0 };
        while (poll(&p, 1, 20000) > 0) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            data.append(buffer, int(n));
        }
    }
    close(fd);
    const int split = data.indexOf("\r\n\r\n");
    if (split < 0)
        return reply;
    reply.status = data.mid(9, 3).toInt();
    reply.head = data.left(split);
    reply.body = data.mid(split + 4);
    return reply;
}

QStringList loginParameters(const QString &email, const QString &password)
{
    return { "r=www/user/login", "do=login", "f[username]=" + email, "f[password]=" + password,
        "_s=pc" };
}

QStringList retrievalParameters(const QString &email)
{
    return { "r=www/user/forgetpwd", "do=forgetpwd", "f[username]=" + email, "_s=pc" };
}

const QStringList ConfigParameters { "r=www/default/pc", "do=getConfig", "cfg=gonggao", "_s=pc" };

int sessionCount(const QString &data)
{
    const auto db = openServiceDatabase(
        testsUsePostgres() ? ServerProcess::database() : data + "/tavrion.db");
    Statement query(*db, "SELECT COUNT(*) FROM sessions");
    query.next();
    return int(query.integer(0));
}

QFile::Permissions permissionsOf(const QString &path)
{
    return QFileInfo(path).permissions()
        & (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
            | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
            | QFile::ExeOther);
}

const QFile::Permissions OwnerFolder = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
const QFile::Permissions OwnerFile = QFile::ReadOwner | QFile::WriteOwner;

} // namespace

class ServerHardeningTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sessionsAreStoredOnlyWithContent();
    void captchasAreLimitedPerAddress();
    void dataIsOwnerOnly();
    void loginGuessingIsSlowed();
    void ownerIsNotLockedOut();
    void retrievalsAreLimited();
    void limitsHoldAcrossProcesses();
    void proxiedViewersAreCountedApart();
    void fullDiskIsRefusedCleanly();

private:
    ScopedWorkingDirectory m_dir;
    PostgresCluster m_cluster;
    QString m_data;
    ServerProcess m_server;
};

void ServerHardeningTest::initTestCase()
{
    USE_TEST_DATABASE(m_cluster);
    m_data = m_dir.filePath("data");
    for (const char *user : { "a@example.com", "b@example.com", "c@example.com", "d@example.com" })
        ServerProcess::admin({ "add-user", "--data", m_data, user, "right-pass" });
    QVERIFY(m_server.start(m_data));
}

void ServerHardeningTest::sessionsAreStoredOnlyWithContent()
{
    const QString service = m_server.serviceAddress();
    const Reply first = call(service, "127.0.9.1", "GET", ConfigParameters, false);
    QCOMPARE(first.statu(), 1);
    const QRegularExpression cookiePattern(
        QStringLiteral("\r\nSet-Cookie: (TAVSID=[0-9a-f]{32}); path=/; HttpOnly; SameSite=Lax"));
    const QRegularExpressionMatch cookie = cookiePattern.match(QString::fromLatin1(first.head));
    QVERIFY2(cookie.hasMatch(), first.head.constData());
    QCOMPARE(
        call(service, "127.0.9.1", "GET", ConfigParameters, false, cookie.captured(1).toLatin1())
            .statu(),
        1);
    QCOMPARE(sessionCount(m_data), 0);
    // A captcha is something to keep: now the session is stored.
    const Reply captcha = call(service, "127.0.9.1", "GET", { "r=default/verfy", "_s=pc" }, false,
        cookie.captured(1).toLatin1());
    QCOMPARE(captcha.status, 200);
    QVERIFY(captcha.body.startsWith("\x89PNG"));
    QCOMPARE(sessionCount(m_data), 1);
}

void ServerHardeningTest::captchasAreLimitedPerAddress()
{
    // Each picture is a session and a captcha kept for a while: thirty per
    // address in ten minutes, whatever the cookie.
    const QString service = m_server.serviceAddress();
    const QStringList picture { "r=default/verfy", "_s=pc" };
    for (int i = 0; i < 30; ++i)
        QVERIFY(call(service, "127.0.13.1", "GET", picture, false).body.startsWith("\x89PNG"));
    QCOMPARE(call(service, "127.0.13.1", "GET", picture, false).msg(),
        QStringLiteral("验证码请求过于频繁，请稍后再试"));
    QVERIFY(call(service, "127.0.13.2", "GET", picture, false).body.startsWith("\x89PNG"));
}

void ServerHardeningTest::dataIsOwnerOnly()
{
    QCOMPARE(call(m_server.serviceAddress(), "127.0.9.2", "POST",
                 retrievalParameters("c@example.com"), false)
                 .statu(),
        1);
    QCOMPARE(permissionsOf(m_data), OwnerFolder);
    if (!testsUsePostgres())
        QCOMPARE(permissionsOf(m_data + "/tavrion.db"), OwnerFile);
    QCOMPARE(permissionsOf(m_data + "/outbox"), OwnerFolder);
    QDirIterator mails(m_data + "/outbox", { "*.eml" }, QDir::Files);
    QVERIFY(mails.hasNext());
    QCOMPARE(permissionsOf(mails.next()), OwnerFile);
}

void ServerHardeningTest::loginGuessingIsSlowed()
{
    const QString service = m_server.serviceAddress();
    // Per account and address: five free failures, then a wait that even
    // the right password has to sit out there, and only there.
    for (int i = 0; i < 6; ++i)
        QCOMPARE(
            call(service, "127.0.10.1", "POST", loginParameters("a@example.com", "guess"), true)
                .msg(),
            QStringLiteral("账号或密码错误"));
    Reply reply
        = call(service, "127.0.10.1", "POST", loginParameters("a@example.com", "right-pass"), true);
    QVERIFY2(reply.msg().startsWith(QStringLiteral("登录尝试过于频繁")), reply.body.constData());
    QCOMPARE(
        call(service, "127.0.10.2", "POST", loginParameters("A@example.com", "right-pass"), true)
            .statu(),
        1);
    QTest::qWait(1100);
    QCOMPARE(
        call(service, "127.0.10.1", "POST", loginParameters("a@example.com", "right-pass"), true)
            .statu(),
        1);

    // Per address: twenty free failures over any accounts, then a wait.
    for (int i = 0; i < 21; ++i)
        call(service, "127.0.10.3", "POST",
            loginParameters(QStringLiteral("n%1@example.com").arg(i), "guess"), true);
    reply
        = call(service, "127.0.10.3", "POST", loginParameters("b@example.com", "right-pass"), true);
    QVERIFY2(reply.msg().startsWith(QStringLiteral("登录尝试过于频繁")), qPrintable(reply.msg()));
    QCOMPARE(
        call(service, "127.0.10.4", "POST", loginParameters("b@example.com", "right-pass"), true)
            .statu(),
        1);
}

void ServerHardeningTest::ownerIsNotLockedOut()
{
    // Guesses from many addresses reach the account's ceiling: a new
    // address then waits, the address the owner logged in from does not.
    const QString service = m_server.serviceAddress();
    const auto login = [&](const char *source, const char *password) {
        return call(service, source, "POST", loginParameters("d@example.com", password), true);
    };
    QCOMPARE(login("127.0.14.9", "right-pass").statu(), 1);
    for (int failure = 0; failure < 51; ++failure) {
        const QByteArray source = "127.0.14." + QByteArray::number(failure / 5 + 10);
        QCOMPARE(login(source.constData(), "guess").msg(), QStringLiteral("账号或密码错误"));
    }
    QVERIFY(login("127.0.14.8", "right-pass").msg().startsWith(QStringLiteral("登录尝试过于频繁")));
    QCOMPARE(login("127.0.14.9", "right-pass").statu(), 1);
}

void ServerHardeningTest::limitsHoldAcrossProcesses()
{
    // A second process on the same records counts in the same counters.
    ServerProcess second;
    QVERIFY(second.start(m_data));
    const QString services[] = { m_server.serviceAddress(), second.serviceAddress() };
    for (int i = 0; i < 10; ++i)
        QCOMPARE(call(services[i % 2], "127.0.15.1", "POST",
                     retrievalParameters(QStringLiteral("m%1@example.com").arg(i)), false)
                     .msg(),
            QStringLiteral("该邮箱尚未注册"));
    for (const QString &service : services)
        QCOMPARE(
            call(service, "127.0.15.1", "POST", retrievalParameters("a@example.com"), false).msg(),
            QStringLiteral("找回密码过于频繁，请稍后再试"));
}

void ServerHardeningTest::retrievalsAreLimited()
{
    const QString service = m_server.serviceAddress();
    const QString limited = QStringLiteral("找回密码过于频繁，请稍后再试");
    // Three mails an hour per account, whatever the address.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(call(service, i ? "127.0.11.1" : "127.0.11.2", "POST",
                     retrievalParameters("b@example.com"), false)
                     .statu(),
            1);
    QCOMPARE(call(service, "127.0.11.3", "POST", retrievalParameters("b@example.com"), false).msg(),
        limited);
    // Ten tries an hour per address, whatever the account.
    for (int i = 0; i < 10; ++i)
        QCOMPARE(call(service, "127.0.11.4", "POST",
                     retrievalParameters(QStringLiteral("n%1@example.com").arg(i)), false)
                     .msg(),
            QStringLiteral("该邮箱尚未注册"));
    QCOMPARE(call(service, "127.0.11.4", "POST", retrievalParameters("a@example.com"), false).msg(),
        limited);
}

// Behind a reverse proxy, limits count the viewer the proxy names; a peer
// that is not a named proxy cannot escape its limit by naming others.
void ServerHardeningTest::proxiedViewersAreCountedApart()
{
    ServerProcess proxied;
    QVERIFY(proxied.start(m_data + "-proxied", { "--trusted-proxy", "127.0.12.1" }));
    const QString service = proxied.serviceAddress();
    const QString limited = QStringLiteral("找回密码过于频繁，请稍后再试");
    const auto retrieve = [&](const char *source, int viewer, int account) {
        return call(service, source, "POST",
            retrievalParameters(QStringLiteral("p%1@example.com").arg(account)), false, {},
            "X-Real-IP: 198.51.100." + QByteArray::number(viewer) + "\r\n")
            .msg();
    };
    for (int i = 0; i < 10; ++i)
        QCOMPARE(retrieve("127.0.12.1", 7, i), QStringLiteral("该邮箱尚未注册"));
    QCOMPARE(retrieve("127.0.12.1", 7, 10), limited);
    QCOMPARE(retrieve("127.0.12.1", 8, 11), QStringLiteral("该邮箱尚未注册"));

    for (int i = 0; i < 10; ++i)
        QCOMPARE(retrieve("127.0.12.2", 20 + i, i), QStringLiteral("该邮箱尚未注册"));
    QCOMPARE(retrieve("127.0.12.2", 30, 10), limited);
}

void ServerHardeningTest::fullDiskIsRefusedCleanly()
{
    FullFileSystem disk(QStringLiteral("1m"));
    if (!disk.isMounted())
        QSKIP(qPrintable(QStringLiteral("no full disk to test on: ") + disk.reason()));
    const QString data = disk.path() + "/data";
    // On PostgreSQL the service's tables go on the same small disk.
    QStringList database;
    if (testsUsePostgres()) {
        const QString url = m_cluster.createDatabase("fulldisk", disk.path() + "/tables");
        QVERIFY2(!url.isEmpty(), qPrintable(m_cluster.reason()));
        database = QStringList { "--database", url };
    }
    ServerProcess::admin(
        QStringList { "add-user", "--data", data, "d@example.com", "right-pass" } + database);
    ServerProcess server;
    QVERIFY(server.start(data, database));
    const QString service = server.serviceAddress();
    QVERIFY(disk.fill());

    // Reading needs no room.
    Reply reply = call(service, "127.0.12.1", "GET", ConfigParameters, false);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.statu(), 1);
    // Neither the retrieval's count nor its mail can be written: refused,
    // and the password stays.
    reply = call(service, "127.0.12.1", "POST", retrievalParameters("d@example.com"), false);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.msg(), QStringLiteral("服务器存储空间不足，请稍后再试"));
    // A login has a session to store: the envelope says why it failed.
    reply
        = call(service, "127.0.12.1", "POST", loginParameters("d@example.com", "right-pass"), true);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.msg(), QStringLiteral("服务器存储空间不足，请稍后再试"));

    disk.makeRoom();
    QCOMPARE(
        call(service, "127.0.12.1", "POST", loginParameters("d@example.com", "right-pass"), true)
            .statu(),
        1);
    QDirIterator mails(data + "/outbox", { "*.eml" }, QDir::Files);
    QVERIFY(!mails.hasNext());
    QVERIFY(server.stop());
}

QTEST_GUILESS_MAIN(ServerHardeningTest)
#include "tst_serverhardening.moc"
