#include "service/accountendpoints.h"
#include "serviceenvironment.h"

class TestAccountEndpoints : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_env.reset(new ServiceEnvironment); }
    void cleanupTestCase() { m_env.reset(); }
    void init()
    {
        server().clearRequests();
        server().setHandler({});
    }

    // Bodies with signatures computed outside the program.
    void accountRequestBodies()
    {
        for (int i = 0; i < 4; ++i)
            server().enqueueJson("{\"statu\":1}");

        userLogin(QStringLiteral("ab@c.d"), QStringLiteral("密码 1"));
        QCOMPARE(server().lastRequest().body,
            QByteArray("r=www%2Fuser%2Flogin&do=login&f[username]=ab%40c.d"
                       "&f[password]=%E5%AF%86%E7%A0%81%201&_s=pc"
                       "&sign=7bd7da3586c02386a35b84de113b81c6"));

        userRegister(
            QStringLiteral("x7Y"), QStringLiteral("a@b.cn"), QStringLiteral("p w"), QByteArray());
        QCOMPARE(server().lastRequest().body,
            QByteArray("r=www%2Fuser%2Fregister&do=register_new&f[code]=x7Y"
                       "&f[username]=a%40b.cn&f[password]=p%20w&f[repassword]=p%20w"
                       "&union_uid=&_s=pc&sign=52973def3b11403ea81a764df8132e85"));

        userForgetPassword(QStringLiteral("a@b.cn"));
        QCOMPARE(server().lastRequest().body,
            QByteArray("r=www%2Fuser%2Fforgetpwd&do=forgetpwd&f[username]=a%40b.cn&_s=pc"));

        userModifyPassword(QStringLiteral("old[1]"), QStringLiteral("new&2"));
        QCOMPARE(server().lastRequest().body,
            QByteArray("r=www%2Fuser%2Fpwd&do=pwd&f[password]=old%5B1%5D"
                       "&f[newpassword]=new%262&f[repassword]=new%262&_s=pc"));

        for (const TestHttpRequest &request : server().requests()) {
            QCOMPARE(request.requestLine, QByteArray("POST /server/ HTTP/1.1"));
            QVERIFY(!request.body.contains("_mac="));
        }
    }

    void loginFlags_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("isvip");
        QTest::addColumn<bool>("issvip");
        QTest::addColumn<uint>("viptime");
        QTest::newRow("true, 1, numeric string")
            << QByteArray("{\"isvip\":true,\"issvip\":1,\"viptime\":\"1893456000\"}") << true
            << false << 1893456000u;
        QTest::newRow("1, true, number")
            << QByteArray("{\"isvip\":1,\"issvip\":true,\"viptime\":4294967295}") << true << true
            << 4294967295u;
        QTest::newRow("\"1\", \"true\"")
            << QByteArray("{\"isvip\":\"1\",\"issvip\":\"true\"}") << true << true << 0u;
        QTest::newRow("2, \"1\", negative")
            << QByteArray("{\"isvip\":2,\"issvip\":\"1\",\"viptime\":-5}") << false << false << 0u;
        QTest::newRow("\"true\", \"TRUE\", too large")
            << QByteArray("{\"isvip\":\"true\",\"issvip\":\"TRUE\",\"viptime\":4294967296}")
            << false << false << 0u;
        QTest::newRow("false, false")
            << QByteArray("{\"isvip\":false,\"issvip\":false}") << false << false << 0u;
        QTest::newRow("data missing") << QByteArray("null") << false << false << 0u;
    }

    void loginFlags()
    {
        QFETCH(QByteArray, data);
        server().enqueueJson("{\"statu\":1,\"msg\":\"欢迎\",\"data\":" + data + "}");
        const LoginResult result = userLogin(QStringLiteral("u"), QStringLiteral("p"));
        QCOMPARE(result.status, 1);
        QVERIFY(result.message.isEmpty());
        QTEST(result.isvip, "isvip");
        QTEST(result.issvip, "issvip");
        QTEST(result.viptime, "viptime");
    }

    void failedLogin()
    {
        server().enqueueJson("{\"statu\":0,\"msg\":\"密码错误\",\"data\":{\"isvip\":1,\"issvip\":"
                             "true,\"viptime\":5}}");
        const LoginResult result = userLogin(QStringLiteral("u"), QStringLiteral("p"));
        QCOMPARE(result.status, 0);
        QCOMPARE(result.message, QStringLiteral("密码错误"));
        QVERIFY(!result.isvip);
        QVERIFY(!result.issvip);
        QCOMPARE(result.viptime, 0u);
    }

    void captcha_data()
    {
        QTest::addColumn<TestHttpAnswer>("answer");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("image");
        const QByteArray png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
        TestHttpAnswer picture = TestHttpAnswer::withStatus(200, png);
        picture.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("image/png")));
        QTest::newRow("picture") << picture << 1 << QString() << png;
        QTest::newRow("empty body")
            << TestHttpAnswer::withStatus(200) << 1 << QString() << QByteArray();
        QTest::newRow("envelope is not read")
            << TestHttpAnswer::json("{\"statu\":0,\"msg\":\"x\"}") << 1 << QString()
            << QByteArray("{\"statu\":0,\"msg\":\"x\"}");
        QTest::newRow("transfer failure") << TestHttpAnswer::withStatus(500, "oops") << -1
                                          << QStringLiteral("服务器请求出错") << QByteArray();
    }

    void captcha()
    {
        QFETCH(TestHttpAnswer, answer);
        server().enqueue(answer);
        const CaptchaResult result = getCaptchaImage();
        QCOMPARE(server().lastRequest().requestLine,
            QByteArray("GET /server/?r=default%2Fverfy&_=1&_s=pc HTTP/1.1"));
        QTEST(result.status, "status");
        QTEST(result.message, "message");
        QTEST(result.image, "image");
    }

    void announcements()
    {
        server().enqueueJson(
            "{\"statu\":1,\"data\":[{\"title\":\"乙\",\"url\":\"http://b/1\"},"
            "{\"title\":\"B\",\"url\":\"http://b/2\"},{\"title\":\"a\",\"url\":\"http://a/\"},"
            "{\"title\":\"乙\",\"url\":\"http://b/3\"}]}");
        const AnnouncementResult result = getAnnouncementList();
        QCOMPARE(result.status, 1);
        // Ordered by title ("B" < "a" < "乙" by UTF-16 code unit); the later
        // duplicate title wins.
        QCOMPARE(result.announcements.keys(), (QStringList { "B", "a", "乙" }));
        QCOMPARE(result.announcements.value(QStringLiteral("乙")), QStringLiteral("http://b/3"));

        server().enqueueJson("{\"statu\":0,\"msg\":\"关闭\"}");
        const AnnouncementResult refused = getAnnouncementList();
        QCOMPARE(refused.status, 0);
        QVERIFY(refused.message.isEmpty());
    }

    void popupNoticeDisabled_data()
    {
        QTest::addColumn<QByteArray>("enable");
        QTest::newRow("false text") << QByteArray("\"false\"");
        QTest::newRow("other text") << QByteArray("\"yes\"");
        QTest::newRow("one") << QByteArray("1");
        QTest::newRow("missing") << QByteArray();
    }

    void popupNoticeDisabled()
    {
        QFETCH(QByteArray, enable);
        const QByteArray enableMember
            = enable.isEmpty() ? QByteArray() : "\"enable\":" + enable + ',';
        server().enqueueJson("{\"statu\":1,\"data\":{" + enableMember + "\"datas\":[{\"img\":\""
            + server().baseAddress().toLatin1() + "/p.png\",\"url\":\"x\"}]}}");
        const PopupNoticeResult result = getPopupNoticeList();
        QCOMPARE(result.status, 1);
        QVERIFY(!result.enable);
        QVERIFY(result.pages.isEmpty());
        QCOMPARE(server().requestCount(), 1);
    }

    void popupNoticePictures_data()
    {
        QTest::addColumn<int>("failingPicture"); // 0: none
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("pages");
        QTest::newRow("all three") << 0 << 1 << QString() << 3;
        QTest::newRow("second of three fails") << 2 << -1 << QStringLiteral("服务器错误") << 1;
    }

    void popupNoticePictures()
    {
        QFETCH(int, failingPicture);
        const QByteArray base = server().baseAddress().toLatin1();
        server().setHandler([failingPicture](const TestHttpRequest &request) {
            const QByteArray path = request.path();
            if (path == "/pic/" + QByteArray::number(failingPicture) + ".png")
                return TestHttpAnswer::withStatus(404);
            if (path.startsWith("/pic/"))
                return TestHttpAnswer::withStatus(200, "image " + path);
            return TestHttpAnswer::withStatus(500);
        });
        server().enqueueJson("{\"statu\":1,\"data\":{\"enable\":true,\"datas\":["
                             "{\"img\":\""
            + base
            + "/pic/1.png\",\"url\":\"http://a.example/1\"},"
              "{\"img\":\""
            + base
            + "/pic/2.png\",\"url\":\"http://a.example/2\"},"
              "{\"img\":\""
            + base + "/pic/3.png\",\"url\":\"http://a.example/3\"}]}}");
        const PopupNoticeResult result = getPopupNoticeList();
        QTEST(result.status, "status");
        QTEST(result.message, "message");
        QVERIFY(result.enable);
        QFETCH(int, pages);
        QCOMPARE(result.pages.size(), pages);
        for (int i = 0; i < pages; ++i) {
            QCOMPARE(result.pages.at(i).image, "image /pic/" + QByteArray::number(i + 1) + ".png");
            QCOMPARE(
                result.pages.at(i).url, QUrl(QStringLiteral("http://a.example/%1").arg(i + 1)));
        }
        // Pictures go out plainly: none of the service client's headers.
        const QList<TestHttpRequest> requests = server().requests();
        QCOMPARE(requests.size(), 1 + (failingPicture ? failingPicture : 3));
        for (int i = 1; i < requests.size(); ++i) {
            QVERIFY(!requests.at(i).hasHeader("X-Requested-With"));
            QVERIFY(!requests.at(i).hasHeader("Cookie"));
            QVERIFY(!requests.at(i).header("User-Agent").startsWith("SN "));
            QVERIFY(requests.at(i).query().isEmpty());
        }
    }

    // A notice picture is only fetched from the web: a local file or device
    // named by the service is never read.
    void popupNoticeRefusesLocalPictures_data()
    {
        QTest::addColumn<QString>("picture");
        QTest::newRow("file") << QStringLiteral("file:///dev/zero");
        QTest::newRow("resource") << QStringLiteral("qrc:/x.png");
        QTest::newRow("relative") << QStringLiteral("/pic/1.png");
    }

    void popupNoticeRefusesLocalPictures()
    {
        QFETCH(QString, picture);
        server().enqueueJson("{\"statu\":1,\"data\":{\"enable\":\"true\",\"datas\":[{\"img\":\""
            + picture.toUtf8() + "\",\"url\":\"u\"}]}}");
        const PopupNoticeResult result = getPopupNoticeList();
        QCOMPARE(result.status, -1);
        QCOMPARE(result.message, QStringLiteral("服务器错误"));
        QVERIFY(result.enable);
        QVERIFY(result.pages.isEmpty());
    }

    void popupNoticeEnvelopeFailure()
    {
        server().enqueue(TestHttpAnswer::withStatus(503));
        const PopupNoticeResult result = getPopupNoticeList();
        QCOMPARE(result.status, -1);
        QCOMPARE(result.message, QStringLiteral("服务器请求出错"));
        QVERIFY(!result.enable);
    }

private:
    TestHttpServer &server() { return m_env->server; }
    std::unique_ptr<ServiceEnvironment> m_env;
};

QTEST_GUILESS_MAIN(TestAccountEndpoints)
#include "tst_accountendpoints.moc"
