#include "externalseeder.h"

#include "testdir.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

bool waitForListener(quint16 port, int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(500))
            return true;
        QThread::msleep(100);
    }
    return false;
}

} // namespace

quint16 ExternalSeeder::freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool ExternalSeeder::start(SeederClient client, const QStringList &torrents, const QString &payload,
    const QString &work, bool verified, quint16 port)
{
    m_port = port != 0 ? port : freePort();
    if (client == SeederClient::Aria2) {
        m_process.setProgram(QStringLiteral("aria2c"));
        m_process.setArguments(
            QStringList { "--no-conf", "--enable-dht=false", "--enable-dht6=false",
                "--bt-enable-lpd=false", "--enable-peer-exchange=false", "--disable-ipv6",
                "--interface=127.0.0.1", QStringLiteral("--listen-port=%1").arg(m_port),
                "--seed-ratio=0.0", "--summary-interval=0", "--console-log-level=warn",
                "--file-allocation=none", "--bt-tracker-interval=1",
                verified ? "--check-integrity=true" : "--bt-seed-unverified=true",
                "--dir=" + payload }
            + torrents);
    } else {
        // Transmission adds what its watch folder holds when it starts.
        const QString config = work + QStringLiteral("/config");
        const QString watch = work + QStringLiteral("/watch");
        QDir().mkpath(config);
        QDir().mkpath(watch);
        for (int i = 0; i < torrents.size(); ++i)
            QFile::copy(torrents.at(i), watch + QStringLiteral("/seed-%1.torrent").arg(i));
        const QJsonObject settings { { "bind-address-ipv4", "127.0.0.1" },
            { "bind-address-ipv6", "::1" }, { "dht-enabled", false }, { "lpd-enabled", false },
            { "pex-enabled", false }, { "utp-enabled", false },
            { "port-forwarding-enabled", false }, { "peer-port", m_port },
            { "peer-port-random-on-start", false }, { "rpc-enabled", false },
            { "ratio-limit-enabled", false }, { "download-dir", payload }, { "watch-dir", watch },
            { "watch-dir-enabled", true }, { "start-added-torrents", true },
            { "message-level", 1 } };
        if (!writeFileBytes(
                config + QStringLiteral("/settings.json"), QJsonDocument(settings).toJson()))
            return false;
        m_process.setProgram(QStringLiteral("transmission-daemon"));
        m_process.setArguments({ "--foreground", "--config-dir", config });
    }
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.start();
    return m_process.waitForStarted(10000) && waitForListener(m_port, 20000);
}

void ExternalSeeder::kill()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

void ExternalSeeder::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000))
        kill();
}
