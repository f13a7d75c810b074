#pragma once

#include "mainwindow/dialog.h"

#include <memory>

class QPushButton;

namespace Ui {
class UserAccountDialog;
}

// The account dialog: log in, sign up, retrieve and change the password, log
// out and see the account's VIP state, one page each. Every page is prepared
// afresh each time it becomes the current one.
class UserAccountDialog : public Dialog
{
    Q_OBJECT

public:
    explicit UserAccountDialog(QWidget *parent = nullptr);
    ~UserAccountDialog() override;

    void showLoginPage();
    void showInfoPage();

public slots:
    void stackedWidget_currentChanged(int index);
    void loginPageClosePushButton_clicked();
    void loginPageForgetPasswordPushButton_clicked();
    void loginPageLoginPushButton_clicked();
    void loginPageSignUpPushButton_clicked();
    void signUpPageReturnPushButton_clicked();
    void signUpPageCaptchaImagePushButton_clicked();
    void signUpPageCheckDeclarationPushButton_clicked();
    void signUpPageSignUpPushButton_clicked();
    void passwordRetrievePageReturnPushButton_clicked();
    void passwordRetrievePageRetrievePushButton_clicked();
    void infoPageRechargePushButton_clicked();
    void infoPageModifyPasswordPushButton_clicked();
    void infoPageLogoutPushButton_clicked();
    void passwordModifyPageReturnPushButton_clicked();
    void passwordModifyPageModifyPushButton_clicked();

private:
    void showPage(QWidget *page);
    void prepareInfoPage();
    // A box with one "确定" button. The text is shown as it is: messages
    // come from the service and are never read as markup.
    void showMessage(const QString &title, const QString &text);

    std::unique_ptr<Ui::UserAccountDialog> ui;
};
