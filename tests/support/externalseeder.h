#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

enum class SeederClient { Aria2, Transmission };

// A BitTorrent client nobody here wrote, seeding torrents on a loopback port
// with DHT, local discovery, port mapping and peer exchange off.
class ExternalSeeder
{
public:
    ~ExternalSeeder() { stop(); }

    // Returns once the client listens. `verified` false: aria2 seeds the
    // payload as it is, corrupt or not. `port` 0: a free one.
    bool start(SeederClient client, const QStringList &torrents, const QString &payload,
        const QString &work, bool verified = true, quint16 port = 0);
    void kill();
    void stop();
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }

    static quint16 freePort();

private:
    QProcess m_process;
    quint16 m_port = 0;
};
