#include "schema.h"

#include <string>

namespace {

// Version 1: the schema as it stood when versions began to be kept.
constexpr const char *SqliteVersion1 = R"sql(
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
    created INTEGER NOT NULL,
    seen INTEGER NOT NULL DEFAULT 0);
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
    swarm_id TEXT NOT NULL DEFAULT '',
    content TEXT NOT NULL DEFAULT '',
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
)sql";

// Version 2: video-host nodes that share the database, with the heartbeat
// each refreshes while it runs (milliseconds since 1970), and the library
// files each holds in its own data folder.
constexpr const char *SqliteVersion2 = R"sql(
CREATE TABLE host_nodes (
    name TEXT PRIMARY KEY,
    seen INTEGER NOT NULL);
CREATE TABLE host_files (
    host TEXT NOT NULL REFERENCES host_nodes(name) ON DELETE CASCADE,
    file_id INTEGER NOT NULL REFERENCES files(id) ON DELETE CASCADE,
    PRIMARY KEY (host, file_id));
CREATE INDEX host_files_by_file ON host_files (file_id);
)sql";

bool sqliteHasColumn(Database &db, const char *table, const char *column)
{
    // The table name is one of this file's own constants, never input.
    Statement columns(db, (std::string("PRAGMA table_info(") + table + ")").c_str());
    while (columns.next()) {
        if (columns.text(1) == QLatin1String(column))
            return true;
    }
    return false;
}

// An SQLite file from before versions were kept gets the tables and columns
// later builds added, as those builds did on every start.
void completeUnversionedSqlite(Database &db)
{
    db.exec(SqliteVersion1);
    if (!sqliteHasColumn(db, "sessions", "seen"))
        db.exec("ALTER TABLE sessions ADD COLUMN seen INTEGER NOT NULL DEFAULT 0");
    if (!sqliteHasColumn(db, "files", "swarm_id")) {
        db.exec("ALTER TABLE files ADD COLUMN swarm_id TEXT NOT NULL DEFAULT ''");
        db.exec("ALTER TABLE files ADD COLUMN content TEXT NOT NULL DEFAULT ''");
    }
}

} // namespace

const std::vector<Migration> &schemaMigrations(Database::Kind kind)
{
    static const std::vector<Migration> sqlite { { 1, SqliteVersion1 }, { 2, SqliteVersion2 } };
    switch (kind) {
    case Database::Kind::Sqlite:
        break;
    }
    return sqlite;
}

int schemaVersion(Database &db)
{
    auto lock = db.lock();
    if (!db.hasTable("schema_version"))
        return 0;
    Statement query(db, "SELECT version FROM schema_version");
    return query.next() ? int(query.integer(0)) : 0;
}

void migrate(Database &db, const std::vector<Migration> &migrations)
{
    auto lock = db.lock();
    Transaction transaction(db);
    if (!db.hasTable("schema_version")) {
        int version = 0;
        if (db.hasTable("accounts") && db.kind() == Database::Kind::Sqlite) {
            completeUnversionedSqlite(db);
            version = 1;
        }
        db.exec("CREATE TABLE schema_version (version INTEGER NOT NULL)");
        Statement insert(db, "INSERT INTO schema_version (version) VALUES (?)");
        insert.bind(1, std::int64_t(version)).run();
    }
    const int current = schemaVersion(db);
    const int latest = migrations.empty() ? 0 : migrations.back().version;
    if (current > latest) {
        throw DatabaseError("the database has schema version " + std::to_string(current)
            + ", newer than this program's " + std::to_string(latest));
    }
    for (const Migration &migration : migrations) {
        if (migration.version <= current)
            continue;
        db.exec(migration.sql);
        Statement update(db, "UPDATE schema_version SET version = ?");
        update.bind(1, std::int64_t(migration.version)).run();
    }
    transaction.commit();
}

std::unique_ptr<Database> openServiceDatabase(const QString &path)
{
    std::unique_ptr<Database> db = openSqliteDatabase(path);
    migrate(*db, schemaMigrations(db->kind()));
    return db;
}
