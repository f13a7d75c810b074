#include "serverapp.h"

#include "captcha.h"
#include "database.h"
#include "hostnodes.h"
#include "httpengine.h"
#include "requestchecks.h"
#include "service.h"
#include "store.h"
#include "swarm.h"
#include "swarmnodes.h"

#include <QDir>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <regex>
#include <sys/resource.h>

namespace {

const char JsonType[] = "application/json; charset=utf-8";

// Routes the requests of one listener: the service's script address, notice
// pictures and video files on the service listener, video files only on a
// host listener. Errors without a body get the envelope refusal (or a short
// text on the video path, where players read no envelope).
class Router : public HttpHandler
{
public:
    Router(Service *api, VideoHost *host)
        : m_api(api)
        , m_host(host)
    {
    }

    bool handleQuickly(HttpRequest &request, HttpResponse &response) override
    {
        if (request.method != "GET" || !videoCodeOfPath(request.path, &request.capture))
            return false;
        if (!m_host->handleQuickly(request, response))
            return false;
        completeError(request, response);
        return true;
    }

    void handle(HttpRequest &request, HttpResponse &response) override
    {
        try {
            route(request, response);
        } catch (const std::exception &error) {
            fprintf(stderr, "tavrion-server: %s\n", error.what());
            response = HttpResponse();
            response.status = 500;
            response.setContent(Service::refusal(QStringLiteral("服务器内部错误")), JsonType);
        }
        completeError(request, response);
    }

    void completeError(const HttpRequest &request, HttpResponse &response) override
    {
        if (response.status < 400 || response.hasContent())
            return;
        if (request.path.rfind("/ftn_handler/", 0) == 0)
            response.setContent(std::to_string(response.status) + "\n", "text/plain");
        else
            response.setContent(serviceErrorBody(response.status), JsonType);
    }

private:
    void route(HttpRequest &request, HttpResponse &response)
    {
        const std::string &method = request.method;
        const std::string &path = request.path;
        if (videoCodeOfPath(path, &request.capture)) {
            if (method == "GET")
                m_host->handle(request, response);
            else
                response.status = 404;
            return;
        }
        if (m_api) {
            const bool script = path == "/server/" || path == "/server";
            if ((script || path == "/") && (method == "GET" || method == "POST"))
                return m_api->handle(request, response);
            // Other methods on the script address get a refusal, not a bare 404.
            if (script && (method == "PUT" || method == "DELETE" || method == "PATCH")) {
                response.status = 405;
                return;
            }
            static const std::regex notice("/notice/([^/]+)");
            std::smatch match;
            if (method == "GET" && std::regex_match(path, match, notice)) {
                request.capture = match[1].str();
                return m_api->handleNoticePicture(request, response);
            }
        }
        response.status = 404;
    }

    Service *m_api;
    VideoHost *m_host;
};

const char *modeName(HostMode mode)
{
    switch (mode) {
    case HostMode::Slow:
        return "slow";
    case HostMode::Wrong:
        return "wrong";
    case HostMode::Normal:
        break;
    }
    return "normal";
}

struct Listener
{
    std::unique_ptr<VideoHost> host;
    std::unique_ptr<Router> router;
    QString address;
};

bool bindListener(
    HttpEngine &engine, Listener &listener, const QString &address, HttpHandler *handler)
{
    std::string host;
    int port = 0;
    if (!splitAddress(address, &host, &port)) {
        fprintf(stderr, "tavrion-server: not a host:port address: %s\n", qPrintable(address));
        return false;
    }
    std::string error;
    port = engine.listen(host, port, handler, &error);
    if (port <= 0) {
        fprintf(stderr, "tavrion-server: cannot listen on %s: %s\n", qPrintable(address),
            error.c_str());
        return false;
    }
    listener.address = QStringLiteral("%1:%2").arg(QString::fromStdString(host)).arg(port);
    return true;
}

// Stop signals are taken by sigwait, never by a request thread.
sigset_t blockStopSignals()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return stopSignals;
}

// Thousands of connections need as many descriptors: the soft limit is
// raised to the hard one.
void raiseDescriptorLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The swarm of serve --bt or host --bt, started; null with the reason
// printed.
std::unique_ptr<Swarm> startSwarm(Store &store, SwarmOptions options)
{
    if (options.cacheDir.isEmpty())
        options.cacheDir = store.absolutePath(QStringLiteral("swarm"));
    options.cacheDir = QDir(options.cacheDir).absolutePath();
    if (options.statusPath.isEmpty())
        options.statusPath = store.absolutePath(QStringLiteral("swarm-status.json"));
    auto swarm = std::make_unique<Swarm>(store, options);
    QString error;
    if (!swarm->start(&error)) {
        fprintf(stderr, "tavrion-server: cannot start the swarm: %s\n", qPrintable(error));
        return nullptr;
    }
    return swarm;
}

} // namespace

bool splitAddress(const QString &address, std::string *host, int *port)
{
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    *port = address.mid(colon + 1).toInt(&ok);
    *host = address.left(colon).toStdString();
    return ok && *port >= 0 && *port <= 65535;
}

int runServe(const ServeOptions &options)
{
    sigset_t stopSignals = blockStopSignals();
    raiseDescriptorLimit();

    Store store(options.dataDir, options.database,
        options.dbConnections > 0 ? options.dbConnections : options.threads);
    // Sessions unused for 30 days expire, those that never logged in after
    // an hour; expired codes and captchas go too, at start and every five
    // minutes while running, so that requests without a login leave little.
    constexpr std::int64_t SessionIdleLimit = 30 * 86400;
    constexpr std::int64_t AnonymousIdleLimit = 3600;
    const std::int64_t captchaLifetime = ServiceOptions().captchaLifetime;
    const auto prune = [&store, captchaLifetime] {
        try {
            store.prune(SessionIdleLimit, AnonymousIdleLimit, captchaLifetime);
        } catch (const DatabaseError &error) {
            fprintf(stderr, "tavrion-server: pruning: %s\n", error.what());
        }
    };
    prune();
    const CaptchaRenderer captcha;

    HttpLimits limits;
    limits.workerThreads = options.threads;
    limits.writeStall = std::chrono::seconds(options.writeTimeoutSeconds);
    limits.maxPerAddress = options.maxPerAddress;
    HttpEngine engine(limits);

    Listener service;
    service.host = std::make_unique<VideoHost>(store, HostMode::Normal);
    std::vector<Listener> hosts(std::size_t(options.hosts.size()));
    QStringList hostAddresses;
    for (int i = 0; i < options.hosts.size(); ++i) {
        Listener &listener = hosts[std::size_t(i)];
        listener.host = std::make_unique<VideoHost>(store, options.hosts.at(i).mode);
        listener.router = std::make_unique<Router>(nullptr, listener.host.get());
    }

    ServiceOptions serviceOptions;
    serviceOptions.signingKey = options.signingKey;
    serviceOptions.codeLifetime = options.codeLifetimeSeconds;
    serviceOptions.captchaText = options.captchaText;
    for (const QString &proxy : options.trustedProxies)
        serviceOptions.trustedProxies.push_back(proxy.toStdString());
    // The service is routed before its address is known; the options that
    // name hosts are filled in once every listener is bound.
    Service api(store, captcha, serviceOptions);
    service.router = std::make_unique<Router>(&api, service.host.get());

    if (!bindListener(engine, service, options.listen, service.router.get()))
        return 1;
    for (int i = 0; i < options.hosts.size(); ++i) {
        Listener &listener = hosts[std::size_t(i)];
        if (!bindListener(engine, listener, options.hosts.at(i).address, listener.router.get()))
            return 1;
        hostAddresses.append(listener.address);
    }
    if (hostAddresses.isEmpty())
        hostAddresses.append(service.address);
    api.setHosts(hostAddresses.first(), hostAddresses);

    std::unique_ptr<Swarm> swarm;
    std::unique_ptr<SwarmRequests> swarmNodes;
    if (options.bt) {
        swarm = startSwarm(store, options.swarm);
        if (!swarm)
            return 1;
        api.setSwarm(swarm.get());
        service.host->setSwarm(swarm.get());
        for (Listener &listener : hosts)
            listener.host->setSwarm(swarm.get());
    } else {
        swarmNodes = std::make_unique<SwarmRequests>(store, options.swarm.metadataWait);
        api.setSwarmNodes(swarmNodes.get());
    }

    engine.start();
    printf("service %s\n", qPrintable(service.address));
    for (int i = 0; i < options.hosts.size(); ++i)
        printf("host %s %s\n", qPrintable(hosts[std::size_t(i)].address),
            modeName(options.hosts.at(i).mode));
    printf("ready\n");
    fflush(stdout);

    // Only a full quiet interval prunes: a wait cut short by another signal
    // (or by a debugger attaching) just waits again.
    const timespec pruneInterval { 300, 0 };
    while (sigtimedwait(&stopSignals, nullptr, &pruneInterval) < 0) {
        if (errno == EAGAIN)
            prune();
    }
    // The swarm wakes connections: it stops after them, before they go.
    engine.stop();
    if (swarm)
        swarm->stop();
    return 0;
}

int runHost(const HostNodeOptions &options)
{
    sigset_t stopSignals = blockStopSignals();
    raiseDescriptorLimit();

    Store store(options.dataDir, options.database,
        options.dbConnections > 0 ? options.dbConnections : options.threads);
    HttpLimits limits;
    limits.workerThreads = options.threads;
    limits.writeStall = std::chrono::seconds(options.writeTimeoutSeconds);
    limits.maxPerAddress = options.maxPerAddress;
    HttpEngine engine(limits);

    Listener listener;
    listener.host = std::make_unique<VideoHost>(store, HostMode::Normal);
    LocalCopies copies(store.absolutePath(QStringLiteral("library")));
    listener.host->setLocalCopies(&copies);
    listener.router = std::make_unique<Router>(nullptr, listener.host.get());
    if (!bindListener(engine, listener, options.listen, listener.router.get()))
        return 1;
    const QString name = options.name.isEmpty() ? listener.address : options.name;

    std::unique_ptr<Swarm> swarm;
    std::unique_ptr<SwarmNodeDuty> duty;
    if (options.bt) {
        swarm = startSwarm(store, options.swarm);
        if (!swarm)
            return 1;
        listener.host->setSwarm(swarm.get());
        duty = std::make_unique<SwarmNodeDuty>(store, *swarm, name);
    }

    HostNodes nodes(store);
    QVector<std::int64_t> held = nodes.scanHeldFiles(&copies);
    nodes.announce(name, held, options.bt);
    engine.start();
    printf("host %s %s\n", qPrintable(listener.address), qPrintable(name));
    printf("holds %lld files\n", static_cast<long long>(held.size()));
    printf("ready\n");
    fflush(stdout);

    // The services' asks for swarm resources are looked at twenty times a
    // second, since a file list waits for them; the heartbeat goes out
    // every couple of seconds; the data folder is looked at again every
    // half minute, so that copies added or removed while the node runs are
    // known without a restart.
    constexpr int TickMilliseconds = 50;
    constexpr int TicksPerHeartbeat = HostNodes::HeartbeatMilliseconds / TickMilliseconds;
    constexpr int TicksPerScan = 15 * TicksPerHeartbeat;
    const timespec interval { 0, TickMilliseconds * 1000000 };
    int ticks = 0;
    while (sigtimedwait(&stopSignals, nullptr, &interval) < 0) {
        try {
            if (duty)
                duty->poll();
        } catch (const std::exception &error) {
            fprintf(stderr, "tavrion-server: swarm: %s\n", error.what());
        }
        if (++ticks % TicksPerHeartbeat != 0)
            continue;
        try {
            if (ticks % TicksPerScan == 0) {
                QVector<std::int64_t> now = nodes.scanHeldFiles(&copies);
                if (now != held) {
                    held = std::move(now);
                    nodes.announce(name, held, options.bt);
                    continue;
                }
            }
            if (!nodes.heartbeat(name))
                nodes.announce(name, held, options.bt);
        } catch (const DatabaseError &error) {
            fprintf(stderr, "tavrion-server: heartbeat: %s\n", error.what());
        }
    }
    // Named no more before the listener closes.
    try {
        nodes.withdraw(name);
    } catch (const DatabaseError &error) {
        fprintf(stderr, "tavrion-server: leaving: %s\n", error.what());
    }
    // The swarm wakes connections: it stops after them, before they go.
    engine.stop();
    if (swarm)
        swarm->stop();
    return 0;
}
