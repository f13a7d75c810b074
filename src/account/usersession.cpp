#include "account/usersession.h"

#include "app/appsettings.h"
#include "common/atomicsave.h"

#include <QDataStream>
#include <QFile>

namespace {

const char credentialsFileName[] = "user.dat";
const char scrambleKey = 0x5A;

// XOR with the key byte; applying it twice restores the input. Never null,
// so that an empty text is stored as a count of 0 rather than the stream's
// null marker.
QByteArray scrambled(QByteArray bytes)
{
    if (bytes.isNull())
        bytes = QByteArray("");
    for (char &byte : bytes)
        byte ^= scrambleKey;
    return bytes;
}

} // namespace

UserSession *UserSession::instance()
{
    static UserSession session;
    return &session;
}

ServerResult UserSession::login(const QString &userName, const QString &password)
{
    const LoginResult result = userLogin(userName, password);
    if (result.status == 1) {
        m_userName = userName;
        m_isvip = result.isvip;
        m_issvip = result.issvip;
        m_viptime = result.viptime;
        m_loggedIn = true;
    } else {
        m_loggedIn = false;
    }
    return result;
}

ServerResult UserSession::logout()
{
    const ServerResult result = userLogout();
    if (result.status == 1) {
        m_userName.clear();
        m_loggedIn = false;
        m_isvip = false;
        m_issvip = false;
        m_viptime = 0;
    }
    return result;
}

ServerResult UserSession::retrievePassword(const QString &email)
{
    return userForgetPassword(email);
}

ServerResult UserSession::signUp(
    const QString &captcha, const QString &email, const QString &password)
{
    return userRegister(captcha, email, password, QByteArray());
}

ServerResult UserSession::modifyPassword(const QString &oldPassword, const QString &newPassword)
{
    return userModifyPassword(oldPassword, newPassword);
}

CaptchaResult UserSession::captchaImage()
{
    return getCaptchaImage();
}

bool UserSession::saveCredentials(
    const QString &userName, const QString &password, QString *errorText)
{
    QByteArray content;
    QDataStream stream(&content, QIODevice::WriteOnly);
    stream << scrambled(userName.toUtf8()) << scrambled(password.toUtf8());
    // Readable by the owner only since it holds a password.
    return saveFileAtomically(QString::fromLatin1(credentialsFileName), content, errorText,
        QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void UserSession::autoLogin()
{
    if (!AppSettings::instance() || !AppSettings::instance()->isAutoLogin())
        return;
    QFile file(QString::fromLatin1(credentialsFileName));
    if (!file.open(QIODevice::ReadOnly))
        return;
    QDataStream stream(&file);
    QByteArray userName;
    QByteArray password;
    stream >> userName >> password;
    file.close();
    login(QString::fromUtf8(scrambled(userName)), QString::fromUtf8(scrambled(password)));
}
