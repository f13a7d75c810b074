#pragma once

#include "database.h"

#include <QHash>
#include <QString>
#include <QVector>

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>

struct Account
{
    std::int64_t id = 0;
    QString email;
    QString password;
    std::int64_t vipUntil = 0;
    bool vipPermanent = false;
    bool svip = false;
};

struct FileRecord
{
    std::int64_t id = 0;
    QString resource;
    std::int64_t index = 0;
    QString name;
    std::int64_t size = 0;
    QString path; // relative to the data folder
    QString jxhash;
    // Files of swarm resources: the stable id the file is named by while its
    // content is not held complete, and the content hash once it was.
    QString swarmId;
    QString content;
};

struct Favourite
{
    std::int64_t id = 0;
    QString hash;
    std::int64_t index = 0;
    QString name;
};

struct CodeTarget
{
    FileRecord file;
    QString cookie; // "name=value" the request has to carry
};

struct AddressCode
{
    QString code;
    QString cookie;
    std::int64_t expires = 0; // milliseconds since 1970
};

// Every record the service keeps, in the service's database: the SQLite file
// of the data folder, or a PostgreSQL database that several processes share.
// The data folder keeps the files (library payloads, mails, pictures) either way.
// Each method holds one connection of the store's pool for its whole run, so
// it is safe to call from any request thread.
class Store
{
public:
    // database: a postgresql:// URL or an SQLite file's path; empty: the data
    // folder's own file.
    // connections: how many PostgreSQL connections requests may use side by
    // side; an SQLite file is always used through one.
    explicit Store(
        const QString &dataDir, const QString &database = QString(), int connections = 1);

    QString dataDir() const { return m_dataDir; }
    // The connections behind the store, for records kept by other parts.
    ConnectionPool &database() { return m_pool; }
    QString absolutePath(const QString &relative) const;

    // Sessions: stored only once they hold something (a captcha, a login),
    // so that calls that only read leave no trace and need no disk space.
    // The account logged in on a session, or 0.
    std::int64_t sessionAccount(const QString &session);
    void storeSession(const QString &session);
    void setSessionAccount(const QString &session, std::int64_t accountId);

    // Captchas: one per session, replaced by each new picture.
    enum class CaptchaCheck { Match, Wrong, Missing };
    void setCaptcha(const QString &session, const QString &code);
    CaptchaCheck checkCaptcha(const QString &session, const QString &code, std::int64_t maxAge);
    void dropCaptcha(const QString &session);

    // Addresses an account logged in from (kept while they are used within
    // a year).
    bool loggedInFrom(std::int64_t accountId, const QString &address);
    void noteLoginAddress(std::int64_t accountId, const QString &address);

    std::optional<Account> accountByEmail(const QString &email);
    std::optional<Account> accountById(std::int64_t id);
    // False when the address is already registered.
    bool createAccount(const QString &email, const QString &passwordHash);
    // Sets the password and drops any pending retrieval password.
    void setPassword(std::int64_t accountId, const QString &passwordHash);
    // A retrieval's mailed password is held beside the current one until
    // either is used to log in; a new retrieval replaces it.
    void setPendingPassword(std::int64_t accountId, const QString &passwordHash);
    // The pending password's hash, or an empty text.
    QString pendingPassword(std::int64_t accountId);
    void dropPendingPassword(std::int64_t accountId);
    // days > 0 extends from the later of now and the current end.
    bool grantVip(const QString &email, int days, bool permanent, bool svip);
    QVector<Account> accounts();

    QVector<Favourite> favourites(std::int64_t accountId, int page, int perPage);
    // False when the account already keeps this file.
    bool addFavourite(
        std::int64_t accountId, const QString &hash, std::int64_t index, const QString &name);
    // False when no favourite of that account has this id.
    bool deleteFavourite(std::int64_t accountId, std::int64_t id);

    void addReport(std::int64_t accountId, const QString &session, const QString &name,
        const QString &description);
    int reportCount();

    bool resourceExists(const QString &hash);
    void addResource(const QString &hash, const QString &kind, const QString &name,
        const QVector<FileRecord> &files);
    QVector<FileRecord> resourceFiles(const QString &hash);
    std::optional<FileRecord> file(const QString &hash, std::int64_t index);
    // The first stored file with this content, the one others remap to.
    std::optional<FileRecord> firstFileWithContent(const QString &jxhash);
    QStringList resourceHashes();
    // Swarm resources: their files are named by swarmId until setSwarmContent
    // gives the content hash; clearSwarmContent names them by swarmId again
    // (their bytes left the cache).
    QStringList swarmResourceHashes();
    void setSwarmContent(std::int64_t fileId, const QString &content);
    void clearSwarmContent(const QString &hash);

    // A live code of this session for the file, or a new one; reload drops the
    // session's earlier codes for the file and always issues a new one.
    AddressCode issueCode(
        std::int64_t fileId, const QString &session, bool reload, std::int64_t lifetime);
    // The file and cookie behind a code that has not expired. Codes are kept
    // in memory as they are issued or first looked up; the database, which
    // other processes share, is asked for codes not held here and for held
    // ones now and then (another process may have replaced them).
    // Null when there is none. The record is shared with the memory's copy,
    // so that a request does not copy its strings.
    std::shared_ptr<const CodeTarget> codeTarget(const QString &code);
    // The same from memory only, without touching the database: null when
    // the code is not held or is due for a fresh look.
    std::shared_ptr<const CodeTarget> cachedCodeTarget(const QString &code);

    // Drops what can no longer be used: expired codes and counters, captchas
    // older than captchaAge, sessions without a login unused for
    // anonymousIdle and the others unused for maxIdle (seconds).
    void prune(std::int64_t maxIdle, std::int64_t anonymousIdle, std::int64_t captchaAge);

    QString config(const QString &key);
    void setConfig(const QString &key, const QString &value);

private:
    FileRecord fileFromRow(Statement &statement);
    Account accountFromRow(Statement &statement);

    struct HeldCode
    {
        std::shared_ptr<const CodeTarget> target;
        QString session;
        std::int64_t expires = 0; // milliseconds since 1970
        std::int64_t checked = 0; // when the database last confirmed it
    };
    void holdCode(const QString &code, const HeldCode &held);

    // Files of library resources never change once added (swarm files gain
    // and lose their content hash, so they are always read afresh): their
    // lists are kept here after the first read, and browsing them needs no
    // round trip to a shared database.
    std::shared_mutex m_libraryMutex;
    QHash<QString, QVector<FileRecord>> m_libraryFiles;

    QString m_dataDir;
    ConnectionPool m_pool;
    std::shared_mutex m_codesMutex;
    QHash<QString, HeldCode> m_codes;
};

std::int64_t currentTime();
