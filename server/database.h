#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>

struct sqlite3;
struct sqlite3_stmt;

// Failure of an SQLite call; carries SQLite's own message.
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

class Database;

// One prepared statement. Bind with 1-based positions, then step through rows.
class Statement
{
public:
    Statement(Database &db, const char *sql);
    ~Statement();
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
    Database &m_db;
    sqlite3_stmt *m_stmt = nullptr;
};

// The service's SQLite file. One connection shared by every request thread;
// callers hold lock() for the whole of each operation, so a read-check-write
// sequence never interleaves with another thread's.
class Database
{
public:
    explicit Database(const QString &path);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    std::unique_lock<std::recursive_mutex> lock() { return std::unique_lock(m_mutex); }
    void exec(const char *sql);
    std::int64_t lastInsertId() const;
    int changes() const;

    sqlite3 *handle() const { return m_db; }
    [[noreturn]] void fail(const char *what) const;

private:
    void createSchema();

    sqlite3 *m_db = nullptr;
    std::recursive_mutex m_mutex;
};

// A transaction that rolls back unless committed.
class Transaction
{
public:
    explicit Transaction(Database &db);
    ~Transaction();
    void commit();

private:
    Database &m_db;
    bool m_done = false;
};
