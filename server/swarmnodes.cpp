#include "swarmnodes.h"

#include "store.h"
#include "swarm.h"

#include <QDateTime>
#include <QSet>

#include <cstdio>

namespace {

// A file list waits seconds for its resource: an ask older than a minute
// has been answered, and its row goes.
constexpr std::int64_t AskLifetimeMilliseconds = 60000;
constexpr auto WatchInterval = std::chrono::milliseconds(25);
// Polls between two prunings of old asks, at the node loop's pace.
constexpr int PollsPerPrune = 200;

} // namespace

QString swarmOwner(const QString &hash, const QStringList &swarmNodes)
{
    return pickHolder(hash, swarmNodes);
}

SwarmRequests::SwarmRequests(Store &store, std::chrono::milliseconds metadataWait)
    : m_store(store)
    , m_nodes(store)
    , m_metadataWait(metadataWait)
    , m_thread([this] { run(); })
{
}

SwarmRequests::~SwarmRequests()
{
    {
        std::lock_guard guard(m_mutex);
        m_stopping = true;
        m_changed.notify_all();
    }
    m_thread.join();
}

void SwarmRequests::ask(const QString &hash)
{
    const ConnectionPool::Lease lease = m_store.database().lease();
    Statement upsert(*lease,
        "INSERT INTO swarm_wanted (hash, asked) VALUES (?, ?) "
        "ON CONFLICT (hash) DO UPDATE SET asked = excluded.asked");
    upsert.bind(1, hash).bind(2, QDateTime::currentMSecsSinceEpoch()).run();
}

void SwarmRequests::await(
    const QString &hash, std::function<void()> wake, std::chrono::milliseconds limit)
{
    std::lock_guard guard(m_mutex);
    m_waiters.push_back({ hash, std::move(wake), Clock::now() + limit });
    m_changed.notify_all();
}

void SwarmRequests::run()
{
    std::unique_lock guard(m_mutex);
    while (!m_stopping) {
        if (m_waiters.empty()) {
            m_changed.wait(guard);
            continue;
        }
        m_changed.wait_for(guard, WatchInterval);
        QSet<QString> hashes;
        for (const Waiter &waiter : m_waiters)
            hashes.insert(waiter.hash);
        guard.unlock();
        QSet<QString> stored;
        try {
            for (const QString &hash : hashes) {
                if (m_store.resourceExists(hash))
                    stored.insert(hash);
            }
        } catch (const DatabaseError &error) {
            fprintf(stderr, "tavrion-server: swarm nodes: %s\n", error.what());
        }
        guard.lock();
        // Requests whose limit passed were answered already: their wake
        // functions go uncalled.
        std::vector<std::function<void()>> ready;
        const auto now = Clock::now();
        for (auto it = m_waiters.begin(); it != m_waiters.end();) {
            if (stored.contains(it->hash))
                ready.push_back(std::move(it->wake));
            if (stored.contains(it->hash) || it->until <= now)
                it = m_waiters.erase(it);
            else
                ++it;
        }
        guard.unlock();
        for (const auto &wake : ready)
            wake();
        guard.lock();
    }
}

SwarmNodeDuty::SwarmNodeDuty(Store &store, Swarm &swarm, QString name)
    : m_store(store)
    , m_swarm(swarm)
    , m_nodes(store)
    , m_name(std::move(name))
{
}

void SwarmNodeDuty::poll()
{
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    QHash<QString, std::int64_t> asked;
    {
        const ConnectionPool::Lease lease = m_store.database().lease();
        if (++m_polls % PollsPerPrune == 0) {
            Statement prune(*lease, "DELETE FROM swarm_wanted WHERE asked < ?");
            prune.bind(1, now - AskLifetimeMilliseconds).run();
        }
        Statement query(*lease, "SELECT hash, asked FROM swarm_wanted WHERE asked >= ?");
        query.bind(1, now - AskLifetimeMilliseconds);
        while (query.next())
            asked.insert(query.text(0), query.integer(1));
    }
    QStringList nodes;
    bool nodesRead = false;
    for (auto it = asked.constBegin(); it != asked.constEnd(); ++it) {
        if (m_handled.value(it.key(), -1) == it.value())
            continue;
        if (!nodesRead) {
            nodes = m_nodes.liveSwarmNodes();
            nodesRead = true;
        }
        // Until every node sees this one alive, another may own the hash for
        // a moment: each fetches what it takes to own, at worst both.
        if (swarmOwner(it.key(), nodes) != m_name)
            continue;
        // Known from the cache folder: stored as such, so that the fetch
        // below makes it ready to play at once.
        m_swarm.storeSaved(it.key());
        m_swarm.fetchMetadata(it.key(), [] {});
    }
    m_handled = std::move(asked);
}
