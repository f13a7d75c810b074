#include "service/accountendpoints.h"

#include "service/servicecall.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace {

const QString platform = QStringLiteral("_s=pc");

QVariantMap dataObject(const QVariantMap &envelope)
{
    return envelope.value(QStringLiteral("data")).toMap();
}

// Downloads one notice picture with a manager of its own: no cookie, no
// User-Agent and no signature of the service client. Only web addresses are
// fetched, so a notice cannot make the client read local files or devices.
bool downloadPicture(const QUrl &url, QByteArray *image)
{
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return false;
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setTransferTimeout(ServerClient::instance()->transferTimeout());
    const QSharedPointer<QNetworkReply> reply(manager.get(request));
    if (!waitForReply(reply.data()))
        return false;
    *image = reply->readAll();
    return true;
}

} // namespace

LoginResult userLogin(const QString &username, const QString &password)
{
    LoginResult result;
    const QStringList parameters = { QStringLiteral("r=www/user/login"), QStringLiteral("do=login"),
        QStringLiteral("f[username]=") + username, QStringLiteral("f[password]=") + password,
        platform };
    runServiceCall(result, ServiceMethod::Post, parameters, true, ServiceMessage::Read,
        [&](const QVariantMap &envelope) {
            const QVariantMap data = dataObject(envelope);
            // A JSON true, 1 or "1" all mean VIP.
            const QVariant isvip = data.value(QStringLiteral("isvip"));
            result.isvip
                = isvip.userType() == QMetaType::Bool ? isvip.toBool() : replyUInt(isvip) == 1;
            result.issvip
                = replyText(data.value(QStringLiteral("issvip"))) == QLatin1String("true");
            result.viptime = replyUInt(data.value(QStringLiteral("viptime")));
        });
    return result;
}

ServerResult userLogout()
{
    ServerResult result;
    const QStringList parameters
        = { QStringLiteral("r=www/user/logout"), QStringLiteral("do=logout"), platform };
    runServiceCall(result, ServiceMethod::Post, parameters, false, ServiceMessage::Read, noPayload);
    return result;
}

ServerResult userRegister(const QString &code, const QString &username, const QString &password,
    const QByteArray &unionUid)
{
    ServerResult result;
    const QStringList parameters = { QStringLiteral("r=www/user/register"),
        QStringLiteral("do=register_new"), QStringLiteral("f[code]=") + code,
        QStringLiteral("f[username]=") + username, QStringLiteral("f[password]=") + password,
        QStringLiteral("f[repassword]=") + password,
        QStringLiteral("union_uid=") + QString::fromUtf8(unionUid), platform };
    runServiceCall(result, ServiceMethod::Post, parameters, true, ServiceMessage::Read, noPayload);
    return result;
}

ServerResult userForgetPassword(const QString &username)
{
    ServerResult result;
    const QStringList parameters = { QStringLiteral("r=www/user/forgetpwd"),
        QStringLiteral("do=forgetpwd"), QStringLiteral("f[username]=") + username, platform };
    runServiceCall(result, ServiceMethod::Post, parameters, false, ServiceMessage::Read, noPayload);
    return result;
}

ServerResult userModifyPassword(const QString &oldPassword, const QString &newPassword)
{
    ServerResult result;
    const QStringList parameters = { QStringLiteral("r=www/user/pwd"), QStringLiteral("do=pwd"),
        QStringLiteral("f[password]=") + oldPassword,
        QStringLiteral("f[newpassword]=") + newPassword,
        QStringLiteral("f[repassword]=") + newPassword, platform };
    runServiceCall(result, ServiceMethod::Post, parameters, false, ServiceMessage::Read, noPayload);
    return result;
}

CaptchaResult getCaptchaImage()
{
    CaptchaResult result;
    result.status = 1;
    try {
        const ServerReply reply = ServerClient::instance()->get(
            { QStringLiteral("r=default/verfy"), QStringLiteral("_=1"), platform }, false);
        result.image = reply->readAll();
    } catch (const ServerRequestError &error) {
        result.status = -1;
        result.message = error.message();
    }
    return result;
}

namespace {

const QStringList announcementParameters = { QStringLiteral("r=www/default/pc"),
    QStringLiteral("do=getConfig"), QStringLiteral("cfg=gonggao"), platform };

void readAnnouncements(AnnouncementResult &result, const QVariantMap &envelope)
{
    const QVariantList data = envelope.value(QStringLiteral("data")).toList();
    for (const QVariant &element : data) {
        const QVariantMap item = element.toMap();
        result.announcements.insert(replyText(item.value(QStringLiteral("title"))),
            replyText(item.value(QStringLiteral("url"))));
    }
}

} // namespace

AnnouncementResult getAnnouncementList()
{
    AnnouncementResult result;
    runServiceCall(result, ServiceMethod::Get, announcementParameters, false,
        ServiceMessage::Ignore,
        [&](const QVariantMap &envelope) { readAnnouncements(result, envelope); });
    return result;
}

ServerReply startAnnouncementList(int deadline)
{
    return ServerClient::instance()->startGet(announcementParameters, false, deadline);
}

AnnouncementResult announcementListFrom(const ServerReply &reply)
{
    AnnouncementResult result;
    readServiceReply(result, reply, ServiceMessage::Ignore,
        [&](const QVariantMap &envelope) { readAnnouncements(result, envelope); });
    return result;
}

PopupNoticeResult getPopupNoticeList()
{
    PopupNoticeResult result;
    const QStringList parameters = { QStringLiteral("r=www/default/pc"),
        QStringLiteral("do=getConfig"), QStringLiteral("cfg=tanchuang"), platform };
    runServiceCall(result, ServiceMethod::Get, parameters, false, ServiceMessage::Ignore,
        [&](const QVariantMap &envelope) {
            const QVariantMap data = dataObject(envelope);
            result.enable
                = replyText(data.value(QStringLiteral("enable"))) == QLatin1String("true");
            if (!result.enable)
                return;
            const QVariantList datas = data.value(QStringLiteral("datas")).toList();
            for (const QVariant &element : datas) {
                const QVariantMap notice = element.toMap();
                PopupNoticePage page;
                const QUrl picture(replyText(notice.value(QStringLiteral("img"))));
                if (!downloadPicture(picture, &page.image)) {
                    result.status = -1;
                    result.message = QStringLiteral("服务器错误");
                    return;
                }
                page.url = QUrl(replyText(notice.value(QStringLiteral("url"))));
                result.pages.append(page);
            }
        });
    return result;
}
