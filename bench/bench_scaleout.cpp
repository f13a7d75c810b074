// API capacity of tavrion-server set-ups; not a test, nothing is asserted.
//   bench_scaleout [--quick] [--rounds N] [--seconds S] [--limit MS]
//   bench_scaleout --smoke   (one round of three short steps; fails when a
//                             set-up answers nothing)
//
// Each set-up answers the API calls a client makes while it browses and
// opens videos (file list, file hash, address, the favourites of a logged-in
// session, the video domain list) against a small library. An open-loop load
// generator sends them on a fixed schedule over keep-alive connections and
// measures each latency from the time the request was due, so a stalled
// server shows as late replies rather than as fewer requests. Offered rates
// climb a fixed ladder until p99 reaches 10 ms or a request fails; the last
// rate that passed is the set-up's sustainable rate. The set-ups take turns
// within each round (the order rotates) and medians over the rounds are
// printed, with the ratio of two API processes to one.
//
// Two API processes are two `serve` processes on two ports over the same
// database; the generator sends requests to them in turn. PostgreSQL runs in
// a cluster of the bench's own (tests/support), without fsync.
//
// --limit changes the p99 a passing step must stay under.
//
// The database's own ceiling is the anchor for the PostgreSQL set-ups:
// pgbench -S (one-row selects by key, pgbench's read-only load) with 4 and 16
// clients on a database of the same cluster, run in each round between the
// set-ups' turns; the better of the two is compared against. Each set-up is
// also measured against the one API process it scales out from, on the
// same load generator.
//
// On a machine busy with other work, neighbours' processes stall the set-ups
// for tens of milliseconds and p99 measures them; run it as root, so that
// the bench and everything it starts (servers, the database) run at nice -10
// ahead of them (takeMeasuringPriority). The CPU column shows how busy the
// machine was.
#include "benchtools.h"
#include "formparams.h"
#include "postgresfixture.h"
#include "serverprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const QByteArray SigningKey = "7c1e4b9a0d3f6e2b8a5c9d0e1f4a7b3c";
// The p99 a sustainable rate must stay under; --limit changes it.
double P99LimitMs = 10.0;

QByteArray signedQuery(const QStringList &parameters)
{
    QByteArray query;
    for (const QString &element : parameters)
        query += element.section('=', 0, 0).toUtf8() + '='
            + element.section('=', 1).toUtf8().toPercentEncoding() + '&';
    return query + "sign=" + FormParams::signature(parameters, SigningKey);
}

// ---------------------------------------------------------------------------
// A minimal blocking HTTP/1.1 exchange for setting up: logins, favourites and
// the values the load's requests carry.

struct Reply
{
    int status = 0;
    QByteArray headers;
    QByteArray body;
    QJsonObject envelope() const { return QJsonDocument::fromJson(body).object(); }
};

int connectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// Where a complete reply ends in `in`, 0 while it is incomplete, -1 when
// it cannot be read. Replies of the service always carry Content-Length.
qint64 replyEnd(const QByteArray &in)
{
    const int headerEnd = in.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return in.size() > 65536 ? -1 : 0;
    const QByteArray head = in.left(headerEnd).toLower();
    const int at = head.indexOf("\r\ncontent-length:");
    if (at < 0)
        return -1;
    const int lineEnd = head.indexOf("\r\n", at + 2);
    const qint64 length
        = head.mid(at + 17, lineEnd < 0 ? -1 : lineEnd - at - 17).trimmed().toLongLong();
    const qint64 end = headerEnd + 4 + length;
    return in.size() >= end ? end : 0;
}

Reply exchange(int port, const QByteArray &request)
{
    Reply reply;
    const int fd = connectTo(port);
    if (fd < 0)
        return reply;
    if (write(fd, request.constData(), std::size_t(request.size())) != request.size()) {
        close(fd);
        return reply;
    }
    QByteArray in;
    char chunk[65536];
    qint64 end = 0;
    while (end == 0) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0)
            break;
        in.append(chunk, int(got));
        end = replyEnd(in);
    }
    close(fd);
    if (end <= 0)
        return reply;
    const int headerEnd = in.indexOf("\r\n\r\n");
    reply.status = in.mid(9, 3).toInt();
    reply.headers = in.left(headerEnd);
    reply.body = in.mid(headerEnd + 4, int(end) - headerEnd - 4);
    return reply;
}

QByteArray getRequest(int port, const QByteArray &query, const QByteArray &cookie)
{
    return "GET /server/?" + query + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
        + "\r\nCookie: " + cookie + "\r\n\r\n";
}

QByteArray postRequest(int port, const QByteArray &body, const QByteArray &cookie)
{
    return "POST /server/ HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\nCookie: "
        + cookie + "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// ---------------------------------------------------------------------------
// CPU use: the whole machine from /proc/stat, a process with its children.

struct MachineTicks
{
    quint64 busy = 0;
    quint64 total = 0;
};

MachineTicks machineTicks()
{
    QFile stat(QStringLiteral("/proc/stat"));
    MachineTicks ticks;
    if (!stat.open(QIODevice::ReadOnly))
        return ticks;
    const QList<QByteArray> fields = stat.readLine().simplified().split(' ');
    for (int i = 1; i < fields.size(); ++i) {
        const quint64 value = fields.at(i).toULongLong();
        ticks.total += value;
        if (i != 4 && i != 5) // idle, iowait
            ticks.busy += value;
    }
    return ticks;
}

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// ---------------------------------------------------------------------------
// The open-loop load generator.

// The requests one session sends to one API process, in the order of the
// mix: each slot of `mix` indexes `requests`.
struct Target
{
    int port = 0;
    std::vector<std::vector<QByteArray>> sessions; // [session][kind]
};

// Out of ten requests: three file lists, three file hashes, two addresses, one
// favourites list, one domain list; a client asks for these in about that
// proportion while it browses resources and opens files.
const int Mix[10] = { 0, 1, 2, 0, 1, 3, 0, 1, 2, 4 };
const char *const KindNames[5] = { "file list", "file hash", "address", "favourites", "domains" };

struct StepResult
{
    double offered = 0;
    double achieved = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    int errors = 0;
    int connections = 0;
    double machineBusy = 0; // fraction of all cores
    double apiCpu = 0; // cores used by the set-up's API processes
    double databaseCpu = 0; // cores used by its database server
    double generatorCpu = 0; // cores used by the generator
    bool passed() const { return errors == 0 && p99 < P99LimitMs; }
};

class OpenLoop
{
public:
    OpenLoop(const std::vector<Target> &targets, int maxConnectionsPerTarget)
        : m_targets(targets)
        , m_maxConnections(maxConnectionsPerTarget)
    {
    }

    // Sends rate requests per second for `seconds`; latencies of requests
    // due in the first `warmup` seconds are not counted, their errors are.
    StepResult run(double rate, double seconds, double warmup);

private:
    struct Connection
    {
        int fd = -1;
        int target = 0;
        int session = 0;
        bool busy = false;
        Clock::time_point due;
        bool counted = false;
        QByteArray in;
    };
    struct Pending
    {
        Clock::time_point due;
        int kind = 0;
        bool counted = false;
    };

    bool open(int target);
    void send(Connection &connection, const Pending &request);
    void finish(Connection &connection, bool ok);
    void drop(Connection &connection);

    const std::vector<Target> &m_targets;
    const int m_maxConnections;
    int m_epoll = -1;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::vector<std::vector<Connection *>> m_idle; // per target
    std::vector<int> m_open; // per target
    std::vector<std::deque<Pending>> m_queued; // per target
    std::vector<double> m_latencies;
    int m_errors = 0;
    int m_inFlight = 0;
    int m_completed = 0;
};

bool OpenLoop::open(int target)
{
    const int fd = connectTo(m_targets[std::size_t(target)].port);
    if (fd < 0)
        return false;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->target = target;
    connection->session
        = m_open[std::size_t(target)] % int(m_targets[std::size_t(target)].sessions.size());
    epoll_event event {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = connection.get();
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    m_idle[std::size_t(target)].push_back(connection.get());
    ++m_open[std::size_t(target)];
    m_connections.push_back(std::move(connection));
    return true;
}

void OpenLoop::send(Connection &connection, const Pending &request)
{
    const QByteArray &bytes
        = m_targets[std::size_t(connection.target)]
              .sessions[std::size_t(connection.session)][std::size_t(request.kind)];
    connection.busy = true;
    connection.due = request.due;
    connection.counted = request.counted;
    connection.in.clear();
    ++m_inFlight;
    // A request of a few hundred bytes on an idle keep-alive connection
    // goes out whole; anything less is a failed request.
    if (write(connection.fd, bytes.constData(), std::size_t(bytes.size())) != bytes.size())
        finish(connection, false);
}

void OpenLoop::finish(Connection &connection, bool ok)
{
    const Clock::time_point now = Clock::now();
    --m_inFlight;
    ++m_completed;
    connection.busy = false;
    if (!ok) {
        ++m_errors;
        drop(connection);
        return;
    }
    if (connection.counted)
        m_latencies.push_back(
            std::chrono::duration<double, std::milli>(now - connection.due).count());
    std::deque<Pending> &queued = m_queued[std::size_t(connection.target)];
    if (!queued.empty()) {
        const Pending next = queued.front();
        queued.pop_front();
        send(connection, next);
    } else {
        m_idle[std::size_t(connection.target)].push_back(&connection);
    }
}

// Closes a connection after a failure; queued requests of its target get a
// new one.
void OpenLoop::drop(Connection &connection)
{
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, connection.fd, nullptr);
    close(connection.fd);
    connection.fd = -1;
    const std::size_t target = std::size_t(connection.target);
    --m_open[target];
    if (!m_queued[target].empty() && open(int(target))) {
        Connection *fresh = m_idle[target].back();
        m_idle[target].pop_back();
        const Pending next = m_queued[target].front();
        m_queued[target].pop_front();
        send(*fresh, next);
    }
}

StepResult OpenLoop::run(double rate, double seconds, double warmup)
{
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event timerEvent {};
    timerEvent.events = EPOLLIN;
    timerEvent.data.ptr = nullptr;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, timer, &timerEvent);
    const std::size_t targets = m_targets.size();
    m_idle.assign(targets, {});
    m_open.assign(targets, 0);
    m_queued.assign(targets, {});
    m_latencies.clear();
    m_errors = 0;
    m_inFlight = 0;
    m_completed = 0;
    // Connections opened ahead, so that connecting is not timed; more are
    // opened while the step runs when all are busy.
    for (std::size_t t = 0; t < targets; ++t) {
        for (int i = 0; i < 8; ++i)
            open(int(t));
    }

    const long total = long(rate * seconds);
    const auto interval = std::chrono::duration<double>(1.0 / rate);
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(20);
    const auto dueOf = [&](long i) {
        return start + std::chrono::duration_cast<Clock::duration>(interval * double(i));
    };
    const Clock::time_point warm = start
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warmup));
    // Replies still missing this long after the last request was due are
    // failures.
    const Clock::time_point giveUp = dueOf(total) + std::chrono::seconds(2);

    const MachineTicks machineBefore = machineTicks();
    const double generatorBefore = threadCpuSeconds();
    long next = 0;
    epoll_event events[64];
    for (;;) {
        const Clock::time_point now = Clock::now();
        for (; next < total && dueOf(next) <= now; ++next) {
            const std::size_t target = std::size_t(next) % targets;
            const Pending request { dueOf(next), Mix[(next / long(targets)) % 10],
                dueOf(next) >= warm };
            if (m_idle[target].empty() && m_open[target] < m_maxConnections)
                open(int(target));
            if (m_idle[target].empty()) {
                m_queued[target].push_back(request);
            } else {
                Connection *connection = m_idle[target].back();
                m_idle[target].pop_back();
                send(*connection, request);
            }
        }
        bool queued = false;
        for (const auto &queue : m_queued)
            queued = queued || !queue.empty();
        if (next == total && m_inFlight == 0 && !queued)
            break;
        if (now >= giveUp)
            break;
        itimerspec when {};
        const Clock::time_point wake = next < total ? dueOf(next) : giveUp;
        const auto since = wake.time_since_epoch();
        when.it_value.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(since).count();
        when.it_value.tv_nsec = long((since - std::chrono::seconds(when.it_value.tv_sec)).count());
        timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, nullptr);
        const int count = epoll_wait(m_epoll, events, 64, -1);
        for (int e = 0; e < count; ++e) {
            auto *connection = static_cast<Connection *>(events[e].data.ptr);
            if (!connection) {
                quint64 expirations = 0;
                if (read(timer, &expirations, sizeof expirations) < 0)
                    expirations = 0;
                continue;
            }
            if (connection->fd < 0)
                continue;
            char chunk[16384];
            bool closed = false;
            for (;;) {
                const ssize_t got = read(connection->fd, chunk, sizeof chunk);
                if (got > 0) {
                    connection->in.append(chunk, int(got));
                    continue;
                }
                closed = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                break;
            }
            if (connection->busy) {
                const qint64 end = replyEnd(connection->in);
                if (end != 0) {
                    const bool ok = end == connection->in.size()
                        && connection->in.startsWith("HTTP/1.1 200")
                        && connection->in.indexOf("\"statu\":1") > 0
                        && connection->in.indexOf("\r\nConnection: close") < 0;
                    finish(*connection, ok);
                }
            }
            if (closed && connection->fd >= 0) {
                if (connection->busy) {
                    finish(*connection, false);
                } else {
                    // An idle connection the server closed: forget it.
                    auto &idle = m_idle[std::size_t(connection->target)];
                    idle.erase(std::remove(idle.begin(), idle.end(), connection), idle.end());
                    drop(*connection);
                }
            }
        }
    }
    const Clock::time_point stop = Clock::now();
    const double generatorCpu = threadCpuSeconds() - generatorBefore;
    const MachineTicks machineAfter = machineTicks();

    StepResult result;
    result.offered = rate;
    result.errors = m_errors + m_inFlight;
    for (const auto &queue : m_queued)
        result.errors += int(queue.size());
    const double elapsed = std::chrono::duration<double>(stop - start).count();
    result.achieved = double(m_completed - m_errors) / std::max(elapsed, 1e-3);
    for (int open : m_open)
        result.connections += open;
    if (!m_latencies.empty()) {
        std::sort(m_latencies.begin(), m_latencies.end());
        result.p50 = m_latencies[m_latencies.size() / 2];
        result.p99 = m_latencies[m_latencies.size() * 99 / 100];
        result.max = m_latencies.back();
    }
    const quint64 total_ = machineAfter.total - machineBefore.total;
    result.machineBusy
        = total_ ? double(machineAfter.busy - machineBefore.busy) / double(total_) : 0;
    result.generatorCpu = generatorCpu / std::max(elapsed, 1e-3);

    for (auto &connection : m_connections) {
        if (connection->fd >= 0)
            close(connection->fd);
    }
    m_connections.clear();
    close(timer);
    close(m_epoll);
    return result;
}

// ---------------------------------------------------------------------------
// Set-ups.

struct Library
{
    QString episodes; // a resource of three files
    QStringList names; // by index
    QVector<qint64> sizes;
    QStringList jxhashes;
    QStringList accounts;
};

QString admin(const QStringList &arguments)
{
    bool ok = false;
    const QString out = ServerProcess::admin(arguments, &ok).trimmed();
    if (!ok)
        fprintf(stderr, "tavrion-server %s failed\n", qPrintable(arguments.join(' ')));
    return out;
}

// A resource of three small episodes and a few accounts, in the storage named
// by `storage` ("--data DIR", with the database option where there is one).
bool makeLibrary(const QString &folder, const QStringList &storage, Library *library)
{
    const QString show = folder + QStringLiteral("/show");
    QDir().mkpath(show);
    std::mt19937_64 random(7);
    for (int n = 1; n <= 3; ++n) {
        QFile file(show + QStringLiteral("/第%1集.mp4").arg(n));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        QByteArray bytes(256 * 1024 + n * 1000, Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(random());
        file.write(bytes);
    }
    const QString torrent = folder + QStringLiteral("/show.torrent");
    admin({ "make-torrent", torrent, show });
    library->episodes = admin(QStringList { "add-resource" } + storage << torrent << folder);
    if (library->episodes.size() != 40)
        return false;
    for (int n = 0; n < 8; ++n) {
        const QString email = QStringLiteral("viewer%1@bench.test").arg(n);
        admin(QStringList { "add-user" } + storage << email << "bench-pass");
        library->accounts.append(email);
    }
    return true;
}

// Logs in one session per account on `port` and gives each two favourites;
// returns the sessions' cookies.
QList<QByteArray> logIn(int port, const Library &library)
{
    QList<QByteArray> cookies;
    for (const QString &email : library.accounts) {
        const Reply login = exchange(port,
            postRequest(port,
                signedQuery({ "r=www/user/login", "do=login", "f[username]=" + email,
                    "f[password]=bench-pass", "_s=pc" }),
                {}));
        const int at = login.headers.indexOf("Set-Cookie: ");
        if (login.envelope().value("statu").toInt() != 1 || at < 0)
            return {};
        const QByteArray cookie = login.headers.mid(at + 12).split('\r').first().split(';').first();
        for (int index = 0; index < 2; ++index) {
            const Reply added = exchange(port,
                postRequest(port,
                    signedQuery({ "r=www/default/pc", "do=fav", "method=add",
                        "hash=" + library.episodes, "index=" + QString::number(index),
                        "name=" + library.names.value(index), "_s=pc" }),
                    cookie));
            if (added.status != 200)
                return {};
        }
        cookies.append(cookie);
    }
    return cookies;
}

// The load's requests for the sessions `cookies` on `port`; checks once that
// each is answered with success.
bool makeTarget(int port, const Library &library, const QList<QByteArray> &cookies, Target *target)
{
    target->port = port;
    for (int s = 0; s < cookies.size(); ++s) {
        const int index = s % 3;
        const QString file = QString::number(index);
        const QByteArray queries[5] = {
            signedQuery({ "r=www/default/pc", "do=getNewHashFileList", "hash=" + library.episodes,
                "_s=pc" }),
            signedQuery({ "r=www/default/pc", "cs0=lixian_qq", "hash=" + library.episodes,
                "index=" + file, "name=" + library.names.value(index), "_mac=", "_s=pc" }),
            signedQuery({ "r=www/default/pc", "cs0=qqlixian_gethttp", "hash=" + library.episodes,
                "index=" + file, "jxhash=" + library.jxhashes.value(index),
                "size=" + QString::number(library.sizes.value(index)), "netType=dianxin",
                "reload=0", "_mac=", "_s=pc" }),
            signedQuery(
                { "r=www/default/pc", "do=fav", "method=get", "persize=100", "page=1", "_s=pc" }),
            signedQuery({ "r=www/default/pc", "do=getConfig", "cfg=video_domain", "_s=pc" }),
        };
        std::vector<QByteArray> requests;
        for (int kind = 0; kind < 5; ++kind) {
            const QByteArray request = getRequest(port, queries[kind], cookies.at(s));
            const Reply reply = exchange(port, request);
            if (reply.envelope().value("statu").toInt() != 1) {
                fprintf(stderr, "%s on port %d failed: %s\n", KindNames[kind], port,
                    reply.body.constData());
                return false;
            }
            requests.push_back(request);
        }
        target->sessions.push_back(requests);
    }
    return true;
}

// The files' names and sizes by index, from the file list call, and the
// content hashes the address call checks, from the file hash call.
bool readFiles(int port, Library *library)
{
    const Reply list = exchange(port,
        getRequest(port,
            signedQuery({ "r=www/default/pc", "do=getNewHashFileList", "hash=" + library->episodes,
                "_s=pc" }),
            {}));
    const QJsonArray files = list.envelope().value("datas").toArray();
    library->names = QVector<QString>(files.size()).toList();
    library->sizes = QVector<qint64>(files.size(), 0);
    for (const QJsonValue &value : files) {
        const QJsonObject file = value.toObject();
        const int index = file.value("index").toInt(-1);
        if (index < 0 || index >= files.size())
            return false;
        library->names[index] = file.value("name").toString();
        library->sizes[index] = qint64(file.value("file_size").toDouble());
    }
    for (int index = 0; index < files.size(); ++index) {
        const Reply reply = exchange(port,
            getRequest(port,
                signedQuery({ "r=www/default/pc", "cs0=lixian_qq", "hash=" + library->episodes,
                    "index=" + QString::number(index), "name=" + library->names.at(index),
                    "_mac=", "_s=pc" }),
                {}));
        const QString jxhash = reply.envelope().value("data").toObject().value("jxhash").toString();
        if (jxhash.isEmpty())
            return false;
        library->jxhashes.append(jxhash);
    }
    return files.size() == 3;
}

// pgbench -S on `url` for `seconds` (whole seconds) with `clients`
// clients; transactions per second, 0 when it did not run.
double pgbenchRate(const QString &url, int clients, double seconds, int cpus)
{
    QProcess pgbench;
    pgbench.start(QStringLiteral("pgbench"),
        { "-n", "-S", "-c", QString::number(clients), "-j",
            QString::number(std::min(clients, cpus)), "-T",
            QString::number(std::max(1, int(std::lround(seconds)))), url });
    if (!pgbench.waitForFinished(int(seconds * 1000) + 60000) || pgbench.exitCode() != 0)
        return 0;
    const QRegularExpressionMatch match
        = QRegularExpression(QStringLiteral("tps = ([0-9.]+)"))
              .match(QString::fromUtf8(pgbench.readAllStandardOutput()));
    return match.hasMatch() ? match.captured(1).toDouble() : 0;
}

struct Setup
{
    QString name;
    std::vector<Target> targets;
    std::vector<qint64> api; // the API processes
    qint64 database = 0; // the database server, if it is a process of its own
};

int portOf(const ServerProcess &server)
{
    return server.serviceAddress().section(':', 1).toInt();
}

// The PostgreSQL server listening on `port`; its backends are its children.
qint64 postmasterOf(int port)
{
    const QByteArray option = QByteArray("-p") + '\0' + QByteArray::number(port) + '\0';
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs)) {
        QFile cmdline(proc.filePath(entry + QStringLiteral("/cmdline")));
        if (entry.toLongLong() > 0 && cmdline.open(QIODevice::ReadOnly)) {
            const QByteArray text = cmdline.readAll();
            if (text.contains("postgres") && text.contains(option))
                return entry.toLongLong();
        }
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    takeMeasuringPriority();
    const bool smoke = takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("TAVRION_BUILD_DIR"))
        qputenv("TAVRION_BUILD_DIR", TAVRION_BUILD_DIR);
    const QStringList arguments = app.arguments();
    const bool quick = smoke || arguments.contains(QStringLiteral("--quick"));
    const auto option = [&arguments](const char *name, double fallback) {
        const int at = arguments.indexOf(QLatin1String(name));
        return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1).toDouble() : fallback;
    };
    const int rounds = int(option("--rounds", smoke ? 1 : quick ? 2 : 3));
    const double stepSeconds = option("--seconds", smoke ? 0.6 : quick ? 1.5 : 5);
    const double warmup = stepSeconds / 5;
    P99LimitMs = option("--limit", P99LimitMs);
    const int cpus = int(sysconf(_SC_NPROCESSORS_ONLN));
    if (ServerProcess::program().isEmpty()) {
        fprintf(stderr, "tavrion-server not found; set TAVRION_BUILD_DIR\n");
        return 1;
    }

    QTemporaryDir temp;
    std::vector<Setup> setups;
    std::vector<std::unique_ptr<ServerProcess>> servers;

    // SQLite, one API process.
    {
        const QString data = temp.filePath(QStringLiteral("sqlite"));
        const QStringList storage { "--data", data };
        Library library;
        if (!makeLibrary(temp.filePath(QStringLiteral("sqlite-media")), storage, &library))
            return 1;
        auto server = std::make_unique<ServerProcess>();
        if (!server->start(data, { "--host", "127.0.0.1:0" })) {
            fprintf(stderr, "%s\n", qPrintable(server->errorOutput()));
            return 1;
        }
        const int port = portOf(*server);
        Target target;
        if (!readFiles(port, &library) || !makeTarget(port, library, logIn(port, library), &target))
            return 1;
        setups.push_back(
            { QStringLiteral("SQLite, 1 API process"), { target }, { server->processId() } });
        servers.push_back(std::move(server));
    }

    // PostgreSQL: two API processes over one database. The one-process
    // set-up is the first of them alone; the sessions are the same on both,
    // as they are behind a proxy that spreads one client's calls.
    PostgresCluster postgres;
    QString pgbenchUrl;
    if (!postgres.start()) {
        printf("PostgreSQL cannot start here, SQLite only: %s\n", qPrintable(postgres.reason()));
    } else {
        const QString url = postgres.createDatabase(QStringLiteral("bench"));
        const QString data = temp.filePath(QStringLiteral("postgres"));
        const QStringList storage { "--data", data, "--database", url };
        Library library;
        if (url.isEmpty()
            || !makeLibrary(temp.filePath(QStringLiteral("postgres-media")), storage, &library))
            return 1;
        std::vector<Target> targets;
        std::vector<qint64> pids;
        QList<QByteArray> cookies;
        for (int n = 0; n < 2; ++n) {
            auto server = std::make_unique<ServerProcess>();
            if (!server->start(data, { "--database", url, "--host", "127.0.0.1:0" })) {
                fprintf(stderr, "%s\n", qPrintable(server->errorOutput()));
                return 1;
            }
            const int port = portOf(*server);
            if (n == 0
                && (!readFiles(port, &library) || (cookies = logIn(port, library)).isEmpty()))
                return 1;
            targets.emplace_back();
            if (!makeTarget(port, library, cookies, &targets.back()))
                return 1;
            pids.push_back(server->processId());
            servers.push_back(std::move(server));
        }
        pgbenchUrl = postgres.createDatabase(QStringLiteral("pgbench"));
        QProcess init;
        init.start(QStringLiteral("pgbench"), { "-i", "-q", "-s", "1", pgbenchUrl });
        if (pgbenchUrl.isEmpty() || !init.waitForFinished(120000) || init.exitCode() != 0) {
            fprintf(stderr, "pgbench -i failed: %s\n", init.readAllStandardError().constData());
            pgbenchUrl.clear();
        }
        const qint64 postmaster = postmasterOf(postgres.port());
        setups.push_back({ QStringLiteral("PostgreSQL, 1 API process"), { targets.front() },
            { pids.front() }, postmaster });
        setups.push_back(
            { QStringLiteral("PostgreSQL, 2 API processes"), targets, pids, postmaster });
    }

    // Offered rates: a geometric ladder.
    std::vector<double> ladder;
    for (double rate = quick ? 400 : 250; rate < 40000 && !(smoke && ladder.size() == 3);
         rate *= 1.25)
        ladder.push_back(std::round(rate / 10) * 10);

    printf("%d rounds; steps of %.1f s (first %.1f s not timed); ladder from %.0f req/s, x1.25; "
           "pass: p99 < %.0f ms and no errors; %d CPUs\n",
        rounds, stepSeconds, warmup, ladder.front(), P99LimitMs, cpus);
    printf("columns: CPU%% is the whole machine busy (every process, all cores); API, DB and gen "
           "are the cores used by the API processes, the database server and the load "
           "generator\n");
    printf("%-32s %5s %8s %8s %7s %7s %7s %6s %5s %5s %5s %5s %5s\n", "set-up", "round", "offered",
        "achieved", "p50 ms", "p99 ms", "max ms", "errors", "conns", "CPU%", "API", "DB", "gen");
    fflush(stdout);

    // [setup][ladder step] -> results over rounds; [setup] -> sustainable rates.
    std::vector<std::map<std::size_t, std::vector<StepResult>>> steps(setups.size());
    std::vector<QVector<double>> sustainable(setups.size());
    std::vector<QVector<double>> sustainableBusy(setups.size());
    // CPU seconds per request of the API processes and of the database at the
    // sustainable rate: with the cores a machine has, they bound the rate.
    std::vector<QVector<double>> sustainableApiCpu(setups.size());
    std::vector<QVector<double>> sustainableDatabaseCpu(setups.size());
    std::vector<std::size_t> startStep(setups.size(), 0);
    QVector<double> pgbench4, pgbench16;
    for (int round = 0; round < rounds; ++round) {
        if (!pgbenchUrl.isEmpty()) {
            pgbench4.push_back(pgbenchRate(pgbenchUrl, 4, stepSeconds, cpus));
            pgbench16.push_back(pgbenchRate(pgbenchUrl, 16, stepSeconds, cpus));
            printf("%-32s %5d %8.0f tps with 4 clients, %8.0f tps with 16\n", "pgbench -S",
                round + 1, pgbench4.back(), pgbench16.back());
            fflush(stdout);
        }
        for (std::size_t turn = 0; turn < setups.size(); ++turn) {
            const std::size_t s = (turn + std::size_t(round)) % setups.size();
            Setup &setup = setups[s];
            OpenLoop load(setup.targets, 200);
            double passedRate = 0;
            double passedBusy = 0;
            double passedApiCpu = 0;
            double passedDatabaseCpu = 0;
            for (std::size_t step = startStep[s]; step < ladder.size(); ++step) {
                // A step that fails is run once more: on a shared machine a
                // neighbour's burst can stall one step. Both runs are printed;
                // the second one counts.
                StepResult result;
                for (int attempt = 0; attempt < 2 && (attempt == 0 || !result.passed());
                     ++attempt) {
                    const std::vector<qint64> database { setup.database };
                    const double apiBefore = processUse(setup.api).cpuSeconds;
                    const double databaseBefore
                        = setup.database ? processUse(database).cpuSeconds : 0;
                    result = load.run(ladder[step], stepSeconds, warmup);
                    result.apiCpu = (processUse(setup.api).cpuSeconds - apiBefore) / stepSeconds;
                    if (setup.database)
                        result.databaseCpu
                            = (processUse(database).cpuSeconds - databaseBefore) / stepSeconds;
                    printf("%-32s %5d %8.0f %8.0f %7.2f %7.2f %7.1f %6d %5d %4.0f%% %5.2f %5.2f "
                           "%5.2f%s\n",
                        qPrintable(setup.name), round + 1, result.offered, result.achieved,
                        result.p50, result.p99, result.max, result.errors, result.connections,
                        result.machineBusy * 100, result.apiCpu, result.databaseCpu,
                        result.generatorCpu,
                        result.passed()    ? ""
                            : attempt == 0 ? "  <- over, again"
                                           : "  <- over");
                    fflush(stdout);
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                }
                steps[s][step].push_back(result);
                if (!result.passed())
                    break;
                passedRate = result.offered;
                passedBusy = result.machineBusy;
                passedApiCpu = result.apiCpu / std::max(result.achieved, 1.0);
                passedDatabaseCpu = result.databaseCpu / std::max(result.achieved, 1.0);
                // Later rounds start two steps below this round's result.
                startStep[s] = step >= 2 ? step - 2 : 0;
            }
            sustainable[s].push_back(passedRate);
            sustainableBusy[s].push_back(passedBusy);
            sustainableApiCpu[s].push_back(passedApiCpu);
            sustainableDatabaseCpu[s].push_back(passedDatabaseCpu);
        }
    }

    printf("\nmedians over %d rounds, per offered rate (achieved req/s, p99 ms):\n", rounds);
    for (std::size_t s = 0; s < setups.size(); ++s) {
        printf("%s:\n", qPrintable(setups[s].name));
        for (const auto &entry : steps[s]) {
            QVector<double> achieved, p99, busy;
            int errors = 0;
            for (const StepResult &result : entry.second) {
                achieved.push_back(result.achieved);
                p99.push_back(result.p99);
                busy.push_back(result.machineBusy);
                errors += result.errors;
            }
            printf("  %8.0f offered: %8.0f achieved, p99 %7.2f ms, errors %d, machine CPU %3.0f%% "
                   "(%zu rounds)\n",
                ladder[entry.first], median(achieved), median(p99), errors, median(busy) * 100,
                entry.second.size());
        }
    }
    printf("\nsustainable rate (p99 < %.0f ms, no errors), median of %d rounds:\n", P99LimitMs,
        rounds);
    std::vector<double> medians;
    for (std::size_t s = 0; s < setups.size(); ++s) {
        medians.push_back(median(sustainable[s]));
        QStringList each;
        for (double rate : sustainable[s])
            each.append(QString::number(rate));
        printf("  %-32s %8.0f req/s  (rounds: %s); there, CPU per request: API %.0f us, "
               "database %.0f us; machine CPU %.0f%%\n",
            qPrintable(setups[s].name), medians.back(), qPrintable(each.join(QStringLiteral(", "))),
            median(sustainableApiCpu[s]) * 1e6, median(sustainableDatabaseCpu[s]) * 1e6,
            median(sustainableBusy[s]) * 100);
    }
    // Two API processes beside one over the same database, per round and
    // as the ratio of the medians.
    if (setups.size() == 3) {
        QVector<double> perRound;
        for (int round = 0; round < rounds; ++round) {
            if (sustainable[1][std::size_t(round)] > 0)
                perRound.push_back(
                    sustainable[2][std::size_t(round)] / sustainable[1][std::size_t(round)]);
        }
        printf("\ntwo API processes / one (PostgreSQL): %.2f (medians); per round median %.2f; "
               "goal >= 1.7\n",
            medians[1] > 0 ? medians[2] / medians[1] : 0.0, median(perRound));
        printf("one API process, PostgreSQL / SQLite: %.2f (medians)\n",
            medians[0] > 0 ? medians[1] / medians[0] : 0.0);
        const double ceiling = std::max(median(pgbench4), median(pgbench16));
        printf("pgbench -S ceiling (median, better of 4 and 16 clients): %.0f tps; one API "
               "process / ceiling %.2f, two / ceiling %.2f\n",
            ceiling, ceiling > 0 ? medians[1] / ceiling : 0.0,
            ceiling > 0 ? medians[2] / ceiling : 0.0);
    }
    fflush(stdout);
    // A set-up that answered nothing on its first step gave no figure.
    for (std::size_t s = 0; s < setups.size(); ++s) {
        const auto first = steps[s].find(0);
        if (first == steps[s].end()
            || std::none_of(first->second.begin(), first->second.end(),
                [](const StepResult &result) { return result.achieved > 0; })) {
            fprintf(stderr, "%s answered nothing\n", qPrintable(setups[s].name));
            return 1;
        }
    }
    return 0;
}
