#pragma once

#include "resource/videofileinfo.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QPointer>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Fetches one resolved video file into a folder. The data goes to
// "<target>.tmp" first, which is flushed at every read so that nothing is
// held in memory beyond one read, and is renamed to the target only when the
// whole file has arrived. A job that fails leaves no half file under the
// target name; a cancelled job, or one whose disk is full, also removes its
// ".tmp". Two jobs never write the same target at once: while one runs, a
// second one for the same path fails at start without touching anything.
class DownloadJob : public QObject
{
    Q_OBJECT

public:
    enum class State { Waiting, Running, Finished, Failed, Cancelled };
    Q_ENUM(State)

    explicit DownloadJob(QSharedPointer<VideoFileInfo> fileInfo, QObject *parent = nullptr);
    // A job destroyed while running is cancelled, silently.
    ~DownloadJob() override;

    // Starts the transfer into folder. Ends at once (finished(false)) when
    // the name is empty, "." or ".." after cleaning, the target is already being written
    // by another job, or the temporary file cannot be created.
    void start(const QString &folder);
    // Stops a running transfer and removes its temporary file; nothing
    // happens once the job has ended.
    void cancel();

    State state() const { return m_state; }
    QString targetPath() const { return m_targetPath; }
    QString temporaryPath() const { return m_temporaryPath; }
    qint64 bytesWritten() const { return m_written; }

    // The file name without the characters \ / : * ? " < > | and without
    // control characters.
    static QString cleanFileName(const QString &name);
    // "12.34%": written against the size the service reported.
    static QString progressText(qint64 written, quint64 total);
    // The program's one formatter of transfer speeds: "1.00KB/S", "0.00B/S".
    static QString speedText(qint64 bytesPerSecond);

    // The most the reply holds before the job reads it: one read.
    static constexpr qint64 ReadBufferBytes = 256 * 1024;
    // How often the speed is measured, over the bytes of that interval only.
    static constexpr int SpeedIntervalMs = 1000;

signals:
    void progressed(qint64 written);
    void speedChanged(qint64 bytesPerSecond);
    void finished(bool succeeded);

private:
    void reply_readyRead();
    void reply_finished();
    void speedTimer_timeout();
    // Ends the job once: closes the file, removes it when asked, gives the
    // target back to other jobs and reports.
    void end(State state, bool removeTemporary);
    void stopTransfer();
    bool claim();

    QSharedPointer<VideoFileInfo> m_fileInfo;
    State m_state = State::Waiting;
    QString m_targetPath;
    QString m_temporaryPath;
    QFile m_file;
    QNetworkAccessManager *m_manager = nullptr;
    QPointer<QNetworkReply> m_reply;
    QTimer *m_speedTimer = nullptr;
    QElapsedTimer m_intervalClock;
    qint64 m_written = 0;
    qint64 m_intervalStartBytes = 0;
    bool m_claimed = false;
};
