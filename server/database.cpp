#include "database.h"

#include <QFile>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <string>

Statement::Statement(Database &db, const char *sql)
    : m_db(db)
{
    if (sqlite3_prepare_v2(db.handle(), sql, -1, &m_stmt, nullptr) != SQLITE_OK)
        db.fail("prepare");
}

Statement::~Statement()
{
    sqlite3_finalize(m_stmt);
}

Statement &Statement::bind(int position, std::int64_t value)
{
    if (sqlite3_bind_int64(m_stmt, position, value) != SQLITE_OK)
        m_db.fail("bind");
    return *this;
}

Statement &Statement::bind(int position, const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    if (sqlite3_bind_text(m_stmt, position, utf8.constData(), utf8.size(), SQLITE_TRANSIENT)
        != SQLITE_OK)
        m_db.fail("bind");
    return *this;
}

Statement &Statement::bind(int position, const QByteArray &value)
{
    if (sqlite3_bind_blob(m_stmt, position, value.constData(), value.size(), SQLITE_TRANSIENT)
        != SQLITE_OK)
        m_db.fail("bind");
    return *this;
}

Statement &Statement::bindNull(int position)
{
    if (sqlite3_bind_null(m_stmt, position) != SQLITE_OK)
        m_db.fail("bind");
    return *this;
}

bool Statement::next()
{
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    m_db.fail("step");
}

void Statement::run()
{
    while (next()) { }
}

std::int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(m_stmt, column);
}

QString Statement::text(int column) const
{
    const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
    return QString::fromUtf8(data, sqlite3_column_bytes(m_stmt, column));
}

QByteArray Statement::blob(int column) const
{
    const auto *data = static_cast<const char *>(sqlite3_column_blob(m_stmt, column));
    return QByteArray(data, sqlite3_column_bytes(m_stmt, column));
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

Database::Database(const QString &path)
{
    // A new file is readable by its owner only (it holds password hashes);
    // SQLite gives its journal files the same permissions.
    const QByteArray localPath = QFile::encodeName(path);
    const int created = ::open(localPath.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
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
    createSchema();
}

Database::~Database()
{
    sqlite3_close(m_db);
}

void Database::exec(const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw DatabaseError(message, sqlite3_errcode(m_db) == SQLITE_FULL);
    }
}

std::int64_t Database::lastInsertId() const
{
    return sqlite3_last_insert_rowid(m_db);
}

int Database::changes() const
{
    return sqlite3_changes(m_db);
}

void Database::fail(const char *what) const
{
    throw DatabaseError(
        std::string(what) + ": " + sqlite3_errmsg(m_db), sqlite3_errcode(m_db) == SQLITE_FULL);
}

void Database::createSchema()
{
    exec(R"sql(
CREATE TABLE IF NOT EXISTS accounts (
    id INTEGER PRIMARY KEY,
    email TEXT NOT NULL UNIQUE COLLATE NOCASE,
    password TEXT NOT NULL,
    vip_until INTEGER NOT NULL DEFAULT 0,
    vip_permanent INTEGER NOT NULL DEFAULT 0,
    svip INTEGER NOT NULL DEFAULT 0,
    created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS sessions (
    id TEXT PRIMARY KEY,
    account_id INTEGER REFERENCES accounts(id) ON DELETE SET NULL,
    created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS captchas (
    session_id TEXT PRIMARY KEY,
    code TEXT NOT NULL,
    created INTEGER NOT NULL,
    failures INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS favourites (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
    hash TEXT NOT NULL,
    idx INTEGER NOT NULL,
    name TEXT NOT NULL,
    created INTEGER NOT NULL,
    UNIQUE (account_id, hash, idx));
CREATE TABLE IF NOT EXISTS reports (
    id INTEGER PRIMARY KEY,
    account_id INTEGER,
    session_id TEXT,
    name TEXT NOT NULL,
    description TEXT NOT NULL,
    created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS resources (
    hash TEXT PRIMARY KEY,
    kind TEXT NOT NULL,
    name TEXT NOT NULL,
    added INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS files (
    id INTEGER PRIMARY KEY,
    resource TEXT NOT NULL REFERENCES resources(hash) ON DELETE CASCADE,
    idx INTEGER NOT NULL,
    name TEXT NOT NULL,
    size INTEGER NOT NULL,
    path TEXT NOT NULL,
    jxhash TEXT NOT NULL,
    UNIQUE (resource, idx));
CREATE INDEX IF NOT EXISTS files_by_content ON files (jxhash);
CREATE TABLE IF NOT EXISTS codes (
    code TEXT PRIMARY KEY,
    file_id INTEGER NOT NULL REFERENCES files(id) ON DELETE CASCADE,
    session_id TEXT NOT NULL,
    cookie TEXT NOT NULL,
    expires INTEGER NOT NULL); -- milliseconds since 1970
CREATE INDEX IF NOT EXISTS codes_by_file ON codes (file_id, session_id);
CREATE TABLE IF NOT EXISTS config (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS pending_passwords (
    account_id INTEGER PRIMARY KEY REFERENCES accounts(id) ON DELETE CASCADE,
    password TEXT NOT NULL,
    created INTEGER NOT NULL);
)sql");
    // Files made before sessions expired when idle get the column for it.
    bool hasSeen = false;
    {
        Statement columns(*this, "PRAGMA table_info(sessions)");
        while (columns.next())
            hasSeen = hasSeen || columns.text(1) == QLatin1String("seen");
    }
    if (!hasSeen)
        exec("ALTER TABLE sessions ADD COLUMN seen INTEGER NOT NULL DEFAULT 0");
    // Files fetched from BitTorrent peers: swarm_id names the file until its
    // content is known; content keeps the content hash once it is.
    bool hasSwarmId = false;
    {
        Statement columns(*this, "PRAGMA table_info(files)");
        while (columns.next())
            hasSwarmId = hasSwarmId || columns.text(1) == QLatin1String("swarm_id");
    }
    if (!hasSwarmId) {
        exec("ALTER TABLE files ADD COLUMN swarm_id TEXT NOT NULL DEFAULT ''");
        exec("ALTER TABLE files ADD COLUMN content TEXT NOT NULL DEFAULT ''");
    }
}

Transaction::Transaction(Database &db)
    : m_db(db)
{
    m_db.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (!m_done) {
        try {
            m_db.exec("ROLLBACK");
        } catch (const DatabaseError &) {
            // Nothing more can be done; SQLite rolls back on its own when it must.
        }
    }
}

void Transaction::commit()
{
    m_db.exec("COMMIT");
    m_done = true;
}
