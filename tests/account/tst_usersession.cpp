#include "account/usersession.h"

#include "serviceenvironment.h"

#include <QFileInfo>

class TestUserSession : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_env.reset(new ServiceEnvironment);
        // Every case starts logged out.
        server().enqueueJson("{\"statu\":1}");
        QCOMPARE(session()->logout().status, 1);
        server().clearRequests();
    }
    void cleanup() { m_env.reset(); }

    void credentialsFileLayout()
    {
        session()->saveCredentials(QStringLiteral("ab"), QStringLiteral("xyz"));
        // Counts big-endian; 'a' ^ 0x5A = 0x3B, 'b' -> 0x38, 'x' -> 0x22, 'y' -> 0x23, 'z' -> 0x20.
        QCOMPARE(readFileBytes(QStringLiteral("user.dat")),
            QByteArray("\x00\x00\x00\x02\x3B\x38\x00\x00\x00\x03\x22\x23\x20", 13));
        // Holds a password: nobody but the owner may read it.
        const QFile::Permissions permissions = QFileInfo(QStringLiteral("user.dat")).permissions();
        QVERIFY(permissions & QFile::ReadOwner);
        QVERIFY(!(permissions
            & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther)));
    }

    void savingReplacesTheFileAndTightensPermissions()
    {
        QVERIFY(writeFileBytes(QStringLiteral("user.dat"), QByteArray(100, 'x')));
        QFile::setPermissions(
            QStringLiteral("user.dat"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        session()->saveCredentials(QString(), QStringLiteral("p"));
        QCOMPARE(readFileBytes(QStringLiteral("user.dat")),
            QByteArray("\x00\x00\x00\x00\x00\x00\x00\x01\x2A", 9));
        QVERIFY(!(QFileInfo(QStringLiteral("user.dat")).permissions() & QFile::ReadOther));
    }

    void autoLoginWithSavedCredentials()
    {
        session()->saveCredentials(QStringLiteral("用户@example.com"), QStringLiteral("p&=1"));
        AppSettings::instance()->setAutoLogin(true);
        server().enqueueJson(
            "{\"statu\":1,\"data\":{\"isvip\":1,\"issvip\":\"true\",\"viptime\":1700000000}}");
        session()->autoLogin();

        QCOMPARE(server().requestCount(), 1);
        QVERIFY2(server().lastRequest().body.startsWith(
                     "r=www%2Fuser%2Flogin&do=login&f[username]=%E7%94%A8%E6%88%B7%40example.com"
                     "&f[password]=p%26%3D1&_s=pc&sign="),
            server().lastRequest().body);
        QVERIFY(session()->isLoggedIn());
        QCOMPARE(session()->userName(), QStringLiteral("用户@example.com"));
        QVERIFY(session()->isvip());
        QVERIFY(session()->issvip());
        QCOMPARE(session()->viptime(), 1700000000u);
    }

    void autoLoginDoesNothing_data()
    {
        QTest::addColumn<bool>("autoLogin");
        QTest::addColumn<bool>("fileExists");
        QTest::newRow("automatic login off") << false << true;
        QTest::newRow("no saved credentials") << true << false;
    }

    void autoLoginDoesNothing()
    {
        QFETCH(bool, autoLogin);
        QFETCH(bool, fileExists);
        if (fileExists)
            session()->saveCredentials(QStringLiteral("u"), QStringLiteral("p"));
        AppSettings::instance()->setAutoLogin(autoLogin);
        session()->autoLogin();
        QCOMPARE(server().requestCount(), 0);
        QVERIFY(!session()->isLoggedIn());
    }

    // A short, empty or corrupt file yields empty texts; the login with them
    // is still sent and its failure leaves the session logged out.
    void autoLoginWithDamagedFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("short") << QByteArray("\x00\x00", 2);
        QTest::newRow("huge count") << QByteArray("\x7f\xff\xff\xf0xyz", 7);
    }

    void autoLoginWithDamagedFile()
    {
        QFETCH(QByteArray, content);
        QVERIFY(writeFileBytes(QStringLiteral("user.dat"), content));
        AppSettings::instance()->setAutoLogin(true);
        server().enqueueJson("{\"statu\":0,\"msg\":\"用户名不能为空\"}");
        session()->autoLogin();
        QCOMPARE(server().requestCount(), 1);
        QVERIFY(server().lastRequest().body.contains("&f[username]=&f[password]=&"));
        QVERIFY(!session()->isLoggedIn());
    }

    void loginAndLogoutStates()
    {
        server().enqueueJson("{\"statu\":1,\"data\":{\"isvip\":true,\"viptime\":5}}");
        server().enqueueJson("{\"statu\":0,\"msg\":\"密码错误\"}");
        server().enqueue(TestHttpAnswer::withStatus(500));
        server().enqueueJson("{\"statu\":0,\"msg\":\"未登录\"}");
        server().enqueueJson("{\"statu\":1}");

        QCOMPARE(session()->login(QStringLiteral("a@b.c"), QStringLiteral("p")).status, 1);
        QVERIFY(session()->isLoggedIn());

        // A failed login logs out but keeps the other fields.
        const ServerResult refused = session()->login(QStringLiteral("x@y.z"), QStringLiteral("q"));
        QCOMPARE(refused.status, 0);
        QCOMPARE(refused.message, QStringLiteral("密码错误"));
        QVERIFY(!session()->isLoggedIn());
        QCOMPARE(session()->userName(), QStringLiteral("a@b.c"));
        QVERIFY(session()->isvip());
        QCOMPARE(session()->viptime(), 5u);

        // Failed logouts (transfer failure, refusal) change nothing.
        QCOMPARE(session()->logout().status, -1);
        const ServerResult notLoggedIn = session()->logout();
        QCOMPARE(notLoggedIn.status, 0);
        QCOMPARE(notLoggedIn.message, QStringLiteral("未登录"));
        QCOMPARE(session()->userName(), QStringLiteral("a@b.c"));
        QVERIFY(session()->isvip());

        QCOMPARE(session()->logout().status, 1);
        QVERIFY(session()->userName().isEmpty());
        QVERIFY(!session()->isLoggedIn());
        QVERIFY(!session()->isvip());
        QVERIFY(!session()->issvip());
        QCOMPARE(session()->viptime(), 0u);
    }

    void loginTransferFailureLogsOut()
    {
        server().enqueueJson("{\"statu\":1,\"data\":{}}");
        server().enqueue(TestHttpAnswer::withStatus(502));
        session()->login(QStringLiteral("u"), QStringLiteral("p"));
        QVERIFY(session()->isLoggedIn());
        const ServerResult result = session()->login(QStringLiteral("u"), QStringLiteral("p"));
        QCOMPARE(result.status, -1);
        QCOMPARE(result.message, QStringLiteral("服务器请求出错"));
        QVERIFY(!session()->isLoggedIn());
    }

    void accountOperationsPassTheirValues()
    {
        server().enqueue(TestHttpAnswer::withStatus(200, "GIF89a"));
        server().enqueueJson("{\"statu\":1}");
        server().enqueueJson("{\"statu\":2,\"msg\":\"邮箱不存在\"}");
        server().enqueueJson("{\"statu\":1}");

        const CaptchaResult captcha = session()->captchaImage();
        QCOMPARE(captcha.status, 1);
        QCOMPARE(captcha.image, QByteArray("GIF89a"));
        QCOMPARE(session()
                     ->signUp(QStringLiteral("c0De"), QStringLiteral("m@n.o"), QStringLiteral("pw"))
                     .status,
            1);
        QVERIFY(server().lastRequest().body.contains(
            "&f[code]=c0De&f[username]=m%40n.o&f[password]=pw&f[repassword]=pw&union_uid=&"));
        const ServerResult retrieve = session()->retrievePassword(QStringLiteral("m@n.o"));
        QCOMPARE(retrieve.status, 2);
        QCOMPARE(retrieve.message, QStringLiteral("邮箱不存在"));
        QVERIFY(server().lastRequest().body.contains("&f[username]=m%40n.o&"));
        QCOMPARE(session()->modifyPassword(QStringLiteral("o"), QStringLiteral("n")).status, 1);
        QVERIFY(server().lastRequest().body.contains("&f[password]=o&f[newpassword]=n&"));
        // None of these logs in.
        QVERIFY(!session()->isLoggedIn());
    }

private:
    static UserSession *session() { return UserSession::instance(); }
    TestHttpServer &server() { return m_env->server; }
    std::unique_ptr<ServiceEnvironment> m_env;
};

QTEST_GUILESS_MAIN(TestUserSession)
#include "tst_usersession.moc"
