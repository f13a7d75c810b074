#include "library/downloadjob.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSet>
#include <QTimer>

namespace {

// Paths (targets and their ".tmp") of the jobs running in this process. All
// jobs live on the GUI thread, so a plain set does.
QSet<QString> &claimedPaths()
{
    static QSet<QString> paths;
    return paths;
}

QString claimKey(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

DownloadJob::DownloadJob(QSharedPointer<VideoFileInfo> fileInfo, QObject *parent)
    : QObject(parent)
    , m_fileInfo(std::move(fileInfo))
{
}

DownloadJob::~DownloadJob()
{
    if (m_state == State::Running) {
        blockSignals(true);
        cancel();
    }
}

QString DownloadJob::cleanFileName(const QString &name)
{
    QString cleaned;
    cleaned.reserve(name.size());
    const QString forbidden = QStringLiteral("\\/:*?\"<>|");
    // A control character has no place in a name, and a NUL would end the
    // path the system sees there: "ok.mp4\0x.tmp" would open "ok.mp4".
    for (const QChar c : name) {
        if (c.category() != QChar::Other_Control && !forbidden.contains(c))
            cleaned.append(c);
    }
    return cleaned;
}

QString DownloadJob::progressText(qint64 written, quint64 total)
{
    const double percent = total == 0 ? 0.0 : double(written) / double(total) * 100.0;
    return QString::number(percent, 'f', 2) + QLatin1Char('%');
}

QString DownloadJob::speedText(qint64 bytesPerSecond)
{
    const qint64 v = bytesPerSecond;
    qint64 number = v;
    QString unit = QStringLiteral("B/S");
    if (v >= 0x40000000) {
        number = v / 0x40000000;
        unit = QStringLiteral("GB/S");
    } else if (v >= 0x100000) {
        number = v / 0x100000;
        unit = QStringLiteral("MB/S");
    } else if (v >= 0x400) {
        number = v / 0x400;
        unit = QStringLiteral("KB/S");
    }
    return QString::number(double(number), 'f', 2) + unit;
}

bool DownloadJob::claim()
{
    const QString target = claimKey(m_targetPath);
    const QString temporary = claimKey(m_temporaryPath);
    QSet<QString> &paths = claimedPaths();
    if (paths.contains(target) || paths.contains(temporary))
        return false;
    paths.insert(target);
    paths.insert(temporary);
    m_claimed = true;
    return true;
}

void DownloadJob::start(const QString &folder)
{
    if (m_state != State::Waiting)
        return;
    m_state = State::Running;
    const QString name = cleanFileName(m_fileInfo->name);
    // "." and ".." name the folder or its parent, not a file in it.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        end(State::Failed, false);
        return;
    }
    m_targetPath = QDir::toNativeSeparators(QDir(folder).filePath(name));
    m_temporaryPath = m_targetPath + QStringLiteral(".tmp");
    if (!claim()) {
        end(State::Failed, false);
        return;
    }
    // A ".tmp" left by an earlier run of the program is stale: start afresh.
    // A link there goes too (not what it points to), dangling or not.
    const QFileInfo stale(m_temporaryPath);
    if ((stale.exists() || stale.isSymLink()) && !QFile::remove(m_temporaryPath)) {
        end(State::Failed, false);
        return;
    }
    // Always a file of our own: never data appended to, or written through a
    // link into, a file that was there before.
    m_file.setFileName(m_temporaryPath);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        end(State::Failed, false);
        return;
    }

    m_manager = new QNetworkAccessManager(this);
    QNetworkRequest request(QUrl(m_fileInfo->url));
    request.setRawHeader("Cookie", m_fileInfo->comCookie.toUtf8());
    m_reply = m_manager->get(request);
    // Without a bound the reply takes in data as fast as loopback delivers
    // it, far ahead of the disk (tens of MB); with it, the socket waits.
    m_reply->setReadBufferSize(ReadBufferBytes);
    connect(m_reply, &QNetworkReply::readyRead, this, &DownloadJob::reply_readyRead);
    connect(m_reply, &QNetworkReply::finished, this, &DownloadJob::reply_finished);

    m_speedTimer = new QTimer(this);
    connect(m_speedTimer, &QTimer::timeout, this, &DownloadJob::speedTimer_timeout);
    m_speedTimer->start(SpeedIntervalMs);
    m_intervalClock.start();
}

void DownloadJob::cancel()
{
    if (m_state != State::Running)
        return;
    stopTransfer();
    end(State::Cancelled, true);
}

void DownloadJob::stopTransfer()
{
    if (!m_reply)
        return;
    m_reply->disconnect(this);
    m_reply->abort();
    m_reply->deleteLater();
}

void DownloadJob::reply_readyRead()
{
    const QByteArray data = m_reply->readAll();
    // QFile buffers small writes: a full disk shows either here or at flush.
    if (m_file.write(data) != data.size() || !m_file.flush()) {
        stopTransfer();
        end(State::Failed, true);
        return;
    }
    m_written += data.size();
    emit progressed(m_written);
}

void DownloadJob::speedTimer_timeout()
{
    const qint64 elapsed = qMax<qint64>(1, m_intervalClock.restart());
    const qint64 bytes = m_written - m_intervalStartBytes;
    m_intervalStartBytes = m_written;
    emit speedChanged(bytes * 1000 / elapsed);
}

void DownloadJob::reply_finished()
{
    const bool received = m_reply->error() == QNetworkReply::NoError;
    m_reply->deleteLater();
    if (received && m_reply->bytesAvailable() > 0)
        reply_readyRead();
    if (m_state != State::Running)
        return;
    // A connection closed early without an error, or a size the service got
    // wrong, must not pass for the file.
    if (!received || quint64(m_written) != m_fileInfo->fileSize) {
        end(State::Failed, false);
        return;
    }
    m_file.close();
    if (m_file.error() != QFileDevice::NoError) {
        end(State::Failed, true);
        return;
    }
    if (QFile::exists(m_targetPath) && !QFile::remove(m_targetPath)) {
        end(State::Failed, false);
        return;
    }
    if (!QFile::rename(m_temporaryPath, m_targetPath)) {
        end(State::Failed, false);
        return;
    }
    end(State::Finished, false);
}

void DownloadJob::end(State state, bool removeTemporary)
{
    if (m_speedTimer)
        m_speedTimer->stop();
    if (m_file.isOpen())
        m_file.close();
    if (removeTemporary && !m_temporaryPath.isEmpty())
        QFile::remove(m_temporaryPath);
    if (m_claimed) {
        claimedPaths().remove(claimKey(m_targetPath));
        claimedPaths().remove(claimKey(m_temporaryPath));
        m_claimed = false;
    }
    m_state = state;
    emit finished(state == State::Finished);
}
