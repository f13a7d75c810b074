#include "postgresfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>

#include <libpq-fe.h>
#include <unistd.h>

namespace {

// The highest installed server version's tools (Debian keeps them out of PATH).
QString findBinDir()
{
    const QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QStringList names = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(),
        [](const QString &a, const QString &b) { return a.toDouble() > b.toDouble(); });
    for (const QString &name : names) {
        const QString bin = versions.filePath(name + QStringLiteral("/bin"));
        if (QFile::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    for (const QString &dir : qEnvironmentVariable("PATH").split(QLatin1Char(':'))) {
        if (!dir.isEmpty() && QFile::exists(dir + QStringLiteral("/pg_ctl")))
            return dir;
    }
    return {};
}

int freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

bool testsUsePostgres()
{
    return qEnvironmentVariable("TAVRION_TEST_DATABASE") == QLatin1String("postgresql");
}

PostgresCluster::~PostgresCluster()
{
    stop();
}

bool PostgresCluster::runTool(const QString &tool, const QStringList &arguments)
{
    QProcess process;
    // PostgreSQL will not run as root: then the tools run as nobody, from a
    // folder nobody may enter.
    if (geteuid() == 0) {
        process.setProgram(QStringLiteral("runuser"));
        process.setArguments(QStringList { QStringLiteral("-u"), QStringLiteral("nobody"),
                                 QStringLiteral("--"), m_binDir + QLatin1Char('/') + tool }
            + arguments);
    } else {
        process.setProgram(m_binDir + QLatin1Char('/') + tool);
        process.setArguments(arguments);
    }
    process.setWorkingDirectory(QStringLiteral("/"));
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start();
    const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (!ok) {
        m_reason = QStringLiteral("%1 failed: %2 %3")
                       .arg(tool, process.errorString(),
                           QString::fromLocal8Bit(process.readAll()).trimmed());
    }
    return ok;
}

bool PostgresCluster::start()
{
    if (m_running)
        return true;
    m_binDir = findBinDir();
    if (m_binDir.isEmpty()) {
        m_reason = QStringLiteral("no PostgreSQL server tools (initdb, pg_ctl) are installed");
        return false;
    }
    // Under /tmp, which nobody can reach whatever TMPDIR says.
    m_dir = std::make_unique<QTemporaryDir>(
        geteuid() == 0 ? QStringLiteral("/tmp/tavrion-pg-XXXXXX") : QString());
    if (!m_dir->isValid()) {
        m_reason = QStringLiteral("no temporary folder: ") + m_dir->errorString();
        return false;
    }
    if (geteuid() == 0 && chown(QFile::encodeName(m_dir->path()).constData(), 65534, 65534) != 0) {
        m_reason = QStringLiteral("cannot hand the temporary folder to nobody");
        return false;
    }
    const QString data = m_dir->filePath(QStringLiteral("data"));
    // A test that crashes never runs stop(): a watcher outside it stops the
    // cluster and removes its folder once this process is gone.
    const QString stopCommand
        = geteuid() == 0 ? QStringLiteral("runuser -u nobody -- ") : QString();
    QProcess::startDetached(QStringLiteral("/bin/sh"),
        { QStringLiteral("-c"),
            QStringLiteral("exec </dev/null >/dev/null 2>&1; cd /; "
                           "while kill -0 %1; do sleep 1; done; "
                           "%2'%3/pg_ctl' -D '%4' -m immediate -w stop; rm -rf '%5'")
                .arg(QCoreApplication::applicationPid())
                .arg(stopCommand, m_binDir, data, m_dir->path()) });
    if (!runTool(QStringLiteral("initdb"),
            { QStringLiteral("-D"), data, QStringLiteral("-A"), QStringLiteral("trust"),
                QStringLiteral("-U"), QStringLiteral("tavrion"), QStringLiteral("-E"),
                QStringLiteral("UTF8"), QStringLiteral("--no-sync") }))
        return false;
    // A port can be taken between the probe and the start: a few tries.
    for (int attempt = 0; attempt < 3 && !m_running; ++attempt) {
        m_port = freePort();
        const QString options = QStringLiteral("-k %1 -h 127.0.0.1 -p %2 -F -c max_connections=200")
                                    .arg(m_dir->path())
                                    .arg(m_port);
        m_running = runTool(QStringLiteral("pg_ctl"),
            { QStringLiteral("-D"), data, QStringLiteral("-l"),
                m_dir->filePath(QStringLiteral("server.log")), QStringLiteral("-o"), options,
                QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"),
                QStringLiteral("start") });
    }
    if (!m_running) {
        QFile log(m_dir->filePath(QStringLiteral("server.log")));
        if (log.open(QIODevice::ReadOnly))
            m_reason += QLatin1Char(' ') + QString::fromLocal8Bit(log.readAll()).trimmed();
    }
    return m_running;
}

void PostgresCluster::stop()
{
    if (!m_running)
        return;
    m_running = false;
    runTool(QStringLiteral("pg_ctl"),
        { QStringLiteral("-D"), m_dir->filePath(QStringLiteral("data")), QStringLiteral("-m"),
            QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop") });
}

QString PostgresCluster::url(const QString &database) const
{
    return QStringLiteral("postgresql://tavrion@127.0.0.1:%1/%2").arg(m_port).arg(database);
}

QString PostgresCluster::createDatabase(const QString &name, const QString &tablesFolder)
{
    const QString database = name.isEmpty() ? QStringLiteral("t%1").arg(++m_databases) : name;
    static const QRegularExpression plain(QStringLiteral("^[a-z_][a-z0-9_]*$"));
    if (!m_running || !plain.match(database).hasMatch()) {
        m_reason = QStringLiteral("cannot create database %1").arg(database);
        return {};
    }
    QStringList statements { QStringLiteral("CREATE DATABASE ") + database };
    if (!tablesFolder.isEmpty()) {
        const QByteArray folder = QFile::encodeName(tablesFolder);
        if (!QDir().mkpath(tablesFolder)
            || (geteuid() == 0 && chown(folder.constData(), 65534, 65534) != 0)) {
            m_reason = QStringLiteral("cannot prepare %1 for the cluster").arg(tablesFolder);
            return {};
        }
        QString location = tablesFolder;
        location.replace(QLatin1Char('\''), QStringLiteral("''"));
        statements.prepend(
            QStringLiteral("CREATE TABLESPACE %1_tables LOCATION '%2'").arg(database, location));
        statements.append(
            QStringLiteral("ALTER DATABASE %1 SET default_tablespace = %1_tables").arg(database));
    }
    PGconn *conn = PQconnectdb(url(QStringLiteral("postgres")).toUtf8().constData());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    for (const QString &statement : statements) {
        if (!ok)
            break;
        PGresult *result = PQexec(conn, statement.toUtf8().constData());
        ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
    }
    if (!ok)
        m_reason = QStringLiteral("cannot create database %1: %2")
                       .arg(database, QString::fromLocal8Bit(PQerrorMessage(conn)).trimmed());
    PQfinish(conn);
    return ok ? url(database) : QString();
}
