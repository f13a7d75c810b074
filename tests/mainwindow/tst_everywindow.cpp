// Every window and dialog of the program, in each of its states, on a real
// X server with a window manager: each is checked on its rendered pixels
// (texts fit and stand out from their ground, image buttons show images,
// titles are plain words) and kept as a screenshot in the test artefacts.
#include "account/reportdialog.h"
#include "account/tanchuangdialog.h"
#include "account/useraccountdialog.h"
#include "app/appsettings.h"
#include "app/startup.h"
#include "guitest.h"
#include "library/btresourcecollectdialog.h"
#include "library/btresourcedownloaddialog.h"
#include "library/btresourcedownloadlistitemwidget.h"
#include "library/btresourceplayrecorddialog.h"
#include "library/collectcurrentplayingresourcedialog.h"
#include "mainwindow/mainwindow.h"
#include "preferences/settingsdialog.h"
#include "preferences/subtitlesettingdialog.h"
#include "resource/btresourceparsedialog.h"
#include "scriptedengine.h"
#include "testhttpserver.h"
#include "windowcheck.h"

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QtTest>

#include <functional>

namespace {

// A picture with something on it, as the service's pictures have.
QByteArray picture(const QSize &size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QPainter painter(&image);
    painter.setPen(QPen(Qt::white, 3));
    painter.drawEllipse(QRect(QPoint(0, 0), size).adjusted(8, 8, -8, -8));
    painter.drawText(QRect(QPoint(0, 0), size), Qt::AlignCenter, QStringLiteral("Tavrion"));
    return pngBytes(image);
}

QByteArray json(const QString &text)
{
    return text.toUtf8();
}

// The web service as the dialogs meet it: files of a resource, favourites,
// a captcha, a refused login and an accepted report.
TestHttpAnswer serviceAnswer(const TestHttpRequest &request)
{
    const QByteArray query = request.query() + '&' + request.body;
    if (query.contains("do=getNewHashFileList"))
        return TestHttpAnswer::json(json(QStringLiteral(
            R"({"statu":1,"msg":"","datas":[{"index":0,"name":"第一集 回家的路.mkv","file_size":734003200},)"
            R"({"index":1,"name":"第二集 山那边的灯火.mkv","file_size":1073741824},)"
            R"({"index":2,"name":"花絮 Making of.mp4","file_size":52428800}]})")));
    if (query.contains("do=fav") && query.contains("method=get"))
        return TestHttpAnswer::json(json(QStringLiteral(
            R"({"statu":1,"datas":[{"id":1,"hash":"30b8c4c10efa39d63f058d117927b2c5e32d9f24","index":0,"name":"城市夜景 4K 延时摄影.mp4"},)"
            R"({"id":2,"hash":"fd197b70d26e5b6110c730c8d456fa405d9b611b","index":1,"name":"第二集 山那边的灯火.mkv"}]})")));
    if (query.contains("verfy"))
        return TestHttpAnswer::json(picture(QSize(90, 30), QColor(40, 90, 160)));
    if (query.contains("login"))
        return TestHttpAnswer::json(
            json(QStringLiteral(R"({"statu":0,"msg":"用户名或密码错误"})")));
    if (query.contains("do=report"))
        return TestHttpAnswer::json(R"({"statu":1})");
    return TestHttpAnswer::json(json(QStringLiteral(R"({"statu":0,"msg":"未知请求"})")));
}

// A video host with one file per path: whole, stalled part way, never
// answered, missing.
TestHttpAnswer hostAnswer(const TestHttpRequest &request)
{
    TestHttpAnswer answer;
    if (request.path() == "/whole.mp4") {
        answer.body = QByteArray(200000, 'v');
    } else if (request.path() == "/running.mp4") {
        answer.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("100000000")));
        answer.body = QByteArray(100000000, 'v');
        answer.stallAfterBodyBytes = 3000000;
    } else if (request.path() == "/waiting.mp4") {
        answer.neverAnswer = true;
    } else {
        answer = TestHttpAnswer::withStatus(404);
    }
    return answer;
}

void centre(QWidget *dialog, QWidget *over)
{
    dialog->move(over->geometry().center() - dialog->rect().center());
}

// Checks a window once it is up and keeps what it found. Every dialog's
// "    关闭" button must look the same: the first one seen is the pattern.
class WindowChecker
{
public:
    // `fixedColours`: widgets whose text colour is a fixed signal, kept
    // whatever the ground.
    void check(QWidget *window, const QString &name, bool titleFixed = false,
        const QStringList &fixedColours = {})
    {
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // A framed window waits for the window manager's frame.
        if (!(window->windowFlags() & Qt::FramelessWindowHint)
            && !QTest::qWaitFor(
                [window] {
                    const QRect frame = window->frameGeometry();
                    return frame.width() > window->width() && frame.height() > window->height();
                },
                2000))
            qWarning("%s: no frame from the window manager", qPrintable(name));
        window->raise();
        window->activateWindow();
        // The window manager's frame and the first paints settle.
        QTest::qWait(400);
        const QImage shot = grabScreenArea(shownFrame(window));
        shot.save(artefactPath(QStringLiteral("window-%1.png").arg(name)));
        for (const QString &fault : windowFaults(window, shot, titleFixed)) {
            const QString widget = fault.section(QLatin1Char(':'), 0, 0);
            if (!(fixedColours.contains(widget) && fault.contains(QLatin1String("contrast"))))
                faults.append(name + QStringLiteral(": ") + fault);
        }
        checkCloseButton(window, name, shot);
    }

    QStringList faults;

private:
    void checkCloseButton(QWidget *window, const QString &name, const QImage &shot)
    {
        auto *close = window->findChild<QPushButton *>(QStringLiteral("closePushButton"));
        if (!close || !close->isVisible() || close->text() != QStringLiteral("    关闭"))
            return;
        const QPoint origin = window->geometry().topLeft() - shownFrame(window).topLeft();
        const QImage pixels
            = shot.copy(QRect(close->mapTo(window, QPoint(0, 0)) + origin, close->size()));
        static QImage pattern;
        static QString patternWindow;
        if (pattern.isNull()) {
            pattern = pixels;
            patternWindow = name;
        } else if (pixels != pattern) {
            faults.append(QStringLiteral("%1: its close button differs from the one of %2")
                              .arg(name, patternWindow));
        }
    }
};

struct Fixture
{
    MainWindow *main;
    TestHttpServer *host;
    WindowChecker *checker;
};

using Opener = std::function<void(Fixture &)>;

// Shows `dialog` over the main window.
template <class T> T *shownOver(Fixture &f, T *dialog)
{
    centre(dialog, f.main);
    dialog->show();
    return dialog;
}

// Shows `dialog` over the main window, checks it and throws it away.
template <class T> void checkShown(Fixture &f, T *dialog, const QString &name, bool fixed = false)
{
    f.checker->check(shownOver(f, dialog), name, fixed);
    delete dialog;
}

// The account window on the page `go` turns it to.
QPair<QString, Opener> accountPage(const char *name,
    std::function<void(UserAccountDialog *)> go, const QStringList &fixedColours = {})
{
    return { QString::fromLatin1(name), [=](Fixture &f) {
                auto *dialog = shownOver(f, new UserAccountDialog(f.main));
                go(dialog);
                QTest::qWait(300);
                f.checker->check(dialog, QString::fromLatin1(name), false, fixedColours);
                delete dialog;
            } };
}

// A dialog of class T over the main window, as it opens.
template <class T> QPair<QString, Opener> plainDialog(const char *name)
{
    return { QString::fromLatin1(name),
        [name](Fixture &f) { checkShown(f, new T(f.main), QString::fromLatin1(name)); } };
}

// Runs `act`, which opens a modal window of kind T, checks that window and
// closes it.
template <class T>
void checkModal(
    Fixture &f, const QString &name, const std::function<void()> &act,
    const std::function<void(T *)> &close = [](T *w) { w->reject(); })
{
    bool seen = false;
    WhenModal<T> when([&](T *window) {
        seen = true;
        f.checker->check(window, name);
        close(window);
    });
    act();
    QTRY_VERIFY(seen);
}

QPushButton *button(QWidget *parent, const char *name)
{
    return child<QPushButton>(parent, name);
}

// Opens the main window's list window T with `open`, waits for its `rows`
// and checks it.
template <class T>
void checkListWindow(Fixture &f, const QString &name, void (MainWindow::*open)(), int rows,
    bool titleFixed = false)
{
    (f.main->*open)();
    auto *dialog = f.main->findChild<T *>();
    QVERIFY(dialog);
    QTRY_COMPARE(dialog->template findChild<QListWidget *>()->count(), rows);
    f.checker->check(dialog, name, titleFixed);
    dialog->close();
}

const QVector<QPair<QString, Opener>> &windowCases()
{
    static const QVector<QPair<QString, Opener>> cases {
        { "main", [](Fixture &f) { f.checker->check(f.main, QStringLiteral("main")); } },
        accountPage("account-login", [](UserAccountDialog *d) { d->showLoginPage(); }),
        accountPage("account-signup",
            [](UserAccountDialog *d) { button(d, "loginPageSignUpPushButton")->click(); }),
        accountPage("account-retrieve",
            [](UserAccountDialog *d) { button(d, "loginPageForgetPasswordPushButton")->click(); }),
        // The account state's colour on "VIP：" is fixed.
        accountPage("account-info", [](UserAccountDialog *d) { d->showInfoPage(); },
            { QStringLiteral("infoPageVIPLabel") }),
        accountPage("account-change",
            [](UserAccountDialog *d) {
                d->showInfoPage();
                button(d, "infoPageModifyPasswordPushButton")->click();
            }),
        { "popup",
            [](Fixture &f) {
                auto *popup = new TanChuangDialog(f.main);
                PopupNoticeResult notice;
                notice.status = 1;
                notice.enable = true;
                notice.pages.append({ picture(QSize(711, 404), QColor(150, 40, 40)),
                    QUrl("http://example.org/1") });
                notice.pages.append({ picture(QSize(711, 404), QColor(40, 120, 60)),
                    QUrl("http://example.org/2") });
                popup->setPopupNotice(notice);
                checkShown(f, popup, QStringLiteral("popup"), true);
            } },
        { "parse-rows",
            [](Fixture &f) {
                auto *dialog = shownOver(f, new BTResourceParseDialog(f.main));
                dialog->parseResource(QStringLiteral("fd197b70d26e5b6110c730c8d456fa405d9b611b"));
                QTRY_COMPARE(dialog->findChild<QListWidget *>()->count(), 3);
                f.checker->check(dialog, QStringLiteral("parse-rows"), true);
                delete dialog;
            } },
        { "playrecords-rows",
            [](Fixture &f) {
                QVERIFY(writeFileBytes(QStringLiteral("PlayRecord.dat"),
                    json(QStringLiteral(
                        R"([{"resource_hash":"30b8c4c10efa39d63f058d117927b2c5e32d9f24","resource_index":0,"file_hash":"","file_name":"城市夜景 4K 延时摄影.mp4"},)"
                        R"({"resource_hash":"fd197b70d26e5b6110c730c8d456fa405d9b611b","resource_index":2,"file_name":"花絮 Making of.mp4","file_hash":""}])"))));
                checkListWindow<BTResourcePlayRecordDialog>(f, QStringLiteral("playrecords-rows"),
                    &MainWindow::openPlayRecordDialogPushButton_clicked, 2);
            } },
        { "favourites-rows",
            [](Fixture &f) {
                // Its title is the one the favourites window has always had.
                checkListWindow<BTResourceCollectDialog>(f, QStringLiteral("favourites-rows"),
                    &MainWindow::openCollectDialogPushButton_clicked, 2, true);
            } },
        { "downloads-rows",
            [](Fixture &f) {
                AppSettings::instance()->setVideoFileDownloadDirectory(QDir::currentPath());
                f.main->openDownloadDialogPushButton_clicked();
                auto *dialog = f.main->findChild<BTResourceDownloadDialog *>();
                QVERIFY(dialog);
                QList<BTResourceDownloadListItemWidget *> rows;
                for (const char *path :
                    { "/waiting.mp4", "/running.mp4", "/whole.mp4", "/missing.mp4" }) {
                    auto file = QSharedPointer<VideoFileInfo>::create();
                    file->name = QString::fromLatin1(path + 1);
                    file->fileSize = QByteArray(path) == "/whole.mp4" ? 200000 : 100000000;
                    file->url = f.host->url(QString::fromLatin1(path)).toString();
                    rows.append(dialog->addDownload(file));
                }
                const auto progress = [&](int i) {
                    return child<QLabel>(rows.at(i), "downloadProgressLabel")->text();
                };
                QTRY_COMPARE(progress(2), QStringLiteral("下载完成"));
                QTRY_COMPARE(progress(3), QStringLiteral("下载失败"));
                QTRY_VERIFY(progress(1).contains(QLatin1Char('%')));
                f.checker->check(dialog, QStringLiteral("downloads-rows"));
                dialog->close();
            } },
        plainDialog<SettingsDialog>("settings"),
        plainDialog<SubtitleSettingDialog>("subtitles"),
        { "report",
            [](Fixture &f) {
                auto *parse = new BTResourceParseDialog(f.main);
                checkShown(f, new ReportDialog(parse), QStringLiteral("report"));
                delete parse;
            } },
        plainDialog<CollectCurrentPlayingResourceDialog>("naming"),
        { "box-login",
            [](Fixture &f) {
                auto *dialog = shownOver(f, new UserAccountDialog(f.main));
                child<QLineEdit>(dialog, "loginPageUsernameLineEdit")
                    ->setText("viewer@example.com");
                child<QLineEdit>(dialog, "loginPagePasswordLineEdit")->setText("wrong-pass");
                checkModal<QMessageBox>(f, QStringLiteral("box-login"),
                    [dialog] { button(dialog, "loginPageLoginPushButton")->click(); });
                delete dialog;
            } },
        { "box-report",
            [](Fixture &f) {
                auto *parse = new BTResourceParseDialog(f.main);
                auto *dialog = shownOver(f, new ReportDialog(parse));
                child<QLineEdit>(dialog, "hashLineEdit")
                    ->setText("30b8c4c10efa39d63f058d117927b2c5e32d9f24");
                child<QRadioButton>(dialog, "seQingRadioButton")->setChecked(true);
                checkModal<QMessageBox>(f, QStringLiteral("box-report"),
                    [dialog] { button(dialog, "submitPushButton")->click(); });
                delete parse;
            } },
        { "box-question",
            [](Fixture &f) {
                AppSettings::instance()->setFirstLaunched(true);
                checkModal<QMessageBox>(
                    f, QStringLiteral("box-question"), [] { Startup::runShortcutPrompt(); },
                    [](QMessageBox *box) { box->button(QMessageBox::No)->click(); });
            } },
        { "box-warning",
            [](Fixture &f) {
                checkModal<QMessageBox>(
                    f, QStringLiteral("box-warning"), [] { Startup::showAlreadyRunningWarning(); },
                    [](QMessageBox *box) { box->button(QMessageBox::Ok)->click(); });
            } },
        { "file-subtitle",
            [](Fixture &f) {
                auto *dialog = shownOver(f, new SubtitleSettingDialog(f.main));
                checkModal<QFileDialog>(f, QStringLiteral("file-subtitle"),
                    [dialog] { button(dialog, "browseSubtitleFilePushButton")->click(); });
                delete dialog;
            } },
        { "file-folder",
            [](Fixture &f) {
                f.main->openDownloadDialogPushButton_clicked();
                auto *dialog = f.main->findChild<BTResourceDownloadDialog *>();
                checkModal<QFileDialog>(f, QStringLiteral("file-folder"),
                    [dialog] { button(dialog, "selectDownloadDirectroryPushButton")->click(); });
                dialog->close();
            } },
    };
    return cases;
}

} // namespace

class TestEveryWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Startup::initResources();
        Startup::installQtTranslation(qApp);
        Startup::installFontSubstitutions();
        // Nothing under the pointer: every button shows its resting look.
        QCursor::setPos(1599, 999);
        QVERIFY(m_service.start());
        QVERIFY(m_host.start());
        m_service.setHandler(serviceAnswer);
        m_host.setHandler(hostAnswer);
        m_started = std::make_unique<StartedMainWindow>(scriptedEngines());
        AppSettings::instance()->setServiceBaseAddress(m_service.baseAddress());
    }

    void cleanupTestCase() { m_started.reset(); }

    void everyWindow_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < windowCases().size(); ++i)
            QTest::newRow(qPrintable(windowCases().at(i).first)) << i;
    }

    void everyWindow()
    {
        QFETCH(int, index);
        WindowChecker checker;
        Fixture fixture { m_started->window(), &m_host, &checker };
        windowCases().at(index).second(fixture);
        QVERIFY2(checker.faults.isEmpty(), qPrintable(checker.faults.join(QLatin1Char('\n'))));
    }

    // Message boxes carry the family's icons, not the platform's, and no
    // icons on their buttons.
    void messageBoxIcons()
    {
        QImage shown;
        QImage platform;
        int buttonIcons = 0;
        WhenModal<QMessageBox> when([&](QMessageBox *box) {
            shown = box->iconPixmap().toImage().convertToFormat(QImage::Format_ARGB32);
            platform = QApplication::style()
                           ->standardIcon(QStyle::SP_MessageBoxWarning)
                           .pixmap(shown.size())
                           .toImage()
                           .convertToFormat(QImage::Format_ARGB32);
            for (QAbstractButton *b : box->buttons())
                buttonIcons += b->icon().isNull() ? 0 : 1;
            box->button(QMessageBox::Ok)->click();
        });
        Startup::showAlreadyRunningWarning();
        QVERIFY(!shown.isNull());
        QVERIFY(shown != platform);
        QCOMPARE(buttonIcons, 0);
    }

    // The service's pages go to the browser through the desktop's xdg-open
    // (here a script in PATH); where none takes the page, the user is told,
    // with the address to copy.
    void pagesOpenThroughXdgOpen_data()
    {
        QTest::addColumn<QByteArray>("xdgOpen"); // script body; empty: no xdg-open at all
        QTest::addColumn<bool>("told");
        QTest::newRow("browser takes the page")
            << QByteArray("echo \"$1\" > \"${0%/*}/opened\"") << false;
        // What xdg-open says when it finds no way to open the page.
        QTest::newRow("xdg-open finds no browser") << QByteArray("exit 3") << true;
        QTest::newRow("no xdg-open, no BROWSER") << QByteArray() << true;
    }

    void pagesOpenThroughXdgOpen()
    {
        QFETCH(QByteArray, xdgOpen);
        QFETCH(bool, told);
        QTemporaryDir bin;
        const QString script = bin.filePath(QStringLiteral("xdg-open"));
        if (!xdgOpen.isEmpty()) {
            QVERIFY(writeFileBytes(script, "#!/bin/sh\n" + xdgOpen + "\n"));
            QVERIFY(QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner));
        }
        const QByteArray path = qgetenv("PATH");
        const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
        qputenv("PATH", QFile::encodeName(bin.path()));
        qunsetenv("BROWSER");
        qunsetenv("DEFAULT_BROWSER");

        MainWindow *main = m_started->window();
        button(main, "openNewbieTutorialPushButton")->click();
        const QUrl url(m_service.baseAddress() + "/server/?r=www/default/page&p=jiaocheng");
        QMessageBox *box = nullptr;
        if (told) {
            // The launcher is a child process: slow to start and fail on a busy machine.
            QTRY_VERIFY_WITH_TIMEOUT((box = main->findChild<QMessageBox *>()), 30000);
            QVERIFY(box->text().startsWith(QStringLiteral("无法打开浏览器")));
            QVERIFY(box->text().contains(url.toString()));
            box->buttons().first()->click();
            QTRY_VERIFY(!main->findChild<QMessageBox *>());
            return;
        }
        // Written by the launcher, a child process: slow on a busy machine.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(bin.filePath(QStringLiteral("opened"))), 30000);
        QTest::qWait(300);
        QVERIFY(!main->findChild<QMessageBox *>());
        QCOMPARE(QUrl(QString::fromUtf8(readFileBytes(bin.filePath("opened")).trimmed())), url);
    }

private:
    TestHttpServer m_service;
    TestHttpServer m_host;
    std::unique_ptr<StartedMainWindow> m_started;
};

QTEST_MAIN(TestEveryWindow)
#include "tst_everywindow.moc"
