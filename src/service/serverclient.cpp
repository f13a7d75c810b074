#include "service/serverclient.h"

#include "app/appsettings.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <memory>

#ifdef Q_OS_WIN
#include <versionhelpers.h>
#include <windows.h>
#endif

namespace {

const char signingKey[] = "7c1e4b9a0d3f6e2b8a5c9d0e1f4a7b3c";
const char requestErrorMessage[] = "服务器请求出错";

#ifdef Q_OS_WIN
QString operatingSystemPiece()
{
    const bool server = IsWindowsServer();
    if (IsWindows10OrGreater())
        return server ? QStringLiteral("Windows Server 2016 ") : QStringLiteral("Windows 10 ");
    if (IsWindows8Point1OrGreater())
        return server ? QStringLiteral("Windows Server 2012 R2 ") : QStringLiteral("Windows 8.1 ");
    if (IsWindows8OrGreater())
        return server ? QStringLiteral("Windows Server 2012 ") : QStringLiteral("Windows 8 ");
    if (IsWindows7OrGreater())
        return server ? QStringLiteral("Windows Server 2008 R2 ") : QStringLiteral("Windows 7 ");
    if (IsWindowsVistaOrGreater())
        return server ? QStringLiteral("Windows Server 2008 ") : QStringLiteral("Windows Vista ");
    return {};
}

QString architecturePiece()
{
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ? QStringLiteral("x86/")
                                                                       : QStringLiteral("x64/");
}
#else
QString operatingSystemPiece()
{
    return QSysInfo::prettyProductName() + QLatin1Char(' ');
}

QString architecturePiece()
{
    return QSysInfo::currentCpuArchitecture() == QLatin1String("i386") ? QStringLiteral("x86/")
                                                                       : QStringLiteral("x64/");
}
#endif

QString serviceBaseAddress()
{
    QString base = AppSettings::instance() ? AppSettings::instance()->serviceBaseAddress()
                                           : QStringLiteral(TAVRION_SERVICE_BASE_ADDRESS);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base;
}

// The network layer joins repeated Set-Cookie headers with line breaks; sent
// back verbatim they would split the Cookie header into bogus header lines.
QByteArray singleLineHeaderValue(QByteArray value)
{
    value.replace("\r\n", "\n");
    value.replace('\r', '\n');
    value.replace("\n", ", ");
    return value;
}

} // namespace

const char *ServerRequestError::what() const noexcept
{
    return requestErrorMessage;
}

QString ServerRequestError::message() const
{
    return QString::fromUtf8(requestErrorMessage);
}

QUrl servicePageUrl(const QString &query)
{
    return QUrl(serviceBaseAddress() + QStringLiteral("/server/") + query);
}

QString macAddressText()
{
    const QNetworkInterface::InterfaceFlags wanted = QNetworkInterface::IsUp
        | QNetworkInterface::IsRunning | QNetworkInterface::CanBroadcast
        | QNetworkInterface::CanMulticast;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces) {
        const auto flags = networkInterface.flags();
        if ((flags & wanted) == wanted && !(flags & QNetworkInterface::IsLoopBack))
            return networkInterface.hardwareAddress();
    }
    return {};
}

QVariantMap parseReplyEnvelope(const ServerReply &reply)
{
    return parseReplyEnvelope(reply->readAll());
}

QVariantMap parseReplyEnvelope(const QByteArray &body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return {};
    return document.object().toVariantMap();
}

void runOnWorkerThread(const std::function<void()> &work)
{
    const std::unique_ptr<QThread> thread(QThread::create(work));
    QEventLoop loop;
    QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec();
    // The loop also ends when the application quits; the work still holds
    // the caller's data, so it is waited for.
    thread->wait();
}

QString requestSignature(const QStringList &parameters)
{
    QStringList sorted = parameters;
    std::sort(sorted.begin(), sorted.end());
    sorted.append(QString::fromLatin1(signingKey));
    const QByteArray digest
        = QCryptographicHash::hash(sorted.join(QLatin1Char('&')).toUtf8(), QCryptographicHash::Md5);
    return QString::fromLatin1(digest.toHex());
}

QByteArray encodeRequestParameter(const QString &element)
{
    const int equals = element.indexOf(QLatin1Char('='));
    Q_ASSERT_X(equals >= 0, "encodeRequestParameter", "element without '='");
    if (equals < 0)
        return element.toUtf8().toPercentEncoding();
    // Only the unreserved characters stay; a blank is %20, never "+".
    return element.left(equals + 1).toUtf8() + element.mid(equals + 1).toUtf8().toPercentEncoding();
}

QByteArray encodeRequestParameters(QStringList parameters, bool sign)
{
    if (sign)
        parameters.append(QStringLiteral("sign=") + requestSignature(parameters));
    QByteArrayList encoded;
    encoded.reserve(parameters.size());
    for (const QString &element : qAsConst(parameters))
        encoded.append(encodeRequestParameter(element));
    return encoded.join('&');
}

bool waitForReply(QNetworkReply *reply)
{
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    // The loop also ends when the application quits; an unfinished reply is
    // not a result.
    if (!reply->isFinished()) {
        reply->abort();
        return false;
    }
    return reply->error() == QNetworkReply::NoError;
}

void trustCertificatesFromEnvironment()
{
    const QString file = qEnvironmentVariable("SSL_CERT_FILE");
    const QStringList folders
        = qEnvironmentVariable("SSL_CERT_DIR").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (file.isEmpty() && folders.isEmpty())
        return;
    // Adding to the default configuration keeps Qt's own loading of the
    // system folders; setting the list would replace it.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    if (!file.isEmpty())
        configuration.addCaCertificates(
            file, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    for (const QString &folder : folders)
        configuration.addCaCertificates(QDir(folder).filePath(QStringLiteral("*")), QSsl::Pem,
            QSslCertificate::PatternSyntax::Wildcard);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

ServerClient *ServerClient::instance()
{
    static ServerClient client;
    return &client;
}

ServerReply ServerClient::get(QStringList parameters, bool sign)
{
    return send(Method::Get, parameters, sign);
}

ServerReply ServerClient::post(QStringList parameters, bool sign)
{
    return send(Method::Post, parameters, sign);
}

QByteArray ServerClient::userAgent()
{
    if (m_userAgent.isEmpty()) {
        m_userAgent
            = (QStringLiteral("SN ") + macAddressText() + QLatin1Char('/') + operatingSystemPiece()
                + architecturePiece() + QStringLiteral("Tavrion " TAVRION_VERSION))
                  .toUtf8();
    }
    return m_userAgent;
}

QNetworkAccessManager *ServerClient::manager()
{
    // Owned by the application so that it goes away with it, before the
    // network layer's own statics.
    if (!m_manager) {
        m_manager = new QNetworkAccessManager(QCoreApplication::instance());
        m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    return m_manager;
}

void ServerClient::armCookieCapture()
{
    QNetworkAccessManager *networkManager = manager();
    QObject::connect(networkManager, &QNetworkAccessManager::finished, networkManager,
        [this, networkManager](QNetworkReply *reply) {
            m_serverCookie = singleLineHeaderValue(reply->rawHeader("Set-Cookie"));
            QObject::disconnect(networkManager, &QNetworkAccessManager::finished, nullptr, nullptr);
        });
}

ServerReply ServerClient::send(Method method, const QStringList &parameters, bool sign)
{
    const ServerReply reply = dispatch(method, parameters, sign);
    if (!waitForReply(reply.data()))
        throw ServerRequestError();
    return reply;
}

ServerReply ServerClient::startGet(const QStringList &parameters, bool sign, int deadline)
{
    const ServerReply reply = dispatch(Method::Get, parameters, sign);
    QNetworkReply *rawReply = reply.data();
    QTimer::singleShot(deadline, rawReply, [rawReply] {
        if (!rawReply->isFinished())
            rawReply->abort();
    });
    return reply;
}

ServerReply ServerClient::dispatch(Method method, const QStringList &parameters, bool sign)
{
    QNetworkRequest request;
    request.setRawHeader("X-Requested-With", "XMLHttpRequest");
    if (!m_serverCookie.isEmpty())
        request.setRawHeader("Cookie", m_serverCookie);
    else
        armCookieCapture();
    request.setRawHeader("User-Agent", userAgent());
    // The Cookie header is this client's own; the network layer's cookie
    // store must neither replace it nor add to it.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setTransferTimeout(m_transferTimeout);

    const QByteArray joined = encodeRequestParameters(parameters, sign);
    QNetworkReply *rawReply = nullptr;
    if (method == Method::Get) {
        request.setUrl(
            QUrl(serviceBaseAddress() + QStringLiteral("/server/?") + QString::fromLatin1(joined),
                QUrl::TolerantMode));
        rawReply = manager()->get(request);
    } else {
        request.setUrl(QUrl(serviceBaseAddress() + QStringLiteral("/server/")));
        request.setHeader(QNetworkRequest::ContentTypeHeader,
            QByteArrayLiteral("application/x-www-form-urlencoded"));
        rawReply = manager()->post(request, joined);
    }
    return ServerReply(rawReply, &QObject::deleteLater);
}
