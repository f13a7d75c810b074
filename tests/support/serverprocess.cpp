#include "serverprocess.h"

#include "testdir.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>

namespace {

QString &databaseUrl()
{
    static QString url;
    return url;
}

QStringList withDatabase(const QStringList &arguments)
{
    if (databaseUrl().isEmpty() || arguments.contains(QStringLiteral("--database")))
        return arguments;
    return arguments + QStringList { QStringLiteral("--database"), databaseUrl() };
}

} // namespace

void ServerProcess::setDatabase(const QString &url)
{
    databaseUrl() = url;
}

QString ServerProcess::database()
{
    return databaseUrl();
}

ServerProcess::~ServerProcess()
{
    stop();
}

QString ServerProcess::program()
{
    return builtProgram(QStringLiteral("tavrion-server"));
}

bool ServerProcess::start(const QString &dataDir, const QStringList &extraArguments)
{
    return launch(QStringList { QStringLiteral("serve"), QStringLiteral("--data"), dataDir,
                      QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0") }
        + extraArguments);
}

bool ServerProcess::startHost(const QString &dataDir, const QStringList &extraArguments)
{
    return launch(QStringList { QStringLiteral("host"), QStringLiteral("--data"), dataDir,
                      QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0") }
        + extraArguments);
}

bool ServerProcess::launch(const QStringList &arguments)
{
    const bool node = arguments.first() == QLatin1String("host");
    m_service.clear();
    m_hosts.clear();
    m_hostName.clear();
    m_errors.clear();
    m_process.setProgram(program());
    m_process.setArguments(withDatabase(arguments));
    m_process.start();
    if (!m_process.waitForStarted(10000))
        return false;
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (!m_process.canReadLine() && !m_process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            const QStringList fields = line.split(QLatin1Char(' '));
            if (fields.value(0) == QLatin1String("service"))
                m_service = fields.value(1);
            else if (fields.value(0) == QLatin1String("host"))
                m_hosts.append(fields.value(1));
            if (node && fields.value(0) == QLatin1String("host"))
                m_hostName = fields.value(2);
            else if (line == QLatin1String("ready"))
                return node ? !m_hostName.isEmpty() : !m_service.isEmpty();
        }
    }
    m_errors = QString::fromUtf8(m_process.readAllStandardError());
    m_process.kill();
    m_process.waitForFinished(5000);
    return false;
}

bool ServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
        return false;
    }
    m_errors += QString::fromUtf8(m_process.readAllStandardError());
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

void ServerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

QString ServerProcess::admin(const QStringList &arguments, bool *ok)
{
    QProcess process;
    process.start(program(), withDatabase(arguments));
    const bool finished = process.waitForFinished(60000);
    const bool success
        = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (ok)
        *ok = success;
    else if (!success)
        qWarning("tavrion-server %s failed: %s", qPrintable(arguments.join(QLatin1Char(' '))),
            process.readAllStandardError().constData());
    return QString::fromUtf8(process.readAllStandardOutput());
}

SeederProcess::~SeederProcess()
{
    stop();
}

bool SeederProcess::start(
    const QString &torrentPath, const QString &payloadDir, const QString &listenAddress)
{
    m_infoHash.clear();
    m_address.clear();
    m_errors.clear();
    QStringList arguments { QStringLiteral("--torrent"), torrentPath, QStringLiteral("--payload"),
        payloadDir };
    if (!listenAddress.isEmpty())
        arguments << QStringLiteral("--listen") << listenAddress;
    m_process.start(builtProgram(QStringLiteral("tavrion-seeder")), arguments);
    if (!m_process.waitForStarted(10000))
        return false;
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (!m_process.canReadLine() && !m_process.waitForReadyRead(int(deadline.remainingTime())))
            break;
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            const QStringList fields = line.split(QLatin1Char(' '));
            if (fields.value(0) == QLatin1String("seeding")) {
                m_infoHash = fields.value(1);
                m_address = fields.value(2);
            } else if (line == QLatin1String("ready")) {
                return m_infoHash.size() == 40 && !m_address.isEmpty();
            }
        }
    }
    m_errors = QString::fromUtf8(m_process.readAllStandardError());
    kill();
    return false;
}

bool SeederProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        kill();
        return false;
    }
    m_errors += QString::fromUtf8(m_process.readAllStandardError());
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

void SeederProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

QString swarmDemoTorrent(const QString &dataDir)
{
    return dataDir + QStringLiteral("/swarm-demo/swarm-demo.torrent");
}

QString makeQuickDemoLibrary(const QString &dataDir, QString *error)
{
    QProcess make;
    make.start(QStringLiteral(TAVRION_SOURCE_DIR) + QStringLiteral("/tools/make-demo-library"),
        { QStringLiteral("--quick"), QStringLiteral("--server"), ServerProcess::program(),
            dataDir });
    if (!make.waitForFinished(120000) || make.exitCode() != 0) {
        *error = QString::fromUtf8(make.readAllStandardError());
        return QString();
    }
    const QString clip = demoResources(dataDir).value(QStringLiteral("clip"));
    if (clip.size() == 40)
        return clip;
    *error = QStringLiteral("no clip in demo-resources.txt");
    return QString();
}

QMap<QString, QString> demoResources(const QString &dataDir)
{
    QMap<QString, QString> resources;
    QFile list(dataDir + QStringLiteral("/demo-resources.txt"));
    if (list.open(QIODevice::ReadOnly)) {
        const QStringList lines
            = QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : lines)
            resources.insert(
                line.section(QLatin1Char(' '), 0, 0), line.section(QLatin1Char(' '), 1));
    }
    return resources;
}
