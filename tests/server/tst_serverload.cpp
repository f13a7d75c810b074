#include "serverprocess.h"
#include "store.h"
#include "testdir.h"

#include <QElapsedTimer>
#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

// Connects from a loopback address of its own (all of 127/8 is loopback), so
// that many connections do not count against one address. Returns -1 on failure.
int connectFrom(const char *source, quint16 port, bool blocking, int receiveBuffer = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, source, &address.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

QByteArray sourceAddress(int group, int index)
{
    return "127." + QByteArray::number(group) + '.' + QByteArray::number(1 + index / 200) + '.'
        + QByteArray::number(1 + index % 200);
}

bool sendAll(int fd, const QByteArray &bytes)
{
    for (qint64 sent = 0; sent < bytes.size();) {
        const ssize_t n = send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), 0);
        if (n < 0 && errno == EAGAIN) {
            pollfd p { fd, POLLOUT, 0 };
            poll(&p, 1, 1000);
            continue;
        }
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

// Reads one reply with a Content-Length (blocking socket); its status, or 0.
int readReply(int fd, QByteArray *body = nullptr, int timeoutMs = 10000)
{
    QByteArray data;
    char buffer[65536];
    QElapsedTimer timer;
    timer.start();
    qint64 need = -1;
    int headerEnd = -1;
    while (timer.elapsed() < timeoutMs) {
        if (headerEnd >= 0 && data.size() - headerEnd >= need)
            break;
        pollfd p { fd, POLLIN, 0 };
        if (poll(&p, 1, 200) <= 0)
            continue;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return 0;
        data.append(buffer, int(n));
        if (headerEnd < 0 && (headerEnd = data.indexOf("\r\n\r\n")) >= 0) {
            headerEnd += 4;
            const QRegularExpression length(QStringLiteral("Content-Length: (\\d+)"),
                QRegularExpression::CaseInsensitiveOption);
            need = length.match(QString::fromLatin1(data.left(headerEnd))).captured(1).toLongLong();
        }
    }
    if (headerEnd < 0 || data.size() - headerEnd < need)
        return 0;
    if (body)
        *body = data.mid(headerEnd, int(need));
    return data.mid(9, 3).toInt();
}

const QByteArray ConfigRequest
    = "GET /server/?r=www/default/pc&do=getConfig&cfg=gonggao HTTP/1.1\r\n"
      "Host: 127.0.0.1\r\n\r\n";

// Raises the soft limit of open files to the hard one; false when that is too low.
bool enoughDescriptors(rlim_t wanted)
{
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max(limit.rlim_cur, std::min(limit.rlim_max, wanted));
    setrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur >= wanted;
}

double percentile(std::vector<qint64> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return double(values[std::min(values.size() - 1, size_t(double(values.size()) * fraction))]);
}

} // namespace

class ServerLoadTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void slowHeadersDoNotStopTheService();
    void idleKeepAliveConnectionsStayServed();
    void manyShortRequestsAllAnswer();
    void connectionsPerAddressAreLimited();
    void pausedReaderGetsEveryByte_data();
    void pausedReaderGetsEveryByte();
    void shortenedFileEndsTheReply_data();
    void shortenedFileEndsTheReply();

private:
    quint16 servicePort(const ServerProcess &server) const
    {
        return quint16(server.serviceAddress().section(':', 1).toUInt());
    }
    // Shares `bytes` as a new folder's one film; the address code is issued
    // here and found by the server in the shared database. Returns its path.
    QByteArray addFilm(const QString &folder, const QByteArray &bytes, QByteArray *cookie);

    ScopedWorkingDirectory m_dir;
    QString m_data;
    ServerProcess m_server;
    QByteArray m_video;
    QByteArray m_videoPath; // "/ftn_handler/<code>"
    QByteArray m_videoCookie;
};

void ServerLoadTest::initTestCase()
{
    QVERIFY2(enoughDescriptors(4500), "needs 4500 open files (ulimit -Hn)");
    m_data = m_dir.filePath("data");
    m_video = seededBytes(24 * 1024 * 1024, 7);
    m_videoPath = addFilm(m_dir.filePath("films"), m_video, &m_videoCookie);
    QVERIFY(!m_videoPath.isEmpty());
    QVERIFY(m_server.start(m_data));
}

QByteArray ServerLoadTest::addFilm(
    const QString &folder, const QByteArray &bytes, QByteArray *cookie)
{
    if (!writeFileBytes(folder + "/film.mp4", bytes))
        return {};
    const QString id = ServerProcess::admin({ "add-folder", "--data", m_data, folder }).trimmed();
    Store store(m_data);
    const QVector<FileRecord> files = store.resourceFiles(id);
    if (!id.startsWith("appdata_") || files.size() != 1)
        return {};
    const AddressCode code = store.issueCode(files.first().id, QString(32, 'a'), false, 3600);
    *cookie = code.cookie.toLatin1();
    return "/ftn_handler/" + code.code.toLatin1();
}

void ServerLoadTest::slowHeadersDoNotStopTheService()
{
    // 2 000 clients send a header byte every 2 s; whoever the server drops
    // for missing the header deadline comes back at once. Meanwhile plain
    // requests must keep getting answers quickly.
    const quint16 port = servicePort(m_server);
    const int count = 2000;
    const qint64 holdMs = 24000;
    struct Slow
    {
        int fd = -1;
        qint64 opened = 0;
    };
    std::vector<Slow> slow(count);
    std::vector<qint64> lifetimes;
    QElapsedTimer clock;
    clock.start();
    const auto open = [&](int i) {
        const int fd = connectFrom(sourceAddress(1, i).constData(), port, true);
        slow[size_t(i)] = { fd, clock.elapsed() };
        if (fd >= 0) {
            send(fd, "GET / HTTP/1.1\r\nX-Slow: ", 24, MSG_NOSIGNAL);
            fcntl(fd, F_SETFL, O_NONBLOCK);
        }
    };
    for (int i = 0; i < count; ++i)
        open(i);

    std::atomic<bool> done { false };
    std::vector<qint64> latencies;
    int failures = 0;
    std::thread plain([&] {
        while (!done) {
            QElapsedTimer timer;
            timer.start();
            const int fd = connectFrom("127.0.0.1", port, true);
            if (fd < 0 || !sendAll(fd, ConfigRequest) || readReply(fd) != 200)
                ++failures;
            latencies.push_back(timer.elapsed());
            if (fd >= 0)
                close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    qint64 nextByte = 0;
    while (clock.elapsed() < holdMs) {
        const bool trickle = clock.elapsed() >= nextByte;
        if (trickle)
            nextByte += 2000;
        for (int i = 0; i < count; ++i) {
            Slow &connection = slow[size_t(i)];
            if (connection.fd < 0) {
                open(i);
                continue;
            }
            char byte = 0;
            const ssize_t got = recv(connection.fd, &byte, 1, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                lifetimes.push_back(clock.elapsed() - connection.opened);
                close(connection.fd);
                open(i);
            } else if (trickle) {
                send(connection.fd, "a", 1, MSG_NOSIGNAL);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    done = true;
    plain.join();
    for (Slow &connection : slow)
        close(connection.fd);

    const double p99 = percentile(latencies, 0.99);
    qInfo("plain requests: %zu, p99 %.0f ms; slow connections dropped: %zu, median life %.0f ms",
        latencies.size(), p99, lifetimes.size(), percentile(lifetimes, 0.5));
    QCOMPARE(failures, 0);
    QVERIFY(latencies.size() > 100);
    // Generous against a loaded test machine; the figure above is the one to read.
    QVERIFY(p99 < 1000);
    // Every slow client was dropped once at the 10 s header deadline.
    QVERIFY(lifetimes.size() >= size_t(count));
    QVERIFY(percentile(lifetimes, 0.5) >= 9000 && percentile(lifetimes, 0.5) < 14000);
}

void ServerLoadTest::idleKeepAliveConnectionsStayServed()
{
    // 1 000 kept-alive connections go quiet after one request each; a
    // second request on every one of them is still answered.
    const quint16 port = servicePort(m_server);
    std::vector<int> fds;
    for (int i = 0; i < 1000; ++i) {
        const int fd = connectFrom(sourceAddress(2, i).constData(), port, true);
        QVERIFY(fd >= 0);
        fds.push_back(fd);
    }
    const QByteArray request = "GET " + m_videoPath
        + " HTTP/1.1\r\nHost: x\r\nCookie: " + m_videoCookie + "\r\nRange: bytes=0-99\r\n\r\n";
    for (int round = 0; round < 2; ++round) {
        int answered = 0;
        for (int fd : fds)
            answered += sendAll(fd, request) && readReply(fd) == 206;
        QCOMPARE(answered, int(fds.size()));
        if (round == 0)
            QTest::qWait(3000);
    }
    for (int fd : fds)
        close(fd);
}

void ServerLoadTest::manyShortRequestsAllAnswer()
{
    // 500 clients send their request at the same moment.
    const quint16 port = servicePort(m_server);
    std::vector<int> fds;
    for (int i = 0; i < 500; ++i) {
        const int fd = connectFrom(sourceAddress(3, i).constData(), port, true);
        QVERIFY(fd >= 0);
        fds.push_back(fd);
    }
    for (size_t i = 0; i < fds.size(); ++i)
        QVERIFY(sendAll(fds[i],
            i % 2 ? ConfigRequest
                  : "GET " + m_videoPath + " HTTP/1.1\r\nHost: x\r\nCookie: " + m_videoCookie
                    + "\r\nRange: bytes=100-65635\r\n\r\n"));
    int answered = 0;
    for (int fd : fds) {
        const int status = readReply(fd, nullptr, 30000);
        answered += status == 200 || status == 206;
        close(fd);
    }
    QCOMPARE(answered, 500);
}

void ServerLoadTest::connectionsPerAddressAreLimited()
{
    ServerProcess server;
    QVERIFY(server.start(m_data, { "--max-per-address", "8" }));
    const quint16 port = servicePort(server);
    std::vector<int> fds;
    for (int i = 0; i < 9; ++i)
        fds.push_back(connectFrom("127.0.5.1", port, true));
    // The ninth is closed at once; the others, and other addresses, are served.
    sendAll(fds.back(), ConfigRequest);
    QCOMPARE(readReply(fds.back()), 0);
    QCOMPARE(sendAll(fds.front(), ConfigRequest) ? readReply(fds.front()) : -1, 200);
    const int other = connectFrom("127.0.5.2", port, true);
    QCOMPARE(sendAll(other, ConfigRequest) ? readReply(other) : -1, 200);
    close(other);
    for (int fd : fds)
        close(fd);
}

void ServerLoadTest::pausedReaderGetsEveryByte_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<bool>("complete");
    QTest::newRow("pause within the stall limit") << QStringList() << 5000 << true;
    QTest::newRow("pause past the stall limit")
        << QStringList { "--write-timeout", "1" } << 4000 << false;
}

void ServerLoadTest::pausedReaderGetsEveryByte()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, pauseMs);
    QFETCH(bool, complete);
    ServerProcess server;
    QVERIFY(server.start(m_data, arguments));
    // A small receive buffer, so that the server's sends really block.
    const int fd = connectFrom("127.0.6.1", servicePort(server), true, 64 * 1024);
    QVERIFY(sendAll(fd,
        "GET " + m_videoPath + " HTTP/1.1\r\nHost: x\r\nCookie: " + m_videoCookie + "\r\n\r\n"));
    QByteArray received;
    char buffer[65536];
    bool paused = false;
    for (;;) {
        pollfd p { fd, POLLIN, 0 };
        if (poll(&p, 1, 10000) <= 0)
            break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        received.append(buffer, int(n));
        if (!paused && received.size() > 1024 * 1024) {
            paused = true;
            QTest::qWait(pauseMs);
        }
        if (received.endsWith(m_video.right(4096)))
            break;
    }
    close(fd);
    const int headerEnd = received.indexOf("\r\n\r\n") + 4;
    QCOMPARE(received.mid(headerEnd) == m_video, complete);
}

void ServerLoadTest::shortenedFileEndsTheReply_data()
{
    // One stream is copied through a buffer, several go by sendfile.
    QTest::addColumn<int>("streams");
    QTest::newRow("one stream") << 1;
    QTest::newRow("two streams") << 2;
}

// A file cut short while it is sent: the reply cannot keep its length, so
// each connection ends rather than waiting or spinning on the missing bytes.
void ServerLoadTest::shortenedFileEndsTheReply()
{
    QFETCH(int, streams);
    const QString folder = m_dir.filePath(QStringLiteral("cut%1").arg(streams));
    const QByteArray clip = seededBytes(12 * 1024 * 1024, 11);
    QByteArray cookie;
    const QByteArray path = addFilm(folder, clip, &cookie);
    QVERIFY(!path.isEmpty());
    const QByteArray request
        = "GET " + path + " HTTP/1.1\r\nHost: x\r\nCookie: " + cookie + "\r\n\r\n";
    std::vector<int> fds;
    std::vector<qint64> received(std::size_t(streams), 0);
    char buffer[65536];
    for (int i = 0; i < streams; ++i) {
        fds.push_back(connectFrom("127.0.7.1", servicePort(m_server), true, 64 * 1024));
        QVERIFY(sendAll(fds.back(), request));
    }
    for (int i = 0; i < streams; ++i) {
        while (received[i] < 1024 * 1024) {
            const ssize_t n = recv(fds[i], buffer, sizeof buffer, 0);
            QVERIFY(n > 0);
            received[i] += n;
        }
    }
    QVERIFY(QFile::resize(folder + "/film.mp4", 2 * 1024 * 1024));
    for (int i = 0; i < streams; ++i) {
        for (;;) {
            pollfd p { fds[i], POLLIN, 0 };
            QVERIFY2(poll(&p, 1, 10000) > 0, "the connection was left open");
            const ssize_t n = recv(fds[i], buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            received[i] += n;
        }
        close(fds[i]);
        QVERIFY(received[i] < clip.size());
    }
}

QTEST_GUILESS_MAIN(ServerLoadTest)
#include "tst_serverload.moc"
