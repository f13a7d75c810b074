#include "testhttpserver.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

namespace {

const char bufferProperty[] = "testHttpBuffer";
const char busyProperty[] = "testHttpBusy";

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool hasHeaderIn(const TestHttpHeaders &headers, const QByteArray &name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

QByteArray TestHttpRequest::path() const
{
    const int question = target.indexOf('?');
    return question < 0 ? target : target.left(question);
}

QByteArray TestHttpRequest::query() const
{
    const int question = target.indexOf('?');
    return question < 0 ? QByteArray() : target.mid(question + 1);
}

QByteArray TestHttpRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

bool TestHttpRequest::hasHeader(const QByteArray &name) const
{
    return hasHeaderIn(headers, name);
}

TestHttpAnswer TestHttpAnswer::json(const QByteArray &body, int status)
{
    TestHttpAnswer answer;
    answer.status = status;
    answer.headers.append(
        qMakePair(QByteArray("Content-Type"), QByteArray("application/json; charset=utf-8")));
    answer.body = body;
    return answer;
}

TestHttpAnswer TestHttpAnswer::withStatus(int status, const QByteArray &body)
{
    TestHttpAnswer answer;
    answer.status = status;
    answer.body = body;
    return answer;
}

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
    , m_defaultAnswer(TestHttpAnswer::withStatus(500, "no answer scripted"))
{
    qRegisterMetaType<TestHttpRequest>();
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::server_newConnection);
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::start()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 TestHttpServer::port() const
{
    return m_server->serverPort();
}

QString TestHttpServer::baseAddress() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

QUrl TestHttpServer::url(const QString &pathAndQuery) const
{
    return QUrl(baseAddress() + pathAndQuery);
}

void TestHttpServer::enqueue(const TestHttpAnswer &answer)
{
    m_queue.enqueue(answer);
}

TestHttpRequest TestHttpServer::lastRequest() const
{
    return m_requests.isEmpty() ? TestHttpRequest() : m_requests.last();
}

bool TestHttpServer::waitForRequests(int count, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (m_requests.size() < count && timer.elapsed() < timeoutMs)
        QTest::qWait(10);
    return m_requests.size() >= count;
}

void TestHttpServer::closeConnections()
{
    const auto sockets = findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets)
        socket->abort();
}

void TestHttpServer::server_newConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFromSocket(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void TestHttpServer::readFromSocket(QTcpSocket *socket)
{
    QByteArray buffer = socket->property(bufferProperty).toByteArray() + socket->readAll();
    socket->setProperty(bufferProperty, buffer);
    if (socket->property(busyProperty).toBool())
        return;

    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    const QByteArray head = buffer.left(headEnd);
    const QList<QByteArray> lines = head.split('\n');

    TestHttpRequest request;
    request.requestLine = lines.value(0).trimmed();
    const QList<QByteArray> parts = request.requestLine.split(' ');
    request.method = parts.value(0);
    request.target = parts.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i);
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        request.headers.append(qMakePair(line.left(colon), line.mid(colon + 1).trimmed()));
    }
    const int bodyLength = request.header("Content-Length").toInt();
    const int total = headEnd + 4 + bodyLength;
    if (buffer.size() < total)
        return;
    request.body = buffer.mid(headEnd + 4, bodyLength);
    request.raw = buffer.left(total);
    socket->setProperty(bufferProperty, buffer.mid(total));

    m_requests.append(request);
    emit requestReceived(request);

    TestHttpAnswer reply = m_defaultAnswer;
    if (!m_queue.isEmpty())
        reply = m_queue.dequeue();
    else if (m_handler)
        reply = m_handler(request);

    if (reply.neverAnswer) {
        socket->setProperty(busyProperty, true);
        return;
    }
    if (reply.delayMs > 0) {
        socket->setProperty(busyProperty, true);
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(reply.delayMs, this, [this, guard, reply] {
            if (guard)
                answer(guard, reply);
        });
        return;
    }
    answer(socket, reply);
}

void TestHttpServer::answer(QTcpSocket *socket, const TestHttpAnswer &reply)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
        + (reply.reason.isEmpty() ? reasonPhrase(reply.status) : reply.reason) + "\r\n";
    for (const auto &header : reply.headers)
        out += header.first + ": " + header.second + "\r\n";
    if (!hasHeaderIn(reply.headers, "Content-Length"))
        out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    out += "\r\n";

    if (reply.closeAfterBodyBytes >= 0) {
        socket->write(out + reply.body.left(reply.closeAfterBodyBytes));
        socket->disconnectFromHost();
        return;
    }
    if (reply.trickleEveryMs > 0) {
        socket->write(out);
        socket->setProperty(busyProperty, true);
        auto *trickle = new QTimer(socket);
        int sent = 0;
        connect(trickle, &QTimer::timeout, socket,
            [socket, trickle, body = reply.body, sent]() mutable {
                if (sent == body.size()) {
                    trickle->stop();
                    return;
                }
                socket->write(body.mid(sent++, 1));
            });
        trickle->start(reply.trickleEveryMs);
        return;
    }
    if (reply.stallAfterBodyBytes >= 0) {
        socket->write(out + reply.body.left(reply.stallAfterBodyBytes));
        socket->setProperty(busyProperty, true);
        return;
    }
    socket->write(out + reply.body);
    if (reply.headers.contains(qMakePair(QByteArray("Connection"), QByteArray("close")))) {
        socket->disconnectFromHost();
        return;
    }
    socket->setProperty(busyProperty, false);
    // A request that arrived while this one was delayed is answered now.
    if (!socket->property(bufferProperty).toByteArray().isEmpty())
        QTimer::singleShot(0, socket, [this, socket] { readFromSocket(socket); });
}
