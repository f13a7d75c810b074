#include "app/resourcehandover.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <utility>

namespace {

// Longest message accepted; far more than any path or magnet link.
constexpr qint64 MaxMessageBytes = 64 * 1024;
// A peer that neither finishes its line nor goes away is dropped after this.
constexpr int PeerTimeoutMs = 5000;
const QByteArray Acknowledgement = QByteArrayLiteral("ok\n");

} // namespace

ResourceHandover::ResourceHandover(QObject *parent)
    : QObject(parent)
{
}

ResourceHandover::~ResourceHandover()
{
    if (m_server)
        m_server->close();
}

QString ResourceHandover::socketPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("tavrion-resource.socket"));
}

QString ResourceHandover::resourceText(const QString &argument, const QString &workingDirectory)
{
    const QString text = argument.trimmed();
    if (text.startsWith(QLatin1String("magnet:"), Qt::CaseInsensitive)) {
        // The display name may itself end in ".torrent", which would make the
        // whole link read as a file path: hand over only the hash.
        static const QRegularExpression btih(QStringLiteral("^urn:btih:([0-9a-fA-F]{40})$"),
            QRegularExpression::CaseInsensitiveOption);
        const QUrlQuery query(QUrl(text).query(QUrl::FullyEncoded));
        for (const QString &topic : query.allQueryItemValues(QStringLiteral("xt"))) {
            const QRegularExpressionMatch match = btih.match(topic);
            if (match.hasMatch())
                return match.captured(1);
        }
        return text;
    }
    if (text.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const QUrl url(text);
        if (url.isLocalFile())
            return url.toLocalFile();
        return text;
    }
    // A path is read by the running copy, whose working folder may differ.
    if (text.contains(QLatin1String(".torrent")) && QFileInfo(text).isRelative())
        return QDir::cleanPath(QDir(workingDirectory).absoluteFilePath(text));
    return text;
}

bool ResourceHandover::send(const QString &text, int timeoutMs)
{
    QByteArray message = text.toUtf8();
    message.replace('\n', ' ');
    message.append('\n');
    if (message.size() > MaxMessageBytes)
        return false;

    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (!socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
            // The running copy may still be on its way to listening.
            QThread::msleep(200);
            continue;
        }
        socket.write(message);
        if (!socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
            return false;
        QByteArray answer;
        while (answer.size() < Acknowledgement.size()
            && socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            answer += socket.readAll();
        return answer.startsWith(Acknowledgement);
    }
    return false;
}

bool ResourceHandover::listen()
{
    if (m_server)
        return m_server->isListening();
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // This copy holds the single-instance lock, so a socket left behind can
    // only be a dead copy's.
    QLocalServer::removeServer(socketPath());
    connect(m_server, &QLocalServer::newConnection, this, &ResourceHandover::acceptConnection);
    return m_server->listen(socketPath());
}

void ResourceHandover::deliver(const QString &text)
{
    if (text.isEmpty())
        return;
    m_pending.append(text);
    if (m_ready)
        setReady();
}

void ResourceHandover::setReady()
{
    m_ready = true;
    const QStringList pending = std::exchange(m_pending, {});
    for (const QString &text : pending) {
        // Queued: the receiver may run a local event loop, and the socket
        // that brought the text must first finish its own handling.
        QMetaObject::invokeMethod(
            this, [this, text] { emit resourceReceived(text); }, Qt::QueuedConnection);
    }
}

void ResourceHandover::acceptConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(PeerTimeoutMs, socket, &QLocalSocket::abort);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > MaxMessageBytes)
                    socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(MaxMessageBytes + 1);
            if (line.size() > MaxMessageBytes) {
                socket->abort();
                return;
            }
            socket->write(Acknowledgement);
            socket->disconnectFromServer();
            deliver(QString::fromUtf8(line).trimmed());
        });
    }
}
