#pragma once

#include "swarm.h"
#include "videohost.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>

struct HostOption
{
    QString address; // "127.0.0.1:17081"; port 0 picks a free port
    HostMode mode = HostMode::Normal;
};

struct ServeOptions
{
    QString dataDir;
    QString database; // a postgresql:// URL; empty: the data folder's SQLite file
    QString listen = QStringLiteral("127.0.0.1:17080");
    QVector<HostOption> hosts; // none: the service listener is its own host
    int threads = 4; // workers for blocking work (database, password hashing)
    int dbConnections = 0; // PostgreSQL connections; 0: one per worker
    int writeTimeoutSeconds = 90; // a paused player must not be dropped
    int maxPerAddress = 256; // connections from one remote address
    std::int64_t codeLifetimeSeconds = 6 * 3600;
    QByteArray signingKey = "7c1e4b9a0d3f6e2b8a5c9d0e1f4a7b3c";
    QString captchaText; // not empty: every captcha reads this (tests on loopback)
    QStringList trustedProxies; // whose X-Real-IP names the viewer
    bool bt = false; // fetch resources the library does not hold from peers
    SwarmOptions swarm; // cacheDir and statusPath empty: under the data folder
};

struct HostNodeOptions
{
    QString dataDir; // the node's own copies, under the library's relative paths
    QString database; // the shared database; empty: the data folder's own file
    QString listen = QStringLiteral("127.0.0.1:17081");
    QString name; // what clients reach it under; empty: the bound address
    int threads = 4;
    int dbConnections = 0;
    int writeTimeoutSeconds = 90;
    int maxPerAddress = 256;
    bool bt = false; // also fetch and stream the swarm resources it owns
    SwarmOptions swarm; // cacheDir and statusPath empty: under the data folder
};

// Splits "host:port"; false when it is not of that form.
bool splitAddress(const QString &address, std::string *host, int *port);

// Runs the service and its hosts until SIGINT or SIGTERM. Prints one line per
// listener ("service ADDR", "host ADDR MODE") and then "ready" on stdout.
// Returns the process exit status.
int runServe(const ServeOptions &options);

// Runs a video-host node until SIGINT or SIGTERM: it streams the library
// files it holds, takes play codes and cookies from the shared database,
// records itself and its files there and keeps its heartbeat fresh; a clean
// stop removes its record. With bt it is a swarm node too: it fetches the
// swarm resources the services ask for that it owns, and streams them.
// Prints "host ADDR NAME", then "ready" on stdout. Returns the process exit
// status.
int runHost(const HostNodeOptions &options);
