#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

class ConnectionPool;

// Failed attempts per key (an account, an address): after a number of free
// failures each further one doubles the wait before the next attempt, from
// firstDelay up to maxDelay. A key that fails no more for `forget` starts
// afresh. Times are in the caller's unit; callers pass the clock so tests
// can move it.
class FailureThrottle
{
public:
    FailureThrottle(
        int freeFailures, std::int64_t firstDelay, std::int64_t maxDelay, std::int64_t forget);

    // Time before the key may try again; 0 when it may now.
    std::int64_t wait(const std::string &key, std::int64_t now);
    void fail(const std::string &key, std::int64_t now);
    void succeed(const std::string &key);

private:
    struct Entry
    {
        int failures = 0;
        std::int64_t last = 0;
        std::int64_t allowedAt = 0;
    };
    void sweep(std::int64_t now);

    const int m_freeFailures;
    const std::int64_t m_firstDelay;
    const std::int64_t m_maxDelay;
    const std::int64_t m_forget;
    std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_entries;
};

// At most `count` events per key in a window (in the caller's time unit)
// that starts with the key's first event.
class RateLimit
{
public:
    RateLimit(int count, std::int64_t window);

    // Counts the event and returns true when it is within the limit.
    bool take(const std::string &key, std::int64_t now);

private:
    struct Entry
    {
        int used = 0;
        std::int64_t start = 0;
    };

    const int m_count;
    const std::int64_t m_window;
    std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_entries;
};

// The same two kinds of counter kept in the service's database, so that all
// the processes sharing it count every attempt once; rows are named
// "<kind>:<key>" and carry when they stop mattering, for Store::prune.
// Times are milliseconds since 1970.
class SharedFailureThrottle
{
public:
    SharedFailureThrottle(ConnectionPool &pool, std::string kind, int freeFailures,
        std::int64_t firstDelay, std::int64_t maxDelay, std::int64_t forget);

    std::int64_t wait(const std::string &key, std::int64_t now);
    void fail(const std::string &key, std::int64_t now);
    void succeed(const std::string &key);

private:
    ConnectionPool &m_pool;
    const std::string m_kind;
    const int m_freeFailures;
    const std::int64_t m_firstDelay;
    const std::int64_t m_maxDelay;
    const std::int64_t m_forget;
};

class SharedRateLimit
{
public:
    SharedRateLimit(ConnectionPool &pool, std::string kind, int count, std::int64_t window);

    bool take(const std::string &key, std::int64_t now);

private:
    ConnectionPool &m_pool;
    const std::string m_kind;
    const int m_count;
    const std::int64_t m_window;
};
