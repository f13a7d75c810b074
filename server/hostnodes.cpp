#include "hostnodes.h"

#include "store.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

std::int64_t nowMilliseconds()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// FNV-1a over the bytes, then a finaliser so that names differing in one
// character rank independently.
std::uint64_t rank(const QByteArray &code, const QByteArray &name)
{
    std::uint64_t hash = 14695981039346656037ULL;
    const auto add = [&hash](const QByteArray &bytes) {
        for (const char c : bytes) {
            hash ^= std::uint8_t(c);
            hash *= 1099511628211ULL;
        }
    };
    add(code);
    add(QByteArray(1, '\0'));
    add(name);
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    hash ^= hash >> 33;
    hash *= 0xc4ceb9fe1a85ec53ULL;
    hash ^= hash >> 33;
    return hash;
}

} // namespace

CopyStamp stampOf(const struct stat &status)
{
    return { std::int64_t(status.st_size),
        std::int64_t(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec };
}

LocalCopies::LocalCopies(const QString &libraryFolder)
    : m_root(QFileInfo(libraryFolder).canonicalFilePath())
{
}

bool LocalCopies::confined(const QString &path) const
{
    const QString real = QFileInfo(path).canonicalFilePath();
    return !m_root.isEmpty() && real.startsWith(m_root + QLatin1Char('/'));
}

void LocalCopies::found(const QHash<std::int64_t, CopyStamp> &copies)
{
    std::lock_guard guard(m_mutex);
    QHash<std::int64_t, CopyStamp> recorded;
    for (auto copy = copies.begin(); copy != copies.end(); ++copy)
        recorded.insert(copy.key(), m_recorded.value(copy.key(), copy.value()));
    m_recorded = std::move(recorded);
}

LocalCopies::State LocalCopies::state(std::int64_t id, const CopyStamp &now) const
{
    std::lock_guard guard(m_mutex);
    const auto refused = m_refused.constFind(id);
    if (refused != m_refused.constEnd() && *refused == now)
        return State::Refused;
    return m_recorded.value(id) == now ? State::Recorded : State::Changed;
}

void LocalCopies::checked(std::int64_t id, const CopyStamp &now, bool libraryBytes)
{
    std::lock_guard guard(m_mutex);
    if (libraryBytes) {
        m_recorded.insert(id, now);
        m_refused.remove(id);
    } else {
        m_refused.insert(id, now);
    }
}

HostNodes::HostNodes(Store &store)
    : m_store(store)
{
}

QVector<std::int64_t> HostNodes::scanHeldFiles(LocalCopies *copies)
{
    struct Candidate
    {
        std::int64_t id;
        QString path;
        std::int64_t size;
    };
    QVector<Candidate> candidates;
    {
        const ConnectionPool::Lease lease = m_store.database().lease();
        Database &db = *lease;
        Statement query(db, "SELECT id, path, size FROM files WHERE swarm_id = '' ORDER BY id");
        while (query.next())
            candidates.append({ query.integer(0), query.text(1), query.integer(2) });
    }
    QVector<std::int64_t> held;
    QHash<std::int64_t, CopyStamp> stamps;
    for (const Candidate &candidate : candidates) {
        const QString path = m_store.absolutePath(candidate.path);
        const QFileInfo info(path);
        if (!info.isFile() || info.size() != candidate.size)
            continue;
        if (copies) {
            struct stat status;
            if (::stat(QFile::encodeName(path).constData(), &status) != 0)
                continue;
            const CopyStamp stamp = stampOf(status);
            if (!copies->confined(path)
                || copies->state(candidate.id, stamp) == LocalCopies::State::Refused)
                continue;
            stamps.insert(candidate.id, stamp);
        }
        held.append(candidate.id);
    }
    if (copies)
        copies->found(stamps);
    return held;
}

void HostNodes::announce(const QString &name, const QVector<std::int64_t> &files, bool swarm)
{
    const ConnectionPool::Lease lease = m_store.database().lease();
    Database &db = *lease;
    Transaction transaction(db);
    Statement node(db,
        "INSERT INTO host_nodes (name, seen, swarm) VALUES (?, ?, ?) "
        "ON CONFLICT (name) DO UPDATE SET seen = excluded.seen, swarm = excluded.swarm");
    node.bind(1, name).bind(2, nowMilliseconds()).bind(3, std::int64_t(swarm)).run();
    Statement forget(db, "DELETE FROM host_files WHERE host = ?");
    forget.bind(1, name).run();
    // A file removed from the library meanwhile is skipped, not an error.
    for (const std::int64_t id : files) {
        Statement insert(
            db, "INSERT INTO host_files (host, file_id) SELECT ?, id FROM files WHERE id = ?");
        insert.bind(1, name).bind(2, id).run();
    }
    transaction.commit();
}

bool HostNodes::heartbeat(const QString &name)
{
    const ConnectionPool::Lease lease = m_store.database().lease();
    Database &db = *lease;
    Statement update(db, "UPDATE host_nodes SET seen = ? WHERE name = ?");
    update.bind(1, nowMilliseconds()).bind(2, name).run();
    return db.changes() == 1;
}

void HostNodes::withdraw(const QString &name)
{
    const ConnectionPool::Lease lease = m_store.database().lease();
    Database &db = *lease;
    Transaction transaction(db);
    Statement files(db, "DELETE FROM host_files WHERE host = ?");
    files.bind(1, name).run();
    Statement node(db, "DELETE FROM host_nodes WHERE name = ?");
    node.bind(1, name).run();
    transaction.commit();
}

QStringList HostNodes::liveNodes()
{
    return liveNames("SELECT name FROM host_nodes WHERE seen > ? ORDER BY name");
}

QStringList HostNodes::liveSwarmNodes()
{
    return liveNames("SELECT name FROM host_nodes WHERE seen > ? AND swarm = 1 ORDER BY name");
}

QStringList HostNodes::liveNames(const char *sql)
{
    const ConnectionPool::Lease lease = m_store.database().lease();
    Statement query(*lease, sql);
    query.bind(1, nowMilliseconds() - StaleMilliseconds);
    QStringList names;
    while (query.next())
        names.append(query.text(0));
    return names;
}

QStringList HostNodes::liveHolders(std::int64_t fileId)
{
    const ConnectionPool::Lease lease = m_store.database().lease();
    Database &db = *lease;
    Statement query(db,
        "SELECT host_nodes.name FROM host_files "
        "JOIN host_nodes ON host_nodes.name = host_files.host "
        "WHERE host_files.file_id = ? AND host_nodes.seen > ? ORDER BY host_nodes.name");
    query.bind(1, fileId).bind(2, nowMilliseconds() - StaleMilliseconds);
    QStringList names;
    while (query.next())
        names.append(query.text(0));
    return names;
}

QString pickHolder(const QString &code, const QStringList &holders)
{
    const QByteArray codeBytes = code.toUtf8();
    QString best;
    std::uint64_t bestRank = 0;
    for (const QString &holder : holders) {
        const std::uint64_t score = rank(codeBytes, holder.toUtf8());
        if (best.isEmpty() || score > bestRank) {
            best = holder;
            bestRank = score;
        }
    }
    return best;
}
