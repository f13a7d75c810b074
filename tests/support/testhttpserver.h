#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QString>
#include <QUrl>

#include <functional>

class QTcpServer;
class QTcpSocket;

using TestHttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// One request as the test server received it, byte for byte.
struct TestHttpRequest
{
    QByteArray requestLine; // "GET /server/?a=1 HTTP/1.1", without the line end
    QByteArray method; // "GET"
    QByteArray target; // "/server/?a=1"
    TestHttpHeaders headers; // in the order received, names as sent
    QByteArray body;
    QByteArray raw; // request line, header block and body exactly as received

    // Path and query of the target ("/server/" and "a=1").
    QByteArray path() const;
    QByteArray query() const;
    // First value of a header, compared without case; empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

// What the test server sends back for one request.
struct TestHttpAnswer
{
    int status = 200;
    QByteArray reason; // empty: a standard phrase for the status
    TestHttpHeaders headers; // Content-Length is added unless given here
    QByteArray body;
    int delayMs = 0; // wait this long before answering
    bool neverAnswer = false; // keep the connection open and silent
    int closeAfterBodyBytes = -1; // >= 0: send that much of the body, then close
    int stallAfterBodyBytes = -1; // >= 0: send that much of the body, then fall silent
    int trickleEveryMs = 0; // > 0: send the body one byte at a time, this often

    // A 200 (or the given status) answer with a JSON body.
    static TestHttpAnswer json(const QByteArray &body, int status = 200);
    static TestHttpAnswer withStatus(int status, const QByteArray &body = {});
};

// A small HTTP/1.1 server on 127.0.0.1 for tests. It runs on the thread that
// owns it, so it answers while the code under test waits in a local event
// loop. Answers come from the queue in order; when the queue is empty the
// handler (if set) or the default answer is used. Every request is recorded.
// Request bodies are read by their Content-Length; connections are kept open
// between requests unless an answer carries "Connection: close".
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<TestHttpAnswer(const TestHttpRequest &)>;

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on a free port of 127.0.0.1; false when that fails.
    bool start();
    quint16 port() const;
    // "http://127.0.0.1:<port>"
    QString baseAddress() const;
    QUrl url(const QString &pathAndQuery) const;

    void enqueue(const TestHttpAnswer &answer);
    void enqueueJson(const QByteArray &body) { enqueue(TestHttpAnswer::json(body)); }
    void setHandler(const Handler &handler) { m_handler = handler; }
    // Used when neither the queue nor a handler gives an answer; by default
    // a 500 with the body "no answer scripted".
    void setDefaultAnswer(const TestHttpAnswer &answer) { m_defaultAnswer = answer; }

    QList<TestHttpRequest> requests() const { return m_requests; }
    int requestCount() const { return m_requests.size(); }
    TestHttpRequest lastRequest() const;
    void clearRequests() { m_requests.clear(); }
    // Runs the event loop until at least count requests have arrived.
    bool waitForRequests(int count, int timeoutMs = 5000);
    // Closes every open connection, silent ones included.
    void closeConnections();

signals:
    void requestReceived(const TestHttpRequest &request);

private:
    void server_newConnection();
    void readFromSocket(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const TestHttpAnswer &answer);

    QTcpServer *m_server;
    QQueue<TestHttpAnswer> m_queue;
    Handler m_handler;
    TestHttpAnswer m_defaultAnswer;
    QList<TestHttpRequest> m_requests;
};

Q_DECLARE_METATYPE(TestHttpRequest)
Q_DECLARE_METATYPE(TestHttpAnswer)
