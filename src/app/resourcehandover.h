#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

// Brings a resource named on the command line to the parse dialog. The copy
// that runs listens on a local socket in the user's runtime folder (owner
// only); a second start with a resource sends it there and ends quietly.
//
// Resources are held until setReady(): the first start's own argument and
// anything sent while the start-up routine still runs are parsed after it.
class ResourceHandover : public QObject
{
    Q_OBJECT

public:
    explicit ResourceHandover(QObject *parent = nullptr);
    ~ResourceHandover() override;

    // Where the running copy listens.
    static QString socketPath();

    // The text the parse dialog gets for a command-line argument: the
    // info-hash of a magnet link, the local path of a file URL, a relative
    // path made absolute against `workingDirectory`, else the argument as is.
    static QString resourceText(const QString &argument, const QString &workingDirectory);

    // Sends `text` to the running copy; true once that copy confirmed it.
    // Retries while the running copy is not yet listening, up to `timeoutMs`.
    static bool send(const QString &text, int timeoutMs = 10000);

    // Starts listening; false when the socket cannot be made (the program
    // then runs without hand-over).
    bool listen();

    // Queues `text`, or passes it on at once when ready.
    void deliver(const QString &text);
    // From now on resources are passed on as they come; queued ones first.
    void setReady();

signals:
    // Always emitted from the event loop, never inside deliver().
    void resourceReceived(const QString &text);

private:
    void acceptConnection();

    QLocalServer *m_server = nullptr;
    QStringList m_pending;
    bool m_ready = false;
};
