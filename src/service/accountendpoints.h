#pragma once

#include "service/serverclient.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QUrl>

struct LoginResult : ServerResult
{
    bool isvip = false;
    bool issvip = false;
    quint32 viptime = 0; // end of the VIP period, seconds since 1970-01-01 UTC
};

struct CaptchaResult : ServerResult
{
    QByteArray image; // the picture exactly as received
};

struct AnnouncementResult : ServerResult
{
    QMap<QString, QString> announcements; // title -> link
};

struct PopupNoticePage
{
    QByteArray image;
    QUrl url;
};

struct PopupNoticeResult : ServerResult
{
    bool enable = false;
    QList<PopupNoticePage> pages;
};

LoginResult userLogin(const QString &username, const QString &password);
ServerResult userLogout();
ServerResult userRegister(const QString &code, const QString &username, const QString &password,
    const QByteArray &unionUid);
ServerResult userForgetPassword(const QString &username);
ServerResult userModifyPassword(const QString &oldPassword, const QString &newPassword);
// The sign-up captcha picture. The service ties it to the session cookie, which
// the request core keeps, so the sign-up that follows matches it.
CaptchaResult getCaptchaImage();
AnnouncementResult getAnnouncementList();
// The same request in two steps, for a caller that must not wait: sent at
// once (abandoned after `deadline` ms), read once the reply has finished.
ServerReply startAnnouncementList(int deadline);
AnnouncementResult announcementListFrom(const ServerReply &reply);
// The popup notices with their pictures downloaded.
PopupNoticeResult getPopupNoticeList();
