#pragma once

#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

// The real tavrion-server, started on free loopback ports for a test.
// start() returns once the server printed "ready"; the chosen addresses are
// then known. The process is stopped (SIGTERM) when this object goes away.
class ServerProcess
{
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // extraArguments go after "serve --data DIR --listen 127.0.0.1:0", e.g.
    // {"--host", "127.0.0.1:0", "--slow-host", "127.0.0.1:0"}.
    bool start(const QString &dataDir, const QStringList &extraArguments = {});
    // A video-host node: extraArguments go after "host --data DIR --listen
    // 127.0.0.1:0" (its name is then its address unless --name is given).
    bool startHost(const QString &dataDir, const QStringList &extraArguments = {});
    // Stops with SIGTERM and waits; true when it exited cleanly.
    bool stop();
    // Ends it at once (SIGKILL), as a machine that fails.
    void kill();

    // "http://127.0.0.1:<port>" of the service listener.
    QString baseAddress() const { return QStringLiteral("http://") + m_service; }
    QString serviceAddress() const { return m_service; }
    // "127.0.0.1:<port>" of each host listener, in command-line order.
    QStringList hostAddresses() const { return m_hosts; }
    QString errorOutput() const { return m_errors; }
    // The name a host node is named under in address replies.
    QString hostName() const { return m_hostName; }
    qint64 processId() const { return m_process.processId(); }

    // Runs an admin command ("add-user", "grant-vip", ...) of the same program
    // and returns its standard output; fails the calling test on a non-zero exit.
    static QString admin(const QStringList &arguments, bool *ok = nullptr);
    static QString program();

    // The database that every server and admin command started from now on
    // is given with --database (unless its arguments name one); empty: the
    // data folder's own file.
    static void setDatabase(const QString &url);
    static QString database();

private:
    bool launch(const QStringList &arguments);

    QProcess m_process;
    QString m_service;
    QStringList m_hosts;
    QString m_hostName;
    QString m_errors;
};

// The real tavrion-seeder seeding one torrent on a free loopback port.
// start() returns once it printed "ready"; it is stopped (SIGTERM) when this
// object goes away.
class SeederProcess
{
public:
    SeederProcess() = default;
    ~SeederProcess();
    SeederProcess(const SeederProcess &) = delete;
    SeederProcess &operator=(const SeederProcess &) = delete;

    // listenAddress "127.0.0.1:<port>"; empty: a free port.
    bool start(const QString &torrentPath, const QString &payloadDir,
        const QString &listenAddress = QString());
    // Stops with SIGTERM and waits; true when it exited cleanly.
    bool stop();
    // Ends it at once, as a peer that vanishes from the swarm.
    void kill();

    // The torrent's 40-hex info-hash and "127.0.0.1:<port>" it listens on.
    QString infoHash() const { return m_infoHash; }
    QString address() const { return m_address; }
    QString errorOutput() const { return m_errors; }

private:
    QProcess m_process;
    QString m_infoHash;
    QString m_address;
    QString m_errors;
};

// The swarm demo clip's .torrent that makeQuickDemoLibrary leaves in
// `dataDir` without adding it; its payload folder is the torrent's folder.
QString swarmDemoTorrent(const QString &dataDir);

// The ids that tools/make-demo-library lists in `dataDir`'s
// demo-resources.txt, by kind ("clip", "episodes", ...).
QMap<QString, QString> demoResources(const QString &dataDir);

// Makes the small demo library in `dataDir` with tools/make-demo-library and
// returns the clip's info-hash, or an empty text with the reason in `error`.
QString makeQuickDemoLibrary(const QString &dataDir, QString *error);
