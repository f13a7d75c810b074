#include "throttle.h"

#include "database.h"

#include <QString>

#include <algorithm>

namespace {

// Keys are dropped once they are stale and the table has grown this large,
// so a flood of new keys cannot grow it without end.
constexpr std::size_t SweepSize = 4096;

} // namespace

FailureThrottle::FailureThrottle(
    int freeFailures, std::int64_t firstDelay, std::int64_t maxDelay, std::int64_t forget)
    : m_freeFailures(freeFailures)
    , m_firstDelay(firstDelay)
    , m_maxDelay(maxDelay)
    , m_forget(forget)
{
}

std::int64_t FailureThrottle::wait(const std::string &key, std::int64_t now)
{
    std::lock_guard guard(m_mutex);
    const auto found = m_entries.find(key);
    if (found == m_entries.end())
        return 0;
    if (now - found->second.last >= m_forget) {
        m_entries.erase(found);
        return 0;
    }
    return std::max<std::int64_t>(0, found->second.allowedAt - now);
}

void FailureThrottle::fail(const std::string &key, std::int64_t now)
{
    std::lock_guard guard(m_mutex);
    if (m_entries.size() >= SweepSize)
        sweep(now);
    Entry &entry = m_entries[key];
    if (entry.failures > 0 && now - entry.last >= m_forget)
        entry = Entry();
    ++entry.failures;
    entry.last = now;
    const int over = entry.failures - m_freeFailures;
    if (over > 0) {
        std::int64_t delay = m_firstDelay;
        for (int i = 1; i < over && delay < m_maxDelay; ++i)
            delay *= 2;
        entry.allowedAt = now + std::min(delay, m_maxDelay);
    }
}

void FailureThrottle::succeed(const std::string &key)
{
    std::lock_guard guard(m_mutex);
    m_entries.erase(key);
}

void FailureThrottle::sweep(std::int64_t now)
{
    for (auto entry = m_entries.begin(); entry != m_entries.end();) {
        if (now - entry->second.last >= m_forget)
            entry = m_entries.erase(entry);
        else
            ++entry;
    }
}

RateLimit::RateLimit(int count, std::int64_t window)
    : m_count(count)
    , m_window(window)
{
}

bool RateLimit::take(const std::string &key, std::int64_t now)
{
    std::lock_guard guard(m_mutex);
    if (m_entries.size() >= SweepSize) {
        for (auto entry = m_entries.begin(); entry != m_entries.end();) {
            if (now - entry->second.start >= m_window)
                entry = m_entries.erase(entry);
            else
                ++entry;
        }
    }
    Entry &entry = m_entries[key];
    if (entry.used == 0 || now - entry.start >= m_window)
        entry = { 0, now };
    if (entry.used >= m_count)
        return false;
    ++entry.used;
    return true;
}

namespace {

QString rowName(const std::string &kind, const std::string &key)
{
    return QString::fromStdString(kind + ':' + key);
}

// Writes a counter's row whole, replacing what was there.
void writeLimit(Database &db, const QString &name, std::int64_t count, std::int64_t first,
    std::int64_t last, std::int64_t allowedAt, std::int64_t expires)
{
    Statement upsert(db,
        "INSERT INTO limits (name, count, first, last, allowed_at, expires) "
        "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (name) DO UPDATE SET count = excluded.count, "
        "first = excluded.first, last = excluded.last, allowed_at = excluded.allowed_at, "
        "expires = excluded.expires");
    upsert.bind(1, name)
        .bind(2, count)
        .bind(3, first)
        .bind(4, last)
        .bind(5, allowedAt)
        .bind(6, expires)
        .run();
}

} // namespace

SharedFailureThrottle::SharedFailureThrottle(ConnectionPool &pool, std::string kind,
    int freeFailures, std::int64_t firstDelay, std::int64_t maxDelay, std::int64_t forget)
    : m_pool(pool)
    , m_kind(std::move(kind))
    , m_freeFailures(freeFailures)
    , m_firstDelay(firstDelay)
    , m_maxDelay(maxDelay)
    , m_forget(forget)
{
}

std::int64_t SharedFailureThrottle::wait(const std::string &key, std::int64_t now)
{
    const ConnectionPool::Lease lease = m_pool.lease();
    Database &db = *lease;
    Statement query(db, "SELECT allowed_at, last FROM limits WHERE name = ?");
    query.bind(1, rowName(m_kind, key));
    if (!query.next() || now - query.integer(1) >= m_forget)
        return 0;
    return std::max<std::int64_t>(0, query.integer(0) - now);
}

void SharedFailureThrottle::fail(const std::string &key, std::int64_t now)
{
    const ConnectionPool::Lease lease = m_pool.lease();
    Database &db = *lease;
    const QString name = rowName(m_kind, key);
    Transaction transaction(db);
    std::int64_t failures = 0;
    {
        Statement query(db, "SELECT count, last FROM limits WHERE name = ?");
        query.bind(1, name);
        if (query.next() && now - query.integer(1) < m_forget)
            failures = query.integer(0);
    }
    ++failures;
    std::int64_t allowedAt = 0;
    const std::int64_t over = failures - m_freeFailures;
    if (over > 0) {
        std::int64_t delay = m_firstDelay;
        for (std::int64_t i = 1; i < over && delay < m_maxDelay; ++i)
            delay *= 2;
        allowedAt = now + std::min(delay, m_maxDelay);
    }
    writeLimit(db, name, failures, now, now, allowedAt, now + m_forget);
    transaction.commit();
}

void SharedFailureThrottle::succeed(const std::string &key)
{
    const ConnectionPool::Lease lease = m_pool.lease();
    Database &db = *lease;
    Statement remove(db, "DELETE FROM limits WHERE name = ?");
    remove.bind(1, rowName(m_kind, key)).run();
}

SharedRateLimit::SharedRateLimit(
    ConnectionPool &pool, std::string kind, int count, std::int64_t window)
    : m_pool(pool)
    , m_kind(std::move(kind))
    , m_count(count)
    , m_window(window)
{
}

bool SharedRateLimit::take(const std::string &key, std::int64_t now)
{
    const ConnectionPool::Lease lease = m_pool.lease();
    Database &db = *lease;
    const QString name = rowName(m_kind, key);
    Transaction transaction(db);
    std::int64_t used = 0;
    std::int64_t start = now;
    {
        Statement query(db, "SELECT count, first FROM limits WHERE name = ?");
        query.bind(1, name);
        if (query.next() && now - query.integer(1) < m_window) {
            used = query.integer(0);
            start = query.integer(1);
        }
    }
    if (used >= m_count)
        return false;
    writeLimit(db, name, used + 1, start, now, 0, start + m_window);
    transaction.commit();
    return true;
}
