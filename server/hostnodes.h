#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>

class Store;

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
    // never held: only the swarm streams them.
    QVector<std::int64_t> scanHeldFiles();
    // Records the node as alive and holding these files (replacing what it
    // recorded before), in one transaction.
    void announce(const QString &name, const QVector<std::int64_t> &files);
    // Refreshes the heartbeat; false when the node's record is gone, so that
    // it announces itself again.
    bool heartbeat(const QString &name);
    // Forgets the node at once (a clean stop).
    void withdraw(const QString &name);

    // Names of the nodes alive now, sorted.
    QStringList liveNodes();
    // Names of the nodes alive now that hold the file, sorted.
    QStringList liveHolders(std::int64_t fileId);

private:
    Store &m_store;
};

// The holder an address with this code names: the one that ranks highest
// for the code (rendezvous hashing). Every API process picks the same node
// for a code without any shared state, codes spread evenly over the
// holders, and a node that leaves moves only the codes it had. Empty when
// there are no holders.
QString pickHolder(const QString &code, const QStringList &holders);
