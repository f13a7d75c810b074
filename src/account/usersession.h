#pragma once

#include "service/accountendpoints.h"

#include <QString>

// Who is logged in to the web service in this process and what the account
// may do. The account operations wrap the service calls and update the
// session; none of them shows anything, the caller decides.
class UserSession
{
public:
    static UserSession *instance();

    // Success stores the account and its VIP flags; any failure leaves the
    // session logged out.
    ServerResult login(const QString &userName, const QString &password);
    // Success clears the session; a failure changes nothing.
    ServerResult logout();
    ServerResult retrievePassword(const QString &email);
    ServerResult signUp(const QString &captcha, const QString &email, const QString &password);
    ServerResult modifyPassword(const QString &oldPassword, const QString &newPassword);
    CaptchaResult captchaImage();

    bool isLoggedIn() const { return m_loggedIn; }
    QString userName() const { return m_userName; }
    bool isvip() const { return m_isvip; }
    bool issvip() const { return m_issvip; }
    quint32 viptime() const { return m_viptime; }

    // Writes "user.dat" in the working directory: user name, then password,
    // each as a QDataStream byte array of UTF-8 bytes XOR-ed with 0x5A.
    // On failure the old file stays and false is returned.
    bool saveCredentials(
        const QString &userName, const QString &password, QString *errorText = nullptr);
    // When automatic login is on, logs in with the credentials of "user.dat".
    void autoLogin();

    UserSession(const UserSession &) = delete;
    UserSession &operator=(const UserSession &) = delete;

private:
    UserSession() = default;

    QString m_userName;
    bool m_loggedIn = false;
    bool m_isvip = false;
    bool m_issvip = false;
    quint32 m_viptime = 0;
};
