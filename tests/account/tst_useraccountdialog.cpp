// The account dialog against a stand-in service, and the account step of the
// main window's start.

#include "accountservice.h"

#include "account/useraccountdialog.h"
#include "account/usersession.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>

#include <ctime>

namespace {

const QString Login = QStringLiteral("www/user/login");
const QString Logout = QStringLiteral("www/user/logout");
const QString Register = QStringLiteral("www/user/register");
const QString Forget = QStringLiteral("www/user/forgetpwd");
const QString Modify = QStringLiteral("www/user/pwd");
const QString Captcha = QStringLiteral("default/verfy");

} // namespace

class TestUserAccountDialog : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<AccountService> m_service;
    std::unique_ptr<MessageBoxRecorder> m_boxes;
    QPointer<UserAccountDialog> m_dialog;

    template <class T> T *child(const char *name, QWidget *in = nullptr)
    {
        T *widget = (in ? in : m_dialog.data())->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
    QString page() { return child<QStackedWidget>("stackedWidget")->currentWidget()->objectName(); }
    void click(const char *name) { child<QPushButton>(name)->click(); }
    void type(const char *name, const QString &text) { child<QLineEdit>(name)->setText(text); }

    void logIn(const QByteArray &reply, bool autoLogin = false)
    {
        m_service->answer(Login, reply);
        type("loginPageUsernameLineEdit", QStringLiteral("viewer@example.com"));
        type("loginPagePasswordLineEdit", QStringLiteral("secret"));
        child<QCheckBox>("loginPageAutoLoginCheckBox")->setChecked(autoLogin);
        click("loginPageLoginPushButton");
    }

private slots:
    void initTestCase()
    {
        // Dates of the VIP period are local dates.
        qputenv("TZ", "UTC");
        tzset();
        Startup::initResources();
    }

    void init()
    {
        m_service = std::make_unique<AccountService>();
        m_service->answer(Logout, "{\"statu\":1}");
        QCOMPARE(UserSession::instance()->logout().status, 1);
        m_service->routes.clear();
        m_boxes = std::make_unique<MessageBoxRecorder>();
        m_dialog = new UserAccountDialog;
        m_dialog->setAttribute(Qt::WA_DeleteOnClose);
        m_dialog->show();
    }

    void cleanup()
    {
        delete m_dialog;
        m_boxes.reset();
        m_service.reset();
    }

    void formAndTabOrder()
    {
        QCOMPARE(m_dialog->size(), QSize(322, 382));
        QCOMPARE(page(), QStringLiteral("loginPage"));
        QCOMPARE(
            child<QPushButton>("loginPageClosePushButton")->text(), QStringLiteral("    关闭"));
        QCOMPARE(child<QLineEdit>("loginPagePasswordLineEdit")->echoMode(), QLineEdit::Password);
        QCOMPARE(child<QLineEdit>("passwordModifyPageNewRePasswordLineEdit")->echoMode(),
            QLineEdit::Password);
        const char *order[] = { "loginPageUsernameLineEdit", "loginPagePasswordLineEdit",
            "signUpPageEmailLineEdit", "signUpPagePasswordLineEdit", "signUpPageCaptchaLineEdit",
            "passwordRetrievePageEmailLineEdit" };
        for (int i = 0; i + 1 < 6; ++i) {
            QWidget *next = child<QWidget>(order[i])->nextInFocusChain();
            while (!(next->focusPolicy() & Qt::TabFocus))
                next = next->nextInFocusChain();
            QCOMPARE(next->objectName(), QLatin1String(order[i + 1]));
        }
    }

    // Every failure shows the operation's title and the service's message,
    // or the transport's, as plain text; the page stays.
    void loginFailures_data()
    {
        QTest::addColumn<QString>("baseAddress");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("box");
        QTest::newRow("wrong password")
            << QString() << QByteArray("{\"statu\":0,\"msg\":\"密码错误\"}")
            << QStringLiteral("登录账号|密码错误");
        QTest::newRow("markup in the message")
            << QString() << QByteArray("{\"statu\":0,\"msg\":\"<b>账号不存在</b>\"}")
            << QStringLiteral("登录账号|<b>账号不存在</b>");
        QTest::newRow("garbage") << QString() << QByteArray("<html>oops")
                                 << QStringLiteral("登录账号|");
        QTest::newRow("service down") << QStringLiteral("http://127.0.0.1:9") << QByteArray()
                                      << QStringLiteral("登录账号|服务器请求出错");
    }

    void loginFailures()
    {
        QFETCH(QString, baseAddress);
        QFETCH(QByteArray, reply);
        QFETCH(QString, box);
        if (!baseAddress.isEmpty())
            AppSettings::instance()->setServiceBaseAddress(baseAddress);
        logIn(reply, true);
        QCOMPARE(m_boxes->boxes, QStringList { box });
        QCOMPARE(m_boxes->formats.value(0), Qt::PlainText);
        QCOMPARE(page(), QStringLiteral("loginPage"));
        QVERIFY(child<QPushButton>("loginPageLoginPushButton")->isEnabled());
        QVERIFY(!QFile::exists(QStringLiteral("user.dat")));
        QVERIFY(!AppSettings::instance()->isAutoLogin());
    }

    void emptyFieldsSendNothing()
    {
        type("loginPageUsernameLineEdit", QStringLiteral("a@b.c"));
        click("loginPageLoginPushButton");
        click("loginPageForgetPasswordPushButton");
        click("passwordRetrievePageRetrievePushButton");
        QVERIFY(m_service->routes.isEmpty());
        QVERIFY(m_boxes->boxes.isEmpty());
    }

    // SVIP gold over VIP red over grey; the end of the period as a local date.
    void infoPageVip_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("colour");
        QTest::addColumn<QString>("date");
        QTest::newRow("svip and vip")
            << QByteArray("\"isvip\":1,\"issvip\":\"true\",\"viptime\":1700000000")
            << QStringLiteral("SVIP：") << QStringLiteral("rgb(254, 215, 0)")
            << QStringLiteral("2023年11月14日");
        QTest::newRow("vip") << QByteArray("\"isvip\":1,\"viptime\":\"1735689600\"")
                             << QStringLiteral("VIP：") << QStringLiteral("rgb(255, 0, 0)")
                             << QStringLiteral("2025年1月1日");
        QTest::newRow("no vip, time 0")
            << QByteArray("\"isvip\":0,\"issvip\":1") << QStringLiteral("VIP：")
            << QStringLiteral("rgb(120, 120, 120)") << QStringLiteral("1970年1月1日");
    }

    void infoPageVip()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, label);
        QFETCH(QString, colour);
        QFETCH(QString, date);
        logIn("{\"statu\":1,\"data\":{" + data + "}}");
        QCOMPARE(page(), QStringLiteral("infoPage"));
        QCOMPARE(child<QLineEdit>("infoPageEmailLineEdit")->text(),
            QStringLiteral("viewer@example.com"));
        QCOMPARE(child<QLabel>("infoPageVIPLabel")->text(), label);
        QVERIFY(child<QLabel>("infoPageVIPLabel")->styleSheet().contains(colour));
        QCOMPARE(child<QLineEdit>("infoPageVIPDataLineEdit")->text(), date);
    }

    // The check box saves the credentials; a later login without it keeps
    // "user.dat" but turns automatic login off. Return runs the login.
    void autoLoginBoxAndCredentials()
    {
        logIn("{\"statu\":1,\"data\":{}}", true);
        QCOMPARE(page(), QStringLiteral("infoPage"));
        QVERIFY(AppSettings::instance()->isAutoLogin());
        const QByteArray saved = readFileBytes(QStringLiteral("user.dat"));
        QVERIFY(!saved.isEmpty());

        click("infoPageLogoutPushButton");
        QCOMPARE(page(), QStringLiteral("loginPage"));
        QVERIFY(!UserSession::instance()->isLoggedIn());

        m_service->answer(Login, "{\"statu\":1,\"data\":{}}");
        type("loginPageUsernameLineEdit", QStringLiteral("other@example.com"));
        type("loginPagePasswordLineEdit", QStringLiteral("other"));
        QTest::keyClick(child<QLineEdit>("loginPagePasswordLineEdit"), Qt::Key_Return);
        QCOMPARE(page(), QStringLiteral("infoPage"));
        QCOMPARE(m_service->count(Login), 2);
        QCOMPARE(readFileBytes(QStringLiteral("user.dat")), saved);
        QVERIFY(!AppSettings::instance()->isAutoLogin());

        // A refused logout keeps the page and says why.
        m_service->answer(Logout, "{\"statu\":0,\"msg\":\"未登录\"}");
        click("infoPageLogoutPushButton");
        QCOMPARE(page(), QStringLiteral("infoPage"));
        QCOMPARE(m_boxes->boxes, QStringList { QStringLiteral("注销|未登录") });

        // Credentials that cannot be saved leave automatic login off, so the
        // next start cannot log in with an older account's file.
        QVERIFY(QFile::remove(QStringLiteral("user.dat")));
        QVERIFY(QDir().mkdir(QStringLiteral("user.dat")));
        m_dialog->showLoginPage();
        logIn("{\"statu\":1,\"data\":{}}", true);
        QCOMPARE(page(), QStringLiteral("infoPage"));
        QVERIFY(!AppSettings::instance()->isAutoLogin());
    }

    void returningToLoginPageClearsIt()
    {
        type("loginPageUsernameLineEdit", QStringLiteral("a@b.c"));
        child<QCheckBox>("loginPageAutoLoginCheckBox")->setChecked(true);
        AppSettings::instance()->setAutoLogin(true);
        click("loginPageSignUpPushButton");
        click("signUpPageReturnPushButton");
        QCOMPARE(page(), QStringLiteral("loginPage"));
        QVERIFY(child<QLineEdit>("loginPageUsernameLineEdit")->text().isEmpty());
        QVERIFY(!child<QCheckBox>("loginPageAutoLoginCheckBox")->isChecked());
        QVERIFY(!AppSettings::instance()->isAutoLogin());
    }

    void signUp()
    {
        const QByteArray first = png(Qt::red, QSize(120, 40));
        m_service->answers.insert(Captcha, TestHttpAnswer::json(first));
        click("loginPageSignUpPushButton");
        auto *image = child<QPushButton>("signUpPageCaptchaImagePushButton");
        QCOMPARE(image->iconSize(), QSize(120, 40));
        const qint64 shown = image->icon().cacheKey();

        // Every entry fetches a new captcha; one that is no picture leaves
        // the old one.
        m_service->answers.insert(Captcha, TestHttpAnswer::json("not a picture"));
        click("signUpPageReturnPushButton");
        click("loginPageSignUpPushButton");
        QCOMPARE(m_service->count(Captcha), 2);
        QCOMPARE(image->icon().cacheKey(), shown);

        type("signUpPageEmailLineEdit", QStringLiteral("new@example.com"));
        type("signUpPagePasswordLineEdit", QStringLiteral("pass-word"));
        type("signUpPageCaptchaLineEdit", QStringLiteral("k7m2"));
        click("signUpPageSignUpPushButton");
        QCOMPARE(m_service->count(Register), 0);
        QCOMPARE(m_boxes->boxes.takeLast(),
            QStringLiteral("账号注册|请熟读并认可Kestrune声明后再进行注册！"));

        child<QCheckBox>("signUpPageDeclarationCheckBox")->setChecked(true);
        m_service->answer(Register, "{\"statu\":0,\"msg\":\"验证码错误\"}");
        click("signUpPageSignUpPushButton");
        QCOMPARE(m_boxes->boxes.takeLast(), QStringLiteral("账号注册|验证码错误"));

        m_service->answer(Register, "{\"statu\":1}");
        QTest::keyClick(child<QLineEdit>("signUpPageCaptchaLineEdit"), Qt::Key_Return);
        QCOMPARE(m_boxes->boxes.takeLast(),
            QStringLiteral(
                "账号注册|注册的邮箱请务必填写本人的，否则密码丢失只能通过邮箱找回。\r\n\r\n"
                "警告：若发现近期内重复注册，且没有正当使用，Kestrune有权收回且禁用IP注册"
                "账户！"));
        QCOMPARE(m_service->count(Register), 2);
        QVERIFY(m_service->server.lastRequest().body.contains(
            "&f[code]=k7m2&f[username]=new%40example.com&f[password]=pass-word"
            "&f[repassword]=pass-word&union_uid=&_s=pc&sign="));
        QCOMPARE(page(), QStringLiteral("signUpPage"));
        QCOMPARE(child<QLineEdit>("signUpPageCaptchaLineEdit")->text(), QStringLiteral("k7m2"));
    }

    void retrieveAndChangePassword()
    {
        click("loginPageForgetPasswordPushButton");
        type("passwordRetrievePageEmailLineEdit", QStringLiteral("viewer@example.com"));
        m_service->answer(Forget, "{\"statu\":1}");
        click("passwordRetrievePageRetrievePushButton");
        m_service->answer(Forget, "{\"statu\":0,\"msg\":\"邮箱未注册\"}");
        click("passwordRetrievePageRetrievePushButton");
        QCOMPARE(m_boxes->boxes,
            (QStringList { QStringLiteral("密码找回|邮件发送成功，请尽快修改密码！"),
                QStringLiteral("密码找回|邮箱未注册") }));
        m_boxes->boxes.clear();
        click("passwordRetrievePageReturnPushButton");

        logIn("{\"statu\":1,\"data\":{}}", true);
        click("infoPageModifyPasswordPushButton");
        QCOMPARE(page(), QStringLiteral("passwordModifyPage"));
        // Different new passwords are caught before anything else.
        type("passwordModifyPageNewPasswordLineEdit", QStringLiteral("a"));
        type("passwordModifyPageNewRePasswordLineEdit", QStringLiteral("b"));
        click("passwordModifyPageModifyPushButton");
        QCOMPARE(m_boxes->boxes.takeLast(), QStringLiteral("密码修改|两次输入的密码不一致！"));
        QCOMPARE(m_service->count(Modify), 0);

        type("passwordModifyPageOldPasswordLineEdit", QStringLiteral("secret"));
        type("passwordModifyPageNewPasswordLineEdit", QStringLiteral("b"));
        m_service->answer(Modify, "{\"statu\":0,\"msg\":\"原密码错误\"}");
        click("passwordModifyPageModifyPushButton");
        QCOMPARE(m_boxes->boxes.takeLast(), QStringLiteral("密码修改|原密码错误"));
        QVERIFY(AppSettings::instance()->isAutoLogin());

        m_service->answer(Modify, "{\"statu\":1}");
        QTest::keyClick(
            child<QLineEdit>("passwordModifyPageNewRePasswordLineEdit"), Qt::Key_Return);
        QCOMPARE(m_boxes->boxes.takeLast(), QStringLiteral("密码修改|修改成功，请重新登录！"));
        QVERIFY(!AppSettings::instance()->isAutoLogin());
        QVERIFY(UserSession::instance()->isLoggedIn());
        QCOMPARE(page(), QStringLiteral("passwordModifyPage"));

        // Returning leads to the login page, not the info page.
        click("passwordModifyPageReturnPushButton");
        QCOMPARE(page(), QStringLiteral("loginPage"));
    }

    // Pages keep the scheme of the service's address.
    void servicePagesInBrowser()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        AppSettings::instance()->setServiceBaseAddress(
            QStringLiteral("https://video.example.org/"));
        m_dialog->showInfoPage();
        click("infoPageRechargePushButton");
        QCOMPARE(QGuiApplication::clipboard()->text(),
            QStringLiteral("https://video.example.org/server/?r=www/user/login"));
        m_service->answers.insert(Captcha, TestHttpAnswer::withStatus(404));
        m_dialog->showLoginPage();
        click("loginPageSignUpPushButton");
        click("signUpPageCheckDeclarationPushButton");
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(catcher.urls,
            (QList<QUrl> {
                QUrl(QStringLiteral("https://video.example.org/server/?r=www/user/login")),
                QUrl(QStringLiteral(
                    "https://video.example.org/server/?r=www/default/page&p=mianze")) }));
    }

    // The account step of the main window's start, both ways.
    void startLoggedInAutomatically()
    {
        delete m_dialog;
        APlayerControl::setEngineFactory(scriptedEngines());
        UserSession::instance()->saveCredentials(
            QStringLiteral("viewer@example.com"), QStringLiteral("secret"));
        AppSettings::instance()->setAutoLogin(true);
        AppSettings::instance()->setLastLaunchedDate(QDate::currentDate());
        m_service->answer(Login, "{\"statu\":1,\"data\":{\"isvip\":1,\"viptime\":1700000000}}");
        {
            MainWindow window;
            window.show();
            auto *dialog = window.findChild<UserAccountDialog *>();
            QVERIFY(dialog && dialog->isVisible());
            QVERIFY(!dialog->isModal());
            m_dialog = dialog;
            QCOMPARE(page(), QStringLiteral("infoPage"));
            QCOMPARE(child<QLineEdit>("infoPageEmailLineEdit")->text(),
                QStringLiteral("viewer@example.com"));
            QCOMPARE(child<QLabel>("infoPageVIPLabel")->text(), QStringLiteral("VIP："));
            QCOMPARE(m_dialog->pos(),
                window.pos() + QPoint((window.width() - 322) / 2, (window.height() - 382) / 2));

            // The account button replaces the dialog with a new one on the
            // info page.
            child<QPushButton>("openUserAccountDialogPushButton", &window)->click();
            QTRY_VERIFY(!m_dialog);
            m_dialog = window.findChild<UserAccountDialog *>();
            QCOMPARE(page(), QStringLiteral("infoPage"));
            QVERIFY(!m_dialog->isModal());

            // The login page reached from the password page while logged
            // in: closing it closes the dialog only.
            click("infoPageModifyPasswordPushButton");
            click("passwordModifyPageReturnPushButton");
            click("loginPageClosePushButton");
            QTRY_VERIFY(!m_dialog);
            QTest::qWait(300);
            QVERIFY(window.isVisible());
        }
        delete APlayerControl::instance;
    }

    void startLoggedOutEndsWithTheLoginPage()
    {
        delete m_dialog;
        APlayerControl::setEngineFactory(scriptedEngines());
        AppSettings::instance()->setLastLaunchedDate(QDate::currentDate());
        MainWindow window;
        bool seen = false;
        WhenModal<UserAccountDialog> closeLogin([&](UserAccountDialog *dialog) {
            m_dialog = dialog;
            seen = page() == QLatin1String("loginPage")
                && child<QLineEdit>("loginPageUsernameLineEdit")->text().isEmpty();
            click("loginPageClosePushButton");
        });
        window.show();
        QVERIFY(seen);
        QCOMPARE(m_service->count(Login), 0);
        // The window closes a moment later, which ends the program.
        QVERIFY(window.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 2000);
        delete APlayerControl::instance;
    }
};

QTEST_MAIN(TestUserAccountDialog)
#include "tst_useraccountdialog.moc"
