#include "service/serverclient.h"
#include "serviceenvironment.h"

// The cookie is process-wide state, so each case runs in a process of its own
// (see CMakeLists.txt): each starts with no cookie stored.
class TestServerCookie : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_env.reset(new ServiceEnvironment); }
    void cleanup() { m_env.reset(); }

    void capturedValueIsSentVerbatim()
    {
        TestHttpServer &server = m_env->server;
        // A failed first reply without the header leaves no cookie.
        server.enqueue(TestHttpAnswer::withStatus(500));
        server.enqueue(cookieAnswer("id=1; path=/"));
        server.enqueue(cookieAnswer("id=2; path=/"));
        server.enqueueJson("{\"statu\":1}");

        QVERIFY_EXCEPTION_THROWN(
            ServerClient::instance()->get({ "_s=pc" }, false), ServerRequestError);
        QVERIFY(ServerClient::instance()->serverCookie().isEmpty());
        ServerClient::instance()->get({ "_s=pc" }, false);
        // Stored before the call that waited for it returned.
        QCOMPARE(ServerClient::instance()->serverCookie(), QByteArray("id=1; path=/"));
        ServerClient::instance()->post({ "_s=pc" }, false);
        ServerClient::instance()->get({ "_s=pc" }, false);

        const QList<TestHttpRequest> requests = server.requests();
        QCOMPARE(requests.size(), 4);
        QVERIFY(!requests.at(0).hasHeader("Cookie"));
        QVERIFY(!requests.at(1).hasHeader("Cookie"));
        // Once known, the cookie never changes, attribute included.
        QCOMPARE(requests.at(2).header("Cookie"), QByteArray("id=1; path=/"));
        QCOMPARE(requests.at(3).header("Cookie"), QByteArray("id=1; path=/"));
    }

    // Several Set-Cookie headers reach the client joined by line breaks; sent
    // back as they are they would split the request's header block.
    void repeatedSetCookieStaysOneHeaderLine()
    {
        TestHttpServer &server = m_env->server;
        TestHttpAnswer answer = cookieAnswer("id=1; path=/");
        answer.headers.append(qMakePair(QByteArray("Set-Cookie"), QByteArray("lang=zh")));
        server.enqueue(answer);
        server.enqueueJson("{\"statu\":1}");
        ServerClient::instance()->get({ "_s=pc" }, false);
        ServerClient::instance()->get({ "_s=pc" }, false);

        const TestHttpRequest second = server.lastRequest();
        QCOMPARE(second.header("Cookie"), QByteArray("id=1; path=/, lang=zh"));
        QVERIFY2(!second.raw.contains("\nlang=zh"), second.raw);
    }

private:
    static TestHttpAnswer cookieAnswer(const QByteArray &value)
    {
        TestHttpAnswer answer = TestHttpAnswer::json("{\"statu\":1}");
        answer.headers.append(qMakePair(QByteArray("Set-Cookie"), value));
        return answer;
    }

    std::unique_ptr<ServiceEnvironment> m_env;
};

QTEST_GUILESS_MAIN(TestServerCookie)
#include "tst_servercookie.moc"
