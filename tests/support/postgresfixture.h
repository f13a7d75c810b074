#pragma once

#include <QString>
#include <QTemporaryDir>

#include <memory>

// A PostgreSQL cluster of its own in a temporary folder, listening on a free
// loopback port, made with the installed initdb and pg_ctl. As root the
// server runs as "nobody" (PostgreSQL refuses to run as root). Connections
// need no password. The cluster stops when this object goes away.
//
//   PostgresCluster cluster;
//   if (!cluster.start())
//       QSKIP(qPrintable(cluster.reason()));
//   const QString url = cluster.createDatabase();   // postgresql://...
class PostgresCluster
{
public:
    PostgresCluster() = default;
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster &) = delete;
    PostgresCluster &operator=(const PostgresCluster &) = delete;

    // Makes and starts the cluster; false with reason() when it cannot.
    bool start();
    void stop();
    bool isRunning() const { return m_running; }
    // Why start() or createDatabase() failed: the tools' own messages.
    QString reason() const { return m_reason; }
    int port() const { return m_port; }

    // A new empty database; its URL, or an empty text with reason() set.
    // Without a name, the next of "t1", "t2", ... With tablesFolder, the
    // tables made in it are kept in that folder (e.g. on a small disk).
    QString createDatabase(
        const QString &name = QString(), const QString &tablesFolder = QString());
    QString url(const QString &database) const;

private:
    bool runTool(const QString &tool, const QStringList &arguments);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_binDir;
    QString m_reason;
    int m_port = 0;
    int m_databases = 0;
    bool m_running = false;
};

// The back end the server suites run against, from TAVRION_TEST_DATABASE:
// "postgresql", or SQLite (the data folder's file) when unset or anything else.
bool testsUsePostgres();

// In a server suite's initTestCase: against PostgreSQL, starts `cluster` and
// makes a new database of it the one every ServerProcess is given; skips
// the suite when no cluster starts. Against SQLite it does nothing.
#define USE_TEST_DATABASE(cluster)                                                                 \
    do {                                                                                           \
        if (testsUsePostgres()) {                                                                  \
            if (!(cluster).start())                                                                \
                QSKIP(qPrintable((cluster).reason()));                                             \
            const QString databaseUrl_ = (cluster).createDatabase();                               \
            QVERIFY2(!databaseUrl_.isEmpty(), qPrintable((cluster).reason()));                     \
            ServerProcess::setDatabase(databaseUrl_);                                              \
        }                                                                                          \
    } while (false)
