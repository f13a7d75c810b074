#include "recipenginx.h"

#include "testdir.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>

namespace {

// Where the recipe's nginx lines expect the service's certificate and key.
const QString RecipeCertificateFolder = QStringLiteral("/etc/tavrion/tls/");

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

bool TestAuthority::openssl(const QString &command)
{
    const QStringList arguments = command.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QProcess process;
    process.setWorkingDirectory(m_folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0)
        return true;
    m_reason = QStringLiteral("openssl %1: %2 %3")
                   .arg(command, process.errorString(), QString::fromLocal8Bit(process.readAll()));
    return false;
}

bool TestAuthority::create(const QString &folder)
{
    m_folder = folder;
    // A server certificate must not be an authority and must name the
    // addresses it is reached under.
    if (!writeFileBytes(m_folder + QStringLiteral("/server.ext"),
            "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
            "subjectAltName=IP:127.0.0.1,DNS:localhost\n")) {
        m_reason = QStringLiteral("cannot write into ") + folder;
        return false;
    }
    const QString key = QStringLiteral(" -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ");
    return openssl(QStringLiteral("req -x509") + key
               + QStringLiteral("-days 2 -keyout authority.key -out authority.pem "
                                "-subj /CN=tavrion-test-authority"))
        && openssl(QStringLiteral("req") + key
            + QStringLiteral("-keyout privkey.pem -out server.csr -subj /CN=127.0.0.1"))
        && openssl(
            QStringLiteral("x509 -req -in server.csr -CA authority.pem -CAkey authority.key "
                           "-CAcreateserial -days 2 -extfile server.ext -out fullchain.pem"));
}

RecipeNginx::~RecipeNginx()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }
}

QString RecipeNginx::program()
{
    return QStandardPaths::findExecutable(QStringLiteral("nginx"),
        { QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin") });
}

QString RecipeNginx::recipeFile(const QString &name)
{
    return QStringLiteral(TAVRION_SOURCE_DIR "/deploy/") + name;
}

void RecipeNginx::mapAddresses(const QString &text)
{
    static const QRegularExpression addressPattern(
        QStringLiteral("\\b(127\\.\\d+\\.\\d+\\.\\d+):(\\d+)\\b"));
    for (auto match = addressPattern.globalMatch(text); match.hasNext();) {
        const QRegularExpressionMatch found = match.next();
        if (m_addresses.contains(found.captured(0)))
            continue;
        QTcpServer probe;
        probe.listen(QHostAddress(found.captured(1)), 0);
        m_addresses.insert(found.captured(0),
            found.captured(1) + QLatin1Char(':') + QString::number(probe.serverPort()));
    }
}

QString RecipeNginx::mapped(QString text) const
{
    for (auto address = m_addresses.constBegin(); address != m_addresses.constEnd(); ++address)
        text.replace(address.key(), address.value());
    return text;
}

bool RecipeNginx::start(const QString &folder, const TestAuthority &authority)
{
    const QString nginx = program();
    if (nginx.isEmpty()) {
        m_reason = QStringLiteral("nginx is not installed");
        return false;
    }
    QString config = readText(recipeFile(QStringLiteral("nginx/tavrion.conf")));
    mapAddresses(config);
    config = mapped(config).replace(RecipeCertificateFolder, authority.folder() + QLatin1Char('/'));

    // nginx's own main file stands in for the system's, which includes the
    // recipe's file in its http block.
    const QString prefix = QDir(folder).absolutePath() + QLatin1Char('/');
    const QByteArray main = "daemon off;\nworker_processes 1;\npid " + prefix.toUtf8()
        + "nginx.pid;\nevents { worker_connections 1024; }\nhttp {\n    access_log off;\n"
        + "    client_body_temp_path body;\n    proxy_temp_path proxy;\n"
        + "    fastcgi_temp_path fastcgi;\n    uwsgi_temp_path uwsgi;\n"
        + "    scgi_temp_path scgi;\n    include " + prefix.toUtf8() + "tavrion.conf;\n}\n";
    if (!writeFileBytes(prefix + QStringLiteral("tavrion.conf"), config.toUtf8())
        || !writeFileBytes(prefix + QStringLiteral("nginx.conf"), main)) {
        m_reason = QStringLiteral("cannot write into ") + folder;
        return false;
    }
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    m_process.start(nginx,
        { QStringLiteral("-p"), prefix, QStringLiteral("-c"), prefix + QStringLiteral("nginx.conf"),
            QStringLiteral("-e"), prefix + QStringLiteral("error.log") });
    // nginx writes its pid file once every listener is open.
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
        if (QFile::exists(prefix + QStringLiteral("nginx.pid")))
            return true;
        m_process.waitForFinished(50);
    }
    m_reason
        = QStringLiteral("nginx did not start: ") + readText(prefix + QStringLiteral("error.log"));
    return false;
}
