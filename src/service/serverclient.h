#pragma once

#include <QByteArray>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <exception>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

// The start of every service call's result: 1 success, -1 the transfer
// failed, anything else the service's own "statu" (0 when unreadable).
struct ServerResult
{
    int status = 0;
    QString message;
};

// Thrown by the request core when a transfer fails; endpoint functions catch
// it and turn it into status -1 with its message.
class ServerRequestError : public std::exception
{
public:
    const char *what() const noexcept override;
    QString message() const;
};

using ServerReply = QSharedPointer<QNetworkReply>;

// Hardware address of the first interface that is up, running, can broadcast
// and multicast and is not loopback ("00:1A:2B:3C:4D:5E"); empty when none.
QString macAddressText();

// Reads the whole body of a finished reply and returns its top-level JSON
// object; empty when the body is not a JSON object.
QVariantMap parseReplyEnvelope(const ServerReply &reply);
// The same for a body already read.
QVariantMap parseReplyEnvelope(const QByteArray &body);

// Runs work on a thread of its own and returns when it is done; meanwhile a
// local event loop keeps the calling thread's window responsive.
void runOnWorkerThread(const std::function<void()> &work);

// The 32 lowercase hex digits of the MD5 over the sorted raw elements, each
// followed by "&", and then the signing key.
QString requestSignature(const QStringList &parameters);
// One "key=value" element with its value percent-encoded as UTF-8; the key
// and the first "=" stay as they are.
QByteArray encodeRequestParameter(const QString &element);
// The query or form body the service receives for a parameter list: every
// element encoded, joined with "&", with "sign=..." appended when signed.
QByteArray encodeRequestParameters(QStringList parameters, bool sign);

// Address of a page of the web service for the desktop's browser: the
// service's base address, with its own scheme, then "/server/" and the query
// ("?r=www/user/login"). An operator behind TLS sets an https base address.
QUrl servicePageUrl(const QString &query);

// Qt's TLS layer trusts the system's certificate folders but ignores
// OpenSSL's SSL_CERT_FILE and SSL_CERT_DIR (folders separated by ":"), by
// which a user or administrator names further authorities, such as a
// company's own. Their certificates are trusted besides the system's; with
// neither set nothing is read. Call before the first request.
void trustCertificatesFromEnvironment();

// The process-wide client of the web service. Every request waits for its
// reply in a local event loop, so the caller sees a synchronous call while
// the rest of the program keeps running.
class ServerClient
{
public:
    static ServerClient *instance();

    // Send the request and return the finished reply; throw ServerRequestError
    // when the transfer fails (no connection, HTTP error status, broken or
    // stalled transfer).
    ServerReply get(QStringList parameters, bool sign);
    ServerReply post(QStringList parameters, bool sign);
    // Sends a GET and returns its reply at once; it finishes later. A reply
    // still unfinished after `deadline` ms is aborted, which reads as a
    // transfer error: a service that trickles its answer cannot hold it.
    ServerReply startGet(const QStringList &parameters, bool sign, int deadline);

    QByteArray serverCookie() const { return m_serverCookie; }
    // Composed on first use and kept for the rest of the process.
    QByteArray userAgent();

    // A transfer during which nothing arrives for this long is given up, so a
    // silent server cannot hold a wait (and every wait around it) forever.
    int transferTimeout() const { return m_transferTimeout; }
    void setTransferTimeout(int milliseconds) { m_transferTimeout = milliseconds; }
    static const int defaultTransferTimeout = 30000;

    ServerClient(const ServerClient &) = delete;
    ServerClient &operator=(const ServerClient &) = delete;

private:
    ServerClient() = default;

    enum class Method { Get, Post };
    ServerReply send(Method method, const QStringList &parameters, bool sign);
    ServerReply dispatch(Method method, const QStringList &parameters, bool sign);
    QNetworkAccessManager *manager();
    void armCookieCapture();

    QPointer<QNetworkAccessManager> m_manager;
    QByteArray m_serverCookie;
    QByteArray m_userAgent;
    int m_transferTimeout = defaultTransferTimeout;
};

// Waits in a local event loop until the reply has finished; false when it
// ended with a transfer error or the loop was left before it finished.
bool waitForReply(QNetworkReply *reply);
