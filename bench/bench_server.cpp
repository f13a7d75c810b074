// Figures for tavrion-server on loopback; not a test, nothing is asserted.
//   bench_server [--quick | --smoke] [--anchor-only]
// --quick uses a 64 MiB file, 20 streams, a 5 s pause, a 3 s rate run and
// short rounds beside nginx; --smoke the same with one 1 s round of each
// case and two of nginx's candidates, and exits non-zero when a figure could
// not be taken. --anchor-only runs only the rounds beside nginx.
//
// Beside nginx (Debian's nginx-light, same file, same loopback) with the same
// load generator (wrk, a Lua script for Range and Cookie), alternating
// rounds: one stream of random 64 MiB ranges, 100 connections of random
// 8 MiB ranges, 200 connections of random 64 KiB ranges. nginx is tuned per
// case first: a short warm-up tries tcp_nopush on and off, sendfile on and
// off, open_file_cache on and off, with one worker per core, and the best
// for the case (throughput; for the small ranges, the least CPU per request
// among those within a tenth of the most requests/s) is the one compared
// against; the benchmark prints which it kept. Medians of the
// rounds and the ratios to nginx are printed, with server CPU per GB and per
// request, threads and peak RSS; the small ranges' three ratios (requests/s,
// p99, CPU per request) close the run on one line.
//
// Run it as root on a shared machine: it then runs, with what it starts, at
// nice -10, ahead of neighbours' ordinary work (takeMeasuringPriority). Not
// under `chrt`: in a real-time class both servers' p99 grows to 40-60 ms.
#include "benchtools.h"
#include "formparams.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <httplib.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
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

struct WrkResult
{
    double bytesPerSecond = 0;
    double requestsPerSecond = 0;
    double p99Ms = 0;
    double errors = 0;
    double cpuSeconds = 0;
    double peakThreads = 0;
    double peakRssKiB = 0;
};

double scaled(const QString &number, const QString &unit)
{
    static const std::map<QString, double> factors { { "", 1 }, { "B", 1 }, { "KB", 1024 },
        { "MB", 1024.0 * 1024 }, { "GB", 1024.0 * 1024 * 1024 }, { "us", 0.001 }, { "ms", 1 },
        { "s", 1000 }, { "m", 60000 } };
    const auto factor = factors.find(unit);
    return number.toDouble() * (factor == factors.end() ? 1 : factor->second);
}

// Runs wrk against a server while sampling the server's threads and memory.
WrkResult runWrk(
    const QString &url, const QString &script, int connections, int seconds, qint64 serverPid)
{
    std::atomic<bool> running { true };
    WrkResult result;
    std::thread sampler([&] {
        while (running) {
            const ProcessUse use = processUse({ serverPid });
            result.peakThreads = std::max(result.peakThreads, double(use.threads));
            result.peakRssKiB = std::max(result.peakRssKiB, double(use.rssKiB));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    const double cpuBefore = processUse({ serverPid }).cpuSeconds;
    QProcess wrk;
    // wrk needs at least one connection per thread.
    wrk.start("wrk",
        { connections > 1 ? "-t2" : "-t1", "-c" + QString::number(connections),
            "-d" + QString::number(seconds) + "s", "--timeout", "10s", "--latency", "-s", script,
            url });
    wrk.waitForFinished(seconds * 1000 + 60000);
    result.cpuSeconds = processUse({ serverPid }).cpuSeconds - cpuBefore;
    running = false;
    sampler.join();
    const QString out = QString::fromUtf8(wrk.readAllStandardOutput());
    const auto capture
        = [&out](const QString &pattern) { return QRegularExpression(pattern).match(out); };
    QRegularExpressionMatch match = capture(QStringLiteral("Transfer/sec:\\s+([0-9.]+)(\\w*)"));
    result.bytesPerSecond = scaled(match.captured(1), match.captured(2));
    result.requestsPerSecond
        = capture(QStringLiteral("Requests/sec:\\s+([0-9.]+)")).captured(1).toDouble();
    match = capture(QStringLiteral("\\n\\s+99%\\s+([0-9.]+)(\\w+)"));
    result.p99Ms = scaled(match.captured(1), match.captured(2));
    match = capture(
        QStringLiteral("Socket errors: connect (\\d+), read (\\d+), write (\\d+), timeout (\\d+)"));
    for (int i = 1; i <= 4; ++i)
        result.errors += match.captured(i).toInt();
    result.errors
        += capture(QStringLiteral("Non-2xx or 3xx responses: (\\d+)")).captured(1).toInt();
    return result;
}

// A wrk script that asks for random ranges of `length` bytes (0: the whole
// file) with the cookie.
QString writeScript(const QString &folder, const QString &name, const std::string &path,
    const std::string &cookie, qint64 size, qint64 length)
{
    const QString file = QDir(folder).filePath(name);
    QFile script(file);
    script.open(QIODevice::WriteOnly);
    QByteArray text = "local path = \"" + QByteArray::fromStdString(path) + "\"\n"
        + "local cookie = \"" + QByteArray::fromStdString(cookie) + "\"\n" + "local size = "
        + QByteArray::number(size) + "\n" + "local length = " + QByteArray::number(length) + "\n";
    text += R"lua(
local counter = 0
setup = function(thread)
  counter = counter + 1
  thread:set("seed", counter)
end
init = function(args)
  math.randomseed(seed * 7919 + os.time())
end
request = function()
  local headers = { ["Cookie"] = cookie }
  if length > 0 then
    local first = math.random(0, size - length)
    headers["Range"] = "bytes=" .. first .. "-" .. (first + length - 1)
  end
  return wrk.format("GET", path, headers)
end
)lua";
    script.write(text);
    return file;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A configuration nginx may run with; each case is compared against the one
// that did best on it.
struct NginxSettings
{
    bool sendfile = true;
    bool nopush = false;
    bool openFileCache = false;

    QString describe() const
    {
        return QStringLiteral("worker_processes %1; sendfile %2; tcp_nopush %3; open_file_cache %4")
            .arg(QThread::idealThreadCount())
            .arg(sendfile ? "on" : "off")
            .arg(nopush ? "on" : "off")
            .arg(openFileCache ? "max=1000 inactive=60s" : "off");
    }
};

QVector<NginxSettings> nginxCandidates()
{
    QVector<NginxSettings> candidates;
    for (const bool sendfile : { true, false })
        for (const bool nopush : { false, true })
            for (const bool cache : { false, true })
                candidates.append({ sendfile, nopush, cache });
    return candidates;
}

// nginx with its own configuration in a folder of its own, serving `media`.
bool startNginx(QProcess &nginx, const QString &folder, const QString &media, int port,
    const NginxSettings &settings)
{
    QDir().mkpath(folder);
    const QByteArray dir = QFile::encodeName(folder);
    const QByteArray config = "worker_processes " + QByteArray::number(QThread::idealThreadCount())
        + ";\nuser root;\ndaemon off;\npid " + dir + "/nginx.pid;\nerror_log " + dir
        + "/error.log;\nevents { worker_connections 4096; }\nhttp {\n"
          "  access_log off;\n  keepalive_requests 1000000;\n  sendfile "
        + (settings.sendfile ? "on" : "off") + ";\n  tcp_nopush " + (settings.nopush ? "on" : "off")
        + ";\n" + (settings.openFileCache ? "  open_file_cache max=1000 inactive=60s;\n" : "")
        + "  client_body_temp_path " + dir + "/body;\n  proxy_temp_path " + dir
        + "/proxy;\n  fastcgi_temp_path " + dir + "/fastcgi;\n  uwsgi_temp_path " + dir
        + "/uwsgi;\n  scgi_temp_path " + dir + "/scgi;\n  server {\n    listen 127.0.0.1:"
        + QByteArray::number(port) + ";\n    root " + QFile::encodeName(media) + ";\n  }\n}\n";
    QFile file(QDir(folder).filePath("nginx.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
        return false;
    file.close();
    nginx.start("/usr/sbin/nginx", { "-p", folder, "-c", file.fileName() });
    if (!nginx.waitForStarted(5000))
        return false;
    for (int i = 0; i < 100; ++i) {
        httplib::Client probe("127.0.0.1", port);
        if (probe.Head("/big.bin"))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void stopNginx(QProcess &nginx)
{
    nginx.terminate();
    if (!nginx.waitForFinished(10000))
        nginx.kill();
    nginx.waitForFinished(10000);
}

struct Case
{
    const char *name;
    qint64 length;
    int connections;
    bool byRequests; // judged by requests/s rather than throughput
};

// Returns false when a figure could not be taken.
bool compareWithNginx(const QString &folder, const QString &media, qint64 size,
    const QString &hostText, const std::string &path, const std::string &cookie, qint64 serverPid,
    bool quick, bool smoke)
{
    // One stream reads 64 MiB ranges rather than the whole file, so that a
    // round holds many complete requests even on a slow machine.
    const Case cases[] = { { "1 stream, random 64 MiB ranges", 64ll << 20, 1, false },
        { "100 connections, random 8 MiB ranges", 8ll << 20, 100, false },
        { "200 connections, random 64 KiB ranges", 64 * 1024, 200, true } };
    const int rounds = smoke ? 1 : quick ? 2 : 3;
    const int seconds = smoke ? 1 : quick ? 4 : 10;
    const int warmSeconds = smoke || quick ? 1 : 2;
    const QString ourUrl = "http://" + hostText;
    const QString theirScript = QDir(folder).filePath("theirs.lua");
    bool complete = true;

    // The warm-up: nginx's candidates in turns, the best kept per case. A
    // smoke run tries two of them, once. Three turns give each candidate the
    // median of three, so that one turn disturbed by a neighbour's work does
    // not decide which configuration is compared against.
    const QVector<NginxSettings> candidates = nginxCandidates().mid(0, smoke ? 2 : -1);
    const int turns = smoke ? 1 : 3;
    int best[3] = { -1, -1, -1 };
    printf("nginx warm-up, %d s per candidate and case, %d turns:\n", warmSeconds, turns);
    for (int c = 0; c < 3; ++c) {
        writeScript(folder, "theirs.lua", "/big.bin", cookie, size, cases[c].length);
        QVector<double> medians;
        QVector<QVector<double>> cpuPerRequest(candidates.size());
        best[c] = bestCandidate(
            candidates.size(), turns,
            [&](int i) {
                QProcess nginx;
                const int port = freePort();
                if (!startNginx(
                        nginx, QDir(folder).filePath("nginx-warm"), media, port, candidates.at(i)))
                    return -1.0;
                const WrkResult result = runWrk("http://127.0.0.1:" + QString::number(port),
                    theirScript, cases[c].connections, warmSeconds, nginx.processId());
                stopNginx(nginx);
                const double figure
                    = cases[c].byRequests ? result.requestsPerSecond : result.bytesPerSecond;
                if (result.requestsPerSecond > 0)
                    cpuPerRequest[i].append(
                        result.cpuSeconds / (result.requestsPerSecond * warmSeconds) * 1e6);
                return figure > 0 && result.errors == 0 ? 1.0 / figure : -1.0;
            },
            &medians);
        // Requests/s on a shared machine are noisy: among the candidates
        // within a tenth of the most requests/s, the one that spends the
        // least CPU per request is kept.
        if (cases[c].byRequests && best[c] >= 0) {
            const double most = medians.at(best[c]);
            for (int i = 0; i < candidates.size(); ++i) {
                if (medians.at(i) > 0 && medians.at(i) <= most / 0.9
                    && median(cpuPerRequest.at(i)) < median(cpuPerRequest.at(best[c])))
                    best[c] = i;
            }
        }
        if (best[c] < 0) {
            printf("  %s: nginx could not be started or served nothing (is nginx-light "
                   "installed?)\n",
                cases[c].name);
            return false;
        }
        printf("  %s: kept %s (%.0f %s, %.2f us CPU per request; worst candidate %.0f)\n",
            cases[c].name, qPrintable(candidates.at(best[c]).describe()),
            cases[c].byRequests ? 1 / medians.at(best[c]) : 1 / medians.at(best[c]) / 1e6,
            cases[c].byRequests ? "requests/s" : "MB/s", median(cpuPerRequest.at(best[c])), [&] {
                double worst = 0;
                for (const double m : medians)
                    worst = std::max(worst, m);
                return cases[c].byRequests ? 1 / worst : 1 / worst / 1e6;
            }());
        fflush(stdout);
    }

    // One nginx per kept configuration, all on their own ports.
    std::map<int, std::unique_ptr<QProcess>> nginxes; // candidate -> process
    std::map<int, int> ports;
    for (const int kept : best) {
        if (nginxes.count(kept))
            continue;
        auto nginx = std::make_unique<QProcess>();
        const int port = freePort();
        if (!startNginx(*nginx, QDir(folder).filePath("nginx-" + QString::number(kept)), media,
                port, candidates.at(kept))) {
            printf("nginx could not be started again; no comparison\n");
            return false;
        }
        ports[kept] = port;
        nginxes[kept] = std::move(nginx);
    }

    std::map<std::pair<int, int>, std::vector<WrkResult>> results; // (case, server)
    for (int round = 0; round < rounds; ++round) {
        for (int c = 0; c < 3; ++c) {
            // Alternate which server goes first, so neither always meets a
            // warmer page cache or a quieter machine.
            for (int turn = 0; turn < 2; ++turn) {
                const int server = (turn + round + c) % 2;
                QProcess &nginx = *nginxes[best[c]];
                const QString script = server == 0
                    ? writeScript(folder, "ours.lua", path, cookie, size, cases[c].length)
                    : writeScript(folder, "theirs.lua", "/big.bin", cookie, size, cases[c].length);
                const WrkResult result = runWrk(
                    server == 0 ? ourUrl : "http://127.0.0.1:" + QString::number(ports[best[c]]),
                    script, cases[c].connections, seconds,
                    server == 0 ? serverPid : nginx.processId());
                results[{ c, server }].push_back(result);
                if (result.bytesPerSecond <= 0 || result.requestsPerSecond <= 0
                    || result.errors > 0)
                    complete = false;
                printf("  round %d, %-40s %-14s %8.2f GB/s %10.0f req/s p99 %8.1f ms, "
                       "errors %.0f, CPU %.1f s, threads %.0f, RSS %.0f MiB\n",
                    round + 1, cases[c].name, server == 0 ? "tavrion-server" : "nginx",
                    result.bytesPerSecond / 1e9, result.requestsPerSecond, result.p99Ms,
                    result.errors, result.cpuSeconds, result.peakThreads, result.peakRssKiB / 1024);
                fflush(stdout);
            }
        }
    }
    for (auto &[kept, nginx] : nginxes)
        stopNginx(*nginx);

    const auto medianOf = [&results](int c, int server, double WrkResult::*field) {
        std::vector<double> values;
        for (const WrkResult &result : results[{ c, server }])
            values.push_back(result.*field);
        return median(values);
    };
    const auto cpuPerGb = [&results, seconds](int c, int server) {
        std::vector<double> values;
        for (const WrkResult &result : results[{ c, server }])
            values.push_back(result.bytesPerSecond > 0
                    ? result.cpuSeconds / (result.bytesPerSecond * seconds / 1e9)
                    : 0);
        return median(values);
    };
    const auto cpuPerRequest = [&results, seconds](int c, int server) {
        std::vector<double> values;
        for (const WrkResult &result : results[{ c, server }])
            values.push_back(result.requestsPerSecond > 0
                    ? result.cpuSeconds / (result.requestsPerSecond * seconds) * 1e6
                    : 0);
        return median(values);
    };
    printf("\nmedians of %d rounds of %d s (tavrion-server | nginx | ratio):\n", rounds, seconds);
    for (int c = 0; c < 3; ++c) {
        const double ourRate = medianOf(c, 0, &WrkResult::bytesPerSecond);
        const double theirRate = medianOf(c, 1, &WrkResult::bytesPerSecond);
        const double ourRequests = medianOf(c, 0, &WrkResult::requestsPerSecond);
        const double theirRequests = medianOf(c, 1, &WrkResult::requestsPerSecond);
        const double ourP99 = medianOf(c, 0, &WrkResult::p99Ms);
        const double theirP99 = medianOf(c, 1, &WrkResult::p99Ms);
        printf(
            "%s, nginx with %s:\n", cases[c].name, qPrintable(candidates.at(best[c]).describe()));
        printf("  throughput   %8.2f GB/s | %8.2f GB/s | %.2f\n", ourRate / 1e9, theirRate / 1e9,
            theirRate > 0 ? ourRate / theirRate : 0.0);
        printf("  requests/s   %8.0f      | %8.0f      | %.2f\n", ourRequests, theirRequests,
            theirRequests > 0 ? ourRequests / theirRequests : 0.0);
        printf("  p99 latency  %8.1f ms   | %8.1f ms   | %.2f\n", ourP99, theirP99,
            theirP99 > 0 ? ourP99 / theirP99 : 0.0);
        printf("  CPU per GB   %8.3f s    | %8.3f s    | %.2f\n", cpuPerGb(c, 0), cpuPerGb(c, 1),
            cpuPerGb(c, 1) > 0 ? cpuPerGb(c, 0) / cpuPerGb(c, 1) : 0.0);
        printf("  CPU per req  %8.2f us   | %8.2f us   | %.2f\n", cpuPerRequest(c, 0),
            cpuPerRequest(c, 1),
            cpuPerRequest(c, 1) > 0 ? cpuPerRequest(c, 0) / cpuPerRequest(c, 1) : 0.0);
        printf("  errors       %8.0f      | %8.0f\n", medianOf(c, 0, &WrkResult::errors),
            medianOf(c, 1, &WrkResult::errors));
        printf("  peak threads %8.0f      | %8.0f\n", medianOf(c, 0, &WrkResult::peakThreads),
            medianOf(c, 1, &WrkResult::peakThreads));
        printf("  peak RSS     %8.0f MiB  | %8.0f MiB\n",
            medianOf(c, 0, &WrkResult::peakRssKiB) / 1024,
            medianOf(c, 1, &WrkResult::peakRssKiB) / 1024);
    }
    // Small ranges show a server's own work per request best: their three
    // figures, as ratios to nginx, on one line.
    for (int c = 0; c < 3; ++c) {
        if (!cases[c].byRequests)
            continue;
        const auto ratio
            = [](double ours, double theirs) { return theirs > 0 ? ours / theirs : 0.0; };
        printf("\n%s, tavrion-server / nginx: requests/s %.2f (goal >= 0.95), p99 %.2f (goal <= "
               "1.00), CPU per request %.2f (goal <= 1.00)\n",
            cases[c].name,
            ratio(medianOf(c, 0, &WrkResult::requestsPerSecond),
                medianOf(c, 1, &WrkResult::requestsPerSecond)),
            ratio(medianOf(c, 0, &WrkResult::p99Ms), medianOf(c, 1, &WrkResult::p99Ms)),
            ratio(cpuPerRequest(c, 0), cpuPerRequest(c, 1)));
    }
    fflush(stdout);
    return complete;
}

} // namespace

int main(int argc, char *argv[])
{
    takeMeasuringPriority();
    const bool smoke = takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    const bool quick = smoke || app.arguments().contains(QStringLiteral("--quick"));
    const bool anchorOnly = app.arguments().contains(QStringLiteral("--anchor-only"));
    const qint64 size = quick ? 64ll << 20 : 1ll << 30;
    const int streams = quick ? 20 : 100;
    const int pauseSeconds = smoke ? 2 : quick ? 5 : 60;
    const int rateSeconds = smoke ? 1 : quick ? 3 : 10;

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
        { "serve", "--data", data, "--listen", "127.0.0.1:0", "--host", "127.0.0.1:0" });
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
    if (hostText.isEmpty()) {
        printf("tavrion-server did not start\n");
        return 1;
    }
    const Address service = splitAddress(serviceText);
    const Address host = splitAddress(hostText);

    httplib::Client api(service.host, service.port);
    const auto hashReply = api.Get(signedQuery({ "r=www/default/pc", "cs0=lixian_qq", "hash=" + id,
        "index=0", "name=big.bin", "_mac=", "_s=pc" }));
    if (!hashReply) {
        printf("the file-hash call failed\n");
        return 1;
    }
    const QJsonObject hashData = QJsonDocument::fromJson(QByteArray::fromStdString(hashReply->body))
                                     .object()["data"]
                                     .toObject();
    const auto addressReply = api.Get(signedQuery({ "r=www/default/pc", "cs0=qqlixian_gethttp",
        "hash=" + id, "index=0", "jxhash=" + hashData["jxhash"].toString(),
        "size=" + QString::number(size), "netType=dianxin", "reload=0", "_mac=", "_s=pc" }));
    if (!addressReply) {
        printf("the address call failed\n");
        return 1;
    }
    const QJsonObject address
        = QJsonDocument::fromJson(QByteArray::fromStdString(addressReply->body))
              .object()["data"]
              .toObject();
    const std::string path = "/ftn_handler/" + address["code"].toString().toStdString();
    const std::string cookie = address["com_cookie"].toString().toStdString();
    const QString url = "http://" + hostText + QString::fromStdString(path);

    if (anchorOnly) {
        const bool complete = compareWithNginx(
            temp.path(), media, size, hostText, path, cookie, server.processId(), quick, smoke);
        server.terminate();
        server.waitForFinished(10000);
        return complete ? 0 : 1;
    }
    bool complete = true;

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
    if (ours <= 0 || theirs <= 0)
        complete = false;
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
    if (errors > 0)
        complete = false;
    printf("%d concurrent range streams: %d errors, %.2f GB in %.2f s (%.2f GB/s)\n", streams,
        errors.load(), received.load() / 1e9, timer.elapsed() / 1000.0,
        received.load() / 1e6 / std::max<qint64>(1, timer.elapsed()));
    fflush(stdout);

    // 3. A paused reader.
    timer.restart();
    const qint64 pausedTotal = pausedRead(host, path, cookie, pauseSeconds);
    if (pausedTotal < size)
        complete = false;
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
    if (apiErrors > 0)
        complete = false;
    printf("API at 200 requests/s for %d s: %d errors, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
        rateSeconds, apiErrors.load(), latencies[std::size_t(total / 2)],
        latencies[std::size_t(total * 99 / 100)], latencies.back());
    fflush(stdout);

    // 5. Beside nginx.
    printf("beside nginx:\n");
    if (!compareWithNginx(
            temp.path(), media, size, hostText, path, cookie, server.processId(), quick, smoke))
        complete = false;

    server.terminate();
    server.waitForFinished(10000);
    if (!complete)
        printf("some figures could not be taken\n");
    return complete ? 0 : 1;
}
