#include "database.h"

#include <algorithm>

Statement::Statement(Database &db, const char *sql)
    : m_backend(db.prepare(sql))
{
}

Statement &Statement::bind(int position, std::int64_t value)
{
    m_backend->bindInteger(position, value);
    return *this;
}

Statement &Statement::bind(int position, const QString &value)
{
    m_backend->bindText(position, value);
    return *this;
}

Statement &Statement::bind(int position, const QByteArray &value)
{
    m_backend->bindBlob(position, value);
    return *this;
}

Statement &Statement::bindNull(int position)
{
    m_backend->bindNull(position);
    return *this;
}

bool Statement::next()
{
    return m_backend->next();
}

void Statement::run()
{
    while (next()) { }
}

std::int64_t Statement::integer(int column) const
{
    return m_backend->integer(column);
}

QString Statement::text(int column) const
{
    return m_backend->text(column);
}

QByteArray Statement::blob(int column) const
{
    return m_backend->blob(column);
}

bool Statement::isNull(int column) const
{
    return m_backend->isNull(column);
}

Transaction::Transaction(Database &db)
    : m_db(db)
{
    m_db.begin();
}

Transaction::~Transaction()
{
    if (!m_done) {
        try {
            m_db.rollback();
        } catch (const DatabaseError &) {
            // Nothing more can be done; the back end rolls back on its own
            // when the connection ends.
        }
    }
}

void Transaction::commit()
{
    m_db.commit();
    m_done = true;
}

bool isPostgresLocation(const QString &location)
{
    return location.startsWith(QLatin1String("postgresql://"))
        || location.startsWith(QLatin1String("postgres://"));
}

namespace {

// The connections this thread holds, with how many leases are open on each.
struct HeldConnection
{
    ConnectionPool *pool;
    Database *db;
    int depth;
};
thread_local std::vector<HeldConnection> heldConnections;

} // namespace

ConnectionPool::ConnectionPool(
    std::unique_ptr<Database> first, std::function<std::unique_ptr<Database>()> openMore, int size)
    : m_openMore(std::move(openMore))
    , m_size(std::max(1, size))
    , m_kind(first->kind())
{
    m_idle.push_back(first.get());
    m_all.push_back(std::move(first));
}

ConnectionPool::~ConnectionPool() = default;

ConnectionPool::Lease ConnectionPool::lease()
{
    for (HeldConnection &held : heldConnections) {
        if (held.pool == this) {
            ++held.depth;
            return Lease(this, held.db);
        }
    }
    std::unique_lock guard(m_mutex);
    if (m_idle.empty() && int(m_all.size()) + m_opening < m_size) {
        // Opened outside the lock: a slow server must not hold back the
        // threads that give connections back.
        ++m_opening;
        guard.unlock();
        std::unique_ptr<Database> opened;
        try {
            opened = m_openMore();
        } catch (...) {
            guard.lock();
            --m_opening;
            throw;
        }
        guard.lock();
        --m_opening;
        m_all.push_back(std::move(opened));
        m_idle.push_back(m_all.back().get());
    }
    m_returned.wait(guard, [this] { return !m_idle.empty(); });
    Database *db = m_idle.back();
    m_idle.pop_back();
    heldConnections.push_back({ this, db, 1 });
    return Lease(this, db);
}

void ConnectionPool::giveBack(Database *db)
{
    for (auto held = heldConnections.begin(); held != heldConnections.end(); ++held) {
        if (held->pool == this && held->db == db) {
            if (--held->depth > 0)
                return;
            heldConnections.erase(held);
            break;
        }
    }
    {
        std::lock_guard guard(m_mutex);
        m_idle.push_back(db);
    }
    m_returned.notify_one();
}

ConnectionPool::Lease::Lease(Lease &&other) noexcept
    : m_pool(other.m_pool)
    , m_db(other.m_db)
{
    other.m_pool = nullptr;
}

ConnectionPool::Lease::~Lease()
{
    if (m_pool)
        m_pool->giveBack(m_db);
}
