#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

// Failure of a database call; carries the back end's own message.
class DatabaseError : public std::runtime_error
{
public:
    explicit DatabaseError(const std::string &message, bool storageFull = false)
        : std::runtime_error(message)
        , m_storageFull(storageFull)
    {
    }
    // The disk (or the file's quota) is full: the call may work later.
    bool storageFull() const { return m_storageFull; }

private:
    bool m_storageFull;
};

// A prepared statement as a back end runs it. Positions are 1-based, columns
// 0-based; placeholders in the text are written "?".
class StatementBackend
{
public:
    virtual ~StatementBackend() = default;
    virtual void bindInteger(int position, std::int64_t value) = 0;
    virtual void bindText(int position, const QString &value) = 0;
    virtual void bindBlob(int position, const QByteArray &value) = 0;
    virtual void bindNull(int position) = 0;
    virtual bool next() = 0;
    virtual std::int64_t integer(int column) const = 0;
    virtual QString text(int column) const = 0;
    virtual QByteArray blob(int column) const = 0;
    virtual bool isNull(int column) const = 0;
};

// One connection to the service's database. Callers hold lock() for the
// whole of each operation, so a read-check-write sequence on this connection
// never interleaves with another thread's; Transaction keeps it whole against
// other processes sharing the database.
class Database
{
public:
    enum class Kind { Sqlite, Postgresql };

    virtual ~Database() = default;
    Database() = default;
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    std::unique_lock<std::recursive_mutex> lock() { return std::unique_lock(m_mutex); }

    virtual Kind kind() const = 0;
    // Runs statements without parameters or rows (several may be given).
    virtual void exec(const char *sql) = 0;
    virtual std::unique_ptr<StatementBackend> prepare(const char *sql) = 0;
    // Rows changed by the last statement run.
    virtual int changes() const = 0;
    virtual bool hasTable(const char *name) = 0;
    // Starts a transaction that takes the write lock at once, so that what it
    // reads cannot change before it writes.
    virtual void begin() = 0;
    virtual void commit() { exec("COMMIT"); }
    virtual void rollback() { exec("ROLLBACK"); }

private:
    std::recursive_mutex m_mutex;
};

// The service's SQLite file; made readable by its owner only.
std::unique_ptr<Database> openSqliteDatabase(const QString &path);

// A PostgreSQL database named by a libpq URL ("postgresql://user@host/name").
std::unique_ptr<Database> openPostgresDatabase(const QString &url);

// True for a location that names a PostgreSQL database rather than a file.
bool isPostgresLocation(const QString &location);

// Opens the database at a location (a PostgreSQL URL or an SQLite file's
// path) and brings its schema to the current version.
std::unique_ptr<Database> openServiceDatabase(const QString &location);

// One prepared statement. Bind with 1-based positions, then step through rows.
class Statement
{
public:
    Statement(Database &db, const char *sql);
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int position, std::int64_t value);
    Statement &bind(int position, const QString &value);
    Statement &bind(int position, const QByteArray &value);
    Statement &bindNull(int position);

    // Advances to the next row; false when there is none.
    bool next();
    // Runs a statement that returns no rows.
    void run();

    std::int64_t integer(int column) const;
    QString text(int column) const;
    QByteArray blob(int column) const;
    bool isNull(int column) const;

private:
    std::unique_ptr<StatementBackend> m_backend;
};

// A transaction that rolls back unless committed.
class Transaction
{
public:
    explicit Transaction(Database &db);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    void commit();

private:
    Database &m_db;
    bool m_done = false;
};

// Connections to one database, each lent to one thread at a time, so that
// requests on several threads run their statements side by side. A thread
// that already holds a connection of the pool gets the same one again, so
// nested calls share its transaction. Connections are opened as needed, up
// to the pool's size; a thread waits when all are lent.
class ConnectionPool
{
public:
    ConnectionPool(std::unique_ptr<Database> first,
        std::function<std::unique_ptr<Database>()> openMore, int size);
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool &) = delete;
    ConnectionPool &operator=(const ConnectionPool &) = delete;

    class Lease
    {
    public:
        Lease(Lease &&other) noexcept;
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        ~Lease();
        Database &operator*() const { return *m_db; }
        Database *operator->() const { return m_db; }

    private:
        friend class ConnectionPool;
        Lease(ConnectionPool *pool, Database *db)
            : m_pool(pool)
            , m_db(db)
        {
        }
        ConnectionPool *m_pool;
        Database *m_db;
    };
    Lease lease();
    int size() const { return m_size; }
    Database::Kind kind() const { return m_kind; }

private:
    void giveBack(Database *db);

    const std::function<std::unique_ptr<Database>()> m_openMore;
    const int m_size;
    const Database::Kind m_kind;
    std::mutex m_mutex;
    std::condition_variable m_returned;
    std::vector<std::unique_ptr<Database>> m_all;
    std::vector<Database *> m_idle;
    int m_opening = 0;
};
