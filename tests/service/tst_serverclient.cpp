#include "service/accountendpoints.h"
#include "service/resourceendpoints.h"
#include "service/serverclient.h"
#include "serviceenvironment.h"

#include <QNetworkReply>
#include <QTcpServer>

class TestServerClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_env.reset(new ServiceEnvironment); }
    void cleanupTestCase() { m_env.reset(); }
    void init()
    {
        m_env->server.clearRequests();
        ServerClient::instance()->setTransferTimeout(ServerClient::defaultTransferTimeout);
    }

    void unsignedGetIsByteExact()
    {
        server().enqueueJson("{\"statu\":1,\"data\":[]}");
        const AnnouncementResult result = getAnnouncementList();
        QCOMPARE(result.status, 1);

        const TestHttpRequest request = server().lastRequest();
        QCOMPARE(request.requestLine,
            QByteArray("GET /server/?r=www%2Fdefault%2Fpc&do=getConfig&cfg=gonggao&_s=pc "
                       "HTTP/1.1"));
        QCOMPARE(request.header("X-Requested-With"), QByteArray("XMLHttpRequest"));
        QVERIFY(request.body.isEmpty());
        QVERIFY(!request.hasHeader("Content-Type"));
        QVERIFY(!request.hasHeader("Accept"));
        QVERIFY(!request.hasHeader("Referer"));
    }

    void unsignedPostIsByteExact()
    {
        server().enqueueJson("{\"statu\":1}");
        QCOMPARE(userLogout().status, 1);

        const TestHttpRequest request = server().lastRequest();
        QCOMPARE(request.requestLine, QByteArray("POST /server/ HTTP/1.1"));
        QCOMPARE(request.body, QByteArray("r=www%2Fuser%2Flogout&do=logout&_s=pc"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(request.header("X-Requested-With"), QByteArray("XMLHttpRequest"));
        QVERIFY(!request.hasHeader("Accept"));
        QVERIFY(!request.hasHeader("Referer"));
    }

    void userAgentIsComposedOnce()
    {
        server().enqueueJson("{\"statu\":1}");
        server().enqueueJson("{\"statu\":1}");
        userLogout();
        userLogout();
        const QList<TestHttpRequest> requests = server().requests();
        QCOMPARE(requests.size(), 2);
        const QByteArray agent = requests.at(0).header("User-Agent");
        QCOMPARE(requests.at(1).header("User-Agent"), agent);
        QVERIFY2(agent.startsWith("SN " + macAddressText().toUtf8() + '/'), agent);
        QVERIFY2(agent.endsWith("/Tavrion 5.1.2"), agent);
        QVERIFY2(
            agent.endsWith(" x64/Tavrion 5.1.2") || agent.endsWith(" x86/Tavrion 5.1.2"), agent);
    }

    void macAddressHasNetworkLayerForm()
    {
        const QString mac = macAddressText();
        if (!mac.isEmpty())
            QVERIFY2(QRegularExpression(QStringLiteral("^([0-9A-F]{2}:){5}[0-9A-F]{2}$"))
                         .match(mac)
                         .hasMatch(),
                qPrintable(mac));
    }

    void signature_data()
    {
        QTest::addColumn<QStringList>("parameters");
        QTest::addColumn<QString>("digest");
        // Digests computed outside the program with printf %s '...' | md5sum.
        QTest::newRow("favourites") << QStringList { "r=www/default/pc", "do=fav", "method=get",
            "persize=100", "page=1", "_s=pc" }
                                    << "37d980e995afd349d51777a20f9b3e83";
        QTest::newRow("chinese, blank, = and &") << QStringList { "r=www/default/pc", "do=report",
            "method=add", "name=电影 A=B&C", "desc=有 问题", "_s=pc" }
                                                 << "7e950f23e2cfb2e2ad8804cf17d1b95a";
        QTest::newRow("brackets in keys and values") << QStringList { "r=www/user/login",
            "do=login", "f[username]=a@b.com", "f[password]=p[1]", "_s=pc" }
                                                     << "8c29b44c34c9ccec6466199aee45e5fc";
        QTest::newRow("uppercase before _ before lowercase")
            << QStringList { "b=1", "_s=pc", "B=2" } << "fb15d1841badd0e3318a0d0447a2e363";
    }

    void signature()
    {
        QFETCH(QStringList, parameters);
        QFETCH(QString, digest);
        QCOMPARE(requestSignature(parameters), digest);

        // On the wire: the elements in the caller's order, then the signature.
        server().enqueueJson("{\"statu\":1}");
        const QStringList before = parameters;
        ServerClient::instance()->get(parameters, true);
        QCOMPARE(parameters, before);
        const QByteArray query = server().lastRequest().query();
        QVERIFY2(query.endsWith("&sign=" + digest.toLatin1()), query);
        QCOMPARE(query, encodeRequestParameters(parameters, false) + "&sign=" + digest.toLatin1());
    }

    void encoding_data()
    {
        QTest::addColumn<QString>("element");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("slash") << "r=www/default/pc" << QByteArray("r=www%2Fdefault%2Fpc");
        QTest::newRow("blank") << "name=a b" << QByteArray("name=a%20b");
        QTest::newRow("plus") << "name=a+b" << QByteArray("name=a%2Bb");
        QTest::newRow("= and &") << "name=x=y&z" << QByteArray("name=x%3Dy%26z");
        QTest::newRow("key kept, value bracket encoded")
            << "f[username]=[a]" << QByteArray("f[username]=%5Ba%5D");
        QTest::newRow("empty value") << "union_uid=" << QByteArray("union_uid=");
        QTest::newRow("unreserved") << "v=Az09-._~" << QByteArray("v=Az09-._~");
        QTest::newRow("chinese") << "name=中文" << QByteArray("name=%E4%B8%AD%E6%96%87");
        QTest::newRow("percent") << "v=100%" << QByteArray("v=100%25");
    }

    void encoding()
    {
        QFETCH(QString, element);
        QFETCH(QByteArray, encoded);
        QCOMPARE(encodeRequestParameter(element), encoded);

        // GET and POST deliver the same bytes.
        server().enqueueJson("{\"statu\":1}");
        server().enqueueJson("{\"statu\":1}");
        ServerClient::instance()->get({ element, QStringLiteral("_s=pc") }, false);
        QCOMPARE(server().lastRequest().query(), encoded + "&_s=pc");
        ServerClient::instance()->post({ element, QStringLiteral("_s=pc") }, false);
        QCOMPARE(server().lastRequest().body, encoded + "&_s=pc");
    }

    void transferFailures_data()
    {
        QTest::addColumn<TestHttpAnswer>("answer");
        QTest::newRow("500 with a JSON body")
            << TestHttpAnswer::json("{\"statu\":1,\"msg\":\"ok\"}", 500);
        QTest::newRow("404") << TestHttpAnswer::withStatus(404, "not here");
        TestHttpAnswer broken = TestHttpAnswer::json("{\"statu\":1,\"msg\":\"truncated reply\"}");
        broken.closeAfterBodyBytes = 10;
        QTest::newRow("closed mid-reply") << broken;
        TestHttpAnswer closedEarly;
        closedEarly.status = 200;
        closedEarly.body = "{}";
        closedEarly.closeAfterBodyBytes = 0;
        closedEarly.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("500")));
        QTest::newRow("closed before the body") << closedEarly;
    }

    void transferFailures()
    {
        QFETCH(TestHttpAnswer, answer);
        server().enqueue(answer);
        const ServerResult result = deleteCollect(3);
        QCOMPARE(result.status, -1);
        QCOMPARE(result.message, QStringLiteral("服务器请求出错"));
    }

    void connectionRefused()
    {
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        AppSettings::instance()->setServiceBaseAddress(
            QStringLiteral("http://127.0.0.1:%1").arg(port));
        const ServerResult result = reportResource(QStringLiteral("a"), QStringLiteral("b"));
        AppSettings::instance()->setServiceBaseAddress(server().baseAddress());
        QCOMPARE(result.status, -1);
        QCOMPARE(result.message, QStringLiteral("服务器请求出错"));
    }

    // A server that accepts and never answers is given up after the transfer
    // time-out instead of holding the wait forever.
    void silentServerTimesOut()
    {
        ServerClient::instance()->setTransferTimeout(300);
        TestHttpAnswer silent;
        silent.neverAnswer = true;
        server().enqueue(silent);
        const ServerResult result = deleteCollect(1);
        QCOMPARE(result.status, -1);
        QCOMPARE(result.message, QStringLiteral("服务器请求出错"));
        server().closeConnections();
    }

    // A slow reply that keeps delivering is not cut off by the time-out.
    void slowReplyWithinTimeout()
    {
        ServerClient::instance()->setTransferTimeout(2000);
        TestHttpAnswer slow = TestHttpAnswer::json("{\"statu\":1}");
        slow.delayMs = 300;
        server().enqueue(slow);
        QCOMPARE(deleteCollect(1).status, 1);
    }

    void envelope_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty body") << QByteArray() << 0 << QString();
        QTest::newRow("html") << QByteArray("<html><body>statu</body></html>") << 0 << QString();
        QTest::newRow("json array") << QByteArray("[{\"statu\":1}]") << 0 << QString();
        QTest::newRow("no statu") << QByteArray("{\"msg\":\"m\"}") << 0 << QStringLiteral("m");
        QTest::newRow("statu number")
            << QByteArray("{\"statu\":1,\"msg\":\"x\"}") << 1 << QString();
        QTest::newRow("statu string") << QByteArray("{\"statu\":\"1\"}") << 1 << QString();
        QTest::newRow("statu true") << QByteArray("{\"statu\":true}") << 1 << QString();
        QTest::newRow("statu false")
            << QByteArray("{\"statu\":false,\"msg\":\"不行\"}") << 0 << QStringLiteral("不行");
        QTest::newRow("statu other")
            << QByteArray("{\"statu\":-3,\"msg\":\"拒绝\"}") << -3 << QStringLiteral("拒绝");
        QTest::newRow("statu huge")
            << QByteArray("{\"statu\":1e300,\"msg\":\"m\"}") << 0 << QStringLiteral("m");
        QTest::newRow("statu fraction") << QByteArray("{\"statu\":1.5}") << 0 << QString();
        QTest::newRow("statu object") << QByteArray("{\"statu\":{\"a\":1}}") << 0 << QString();
        QTest::newRow("msg number")
            << QByteArray("{\"statu\":0,\"msg\":42}") << 0 << QStringLiteral("42");
        QTest::newRow("invalid utf-8")
            << QByteArray("{\"statu\":1,\"msg\":\"\xff\xfe\"}") << 0 << QString();
        QTest::newRow("deep nesting") << QByteArray(
            "{\"statu\":1,\"data\":" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}")
                                      << 0 << QString();
        QTest::newRow("several MB")
            << QByteArray("{\"statu\":7,\"msg\":\"" + QByteArray(6 * 1024 * 1024, 'a') + "\"}") << 7
            << QString(6 * 1024 * 1024, QLatin1Char('a'));
    }

    void envelope()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, message);
        server().enqueueJson(body);
        const ServerResult result = deleteCollect(9);
        QCOMPARE(result.status, status);
        QCOMPARE(result.message, message);
    }

    // A redirect is not followed; its own body is the reply.
    void redirectIsTheReply()
    {
        TestHttpAnswer redirect = TestHttpAnswer::json("{\"statu\":5,\"msg\":\"moved\"}", 302);
        redirect.headers.append(qMakePair(
            QByteArray("Location"), server().url(QStringLiteral("/elsewhere")).toEncoded()));
        server().enqueue(redirect);
        const ServerResult result = deleteCollect(1);
        QCOMPARE(result.status, 5);
        QCOMPARE(result.message, QStringLiteral("moved"));
        QCOMPARE(server().requestCount(), 1);
    }

    // A call started while another waits returns first, even when the outer
    // reply arrives earlier.
    void nestedWaitsUnwindInReverseOrder()
    {
        server().setHandler([](const TestHttpRequest &request) {
            TestHttpAnswer answer = TestHttpAnswer::json("{\"statu\":1}");
            answer.delayMs = request.query().contains("id=1") ? 50 : 400;
            return answer;
        });
        QStringList order;
        QTimer::singleShot(10, this, [&order] {
            order << QStringLiteral("inner start");
            const ServerResult inner = deleteCollect(2);
            order << QStringLiteral("inner %1").arg(inner.status);
        });
        const ServerResult outer = deleteCollect(1);
        order << QStringLiteral("outer %1").arg(outer.status);
        server().setHandler({});
        QCOMPARE(order, (QStringList { "inner start", "inner 1", "outer 1" }));
    }

    void replyIsReleasedAfterUse()
    {
        server().enqueueJson("{\"statu\":1}");
        QPointer<QNetworkReply> watched;
        {
            const ServerReply reply = ServerClient::instance()->get({ "_s=pc" }, false);
            watched = reply.data();
            QVERIFY(watched);
        }
        QTRY_VERIFY(!watched);
    }

private:
    TestHttpServer &server() { return m_env->server; }
    std::unique_ptr<ServiceEnvironment> m_env;
};

QTEST_GUILESS_MAIN(TestServerClient)
#include "tst_serverclient.moc"
