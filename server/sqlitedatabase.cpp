#include "database.h"

#include <QFile>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <string>

namespace {

class SqliteDatabase;

[[noreturn]] void fail(sqlite3 *db, const char *what)
{
    throw DatabaseError(
        std::string(what) + ": " + sqlite3_errmsg(db), sqlite3_errcode(db) == SQLITE_FULL);
}

class SqliteStatement : public StatementBackend
{
public:
    SqliteStatement(sqlite3 *db, const char *sql)
        : m_db(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            fail(db, "prepare");
    }
    ~SqliteStatement() override { sqlite3_finalize(m_stmt); }

    void bindInteger(int position, std::int64_t value) override
    {
        check(sqlite3_bind_int64(m_stmt, position, value));
    }
    void bindText(int position, const QString &value) override
    {
        const QByteArray utf8 = value.toUtf8();
        check(sqlite3_bind_text(m_stmt, position, utf8.constData(), utf8.size(), SQLITE_TRANSIENT));
    }
    void bindBlob(int position, const QByteArray &value) override
    {
        check(
            sqlite3_bind_blob(m_stmt, position, value.constData(), value.size(), SQLITE_TRANSIENT));
    }
    void bindNull(int position) override { check(sqlite3_bind_null(m_stmt, position)); }

    bool next() override
    {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        fail(m_db, "step");
    }
    std::int64_t integer(int column) const override { return sqlite3_column_int64(m_stmt, column); }
    QString text(int column) const override
    {
        const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
        return QString::fromUtf8(data, sqlite3_column_bytes(m_stmt, column));
    }
    QByteArray blob(int column) const override
    {
        const auto *data = static_cast<const char *>(sqlite3_column_blob(m_stmt, column));
        return QByteArray(data, sqlite3_column_bytes(m_stmt, column));
    }
    bool isNull(int column) const override
    {
        return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
    }

private:
    void check(int rc)
    {
        if (rc != SQLITE_OK)
            fail(m_db, "bind");
    }

    sqlite3 *m_db;
    sqlite3_stmt *m_stmt = nullptr;
};

class SqliteDatabase : public Database
{
public:
    explicit SqliteDatabase(const QString &path)
    {
        // A new file is readable by its owner only (it holds password hashes);
        // SQLite gives its journal files the same permissions.
        const QByteArray localPath = QFile::encodeName(path);
        const int created
            = ::open(localPath.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (created >= 0)
            ::close(created);
        const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
        if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, flags, nullptr) != SQLITE_OK) {
            const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
            sqlite3_close(m_db);
            m_db = nullptr;
            throw DatabaseError("cannot open " + path.toStdString() + ": " + message);
        }
        sqlite3_busy_timeout(m_db, 5000);
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec("PRAGMA foreign_keys=ON");
    }
    ~SqliteDatabase() override { sqlite3_close(m_db); }

    Kind kind() const override { return Kind::Sqlite; }

    void exec(const char *sql) override
    {
        char *error = nullptr;
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : "unknown error";
            sqlite3_free(error);
            throw DatabaseError(message, sqlite3_errcode(m_db) == SQLITE_FULL);
        }
    }

    std::unique_ptr<StatementBackend> prepare(const char *sql) override
    {
        return std::make_unique<SqliteStatement>(m_db, sql);
    }

    int changes() const override { return sqlite3_changes(m_db); }

    bool hasTable(const char *name) override
    {
        SqliteStatement query(
            m_db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
        query.bindText(1, QString::fromUtf8(name));
        return query.next();
    }

    void begin() override { exec("BEGIN IMMEDIATE"); }

private:
    sqlite3 *m_db = nullptr;
};

} // namespace

std::unique_ptr<Database> openSqliteDatabase(const QString &path)
{
    return std::make_unique<SqliteDatabase>(path);
}
