#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>
#include <mutex>

class Store;
struct stat;

// A file's size and modification time, as a node last saw them.
struct CopyStamp
{
    std::int64_t size = -1;
    std::int64_t modifiedNs = 0;
    bool operator==(const CopyStamp &other) const
    {
        return size == other.size && modifiedNs == other.modifiedNs;
    }
};

CopyStamp stampOf(const struct stat &status);

// What a node knows of the copies in its library folder, shared by its scans
// and its request threads: the stamp each copy had when the node found it,
// and the copies whose bytes turned out not to be the library's.
class LocalCopies
{
public:
    explicit LocalCopies(const QString &libraryFolder);

    // True when the file's real path, links resolved, is inside the library
    // folder.
    bool confined(const QString &path) const;
    // The copies a scan found, by file id: new ones are recorded with their
    // stamp, known ones keep the stamp they were recorded or checked with.
    void found(const QHash<std::int64_t, CopyStamp> &copies);
    enum class State { Recorded, Changed, Refused };
    State state(std::int64_t id, const CopyStamp &now) const;
    // The outcome of hashing a changed copy again.
    void checked(std::int64_t id, const CopyStamp &now, bool libraryBytes);

private:
    QString m_root;
    mutable std::mutex m_mutex;
    QHash<std::int64_t, CopyStamp> m_recorded;
    QHash<std::int64_t, CopyStamp> m_refused;
};

// Video-host nodes: processes, on this machine or others, that share the
// service's database and stream the library files found in their own data
// folders. A node refreshes its heartbeat every HeartbeatMilliseconds while
// it runs; one not heard from for StaleMilliseconds is taken as gone (the
// machines' clocks are expected to agree to well within that).
class HostNodes
{
public:
    static constexpr std::int64_t HeartbeatMilliseconds = 2000;
    static constexpr std::int64_t StaleMilliseconds = 6000;

    explicit HostNodes(Store &store);

    // The library files present in the store's data folder under their
    // recorded path and with their recorded size, by id. Swarm files are
    // never held: only the swarm streams them. With `copies`, files whose
    // real path leaves the library folder or that were refused since are
    // not held either, and the stamps of those held are recorded there.
    QVector<std::int64_t> scanHeldFiles(LocalCopies *copies = nullptr);
    // Records the node as alive and holding these files (replacing what it
    // recorded before), in one transaction; `swarm`: it also fetches and
    // streams swarm resources.
    void announce(const QString &name, const QVector<std::int64_t> &files, bool swarm = false);
    // Refreshes the heartbeat; false when the node's record is gone, so that
    // it announces itself again.
    bool heartbeat(const QString &name);
    // Forgets the node at once (a clean stop).
    void withdraw(const QString &name);

    // Names of the nodes alive now, sorted.
    QStringList liveNodes();
    // Names of the nodes alive now that hold the file, sorted.
    QStringList liveHolders(std::int64_t fileId);
    // Names of the nodes alive now that fetch swarm resources, sorted.
    QStringList liveSwarmNodes();

private:
    // The first column of a query whose one parameter is the oldest live
    // heartbeat.
    QStringList liveNames(const char *sql);

    Store &m_store;
};

// The holder an address with this code names: the one that ranks highest
// for the code (rendezvous hashing). Every API process picks the same node
// for a code without any shared state, codes spread evenly over the
// holders, and a node that leaves moves only the codes it had. Empty when
// there are no holders.
QString pickHolder(const QString &code, const QStringList &holders);
