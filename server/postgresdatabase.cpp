#include "database.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// SQLSTATE of a server that has no room left to write.
constexpr const char *DiskFull = "53100";

// Every transaction takes this lock first (per database, released at its
// end), so transactions run one after another across processes as they do
// on SQLite, and two processes starting together do not both migrate.
constexpr const char *BeginLocked = "BEGIN; SELECT pg_advisory_xact_lock(7425118461)";

struct ResultDeleter
{
    void operator()(PGresult *result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// A statement's text with "?" placeholders numbered "$1".."$n" as PostgreSQL
// writes them; question marks inside quoted text, quoted names and comments
// stay as they are.
std::string numberPlaceholders(const char *sql, int *count)
{
    std::string out;
    *count = 0;
    for (const char *p = sql; *p; ++p) {
        const char c = *p;
        if (c == '\'' || c == '"') {
            out += c;
            while (p[1] && p[1] != c)
                out += *++p;
            if (p[1])
                out += *++p;
        } else if (c == '-' && p[1] == '-') {
            while (*p && *p != '\n')
                out += *p++;
            if (!*p)
                break;
            out += *p;
        } else if (c == '?') {
            out += '$' + std::to_string(++*count);
        } else {
            out += c;
        }
    }
    return out;
}

// A statement text this connection has turned into a server-side prepared
// statement, or will at its first run.
struct PreparedText
{
    std::string name;
    std::string sql;
    int parameters = 0;
    bool prepared = false;
};

class PostgresDatabase : public Database
{
public:
    explicit PostgresDatabase(const QString &url)
    {
        const QByteArray location = url.toUtf8();
        // Defaults the URL may override, the URL, then what this code relies on.
        const char *const keywords[]
            = { "application_name", "connect_timeout", "dbname", "client_encoding", nullptr };
        const char *const values[]
            = { "tavrion-server", "10", location.constData(), "UTF8", nullptr };
        m_conn = PQconnectdbParams(keywords, values, 1);
        if (!m_conn)
            throw DatabaseError("cannot connect to the database: out of memory");
        if (PQstatus(m_conn) != CONNECTION_OK) {
            const std::string message = PQerrorMessage(m_conn);
            PQfinish(m_conn);
            m_conn = nullptr;
            throw DatabaseError("cannot connect to the database: " + message);
        }
        PQsetNoticeProcessor(
            m_conn, [](void *, const char *) {}, nullptr);
    }
    ~PostgresDatabase() override { PQfinish(m_conn); }

    Kind kind() const override { return Kind::Postgresql; }

    void exec(const char *sql) override
    {
        ensureConnected();
        Result result(PQexec(m_conn, sql));
        check(result.get(), "exec");
        noteChanges(result.get());
    }

    std::unique_ptr<StatementBackend> prepare(const char *sql) override;

    int changes() const override { return m_changes; }

    bool hasTable(const char *name) override
    {
        ensureConnected();
        const char *const values[] = { name };
        Result result(PQexecParams(
            m_conn, "SELECT to_regclass($1) IS NOT NULL", 1, nullptr, values, nullptr, nullptr, 0));
        check(result.get(), "hasTable");
        return PQntuples(result.get()) == 1 && PQgetvalue(result.get(), 0, 0)[0] == 't';
    }

    void begin() override
    {
        ensureConnected();
        Result result(PQexec(m_conn, BeginLocked));
        m_inTransaction = PQresultStatus(result.get()) == PGRES_TUPLES_OK;
        if (!m_inTransaction && PQtransactionStatus(m_conn) == PQTRANS_INERROR)
            Result(PQexec(m_conn, "ROLLBACK"));
        check(result.get(), "begin");
    }

    void commit() override
    {
        m_inTransaction = false;
        exec("COMMIT");
    }

    void rollback() override
    {
        m_inTransaction = false;
        // A lost connection took its transaction with it.
        if (PQstatus(m_conn) == CONNECTION_OK)
            exec("ROLLBACK");
    }

    // Runs a prepared text with its parameters; the result holds its rows.
    Result run(PreparedText &text, const std::vector<std::string> &values,
        const std::vector<bool> &nulls, const std::vector<int> &formats)
    {
        ensureConnected();
        if (!text.prepared) {
            Result prepared(
                PQprepare(m_conn, text.name.c_str(), text.sql.c_str(), text.parameters, nullptr));
            check(prepared.get(), "prepare");
            text.prepared = true;
        }
        std::vector<const char *> pointers(values.size());
        std::vector<int> lengths(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            pointers[i] = nulls[i] ? nullptr : values[i].data();
            lengths[i] = int(values[i].size());
        }
        Result result(PQexecPrepared(m_conn, text.name.c_str(), text.parameters, pointers.data(),
            lengths.data(), formats.data(), 0));
        check(result.get(), "step");
        noteChanges(result.get());
        return result;
    }

private:
    // Before each call: a connection the server dropped (a restart, an
    // administrator's or an idle timeout's end) is opened afresh once, unless
    // a transaction was running on it; then the transaction's work is gone
    // and the call fails. The server says goodbye and closes its end, so
    // anything it sent while no call ran is read first to find that out.
    void ensureConnected()
    {
        pollfd pending { PQsocket(m_conn), POLLIN, 0 };
        while (PQstatus(m_conn) == CONNECTION_OK && poll(&pending, 1, 0) > 0
            && PQconsumeInput(m_conn) == 1) { }
        if (PQstatus(m_conn) == CONNECTION_OK)
            return;
        if (m_inTransaction)
            throw DatabaseError("the database connection was lost during a transaction");
        PQreset(m_conn);
        for (auto &entry : m_prepared)
            entry.second.prepared = false;
        if (PQstatus(m_conn) != CONNECTION_OK)
            throw DatabaseError(
                std::string("cannot reconnect to the database: ") + PQerrorMessage(m_conn));
    }

    void check(const PGresult *result, const char *what)
    {
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
            return;
        const char *state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        const char *message = result ? PQresultErrorMessage(result) : PQerrorMessage(m_conn);
        throw DatabaseError(std::string(what) + ": " + (message && *message ? message : "failed"),
            state && std::string(state) == DiskFull);
    }

    void noteChanges(PGresult *result)
    {
        const char *count = PQcmdTuples(result);
        m_changes = *count ? std::atoi(count) : 0;
    }

    friend class PostgresStatement;
    PreparedText &preparedText(const char *sql)
    {
        auto entry = m_prepared.find(sql);
        if (entry == m_prepared.end()) {
            PreparedText text;
            text.name = "s" + std::to_string(m_prepared.size() + 1);
            text.sql = numberPlaceholders(sql, &text.parameters);
            entry = m_prepared.emplace(sql, std::move(text)).first;
        }
        return entry->second;
    }

    PGconn *m_conn = nullptr;
    std::unordered_map<std::string, PreparedText> m_prepared;
    int m_changes = 0;
    bool m_inTransaction = false;
};

// Parameters go as text (integers written out), blobs as binary; the rows
// come back as text.
class PostgresStatement : public StatementBackend
{
public:
    PostgresStatement(PostgresDatabase &db, PreparedText &text)
        : m_db(db)
        , m_text(text)
        , m_values(std::size_t(text.parameters))
        , m_nulls(std::size_t(text.parameters), true)
        , m_formats(std::size_t(text.parameters), 0)
    {
    }

    void bindInteger(int position, std::int64_t value) override
    {
        set(position, std::to_string(value), 0);
    }
    void bindText(int position, const QString &value) override
    {
        set(position, value.toStdString(), 0);
    }
    void bindBlob(int position, const QByteArray &value) override
    {
        set(position, value.toStdString(), 1);
    }
    void bindNull(int position) override
    {
        slot(position);
        m_nulls[std::size_t(position - 1)] = true;
    }

    bool next() override
    {
        if (!m_result) {
            m_result = m_db.run(m_text, m_values, m_nulls, m_formats);
            m_row = 0;
        } else {
            ++m_row;
        }
        return m_row < PQntuples(m_result.get());
    }

    std::int64_t integer(int column) const override
    {
        return std::strtoll(PQgetvalue(m_result.get(), m_row, column), nullptr, 10);
    }
    QString text(int column) const override
    {
        return QString::fromUtf8(
            PQgetvalue(m_result.get(), m_row, column), PQgetlength(m_result.get(), m_row, column));
    }
    QByteArray blob(int column) const override
    {
        std::size_t length = 0;
        unsigned char *bytes = PQunescapeBytea(
            reinterpret_cast<const unsigned char *>(PQgetvalue(m_result.get(), m_row, column)),
            &length);
        if (!bytes)
            throw DatabaseError("blob: out of memory");
        QByteArray copy(reinterpret_cast<const char *>(bytes), int(length));
        PQfreemem(bytes);
        return copy;
    }
    bool isNull(int column) const override
    {
        return PQgetisnull(m_result.get(), m_row, column) == 1;
    }

private:
    std::size_t slot(int position)
    {
        if (position < 1 || position > m_text.parameters)
            throw DatabaseError("bind: no parameter " + std::to_string(position));
        return std::size_t(position - 1);
    }
    void set(int position, std::string value, int format)
    {
        const std::size_t i = slot(position);
        m_values[i] = std::move(value);
        m_nulls[i] = false;
        m_formats[i] = format;
    }

    PostgresDatabase &m_db;
    PreparedText &m_text;
    std::vector<std::string> m_values;
    std::vector<bool> m_nulls;
    std::vector<int> m_formats;
    Result m_result;
    int m_row = 0;
};

std::unique_ptr<StatementBackend> PostgresDatabase::prepare(const char *sql)
{
    return std::make_unique<PostgresStatement>(*this, preparedText(sql));
}

} // namespace

std::unique_ptr<Database> openPostgresDatabase(const QString &url)
{
    return std::make_unique<PostgresDatabase>(url);
}
