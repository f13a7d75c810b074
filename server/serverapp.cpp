#include "serverapp.h"

#include "captcha.h"
#include "service.h"
#include "store.h"

#include <QStringList>

#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <thread>

namespace {

constexpr std::size_t MaxBodyBytes = 64 * 1024;

void configure(httplib::Server &server, const ServeOptions &options)
{
    const int threads = options.threads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(std::size_t(threads)); };
    server.set_write_timeout(options.writeTimeoutSeconds, 0);
    // The library closes a connection after 5 requests by default; the
    // reconnect bursts that follow overflow its short listen backlog and cost
    // a SYN retransmission (a full second) now and then.
    server.set_keep_alive_max_count(1000);
    // Headers and body go out in separate writes; without this, Nagle's
    // algorithm holds the body back for the peer's delayed ACK (about 40 ms).
    server.set_tcp_nodelay(true);
    server.set_payload_max_length(MaxBodyBytes);
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request &request, httplib::Response &response) {
            if (!response.body.empty() || response.content_length_ > 0)
                return httplib::Server::HandlerResponse::Unhandled;
            if (request.path.rfind("/ftn_handler/", 0) == 0)
                response.set_content(std::to_string(response.status) + "\n", "text/plain");
            else
                response.set_content(
                    serviceErrorBody(response.status), "application/json; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler(
        [](const httplib::Request &, httplib::Response &response, std::exception_ptr) {
            response.status = 500;
            response.set_content(Service::refusal(QStringLiteral("服务器内部错误")),
                "application/json; charset=utf-8");
        });
}

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
    std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>();
    std::unique_ptr<VideoHost> host;
    QString address;
};

bool bindListener(Listener &listener, const QString &address)
{
    std::string host;
    int port = 0;
    if (!splitAddress(address, &host, &port)) {
        fprintf(stderr, "tavrion-server: not a host:port address: %s\n", qPrintable(address));
        return false;
    }
    if (port == 0) {
        port = listener.server->bind_to_any_port(host);
        if (port <= 0) {
            fprintf(stderr, "tavrion-server: cannot listen on %s\n", qPrintable(address));
            return false;
        }
    } else if (!listener.server->bind_to_port(host, port)) {
        fprintf(stderr, "tavrion-server: cannot listen on %s\n", qPrintable(address));
        return false;
    }
    listener.address = QStringLiteral("%1:%2").arg(QString::fromStdString(host)).arg(port);
    return true;
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
    // Stop signals are taken by sigwait below, never by a request thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Store store(options.dataDir);
    // Requests without a cookie each open a session; unused ones are dropped
    // at start so the file does not grow without end.
    store.prune(30 * 86400);
    const CaptchaRenderer captcha;

    Listener service;
    configure(*service.server, options);
    if (!bindListener(service, options.listen))
        return 1;
    service.host = std::make_unique<VideoHost>(store, HostMode::Normal);

    std::vector<Listener> hosts(std::size_t(options.hosts.size()));
    QStringList hostAddresses;
    for (int i = 0; i < options.hosts.size(); ++i) {
        Listener &listener = hosts[std::size_t(i)];
        configure(*listener.server, options);
        if (!bindListener(listener, options.hosts.at(i).address))
            return 1;
        listener.host = std::make_unique<VideoHost>(store, options.hosts.at(i).mode);
        hostAddresses.append(listener.address);
    }
    if (hostAddresses.isEmpty())
        hostAddresses.append(service.address);

    ServiceOptions serviceOptions;
    serviceOptions.signingKey = options.signingKey;
    serviceOptions.codeLifetime = options.codeLifetimeSeconds;
    serviceOptions.captchaText = options.captchaText;
    serviceOptions.field = hostAddresses.first();
    serviceOptions.defaultDomains = hostAddresses;
    Service api(store, captcha, serviceOptions);

    const auto serviceHandler = [&api](const httplib::Request &request,
                                    httplib::Response &response) { api.handle(request, response); };
    for (const char *path : { "/server/", "/server", "/" }) {
        service.server->Get(path, serviceHandler);
        service.server->Post(path, serviceHandler);
    }
    // Other methods on the script address get a refusal, not a bare 404.
    const auto wrongMethod
        = [](const httplib::Request &, httplib::Response &response) { response.status = 405; };
    for (const char *path : { "/server/", "/server" }) {
        service.server->Put(path, wrongMethod);
        service.server->Delete(path, wrongMethod);
        service.server->Patch(path, wrongMethod);
    }
    service.server->Get(
        "/notice/([^/]+)", [&api](const httplib::Request &request, httplib::Response &response) {
            api.handleNoticePicture(request, response);
        });
    for (Listener *listener : [&] {
             std::vector<Listener *> all { &service };
             for (Listener &host : hosts)
                 all.push_back(&host);
             return all;
         }()) {
        VideoHost *host = listener->host.get();
        listener->server->Get("/ftn_handler/([0-9A-Za-z]+)",
            [host](const httplib::Request &request, httplib::Response &response) {
                host->handle(request, response);
            });
    }

    std::vector<std::thread> threads;
    threads.emplace_back([&service] { service.server->listen_after_bind(); });
    for (Listener &listener : hosts)
        threads.emplace_back([&listener] { listener.server->listen_after_bind(); });

    printf("service %s\n", qPrintable(service.address));
    for (int i = 0; i < options.hosts.size(); ++i)
        printf("host %s %s\n", qPrintable(hosts[std::size_t(i)].address),
            modeName(options.hosts.at(i).mode));
    printf("ready\n");
    fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    service.server->stop();
    for (Listener &listener : hosts)
        listener.server->stop();
    for (std::thread &thread : threads)
        thread.join();
    return 0;
}
