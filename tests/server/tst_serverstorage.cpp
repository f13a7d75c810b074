#include "database.h"
#include "postgresfixture.h"
#include "schema.h"
#include "store.h"
#include "throttle.h"

#include <QTemporaryDir>
#include <QtTest>

#include <future>

// The service's storage on both back ends: schema versions, ordered steps,
// data folders made by earlier builds opening with their records intact, and
// the PostgreSQL connection's own duties.
class ServerStorageTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase();
    void newDatabaseGetsTheCurrentVersion_data() { backEnds(); }
    void newDatabaseGetsTheCurrentVersion();
    void unversionedFilesAreCompletedAndKept_data();
    void unversionedFilesAreCompletedAndKept();
    void stepsRunInOrderAndAllOrNothing_data() { backEnds(); }
    void stepsRunInOrderAndAllOrNothing();
    void newerDatabaseIsRefused_data() { backEnds(); }
    void newerDatabaseIsRefused();
    void processesStartingTogetherMigrateOnce_data() { backEnds(); }
    void processesStartingTogetherMigrateOnce();
    void addressesMatchWithoutCase_data() { backEnds(); }
    void addressesMatchWithoutCase();
    void grantsFromSeveralProcessesAllCount_data() { backEnds(); }
    void grantsFromSeveralProcessesAllCount();
    void poolServesThreadsSideBySide_data() { backEnds(); }
    void poolServesThreadsSideBySide();
    void pruningBoundsStateWithoutLogin_data() { backEnds(); }
    void pruningBoundsStateWithoutLogin();
    void postgresStatements();
    void postgresConnectionLoss();

private:
    void backEnds();
    // A new empty database: an SQLite file's path or a PostgreSQL URL.
    QString freshDatabase(bool postgres);
    std::unique_ptr<Database> openPlain(const QString &location);

    QTemporaryDir m_dir;
    PostgresCluster m_cluster;
    int m_files = 0;
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

void ServerStorageTest::cleanupTestCase()
{
    m_cluster.stop();
}

void ServerStorageTest::backEnds()
{
    QTest::addColumn<bool>("postgres");
    QTest::newRow("sqlite") << false;
    QTest::newRow("postgresql") << true;
}

QString ServerStorageTest::freshDatabase(bool postgres)
{
    if (!postgres)
        return m_dir.filePath(QStringLiteral("db%1.db").arg(++m_files));
    if (!m_cluster.start())
        return {};
    return m_cluster.createDatabase();
}

std::unique_ptr<Database> ServerStorageTest::openPlain(const QString &location)
{
    return isPostgresLocation(location) ? openPostgresDatabase(location)
                                        : openSqliteDatabase(location);
}

// A fresh database of the row's back end; the test is skipped when
// PostgreSQL cannot start here.
#define FRESH_DATABASE(name)                                                                       \
    QFETCH(bool, postgres);                                                                        \
    const QString name = freshDatabase(postgres);                                                  \
    if (name.isEmpty())                                                                            \
        QSKIP(qPrintable(m_cluster.reason()));

void ServerStorageTest::newDatabaseGetsTheCurrentVersion()
{
    FRESH_DATABASE(path)
    const int latest = schemaMigrations(openPlain(path)->kind()).back().version;
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
    FRESH_DATABASE(location)
    const auto db = openPlain(location);
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
    FRESH_DATABASE(path)
    openServiceDatabase(path)->exec("UPDATE schema_version SET version = 99;"
                                    "INSERT INTO config (key, value) VALUES ('k', 'v')");
    try {
        openServiceDatabase(path);
        QFAIL("a database of a newer program opened");
    } catch (const DatabaseError &error) {
        QVERIFY2(QByteArray(error.what()).contains("99"), error.what());
    }
    const auto db = openPlain(path);
    QCOMPARE(schemaVersion(*db), 99);
    QCOMPARE(count(*db, "SELECT COUNT(*) FROM config"), 1);
}

void ServerStorageTest::processesStartingTogetherMigrateOnce()
{
    FRESH_DATABASE(location)
    // Separate connections, as two service processes started at once have.
    std::vector<std::future<int>> openings;
    for (int i = 0; i < 4; ++i)
        openings.push_back(std::async(std::launch::async,
            [location] { return schemaVersion(*openServiceDatabase(location)); }));
    const int latest = schemaMigrations(openPlain(location)->kind()).back().version;
    for (auto &opening : openings)
        QCOMPARE(opening.get(), latest);
    QCOMPARE(count(*openPlain(location), "SELECT COUNT(*) FROM schema_version"), 1);
}

void ServerStorageTest::addressesMatchWithoutCase()
{
    FRESH_DATABASE(location)
    Store store(m_dir.filePath("data"), location);
    const QString email = QStringLiteral("Mixed.Case%1@Example.com").arg(m_files);
    QVERIFY(store.createAccount(email, "h"));
    QVERIFY(!store.createAccount(email.toLower(), "h2"));
    const std::optional<Account> account = store.accountByEmail(email.toUpper());
    QVERIFY(account);
    QCOMPARE(account->email, email);
    QCOMPARE(account->password, QStringLiteral("h"));
    QVERIFY(store.grantVip(email.toLower(), 2, false, true));
    QVERIFY(store.grantVip(email, 1, false, false));
    const std::optional<Account> granted = store.accountById(account->id);
    QVERIFY(qAbs(granted->vipUntil - currentTime() - 3 * 86400) < 60);
    QVERIFY(granted->svip);
}

void ServerStorageTest::grantsFromSeveralProcessesAllCount()
{
    FRESH_DATABASE(location)
    const QString email = QStringLiteral("many@example.com");
    Store(m_dir.filePath("data"), location).createAccount(email, "h");
    // Each grant reads the current end and writes a later one: on separate
    // connections, as separate processes have, none may be lost.
    constexpr int Stores = 4;
    constexpr int Grants = 5;
    std::vector<std::future<void>> granting;
    for (int i = 0; i < Stores; ++i) {
        granting.push_back(std::async(std::launch::async, [this, location, email] {
            Store store(m_dir.filePath("data"), location);
            for (int grant = 0; grant < Grants; ++grant)
                store.grantVip(email, 1, false, false);
        }));
    }
    for (auto &done : granting)
        done.get();
    const std::optional<Account> account
        = Store(m_dir.filePath("data"), location).accountByEmail(email);
    QVERIFY(qAbs(account->vipUntil - currentTime() - Stores * Grants * 86400) < 60);
}

void ServerStorageTest::poolServesThreadsSideBySide()
{
    FRESH_DATABASE(location)
    Store store(m_dir.filePath("data"), location, 4);
    const QString email = QStringLiteral("pooled%1@example.com").arg(m_files);
    QVERIFY(store.createAccount(email, "h"));
    // Grants from eight threads over four connections: each read-then-write
    // stays whole, none is lost.
    std::vector<std::future<void>> granting;
    for (int i = 0; i < 8; ++i) {
        granting.push_back(std::async(std::launch::async, [&store, email] {
            for (int grant = 0; grant < 5; ++grant)
                store.grantVip(email, 1, false, false);
        }));
    }
    for (auto &done : granting)
        done.get();
    QVERIFY(qAbs(store.accountByEmail(email)->vipUntil - currentTime() - 40 * 86400) < 60);
    if (!postgres)
        return;
    // Statements that wait run side by side on PostgreSQL, not in turn: four
    // waits of 1 s end in well under the 4 s they take one after another,
    // with room left for a busy machine's slower connections.
    QElapsedTimer timer;
    timer.start();
    std::vector<std::future<void>> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.push_back(std::async(std::launch::async, [&store] {
            const ConnectionPool::Lease db = store.database().lease();
            Statement(*db, "SELECT pg_sleep(1)").next();
        }));
    }
    for (auto &done : waiting)
        done.get();
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
}

void ServerStorageTest::pruningBoundsStateWithoutLogin()
{
    FRESH_DATABASE(location)
    Store store(m_dir.filePath("data"), location);
    QVERIFY(store.createAccount("owner@example.com", "h"));
    const QString old(32, '1'), loggedIn(32, '2'), fresh(32, '3');
    store.setCaptcha(old, "ABCD");
    store.setSessionAccount(loggedIn, store.accountByEmail("owner@example.com")->id);
    {
        const ConnectionPool::Lease db = store.database().lease();
        db->exec("UPDATE sessions SET created = created - 7200, seen = seen - 7200");
        db->exec("UPDATE captchas SET created = created - 700");
    }
    store.setCaptcha(fresh, "EFGH");
    // Counters go once their window has passed.
    const std::int64_t nowMs = QDateTime::currentMSecsSinceEpoch();
    SharedRateLimit limit(store.database(), "test", 1, 3600000);
    QVERIFY(limit.take("stale", nowMs - 3600001));
    QVERIFY(limit.take("live", nowMs));
    store.prune(30 * 86400, 3600, 600);
    QVERIFY(!limit.take("live", nowMs));
    // The hour-old session that never logged in and the stale captcha are
    // gone; the logged-in session and the fresh captcha stay.
    QCOMPARE(store.sessionAccount(old), 0);
    QVERIFY(store.sessionAccount(loggedIn) > 0);
    QCOMPARE(store.checkCaptcha(fresh, "EFGH", 600), Store::CaptchaCheck::Match);
    const ConnectionPool::Lease lease = store.database().lease();
    Database &db = *lease;
    Statement sessions(db, "SELECT COUNT(*) FROM sessions");
    QVERIFY(sessions.next());
    QCOMPARE(sessions.integer(0), 2);
    Statement captchas(db, "SELECT COUNT(*) FROM captchas");
    QVERIFY(captchas.next());
    QCOMPARE(captchas.integer(0), 1);
    Statement limits(db, "SELECT COUNT(*) FROM limits");
    QVERIFY(limits.next());
    QCOMPARE(limits.integer(0), 1);
}

void ServerStorageTest::postgresStatements()
{
    const QString location = freshDatabase(true);
    if (location.isEmpty())
        QSKIP(qPrintable(m_cluster.reason()));
    const auto db = openPostgresDatabase(location);
    db->exec("CREATE TABLE t (id BIGINT GENERATED BY DEFAULT AS IDENTITY, "
             "note TEXT, data BYTEA, n BIGINT)");
    // Question marks in quoted text and comments are not parameters.
    const char *insertText = "INSERT INTO t (note, data, n) VALUES ('why?' || ?, ?, ?) -- n?\n";
    const QByteArray bytes("\0\x01\xff'?\\x", 7);
    Statement(*db, insertText).bind(1, QStringLiteral("片名?")).bind(2, bytes).bindNull(3).run();
    QCOMPARE(db->changes(), 1);
    Statement(*db, insertText)
        .bind(1, QString())
        .bind(2, QByteArray())
        .bind(3, std::int64_t(-5000000000))
        .run();

    Statement rows(*db, "SELECT note, data, n FROM t ORDER BY id");
    QVERIFY(rows.next());
    QCOMPARE(rows.text(0), QStringLiteral("why?片名?"));
    QCOMPARE(rows.blob(1), bytes);
    QVERIFY(rows.isNull(2));
    QVERIFY(rows.next());
    QCOMPARE(rows.text(0), QStringLiteral("why?"));
    QCOMPARE(rows.integer(2), std::int64_t(-5000000000));
    QVERIFY(!rows.next());

    Statement(*db, "UPDATE t SET n = 1").run();
    QCOMPARE(db->changes(), 2);
    QVERIFY_EXCEPTION_THROWN(Statement(*db, "SELECT ?").bind(2, std::int64_t(1)), DatabaseError);
    try {
        Statement(*db, "INSERT INTO missing VALUES (1)").run();
        QFAIL("a statement on a missing table ran");
    } catch (const DatabaseError &error) {
        QVERIFY2(QByteArray(error.what()).contains("missing"), error.what());
        QVERIFY(!error.storageFull());
    }
}

void ServerStorageTest::postgresConnectionLoss()
{
    const QString location = freshDatabase(true);
    if (location.isEmpty())
        QSKIP(qPrintable(m_cluster.reason()));
    const auto db = openServiceDatabase(location);
    const auto administrator = openPostgresDatabase(location);
    const auto backend = [&db] {
        Statement query(*db, "SELECT pg_backend_pid()");
        query.next();
        return query.integer(0);
    };
    // Ends the connection as a server restart would, and waits until it is gone.
    const auto dropConnection = [&administrator](std::int64_t pid) {
        Statement(*administrator, "SELECT pg_terminate_backend(CAST(? AS INTEGER), 10000)")
            .bind(1, pid)
            .run();
    };

    // Between calls: the next call opens a new connection and works, its
    // prepared statements made again.
    const std::int64_t first = backend();
    dropConnection(first);
    const std::int64_t second = backend();
    QVERIFY(second != first);
    Statement(*db, "INSERT INTO config (key, value) VALUES ('a', '1')").run();

    // Inside a transaction: its work is gone, so the rest of it must fail
    // rather than go through on its own.
    {
        Transaction transaction(*db);
        Statement(*db, "INSERT INTO config (key, value) VALUES ('b', '2')").run();
        dropConnection(second);
        QVERIFY_EXCEPTION_THROWN(
            Statement(*db, "INSERT INTO config (key, value) VALUES ('c', '3')").run(),
            DatabaseError);
    }
    QCOMPARE(count(*db, "SELECT COUNT(*) FROM config"), 1);
}

QTEST_GUILESS_MAIN(ServerStorageTest)
#include "tst_serverstorage.moc"
