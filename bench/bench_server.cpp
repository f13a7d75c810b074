// Figures for tavrion-server on loopback; not a test, nothing is asserted.
//   bench_server [--quick]
// --quick uses a 64 MiB file, 20 streams, a 5 s pause and a 3 s rate run.
#include "formparams.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

const QByteArray SigningKey = "7c1e4b9a0d3f6e2b8a5c9d0e1f4a7b3c";

struct Address
{
    std::string host;
    int port = 0;
};

Address splitAddress(const QString &text)
{
    return { text.section(':', 0, 0).toStdString(), text.section(':', 1).toInt() };
}

QByteArray encodeValue(const QString &value)
{
    return value.toUtf8().toPercentEncoding();
}

std::string signedQuery(const QStringList &parameters)
{
    QByteArray query;
    for (const QString &element : parameters) {
        query += element.section('=', 0, 0).toUtf8() + '=' + encodeValue(element.section('=', 1))
            + '&';
    }
    const QByteArray full = query + "sign=" + FormParams::signature(parameters, SigningKey);
    return "/server/?" + full.toStdString();
}

bool writeTestFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    std::mt19937_64 random(42);
    std::vector<quint64> block(1 << 17); // 1 MiB
    for (qint64 written = 0; written < size; written += qint64(block.size() * 8)) {
        for (quint64 &word : block)
            word = random();
        if (file.write(reinterpret_cast<const char *>(block.data()), qint64(block.size() * 8)) < 0)
            return false;
    }
    return true;
}

QString runAdmin(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(TAVRION_SERVER_PROGRAM), arguments);
    process.waitForFinished(600000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

double curlSpeed(const QString &url, const QString &cookie)
{
    QProcess curl;
    QStringList arguments { "-s", "-o", "/dev/null", "-w", "%{speed_download}" };
    if (!cookie.isEmpty())
        arguments << "-H"
                  << "Cookie: " + cookie;
    curl.start("curl", arguments << url);
    curl.waitForFinished(600000);
    return curl.readAllStandardOutput().toDouble();
}

// A reader that stops for a while in the middle of a download, as a paused
// player does, then reads on; returns the bytes received in all.
qint64 pausedRead(
    const Address &host, const std::string &path, const std::string &cookie, int pauseSeconds)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    // A small receive buffer so that the server's writes really block.
    const int buffer = 64 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(host.port));
    inet_pton(AF_INET, host.host.c_str(), &address.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host.host
        + "\r\nCookie: " + cookie + "\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), 0) < 0) {
        close(fd);
        return -1;
    }
    std::vector<char> chunk(256 * 1024);
    qint64 total = 0;
    bool paused = false;
    std::string head;
    for (;;) {
        const ssize_t got = recv(fd, chunk.data(), chunk.size(), 0);
        if (got <= 0)
            break;
        total += got;
        // Count the body only: drop the header block once it is complete.
        if (head.size() < 65536 && head.find("\r\n\r\n") == std::string::npos) {
            head.append(chunk.data(), std::size_t(got));
            const std::size_t end = head.find("\r\n\r\n");
            if (end != std::string::npos)
                total -= qint64(end + 4);
        }
        if (!paused && total > 4 * 1024 * 1024) {
            paused = true;
            std::this_thread::sleep_for(std::chrono::seconds(pauseSeconds));
        }
    }
    close(fd);
    return total;
}

// A port that was free a moment ago, for python's server.
int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const qint64 size = quick ? 64ll << 20 : 1ll << 30;
    const int streams = quick ? 20 : 100;
    const int pauseSeconds = quick ? 5 : 60;
    const int rateSeconds = quick ? 3 : 10;

    QTemporaryDir temp;
    const QString media = temp.filePath("media");
    QDir().mkpath(media);
    printf("writing a %lld MiB file...\n", size >> 20);
    fflush(stdout);
    if (!writeTestFile(media + "/big.bin", size))
        return 1;
    const QString data = temp.filePath("data");
    const QString id = runAdmin({ "add-folder", "--data", data, media });

    QProcess server;
    server.start(QStringLiteral(TAVRION_SERVER_PROGRAM),
        { "serve", "--data", data, "--listen", "127.0.0.1:0", "--host", "127.0.0.1:0", "--threads",
            "128" });
    QString serviceText, hostText;
    while (server.waitForReadyRead(20000)) {
        while (server.canReadLine()) {
            const QStringList fields = QString::fromUtf8(server.readLine()).trimmed().split(' ');
            if (fields.value(0) == "service")
                serviceText = fields.value(1);
            else if (fields.value(0) == "host")
                hostText = fields.value(1);
        }
        if (!hostText.isEmpty())
            break;
    }
    const Address service = splitAddress(serviceText);
    const Address host = splitAddress(hostText);

    httplib::Client api(service.host, service.port);
    const auto hashReply = api.Get(signedQuery({ "r=www/default/pc", "cs0=lixian_qq", "hash=" + id,
        "index=0", "name=big.bin", "_mac=", "_s=pc" }));
    const QJsonObject hashData = QJsonDocument::fromJson(QByteArray::fromStdString(hashReply->body))
                                     .object()["data"]
                                     .toObject();
    const auto addressReply = api.Get(signedQuery({ "r=www/default/pc", "cs0=qqlixian_gethttp",
        "hash=" + id, "index=0", "jxhash=" + hashData["jxhash"].toString(),
        "size=" + QString::number(size), "netType=dianxin", "reload=0", "_mac=", "_s=pc" }));
    const QJsonObject address
        = QJsonDocument::fromJson(QByteArray::fromStdString(addressReply->body))
              .object()["data"]
              .toObject();
    const std::string path = "/ftn_handler/" + address["code"].toString().toStdString();
    const std::string cookie = address["com_cookie"].toString().toStdString();
    const QString url = "http://" + hostText + QString::fromStdString(path);

    // 1. One stream, beside python's http.server serving the same file.
    const double ours = curlSpeed(url, QString::fromStdString(cookie));
    QProcess python;
    python.setWorkingDirectory(media);
    const QString pythonPort = QString::number(freePort());
    python.start("python3", { "-m", "http.server", "--bind", "127.0.0.1", pythonPort });
    python.waitForStarted();
    httplib::Client probe("127.0.0.1", pythonPort.toInt());
    for (int i = 0; i < 100 && !probe.Head("/big.bin"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double theirs = curlSpeed("http://127.0.0.1:" + pythonPort + "/big.bin", {});
    python.terminate();
    python.waitForFinished();
    printf("single stream: %.2f GB/s; python3 http.server %.2f GB/s; ratio %.2f\n", ours / 1e9,
        theirs / 1e9, theirs > 0 ? ours / theirs : 0.0);
    fflush(stdout);

    // 2. Concurrent range streams of 8 MiB each at random offsets.
    std::atomic<int> errors { 0 };
    std::atomic<qint64> received { 0 };
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> threads;
    for (int i = 0; i < streams; ++i) {
        threads.emplace_back([&, i] {
            std::mt19937_64 random { quint64(i) };
            const qint64 length = 8ll << 20;
            const qint64 first = qint64(random() % quint64(size - length));
            httplib::Client client(host.host, host.port);
            client.set_read_timeout(120, 0);
            const std::string range
                = "bytes=" + std::to_string(first) + "-" + std::to_string(first + length - 1);
            qint64 got = 0;
            const auto reply
                = client.Get(path.c_str(), { { "Cookie", cookie }, { "Range", range } },
                    [&got](const char *, std::size_t size) {
                        got += qint64(size);
                        return true;
                    });
            if (!reply || reply->status != 206 || got != length)
                ++errors;
            else
                received += length;
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    printf("%d concurrent range streams: %d errors, %.2f GB in %.2f s (%.2f GB/s)\n", streams,
        errors.load(), received.load() / 1e9, timer.elapsed() / 1000.0,
        received.load() / 1e6 / std::max<qint64>(1, timer.elapsed()));
    fflush(stdout);

    // 3. A paused reader.
    timer.restart();
    const qint64 pausedTotal = pausedRead(host, path, cookie, pauseSeconds);
    printf("paused reader: paused %d s, received %lld of %lld bytes (%s)\n", pauseSeconds,
        pausedTotal, size, pausedTotal >= size ? "complete, not dropped" : "DROPPED");
    fflush(stdout);

    // 4. API latency at a fixed rate of 200 requests/s.
    const int total = 200 * rateSeconds;
    std::vector<double> latencies(std::size_t(total), 0.0);
    std::atomic<int> apiErrors { 0 };
    const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    const std::string listQuery
        = signedQuery({ "r=www/default/pc", "do=getNewHashFileList", "hash=" + id, "_s=pc" });
    const std::string domainQuery
        = signedQuery({ "r=www/default/pc", "do=getConfig", "cfg=video_domain", "_s=pc" });
    const int workers = 16;
    threads.clear();
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            httplib::Client client(service.host, service.port);
            client.set_keep_alive(true);
            for (int i = w; i < total; i += workers) {
                const auto due = start + std::chrono::microseconds(5000ll * i);
                std::this_thread::sleep_until(due);
                const auto reply = client.Get(i % 2 ? listQuery.c_str() : domainQuery.c_str());
                const auto done = std::chrono::steady_clock::now();
                if (!reply || reply->status != 200
                    || reply->body.find("\"statu\":1") == std::string::npos)
                    ++apiErrors;
                // Measured from when the request was due, so a late start counts.
                latencies[std::size_t(i)]
                    = std::chrono::duration<double, std::milli>(done - due).count();
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    std::sort(latencies.begin(), latencies.end());
    printf("API at 200 requests/s for %d s: %d errors, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
        rateSeconds, apiErrors.load(), latencies[std::size_t(total / 2)],
        latencies[std::size_t(total * 99 / 100)], latencies.back());
    fflush(stdout);

    server.terminate();
    server.waitForFinished(10000);
    return 0;
}
