#pragma once

#include "hostnodes.h"

#include <QHash>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class Store;
class Swarm;

// Swarm resources fetched by swarm nodes (`host --bt`) for services that
// have no swarm of their own. A service records in the database which
// info-hashes it was asked about; the live swarm node that owns a hash
// (rendezvous hashing over the swarm nodes, as codes over the holders of a
// library file) fetches it, and the file list it stores reaches every
// service through the database. Should the owner go, the next node in the
// ranking owns the hash.

// The swarm node that owns an info-hash; empty when there is none.
QString swarmOwner(const QString &hash, const QStringList &swarmNodes);

// The service's side: asks for info-hashes and wakes the requests waiting
// for their file lists once the database has them.
class SwarmRequests
{
public:
    SwarmRequests(Store &store, std::chrono::milliseconds metadataWait);
    ~SwarmRequests();
    SwarmRequests(const SwarmRequests &) = delete;
    SwarmRequests &operator=(const SwarmRequests &) = delete;

    // How long a file list waits for a resource that is being fetched.
    std::chrono::milliseconds metadataWait() const { return m_metadataWait; }
    // Live swarm nodes, sorted.
    QStringList liveNodes() { return m_nodes.liveSwarmNodes(); }
    // Has the owner fetch the resource, or make it ready to play when it
    // already has it.
    void ask(const QString &hash);
    // Calls `wake` once, from another thread, when the resource is stored,
    // unless `limit` passes first.
    void await(const QString &hash, std::function<void()> wake, std::chrono::milliseconds limit);

private:
    using Clock = std::chrono::steady_clock;
    struct Waiter
    {
        QString hash;
        std::function<void()> wake;
        Clock::time_point until;
    };
    void run();

    Store &m_store;
    HostNodes m_nodes;
    const std::chrono::milliseconds m_metadataWait;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    std::vector<Waiter> m_waiters;
    std::thread m_thread;
};

// The swarm node's side: fetches the asked-for info-hashes it owns.
class SwarmNodeDuty
{
public:
    SwarmNodeDuty(Store &store, Swarm &swarm, QString name);
    // One look at what the services asked for lately; blocking.
    void poll();

private:
    Store &m_store;
    Swarm &m_swarm;
    HostNodes m_nodes;
    const QString m_name;
    QHash<QString, std::int64_t> m_handled; // info-hash: when it was asked
    int m_polls = 0;
};
