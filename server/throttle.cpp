#include "throttle.h"

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
