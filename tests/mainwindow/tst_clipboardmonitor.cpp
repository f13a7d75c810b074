// The clipboard monitor of the main window: which copied texts open the
// parse dialog, on a real local service and the offscreen clipboard.

#include "account/usersession.h"
#include "app/appsettings.h"
#include "guitest.h"
#include "mainwindow/clipboardwatch.h"
#include "mainwindow/mainwindow.h"
#include "player/aplayercontrol.h"
#include "scriptedengine.h"
#include "testhttpserver.h"

#include <QClipboard>
#include <QDate>
#include <QImage>
#include <QLineEdit>
#include <QtTest>

namespace {
const QString Hash = QStringLiteral("0123456789abcdef0123456789ABCDEF01234567");
const QString Hex32 = QStringLiteral("0123456789abcdef0123456789abcdef");
} // namespace

class TestClipboardMonitor : public QObject
{
    Q_OBJECT

private slots:
    void resourceIds_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("id");
        const QString appdata = QStringLiteral("appdata_") + Hex32;
        QTest::newRow("hash alone") << Hash << Hash;
        QTest::newRow("hash in a sentence") << QStringLiteral("资源：%1，快看").arg(Hash) << Hash;
        QTest::newRow("41 digits") << QLatin1Char('8') + Hash << QLatin1Char('8') + Hash.left(39);
        QTest::newRow("39 digits") << Hash.left(39) << QString();
        QTest::newRow("39 digits twice, split")
            << Hash.left(39) + QLatin1Char(' ') + Hash.left(39) << QString();
        QTest::newRow("appdata id") << QStringLiteral("x ") + appdata + QLatin1Char('f') << appdata;
        QTest::newRow("hash before appdata") << appdata + QLatin1Char(' ') + Hash << Hash;
        QTest::newRow("appdata 31 digits") << appdata.chopped(1) << QString();
        QTest::newRow("appdata upper case") << QStringLiteral("APPDATA_") + Hex32 << QString();
        QTest::newRow("appdata second one counts")
            << QStringLiteral("appdata_zz ") + appdata << appdata;
        QTest::newRow("empty") << QString() << QString();
    }

    void resourceIds()
    {
        QFETCH(QString, text);
        QFETCH(QString, id);
        QCOMPARE(ClipboardWatch::resourceIdIn(text), id);
    }

    void copiedTextsOpenTheParseDialog()
    {
        ScopedWorkingDirectory work;
        AppSettings::initialize(QStringLiteral("Config.ini"));
        TestHttpServer server;
        QVERIFY(server.start());
        AppSettings::instance()->setServiceBaseAddress(server.baseAddress());
        int parses = 0;
        server.setHandler([&](const TestHttpRequest &request) {
            if (request.target.contains("getNewHashFileList")) {
                ++parses;
                return TestHttpAnswer::json("{\"statu\":1,\"datas\":[]}");
            }
            return TestHttpAnswer::json("{\"statu\":1,\"data\":{}}");
        });
        APlayerControl::setEngineFactory(scriptedEngines());

        AppSettings::instance()->setLastLaunchedDate(QDate::currentDate());
        MainWindow window;
        showClosingModals(&window);
        QClipboard *clipboard = QGuiApplication::clipboard();
        const QString sentence = QStringLiteral("看这个 %1 吧").arg(Hash);
        const QString huge = QString(10 * 1024 * 1024, QLatin1Char('z')) + Hash;

        struct Step
        {
            const char *what;
            std::function<void()> act;
            int parses; // parse requests so far
            QString lineEdit; // the parse dialog's text, when it opened
        };
        const QList<Step> steps = {
            { "copied while logged out", [&] { clipboard->setText(sentence); }, 0, {} },
            { "acted on after login",
                [&] { QCOMPARE(UserSession::instance()->login("u", "p").status, 1); }, 1,
                sentence },
            { "same text again", [&] { clipboard->setText(sentence); }, 1, sentence },
            { "other text", [&] { clipboard->setText(QStringLiteral("你好")); }, 1, sentence },
            { "the hash again", [&] { clipboard->setText(sentence); }, 2, sentence },
            { "copied while the setting is off",
                [&] {
                    AppSettings::instance()->setClipboardMonitor(false);
                    clipboard->setText(QStringLiteral("appdata_") + Hex32);
                },
                2, sentence },
            { "setting turned on", [&] { AppSettings::instance()->setClipboardMonitor(true); }, 3,
                QStringLiteral("appdata_") + Hex32 },
            { "41 digits: the whole text goes in",
                [&] { clipboard->setText(Hash + QStringLiteral("9 尾")); }, 4,
                Hash + QStringLiteral("9 尾") },
            { "an image is ignored",
                [&] { clipboard->setImage(QImage(8, 8, QImage::Format_RGB32)); }, 4,
                Hash + QStringLiteral("9 尾") },
            // Longer than the field takes: the id alone goes in.
            { "10 MB of text", [&] { clipboard->setText(huge); }, 5, Hash },
            { "10 MB again", [] {}, 5, Hash },
        };
        for (const Step &step : steps) {
            step.act();
            window.clipboardMonitorTimer_timeout();
            QVERIFY2(parses == step.parses, step.what);
            if (!step.lineEdit.isEmpty()) {
                auto *edit = window.findChild<QLineEdit *>(QStringLiteral("resourceLineEdit"));
                QVERIFY2(edit && edit->text() == step.lineEdit, step.what);
            }
        }

        // The monitor runs by itself once the window is shown.
        clipboard->setText(sentence);
        QTRY_COMPARE_WITH_TIMEOUT(parses, 6, 3000);

        UserSession::instance()->logout();
        APlayerControl::setEngineFactory({});
        AppSettings::release();
    }
};

QTEST_MAIN(TestClipboardMonitor)
#include "tst_clipboardmonitor.moc"
