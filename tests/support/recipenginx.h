#pragma once

// nginx run with the deployment recipe's configuration (deploy/nginx), and a
// certificate authority made for one test run, for the suites that reach the
// service through the recipe's TLS front.
#include <QMap>
#include <QProcess>
#include <QString>

// A throwaway authority and a certificate it signed for 127.0.0.1 and
// localhost, made with the openssl program in a folder of the test's. The
// files take the names the recipe's nginx lines give them.
class TestAuthority
{
public:
    bool create(const QString &folder);
    QString reason() const { return m_reason; }
    // The authority's certificate: what a client trusts.
    QString certificateFile() const { return m_folder + QStringLiteral("/authority.pem"); }
    QString folder() const { return m_folder; }

private:
    // Runs the openssl program in the folder with these blank-separated words.
    bool openssl(const QString &command);

    QString m_folder;
    QString m_reason;
};

class RecipeNginx
{
public:
    ~RecipeNginx();

    // nginx's program; empty when it is not installed.
    static QString program();
    // A file of the recipe, such as "nginx/tavrion.conf".
    static QString recipeFile(const QString &name);

    // Gives every loopback address "127.a.b.c:PORT" of the text not yet
    // mapped a free port on the same address.
    void mapAddresses(const QString &text);
    // Puts an address of the recipe where the test has it.
    void setAddress(const QString &recipe, const QString &actual) { m_addresses[recipe] = actual; }
    QString address(const QString &recipe) const { return m_addresses.value(recipe); }
    // The text with the recipe's addresses replaced by the test's.
    QString mapped(QString text) const;

    // Starts nginx with the recipe's file, its addresses mapped and its
    // certificate lines pointing at the authority's files, in `folder`.
    // Returns once nginx listens; false with the reason otherwise.
    bool start(const QString &folder, const TestAuthority &authority);
    QString reason() const { return m_reason; }

private:
    QMap<QString, QString> m_addresses; // recipe "ADDR:PORT" -> the test's
    QProcess m_process;
    QString m_reason;
};
