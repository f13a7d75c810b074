#include "database.h"
#include "schema.h"
#include "store.h"

#include <QTemporaryDir>
#include <QtTest>

// The service's storage: schema versions, ordered steps, and data folders
// made by earlier builds opening with their records intact.
class ServerStorageTest : public QObject
{
    Q_OBJECT

private slots:
    void newDatabaseGetsTheCurrentVersion();
    void unversionedFilesAreCompletedAndKept_data();
    void unversionedFilesAreCompletedAndKept();
    void stepsRunInOrderAndAllOrNothing();
    void newerDatabaseIsRefused();
};

namespace {

bool hasColumn(Database &db, const char *table, const QString &column)
{
    Statement columns(db, (std::string("PRAGMA table_info(") + table + ")").c_str());
    while (columns.next()) {
        if (columns.text(1) == column)
            return true;
    }
    return false;
}

int count(Database &db, const char *sql)
{
    Statement query(db, sql);
    query.next();
    return int(query.integer(0));
}

// Shapes of the file earlier builds left behind, each with one account.
constexpr const char *OldestShape = R"sql(
CREATE TABLE accounts (id INTEGER PRIMARY KEY, email TEXT NOT NULL UNIQUE COLLATE NOCASE,
    password TEXT NOT NULL, vip_until INTEGER NOT NULL DEFAULT 0,
    vip_permanent INTEGER NOT NULL DEFAULT 0, svip INTEGER NOT NULL DEFAULT 0,
    created INTEGER NOT NULL);
CREATE TABLE sessions (id TEXT PRIMARY KEY,
    account_id INTEGER REFERENCES accounts(id) ON DELETE SET NULL, created INTEGER NOT NULL);
CREATE TABLE favourites (id INTEGER PRIMARY KEY AUTOINCREMENT,
    account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
    hash TEXT NOT NULL, idx INTEGER NOT NULL, name TEXT NOT NULL, created INTEGER NOT NULL,
    UNIQUE (account_id, hash, idx));
CREATE TABLE resources (hash TEXT PRIMARY KEY, kind TEXT NOT NULL, name TEXT NOT NULL,
    added INTEGER NOT NULL);
CREATE TABLE files (id INTEGER PRIMARY KEY,
    resource TEXT NOT NULL REFERENCES resources(hash) ON DELETE CASCADE,
    idx INTEGER NOT NULL, name TEXT NOT NULL, size INTEGER NOT NULL, path TEXT NOT NULL,
    jxhash TEXT NOT NULL, UNIQUE (resource, idx));
INSERT INTO accounts (email, password, vip_until, created) VALUES ('Old@Example.com', 'h', 7, 1);
INSERT INTO favourites (account_id, hash, idx, name, created) VALUES (1, 'abc', 0, 'a.mp4', 1);
)sql";

} // namespace

void ServerStorageTest::newDatabaseGetsTheCurrentVersion()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("tavrion.db");
    const int latest = schemaMigrations(Database::Kind::Sqlite).back().version;
    {
        const auto db = openServiceDatabase(path);
        QCOMPARE(schemaVersion(*db), latest);
        for (const char *table : { "accounts", "sessions", "captchas", "favourites", "reports",
                 "resources", "files", "codes", "config", "pending_passwords" })
            QVERIFY2(db->hasTable(table), table);
        db->exec("INSERT INTO config (key, value) VALUES ('k', 'v')");
    }
    // Opening again applies nothing and keeps the records.
    const auto db = openServiceDatabase(path);
    QCOMPARE(schemaVersion(*db), latest);
    QCOMPARE(count(*db, "SELECT COUNT(*) FROM config"), 1);
    QCOMPARE(count(*db, "SELECT COUNT(*) FROM schema_version"), 1);
}

void ServerStorageTest::unversionedFilesAreCompletedAndKept_data()
{
    QTest::addColumn<QByteArray>("shape");
    QTest::newRow("oldest: no idle sessions, swarm files or pending passwords")
        << QByteArray(OldestShape);
    QTest::newRow("the last unversioned shape") << (QByteArray(OldestShape)
        + "ALTER TABLE sessions ADD COLUMN seen INTEGER NOT NULL DEFAULT 0;"
          "ALTER TABLE files ADD COLUMN swarm_id TEXT NOT NULL DEFAULT '';"
          "ALTER TABLE files ADD COLUMN content TEXT NOT NULL DEFAULT '';"
          "CREATE TABLE pending_passwords (account_id INTEGER PRIMARY KEY, "
          "password TEXT NOT NULL, created INTEGER NOT NULL);");
}

void ServerStorageTest::unversionedFilesAreCompletedAndKept()
{
    QFETCH(QByteArray, shape);
    QTemporaryDir dir;
    openSqliteDatabase(dir.filePath("tavrion.db"))->exec(shape.constData());

    {
        const auto db = openServiceDatabase(dir.filePath("tavrion.db"));
        // Taken as the first version, then brought to the last.
        QCOMPARE(schemaVersion(*db), schemaMigrations(Database::Kind::Sqlite).back().version);
        QVERIFY(hasColumn(*db, "sessions", "seen"));
        QVERIFY(hasColumn(*db, "files", "swarm_id"));
        QVERIFY(hasColumn(*db, "files", "content"));
        QVERIFY(db->hasTable("pending_passwords"));
        QVERIFY(db->hasTable("codes"));
    }

    // The service works on the completed file with the old records.
    Store store(dir.path());
    const std::optional<Account> account = store.accountByEmail("old@example.com");
    QVERIFY(account);
    QCOMPARE(account->vipUntil, std::int64_t(7));
    QCOMPARE(store.favourites(account->id, 1, 10).size(), 1);
    store.setSessionAccount("s1", account->id);
    QCOMPARE(store.sessionAccount("s1"), account->id);
    store.setPendingPassword(account->id, "p");
    QCOMPARE(store.pendingPassword(account->id), QString("p"));
    FileRecord file;
    file.name = "b.mp4";
    file.path = "b.mp4";
    file.jxhash = "x";
    file.swarmId = "x";
    store.addResource("def", "swarm", "b", { file });
    QCOMPARE(store.swarmResourceHashes(), QStringList { "def" });
}

void ServerStorageTest::stepsRunInOrderAndAllOrNothing()
{
    QTemporaryDir dir;
    const auto db = openSqliteDatabase(dir.filePath("steps.db"));
    std::vector<Migration> steps { { 1, "CREATE TABLE t (a INTEGER)" } };
    migrate(*db, steps);
    QCOMPARE(schemaVersion(*db), 1);

    // Each step sees the one before it.
    steps.push_back({ 2, "ALTER TABLE t ADD COLUMN b INTEGER" });
    steps.push_back({ 3, "INSERT INTO t (a, b) VALUES (1, 2)" });
    migrate(*db, steps);
    QCOMPARE(schemaVersion(*db), 3);
    QCOMPARE(count(*db, "SELECT b FROM t"), 2);

    // A failing step undoes the steps of its run, and the version stays.
    steps.push_back({ 4, "CREATE TABLE u (x INTEGER)" });
    steps.push_back({ 5, "INSERT INTO missing VALUES (1)" });
    QVERIFY_EXCEPTION_THROWN(migrate(*db, steps), DatabaseError);
    QCOMPARE(schemaVersion(*db), 3);
    QVERIFY(!db->hasTable("u"));
    steps.pop_back();
    migrate(*db, steps);
    QCOMPARE(schemaVersion(*db), 4);
    QVERIFY(db->hasTable("u"));
}

void ServerStorageTest::newerDatabaseIsRefused()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("tavrion.db");
    openServiceDatabase(path)->exec("UPDATE schema_version SET version = 99;"
                                    "INSERT INTO config (key, value) VALUES ('k', 'v')");
    try {
        openServiceDatabase(path);
        QFAIL("a database of a newer program opened");
    } catch (const DatabaseError &error) {
        QVERIFY2(QByteArray(error.what()).contains("99"), error.what());
    }
    const auto db = openSqliteDatabase(path);
    QCOMPARE(schemaVersion(*db), 99);
    QCOMPARE(count(*db, "SELECT COUNT(*) FROM config"), 1);
}

QTEST_GUILESS_MAIN(ServerStorageTest)
#include "tst_serverstorage.moc"
