#include "store.h"

#include "passwords.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <algorithm>

std::int64_t currentTime()
{
    return QDateTime::currentSecsSinceEpoch();
}

namespace {

QString databaseLocation(const QString &dataDir, const QString &database)
{
    // The folder holds the accounts and the outbox: owner only when made here.
    if (!QDir(dataDir).exists()) {
        QDir().mkpath(dataDir);
        QFile::setPermissions(dataDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    return database.isEmpty() ? QDir(dataDir).filePath(QStringLiteral("tavrion.db")) : database;
}

constexpr const char *AccountColumns
    = "id, email, password, vip_until, vip_permanent, svip FROM accounts";
constexpr const char *FileColumns
    = "id, resource, idx, name, size, path, jxhash, swarm_id, content FROM files";

std::string select(const char *columns, const char *rest)
{
    return std::string("SELECT ") + columns + " " + rest;
}

} // namespace

Store::Store(const QString &dataDir, const QString &database, int connections)
    : m_dataDir(QDir(dataDir).absolutePath())
    , m_pool(
          openServiceDatabase(databaseLocation(dataDir, database)),
          [location = databaseLocation(dataDir, database)] {
              return openPostgresDatabase(location);
          },
          isPostgresLocation(databaseLocation(dataDir, database)) ? connections : 1)
{
}

QString Store::absolutePath(const QString &relative) const
{
    return QDir(m_dataDir).filePath(relative);
}

std::int64_t Store::sessionAccount(const QString &session)
{
    const ConnectionPool::Lease db = m_pool.lease();
    const std::int64_t now = currentTime();
    std::int64_t account = 0;
    std::int64_t seen = 0;
    {
        Statement query(*db, "SELECT account_id, seen FROM sessions WHERE id = ?");
        query.bind(1, session);
        if (!query.next())
            return 0;
        account = query.isNull(0) ? 0 : query.integer(0);
        seen = query.integer(1);
    }
    // Idle sessions expire; use is noted at most once a day, and a disk too
    // full to note it must not fail the request.
    if (now - seen > 86400) {
        try {
            Statement touch(*db, "UPDATE sessions SET seen = ? WHERE id = ?");
            touch.bind(1, now).bind(2, session).run();
        } catch (const DatabaseError &) {
        }
    }
    return account;
}

void Store::storeSession(const QString &session)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement insert(*db,
        "INSERT INTO sessions (id, created, seen) VALUES (?, ?, ?) "
        "ON CONFLICT (id) DO UPDATE SET seen = excluded.seen");
    insert.bind(1, session).bind(2, currentTime()).bind(3, currentTime()).run();
}

void Store::setSessionAccount(const QString &session, std::int64_t accountId)
{
    const ConnectionPool::Lease db = m_pool.lease();
    if (accountId > 0)
        storeSession(session);
    Statement update(*db, "UPDATE sessions SET account_id = ?, seen = ? WHERE id = ?");
    if (accountId > 0)
        update.bind(1, accountId);
    else
        update.bindNull(1);
    update.bind(2, currentTime()).bind(3, session).run();
}

bool Store::loggedInFrom(std::int64_t accountId, const QString &address)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db, "SELECT 1 FROM login_addresses WHERE account_id = ? AND address = ?");
    query.bind(1, accountId).bind(2, address);
    return query.next();
}

void Store::noteLoginAddress(std::int64_t accountId, const QString &address)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement upsert(*db,
        "INSERT INTO login_addresses (account_id, address, seen) VALUES (?, ?, ?) "
        "ON CONFLICT (account_id, address) DO UPDATE SET seen = excluded.seen");
    upsert.bind(1, accountId).bind(2, address).bind(3, currentTime()).run();
}

void Store::setCaptcha(const QString &session, const QString &code)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Transaction transaction(*db);
    storeSession(session);
    Statement insert(*db,
        "INSERT INTO captchas (session_id, code, created, failures) VALUES (?, ?, ?, 0) "
        "ON CONFLICT (session_id) DO UPDATE SET code = excluded.code, "
        "created = excluded.created, failures = 0");
    insert.bind(1, session).bind(2, code).bind(3, currentTime()).run();
    transaction.commit();
}

Store::CaptchaCheck Store::checkCaptcha(
    const QString &session, const QString &code, std::int64_t maxAge)
{
    constexpr int MaxFailures = 5;
    const ConnectionPool::Lease db = m_pool.lease();
    QString stored;
    std::int64_t created = 0;
    std::int64_t failures = 0;
    {
        Statement query(*db, "SELECT code, created, failures FROM captchas WHERE session_id = ?");
        query.bind(1, session);
        if (query.next()) {
            stored = query.text(0);
            created = query.integer(1);
            failures = query.integer(2);
        }
    }
    if (stored.isEmpty() || currentTime() - created > maxAge) {
        dropCaptcha(session);
        return CaptchaCheck::Missing;
    }
    if (stored.compare(code, Qt::CaseInsensitive) == 0)
        return CaptchaCheck::Match;
    // A few wrong guesses use the picture up, so it cannot be guessed through.
    if (failures + 1 >= MaxFailures) {
        dropCaptcha(session);
    } else {
        Statement update(*db, "UPDATE captchas SET failures = failures + 1 WHERE session_id = ?");
        update.bind(1, session).run();
    }
    return CaptchaCheck::Wrong;
}

void Store::dropCaptcha(const QString &session)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement remove(*db, "DELETE FROM captchas WHERE session_id = ?");
    remove.bind(1, session).run();
}

Account Store::accountFromRow(Statement &statement)
{
    Account account;
    account.id = statement.integer(0);
    account.email = statement.text(1);
    account.password = statement.text(2);
    account.vipUntil = statement.integer(3);
    account.vipPermanent = statement.integer(4) != 0;
    account.svip = statement.integer(5) != 0;
    return account;
}

std::optional<Account> Store::accountByEmail(const QString &email)
{
    const ConnectionPool::Lease db = m_pool.lease();
    // SQLite's column compares without regard to case; PostgreSQL's unique
    // index is on the lower-case address.
    const char *match = db->kind() == Database::Kind::Postgresql ? "WHERE lower(email) = lower(?)"
                                                                 : "WHERE email = ?";
    Statement query(*db, select(AccountColumns, match).c_str());
    query.bind(1, email);
    if (!query.next())
        return std::nullopt;
    return accountFromRow(query);
}

std::optional<Account> Store::accountById(std::int64_t id)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db, select(AccountColumns, "WHERE id = ?").c_str());
    query.bind(1, id);
    if (!query.next())
        return std::nullopt;
    return accountFromRow(query);
}

bool Store::createAccount(const QString &email, const QString &passwordHash)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement insert(*db,
        "INSERT INTO accounts (email, password, created) VALUES (?, ?, ?) "
        "ON CONFLICT DO NOTHING");
    insert.bind(1, email).bind(2, passwordHash).bind(3, currentTime()).run();
    return db->changes() == 1;
}

void Store::setPassword(std::int64_t accountId, const QString &passwordHash)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Transaction transaction(*db);
    Statement update(*db, "UPDATE accounts SET password = ? WHERE id = ?");
    update.bind(1, passwordHash).bind(2, accountId).run();
    dropPendingPassword(accountId);
    transaction.commit();
}

void Store::setPendingPassword(std::int64_t accountId, const QString &passwordHash)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement insert(*db,
        "INSERT INTO pending_passwords (account_id, password, created) VALUES (?, ?, ?) "
        "ON CONFLICT (account_id) DO UPDATE SET password = excluded.password, "
        "created = excluded.created");
    insert.bind(1, accountId).bind(2, passwordHash).bind(3, currentTime()).run();
}

QString Store::pendingPassword(std::int64_t accountId)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db, "SELECT password FROM pending_passwords WHERE account_id = ?");
    query.bind(1, accountId);
    return query.next() ? query.text(0) : QString();
}

void Store::dropPendingPassword(std::int64_t accountId)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement remove(*db, "DELETE FROM pending_passwords WHERE account_id = ?");
    remove.bind(1, accountId).run();
}

bool Store::grantVip(const QString &email, int days, bool permanent, bool svip)
{
    const ConnectionPool::Lease db = m_pool.lease();
    // Two grants at once must both count.
    Transaction transaction(*db);
    const std::optional<Account> account = accountByEmail(email);
    if (!account)
        return false;
    const std::int64_t start = std::max(currentTime(), account->vipUntil);
    const std::int64_t until = days > 0 ? start + std::int64_t(days) * 86400 : account->vipUntil;
    Statement update(*db,
        "UPDATE accounts SET vip_until = ?, vip_permanent = ?, svip = ? "
        "WHERE id = ?");
    update.bind(1, until)
        .bind(2, std::int64_t(permanent || account->vipPermanent))
        .bind(3, std::int64_t(svip || account->svip))
        .bind(4, account->id)
        .run();
    transaction.commit();
    return true;
}

QVector<Account> Store::accounts()
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db, select(AccountColumns, "ORDER BY id").c_str());
    QVector<Account> result;
    while (query.next())
        result.append(accountFromRow(query));
    return result;
}

QVector<Favourite> Store::favourites(std::int64_t accountId, int page, int perPage)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db,
        "SELECT id, hash, idx, name FROM favourites WHERE account_id = ? "
        "ORDER BY id DESC LIMIT ? OFFSET ?");
    query.bind(1, accountId)
        .bind(2, std::int64_t(perPage))
        .bind(3, std::int64_t(page - 1) * perPage);
    QVector<Favourite> result;
    while (query.next())
        result.append({ query.integer(0), query.text(1), query.integer(2), query.text(3) });
    return result;
}

bool Store::addFavourite(
    std::int64_t accountId, const QString &hash, std::int64_t index, const QString &name)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement insert(*db,
        "INSERT INTO favourites (account_id, hash, idx, name, created) "
        "VALUES (?, ?, ?, ?, ?) ON CONFLICT DO NOTHING");
    insert.bind(1, accountId).bind(2, hash).bind(3, index).bind(4, name).bind(5, currentTime());
    insert.run();
    return db->changes() == 1;
}

bool Store::deleteFavourite(std::int64_t accountId, std::int64_t id)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement remove(*db, "DELETE FROM favourites WHERE id = ? AND account_id = ?");
    remove.bind(1, id).bind(2, accountId).run();
    return db->changes() == 1;
}

void Store::addReport(
    std::int64_t accountId, const QString &session, const QString &name, const QString &description)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement insert(*db,
        "INSERT INTO reports (account_id, session_id, name, description, "
        "created) VALUES (?, ?, ?, ?, ?)");
    if (accountId > 0)
        insert.bind(1, accountId);
    else
        insert.bindNull(1);
    insert.bind(2, session).bind(3, name).bind(4, description).bind(5, currentTime()).run();
}

int Store::reportCount()
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db, "SELECT COUNT(*) FROM reports");
    query.next();
    return int(query.integer(0));
}

bool Store::resourceExists(const QString &hash)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db, "SELECT 1 FROM resources WHERE hash = ?");
    query.bind(1, hash);
    return query.next();
}

void Store::addResource(
    const QString &hash, const QString &kind, const QString &name, const QVector<FileRecord> &files)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Transaction transaction(*db);
    Statement resource(*db, "INSERT INTO resources (hash, kind, name, added) VALUES (?, ?, ?, ?)");
    resource.bind(1, hash).bind(2, kind).bind(3, name).bind(4, currentTime()).run();
    for (const FileRecord &file : files) {
        Statement insert(*db,
            "INSERT INTO files (resource, idx, name, size, path, jxhash, swarm_id, content) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, hash)
            .bind(2, file.index)
            .bind(3, file.name)
            .bind(4, file.size)
            .bind(5, file.path)
            .bind(6, file.jxhash)
            .bind(7, file.swarmId)
            .bind(8, file.content)
            .run();
    }
    transaction.commit();
}

FileRecord Store::fileFromRow(Statement &statement)
{
    FileRecord file;
    file.id = statement.integer(0);
    file.resource = statement.text(1);
    file.index = statement.integer(2);
    file.name = statement.text(3);
    file.size = statement.integer(4);
    file.path = statement.text(5);
    file.jxhash = statement.text(6);
    file.swarmId = statement.text(7);
    file.content = statement.text(8);
    return file;
}

QVector<FileRecord> Store::resourceFiles(const QString &hash)
{
    {
        std::shared_lock guard(m_libraryMutex);
        const auto held = m_libraryFiles.constFind(hash);
        if (held != m_libraryFiles.constEnd())
            return *held;
    }
    QVector<FileRecord> result;
    {
        const ConnectionPool::Lease db = m_pool.lease();
        Statement query(*db, select(FileColumns, "WHERE resource = ? ORDER BY idx").c_str());
        query.bind(1, hash);
        while (query.next())
            result.append(fileFromRow(query));
    }
    const bool library = !result.isEmpty()
        && std::all_of(result.cbegin(), result.cend(),
            [](const FileRecord &file) { return file.swarmId.isEmpty(); });
    if (library) {
        // Bounded: a library larger than this is read again now and then.
        constexpr int MaxHeldResources = 4096;
        std::unique_lock guard(m_libraryMutex);
        if (m_libraryFiles.size() >= MaxHeldResources)
            m_libraryFiles.clear();
        m_libraryFiles.insert(hash, result);
    }
    return result;
}

std::optional<FileRecord> Store::file(const QString &hash, std::int64_t index)
{
    // A resource's files are stored together, so its list says whether the
    // index exists.
    for (const FileRecord &file : resourceFiles(hash)) {
        if (file.index == index)
            return file;
    }
    return std::nullopt;
}

std::optional<FileRecord> Store::firstFileWithContent(const QString &jxhash)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db, select(FileColumns, "WHERE jxhash = ? ORDER BY id LIMIT 1").c_str());
    query.bind(1, jxhash);
    if (!query.next())
        return std::nullopt;
    return fileFromRow(query);
}

QStringList Store::resourceHashes()
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db, "SELECT hash FROM resources ORDER BY added, hash");
    QStringList result;
    while (query.next())
        result.append(query.text(0));
    return result;
}

QStringList Store::swarmResourceHashes()
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db, "SELECT hash FROM resources WHERE kind = 'swarm' ORDER BY added, hash");
    QStringList result;
    while (query.next())
        result.append(query.text(0));
    return result;
}

void Store::setSwarmContent(std::int64_t fileId, const QString &content)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement update(
        *db, "UPDATE files SET content = ?, jxhash = ? WHERE id = ? AND swarm_id != ''");
    update.bind(1, content).bind(2, content).bind(3, fileId).run();
}

void Store::clearSwarmContent(const QString &hash)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement update(
        *db, "UPDATE files SET jxhash = swarm_id WHERE resource = ? AND swarm_id != ''");
    update.bind(1, hash).run();
}

AddressCode Store::issueCode(
    std::int64_t fileId, const QString &session, bool reload, std::int64_t lifetime)
{
    const ConnectionPool::Lease db = m_pool.lease();
    // Code lifetimes are kept in milliseconds, so a short one is not cut by
    // up to a second when it starts late in a second.
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    // Expired codes are left to prune(): deleting them here made every
    // address call a write.
    if (reload) {
        Statement remove(*db, "DELETE FROM codes WHERE file_id = ? AND session_id = ?");
        remove.bind(1, fileId).bind(2, session).run();
        std::unique_lock guard(m_codesMutex);
        for (auto held = m_codes.begin(); held != m_codes.end();) {
            if (held->target->file.id == fileId && held->session == session)
                held = m_codes.erase(held);
            else
                ++held;
        }
    } else {
        Statement query(*db,
            "SELECT code, cookie, expires FROM codes "
            "WHERE file_id = ? AND session_id = ? AND expires > ? ORDER BY expires DESC");
        query.bind(1, fileId).bind(2, session).bind(3, now);
        if (query.next())
            return { query.text(0), query.text(1), query.integer(2) };
    }
    const AddressCode code { randomHex(16), QStringLiteral("tav_ftn=") + randomHex(16),
        now + lifetime * 1000 };
    Statement insert(*db,
        "INSERT INTO codes (code, file_id, session_id, cookie, expires) "
        "VALUES (?, ?, ?, ?, ?)");
    insert.bind(1, code.code)
        .bind(2, fileId)
        .bind(3, session)
        .bind(4, code.cookie)
        .bind(5, code.expires)
        .run();
    Statement file(*db, select(FileColumns, "WHERE id = ?").c_str());
    file.bind(1, fileId);
    if (file.next())
        holdCode(code.code,
            { std::make_shared<const CodeTarget>(CodeTarget { fileFromRow(file), code.cookie }),
                session, code.expires, now });
    return code;
}

void Store::holdCode(const QString &code, const HeldCode &held)
{
    std::unique_lock guard(m_codesMutex);
    m_codes.insert(code, held);
}

std::shared_ptr<const CodeTarget> Store::cachedCodeTarget(const QString &code)
{
    // A held code is trusted this long before the database is asked again.
    constexpr std::int64_t RecheckMilliseconds = 30000;
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    std::shared_lock guard(m_codesMutex);
    const auto held = m_codes.constFind(code);
    if (held == m_codes.constEnd() || held->expires <= now
        || now - held->checked >= RecheckMilliseconds)
        return nullptr;
    return held->target;
}

std::shared_ptr<const CodeTarget> Store::codeTarget(const QString &code)
{
    if (std::shared_ptr<const CodeTarget> held = cachedCodeTarget(code))
        return held;
    const ConnectionPool::Lease db = m_pool.lease();
    const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
    Statement query(*db,
        "SELECT files.id, files.resource, files.idx, files.name, files.size, files.path, "
        "files.jxhash, files.swarm_id, files.content, codes.cookie, codes.session_id, "
        "codes.expires FROM codes "
        "JOIN files ON files.id = codes.file_id "
        "WHERE codes.code = ? AND codes.expires > ?");
    query.bind(1, code).bind(2, now);
    if (!query.next()) {
        std::unique_lock guard(m_codesMutex);
        m_codes.remove(code);
        return nullptr;
    }
    const HeldCode held { std::make_shared<const CodeTarget>(
                              CodeTarget { fileFromRow(query), query.text(9) }),
        query.text(10), query.integer(11), now };
    holdCode(code, held);
    return held.target;
}

void Store::prune(std::int64_t maxIdle, std::int64_t anonymousIdle, std::int64_t captchaAge)
{
    const ConnectionPool::Lease db = m_pool.lease();
    const std::int64_t now = currentTime();
    const std::int64_t nowMs = QDateTime::currentMSecsSinceEpoch();
    Statement codes(*db, "DELETE FROM codes WHERE expires <= ?");
    codes.bind(1, nowMs).run();
    {
        std::unique_lock guard(m_codesMutex);
        for (auto held = m_codes.begin(); held != m_codes.end();) {
            if (held->expires <= nowMs)
                held = m_codes.erase(held);
            else
                ++held;
        }
    }
    Statement limits(*db, "DELETE FROM limits WHERE expires <= ?");
    limits.bind(1, nowMs).run();
    Statement addresses(*db, "DELETE FROM login_addresses WHERE seen < ?");
    addresses.bind(1, now - 365 * 86400).run();
    Statement captchas(*db, "DELETE FROM captchas WHERE created < ?");
    captchas.bind(1, now - captchaAge).run();
    Statement anonymous(*db, "DELETE FROM sessions WHERE account_id IS NULL AND seen < ?");
    anonymous.bind(1, now - anonymousIdle).run();
    Statement sessions(*db, "DELETE FROM sessions WHERE created < ? AND seen < ?");
    sessions.bind(1, now - maxIdle).bind(2, now - maxIdle).run();
}

QString Store::config(const QString &key)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement query(*db, "SELECT value FROM config WHERE key = ?");
    query.bind(1, key);
    return query.next() ? query.text(0) : QString();
}

void Store::setConfig(const QString &key, const QString &value)
{
    const ConnectionPool::Lease db = m_pool.lease();
    Statement insert(*db,
        "INSERT INTO config (key, value) VALUES (?, ?) "
        "ON CONFLICT (key) DO UPDATE SET value = excluded.value");
    insert.bind(1, key).bind(2, value).run();
}
