#include "account/useraccountdialog.h"

#include "account/usersession.h"
#include "app/appsettings.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/pageopener.h"
#include "service/serverclient.h"

#include "ui_useraccountdialog.h"

#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QTimer>

namespace {

// Keeps a button disabled while the service call it started waits, so a
// second press cannot start a second call; the button comes back unless the
// dialog went away meanwhile.
class BusyButton
{
public:
    explicit BusyButton(QPushButton *button)
        : m_button(button)
    {
        m_button->setEnabled(false);
    }
    ~BusyButton()
    {
        if (m_button)
            m_button->setEnabled(true);
    }
    BusyButton(const BusyButton &) = delete;
    BusyButton &operator=(const BusyButton &) = delete;

private:
    QPointer<QPushButton> m_button;
};

} // namespace

UserAccountDialog::UserAccountDialog(QWidget *parent)
    : Dialog(parent)
    , ui(std::make_unique<Ui::UserAccountDialog>())
{
    ui->setupUi(this);

    connect(ui->stackedWidget, &QStackedWidget::currentChanged, this,
        &UserAccountDialog::stackedWidget_currentChanged);
    connect(ui->loginPageClosePushButton, &QPushButton::clicked, this,
        &UserAccountDialog::loginPageClosePushButton_clicked);
    connect(ui->loginPageForgetPasswordPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::loginPageForgetPasswordPushButton_clicked);
    connect(ui->loginPageLoginPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::loginPageLoginPushButton_clicked);
    connect(ui->loginPageSignUpPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::loginPageSignUpPushButton_clicked);
    connect(ui->signUpPageReturnPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::signUpPageReturnPushButton_clicked);
    connect(ui->signUpPageCaptchaImagePushButton, &QPushButton::clicked, this,
        &UserAccountDialog::signUpPageCaptchaImagePushButton_clicked);
    connect(ui->signUpPageCheckDeclarationPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::signUpPageCheckDeclarationPushButton_clicked);
    connect(ui->signUpPageSignUpPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::signUpPageSignUpPushButton_clicked);
    connect(ui->passwordRetrievePageReturnPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::passwordRetrievePageReturnPushButton_clicked);
    connect(ui->passwordRetrievePageRetrievePushButton, &QPushButton::clicked, this,
        &UserAccountDialog::passwordRetrievePageRetrievePushButton_clicked);
    connect(ui->infoPageClosePushButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->infoPageRechargePushButton, &QPushButton::clicked, this,
        &UserAccountDialog::infoPageRechargePushButton_clicked);
    connect(ui->infoPageModifyPasswordPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::infoPageModifyPasswordPushButton_clicked);
    connect(ui->infoPageLogoutPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::infoPageLogoutPushButton_clicked);
    connect(ui->passwordModifyPageReturnPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::passwordModifyPageReturnPushButton_clicked);
    connect(ui->passwordModifyPageModifyPushButton, &QPushButton::clicked, this,
        &UserAccountDialog::passwordModifyPageModifyPushButton_clicked);

    // Return in a field runs its page's action.
    setReturnAction(ui->loginPageUsernameLineEdit, ui->loginPageLoginPushButton);
    setReturnAction(ui->loginPagePasswordLineEdit, ui->loginPageLoginPushButton);
    setReturnAction(ui->signUpPageEmailLineEdit, ui->signUpPageSignUpPushButton);
    setReturnAction(ui->signUpPagePasswordLineEdit, ui->signUpPageSignUpPushButton);
    setReturnAction(ui->signUpPageCaptchaLineEdit, ui->signUpPageSignUpPushButton);
    setReturnAction(
        ui->passwordRetrievePageEmailLineEdit, ui->passwordRetrievePageRetrievePushButton);
    setReturnAction(
        ui->passwordModifyPageOldPasswordLineEdit, ui->passwordModifyPageModifyPushButton);
    setReturnAction(
        ui->passwordModifyPageNewPasswordLineEdit, ui->passwordModifyPageModifyPushButton);
    setReturnAction(
        ui->passwordModifyPageNewRePasswordLineEdit, ui->passwordModifyPageModifyPushButton);
}

UserAccountDialog::~UserAccountDialog() = default;

void UserAccountDialog::showLoginPage()
{
    showPage(ui->loginPage);
}

void UserAccountDialog::showInfoPage()
{
    showPage(ui->infoPage);
}

void UserAccountDialog::showPage(QWidget *page)
{
    ui->stackedWidget->setCurrentWidget(page);
}

void UserAccountDialog::showMessage(const QString &title, const QString &text)
{
    // On the heap and guarded: the dialog may be deleted while the box runs.
    const QPointer<QMessageBox> box
        = new QMessageBox(QMessageBox::NoIcon, title, text, QMessageBox::NoButton, this);
    box->setTextFormat(Qt::PlainText);
    box->addButton(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box->exec();
    delete box;
}

void UserAccountDialog::stackedWidget_currentChanged(int index)
{
    QWidget *page = ui->stackedWidget->widget(index);
    if (page == ui->loginPage) {
        ui->loginPageUsernameLineEdit->clear();
        ui->loginPageUsernameLineEdit->setFocus();
        ui->loginPagePasswordLineEdit->clear();
        ui->loginPageAutoLoginCheckBox->setChecked(false);
        AppSettings::instance()->setAutoLogin(false);
    } else if (page == ui->signUpPage) {
        ui->signUpPageEmailLineEdit->clear();
        ui->signUpPageEmailLineEdit->setFocus();
        ui->signUpPagePasswordLineEdit->clear();
        ui->signUpPageCaptchaLineEdit->clear();
        const QPointer<UserAccountDialog> self(this);
        ui->signUpPageCaptchaImagePushButton->click();
        if (!self)
            return;
        ui->signUpPageDeclarationCheckBox->setChecked(false);
    } else if (page == ui->infoPage) {
        prepareInfoPage();
    } else if (page == ui->passwordRetrievePage) {
        ui->passwordRetrievePageEmailLineEdit->clear();
        ui->passwordRetrievePageEmailLineEdit->setFocus();
    } else if (page == ui->passwordModifyPage) {
        // The repeated password keeps its text.
        ui->passwordModifyPageOldPasswordLineEdit->clear();
        ui->passwordModifyPageOldPasswordLineEdit->setFocus();
        ui->passwordModifyPageNewPasswordLineEdit->clear();
    }
}

void UserAccountDialog::prepareInfoPage()
{
    const UserSession *session = UserSession::instance();
    ui->infoPageEmailLineEdit->setText(session->userName());
    // A permanent VIP is shown as such even when the plain flag is set too.
    if (session->issvip()) {
        ui->infoPageVIPLabel->setStyleSheet(QStringLiteral("QLabel { color: rgb(254, 215, 0); }"));
        ui->infoPageVIPLabel->setText(QStringLiteral("SVIP："));
    } else {
        ui->infoPageVIPLabel->setStyleSheet(session->isvip()
                ? QStringLiteral("QLabel { color: rgb(255, 0, 0); }")
                : QStringLiteral("QLabel { color: rgb(120, 120, 120); }"));
        ui->infoPageVIPLabel->setText(QStringLiteral("VIP："));
    }
    const QDate end = QDateTime::fromTime_t(session->viptime()).date();
    ui->infoPageVIPDataLineEdit->setText(
        QStringLiteral("%1年%2月%3日").arg(end.year()).arg(end.month()).arg(end.day()));
}

void UserAccountDialog::loginPageClosePushButton_clicked()
{
    close();
    // Without an account the program has nothing to offer: the main window
    // closes shortly after, which ends the program. A user who is logged in
    // (and reached this page from the password page) keeps the program.
    if (MainWindow::instance && !UserSession::instance()->isLoggedIn())
        QTimer::singleShot(100, MainWindow::instance, &QWidget::close);
}

void UserAccountDialog::loginPageForgetPasswordPushButton_clicked()
{
    showPage(ui->passwordRetrievePage);
}

void UserAccountDialog::loginPageSignUpPushButton_clicked()
{
    showPage(ui->signUpPage);
}

void UserAccountDialog::loginPageLoginPushButton_clicked()
{
    const QString userName = ui->loginPageUsernameLineEdit->text();
    const QString password = ui->loginPagePasswordLineEdit->text();
    if (userName.isEmpty() || password.isEmpty())
        return;

    const QPointer<UserAccountDialog> self(this);
    ServerResult result;
    {
        BusyButton busy(ui->loginPageLoginPushButton);
        result = UserSession::instance()->login(userName, password);
    }
    if (!self)
        return;
    if (result.status != 1) {
        showMessage(QStringLiteral("登录账号"), result.message);
        return;
    }
    if (ui->loginPageAutoLoginCheckBox->isChecked()) {
        // Automatic login only with these credentials saved: an older
        // "user.dat" left by a failed save would log in as someone else.
        AppSettings::instance()->setAutoLogin(
            UserSession::instance()->saveCredentials(userName, password));
    } else {
        // Any earlier "user.dat" stays; it is simply not used.
        AppSettings::instance()->setAutoLogin(false);
    }
    showPage(ui->infoPage);
}

void UserAccountDialog::signUpPageReturnPushButton_clicked()
{
    showPage(ui->loginPage);
}

void UserAccountDialog::signUpPageCaptchaImagePushButton_clicked()
{
    const QPointer<UserAccountDialog> self(this);
    const CaptchaResult result = UserSession::instance()->captchaImage();
    if (!self || result.status != 1)
        return;
    // Bytes that are no picture leave the previous captcha on show.
    QPixmap pixmap;
    if (!pixmap.loadFromData(result.image))
        return;
    ui->signUpPageCaptchaImagePushButton->setIcon(QIcon(pixmap));
    ui->signUpPageCaptchaImagePushButton->setIconSize(pixmap.size());
}

void UserAccountDialog::signUpPageCheckDeclarationPushButton_clicked()
{
    openPage(this, servicePageUrl(QStringLiteral("?r=www/default/page&p=mianze")));
}

void UserAccountDialog::signUpPageSignUpPushButton_clicked()
{
    const QString title = QStringLiteral("账号注册");
    const QString email = ui->signUpPageEmailLineEdit->text();
    const QString password = ui->signUpPagePasswordLineEdit->text();
    const QString captcha = ui->signUpPageCaptchaLineEdit->text();
    if (email.isEmpty() || password.isEmpty() || captcha.isEmpty())
        return;
    if (!ui->signUpPageDeclarationCheckBox->isChecked()) {
        showMessage(title, QStringLiteral("请熟读并认可Kestrune声明后再进行注册！"));
        return;
    }

    const QPointer<UserAccountDialog> self(this);
    ServerResult result;
    {
        BusyButton busy(ui->signUpPageSignUpPushButton);
        result = UserSession::instance()->signUp(captcha, email, password);
    }
    if (!self)
        return;
    showMessage(title,
        result.status == 1 ? QStringLiteral(
            "注册的邮箱请务必填写本人的，否则密码丢失只能通过邮箱找回。\r\n\r\n"
            "警告：若发现近期内重复注册，且没有正当使用，Kestrune有权收回且禁用IP注"
            "册账户！")
                           : result.message);
}

void UserAccountDialog::passwordRetrievePageReturnPushButton_clicked()
{
    showPage(ui->loginPage);
}

void UserAccountDialog::passwordRetrievePageRetrievePushButton_clicked()
{
    const QString email = ui->passwordRetrievePageEmailLineEdit->text();
    if (email.isEmpty())
        return;
    const QPointer<UserAccountDialog> self(this);
    ServerResult result;
    {
        BusyButton busy(ui->passwordRetrievePageRetrievePushButton);
        result = UserSession::instance()->retrievePassword(email);
    }
    if (!self)
        return;
    showMessage(QStringLiteral("密码找回"),
        result.status == 1 ? QStringLiteral("邮件发送成功，请尽快修改密码！") : result.message);
}

void UserAccountDialog::infoPageRechargePushButton_clicked()
{
    // The address also goes to the clipboard for systems without a browser.
    const QUrl url = servicePageUrl(QStringLiteral("?r=www/user/login"));
    openPage(this, url);
    QGuiApplication::clipboard()->setText(url.toString());
}

void UserAccountDialog::infoPageModifyPasswordPushButton_clicked()
{
    showPage(ui->passwordModifyPage);
}

void UserAccountDialog::infoPageLogoutPushButton_clicked()
{
    const QPointer<UserAccountDialog> self(this);
    ServerResult result;
    {
        BusyButton busy(ui->infoPageLogoutPushButton);
        result = UserSession::instance()->logout();
    }
    if (!self)
        return;
    if (result.status == 1)
        showPage(ui->loginPage);
    else
        showMessage(QStringLiteral("注销"), result.message);
}

void UserAccountDialog::passwordModifyPageReturnPushButton_clicked()
{
    showPage(ui->loginPage);
}

void UserAccountDialog::passwordModifyPageModifyPushButton_clicked()
{
    const QString title = QStringLiteral("密码修改");
    const QString oldPassword = ui->passwordModifyPageOldPasswordLineEdit->text();
    const QString newPassword = ui->passwordModifyPageNewPasswordLineEdit->text();
    if (newPassword != ui->passwordModifyPageNewRePasswordLineEdit->text()) {
        showMessage(title, QStringLiteral("两次输入的密码不一致！"));
        return;
    }
    if (oldPassword.isEmpty() || newPassword.isEmpty())
        return;

    const QPointer<UserAccountDialog> self(this);
    ServerResult result;
    {
        BusyButton busy(ui->passwordModifyPageModifyPushButton);
        result = UserSession::instance()->modifyPassword(oldPassword, newPassword);
    }
    if (!self)
        return;
    if (result.status == 1) {
        AppSettings::instance()->setAutoLogin(false);
        showMessage(title, QStringLiteral("修改成功，请重新登录！"));
    } else {
        showMessage(title, result.message);
    }
}
