#include "database.h"

Statement::Statement(Database &db, const char *sql)
    : m_backend(db.prepare(sql))
{
}

Statement &Statement::bind(int position, std::int64_t value)
{
    m_backend->bindInteger(position, value);
    return *this;
}

Statement &Statement::bind(int position, const QString &value)
{
    m_backend->bindText(position, value);
    return *this;
}

Statement &Statement::bind(int position, const QByteArray &value)
{
    m_backend->bindBlob(position, value);
    return *this;
}

Statement &Statement::bindNull(int position)
{
    m_backend->bindNull(position);
    return *this;
}

bool Statement::next()
{
    return m_backend->next();
}

void Statement::run()
{
    while (next()) { }
}

std::int64_t Statement::integer(int column) const
{
    return m_backend->integer(column);
}

QString Statement::text(int column) const
{
    return m_backend->text(column);
}

QByteArray Statement::blob(int column) const
{
    return m_backend->blob(column);
}

bool Statement::isNull(int column) const
{
    return m_backend->isNull(column);
}

Transaction::Transaction(Database &db)
    : m_db(db)
{
    m_db.begin();
}

Transaction::~Transaction()
{
    if (!m_done) {
        try {
            m_db.rollback();
        } catch (const DatabaseError &) {
            // Nothing more can be done; the back end rolls back on its own
            // when the connection ends.
        }
    }
}

void Transaction::commit()
{
    m_db.commit();
    m_done = true;
}

bool isPostgresLocation(const QString &location)
{
    return location.startsWith(QLatin1String("postgresql://"))
        || location.startsWith(QLatin1String("postgres://"));
}
