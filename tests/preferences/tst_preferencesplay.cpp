// The user's roads on a real X server with the real engine: Chinese
// subtitles in the usual encodings loaded through the menu into a playing
// clip (screenshots kept as test artefacts), and the boss key pressed as a
// user does, with and without the lock keys.

#include "app/startup.h"
#include "guitest.h"
#include "mainwindow/mainwindow.h"
#include "mediaserver.h"
#include "preferences/subtitlelimit.h"
#include "resource/videofileinfo.h"

#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {

bool xdotoolKey(const QString &key)
{
    return QProcess::execute(QStringLiteral("xdotool"), { QStringLiteral("key"), key }) == 0;
}

} // namespace

class TestPreferencesPlay : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_media;
    std::unique_ptr<MediaServer> m_server;
    std::unique_ptr<StartedMainWindow> m_app;
    MainWindow *m_window = nullptr;
    // Showing the window again after the boss key may ask for a login once
    // more: modal dialogs are closed unanswered while this lives.
    std::unique_ptr<ModalCloser> m_closeModal;

    // Plays the clip unless it plays already.
    bool ensurePlaying()
    {
        return APlayerControl::instance->state() == APlayerControl::Playing
            || playUrl(APlayerControl::instance, m_server->url());
    }

    // Opens a dialog from the context menu over the video.
    QWidget *openDialogFromMenu(const QString &entry, const QString &objectName)
    {
        QWidget *playPage = m_window->findChild<QWidget *>(QStringLiteral("playPage"));
        QTimer::singleShot(300, this, [entry] {
            if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
                for (QAction *action : menu->actions()) {
                    if (action->text() == entry) {
                        menu->setActiveAction(action);
                        QTest::keyClick(menu, Qt::Key_Return);
                    }
                }
            }
        });
        const QPoint at(playPage->width() / 2, playPage->height() / 3);
        QMouseEvent release(QEvent::MouseButtonRelease, at, playPage->mapTo(m_window, at),
            playPage->mapToGlobal(at), Qt::RightButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(playPage, &release);
        QWidget *dialog = nullptr;
        const bool shown = QTest::qWaitFor([&] {
            dialog = m_window->findChild<QWidget *>(objectName, Qt::FindDirectChildrenOnly);
            return dialog && dialog->isVisible();
        });
        return shown ? dialog : nullptr;
    }

private slots:
    void initTestCase()
    {
        Startup::initResources();
        Startup::installFontSubstitutions();
        TestMedia::Options options;
        options.seconds = 60;
        options.width = 640;
        options.height = 360;
        const QString sample
            = TestMedia::makeVideo(m_media.path(), QStringLiteral("v.mp4"), options);
        QVERIFY(!sample.isEmpty());
        m_server = std::make_unique<MediaServer>(sample);
        QVERIFY(m_server->start());
        m_closeModal = std::make_unique<ModalCloser>();
        m_app = std::make_unique<StartedMainWindow>(realEngine());
        m_window = m_app->window();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }

    void cleanupTestCase() { m_app.reset(); }

    void chineseSubtitlesShowReadably_data()
    {
        QTest::addColumn<QByteArray>("codec");
        QTest::addColumn<QByteArray>("prefix");
        QTest::addColumn<QString>("text");
        QTest::newRow("gbk") << QByteArray("GBK") << QByteArray()
                             << QStringLiteral("第一集：这是一段中文字幕");
        QTest::newRow("gb18030") << QByteArray("GB18030") << QByteArray()
                                 << QStringLiteral("简体字幕：欢迎观看");
        QTest::newRow("big5") << QByteArray("Big5") << QByteArray()
                              << QStringLiteral("這是繁體中文字幕");
        QTest::newRow("utf-8") << QByteArray("UTF-8") << QByteArray()
                               << QStringLiteral("这是UTF-8字幕：你好世界");
        QTest::newRow("utf-8 bom") << QByteArray("UTF-8") << QByteArray("\xEF\xBB\xBF")
                                   << QStringLiteral("带BOM的UTF-8字幕");
    }

    void chineseSubtitlesShowReadably()
    {
        QFETCH(QByteArray, codec);
        QFETCH(QByteArray, prefix);
        QFETCH(QString, text);
        const QString file
            = m_app->work().filePath(QString::fromLatin1(QTest::currentDataTag()) + ".srt");
        QVERIFY(writeFileBytes(file,
            prefix
                + QTextCodec::codecForName(codec)->fromUnicode(
                    QStringLiteral("1\r\n00:00:00,000 --> 00:01:00,000\r\n") + text
                    + QStringLiteral("\r\n\r\n"))));
        QVERIFY(ensurePlaying());
        QWidget *dialog = openDialogFromMenu(
            QStringLiteral("字幕设置"), QStringLiteral("SubtitleSettingDialog"));
        QVERIFY(dialog);
        dialog->findChild<QLineEdit *>(QStringLiteral("subtitleFilePathLineEdit"))->setText(file);
        QTRY_COMPARE(APlayerControl::instance->subtitleFile(), file);
        QTRY_COMPARE(mpvString("sub-text"), text);
        QTest::qWait(800);
        saveScreenshot(
            QStringLiteral("subtitle-%1.png").arg(QString::fromLatin1(QTest::currentDataTag())));
        dialog->close();
    }

    // A file far too large for a subtitle is refused with a message over the
    // subtitle dialog while the video plays on.
    void tooLargeSubtitleIsRefused()
    {
        QVERIFY(ensurePlaying());
        QWidget *dialog = openDialogFromMenu(
            QStringLiteral("字幕设置"), QStringLiteral("SubtitleSettingDialog"));
        QVERIFY(dialog);
        const QString file = m_app->work().filePath(QStringLiteral("huge.srt"));
        QFile sparse(file);
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(SubtitleLimit::TextBytes + 1));
        sparse.close();
        m_closeModal.reset();
        dialog->findChild<QLineEdit *>(QStringLiteral("subtitleFilePathLineEdit"))->setText(file);
        QMessageBox *box = nullptr;
        QVERIFY(QTest::qWaitFor([&] {
            box = dialog->findChild<QMessageBox *>();
            return box && box->isVisible();
        }));
        QTest::qWait(500);
        saveScreenshot(QStringLiteral("subtitle-too-large.png"));
        QVERIFY2(box->text().contains(file), qPrintable(box->text()));
        box->close();
        m_closeModal = std::make_unique<ModalCloser>();
        QCOMPARE(APlayerControl::instance->state(), int(APlayerControl::Playing));
        dialog->close();
    }

    // The colour sliders change the picture at once while it plays.
    void settingsChangeThePicture()
    {
        QVERIFY(ensurePlaying());
        QWidget *dialog
            = openDialogFromMenu(QStringLiteral("软件设置"), QStringLiteral("SettingsDialog"));
        QVERIFY(dialog);
        dialog->findChild<QSlider *>(QStringLiteral("saturationAdjustSlider"))->setValue(0);
        dialog->findChild<QSlider *>(QStringLiteral("brightnessAdjustSlider"))->setValue(70);
        QCOMPARE(mpvString("saturation"), QStringLiteral("-100"));
        QCOMPARE(mpvString("brightness"), QStringLiteral("40"));
        QTest::qWait(800);
        saveScreenshot(QStringLiteral("settings-grey-picture.png"));
        dialog->findChild<QPushButton *>(QStringLiteral("resetDefaultColorPushButton"))->click();
        QCOMPARE(mpvString("saturation"), QStringLiteral("0"));
        dialog->close();
    }

    void bossKeyHidesAndPauses_data()
    {
        QTest::addColumn<QString>("lock");
        QTest::addColumn<bool>("playing");
        QTest::newRow("playing") << QString() << true;
        QTest::newRow("playing, caps lock") << QStringLiteral("Caps_Lock") << true;
        QTest::newRow("playing, num lock") << QStringLiteral("Num_Lock") << true;
        QTest::newRow("nothing open") << QString() << false;
    }

    void bossKeyHidesAndPauses()
    {
        QFETCH(QString, lock);
        QFETCH(bool, playing);
        QVERIFY(playing ? ensurePlaying() : stopPlaying(APlayerControl::instance));
        if (!lock.isEmpty())
            QVERIFY(xdotoolKey(lock));

        QVERIFY(xdotoolKey(QStringLiteral("ctrl+d")));
        QTRY_VERIFY(!m_window->isVisible());
        QTRY_COMPARE(APlayerControl::instance->state(),
            int(playing ? APlayerControl::Paused : APlayerControl::Ready));
        if (!lock.isEmpty())
            saveScreenshot(QStringLiteral("bosskey-hidden.png"));

        QVERIFY(xdotoolKey(QStringLiteral("ctrl+d")));
        QTRY_VERIFY(m_window->isVisible());
        QTRY_COMPARE(APlayerControl::instance->state(),
            int(playing ? APlayerControl::Playing : APlayerControl::Ready));
        if (playing) {
            const int position = APlayerControl::instance->position();
            QTRY_VERIFY(APlayerControl::instance->position() > position);
        }
        if (!lock.isEmpty()) {
            QTest::qWait(500);
            saveScreenshot(QStringLiteral("bosskey-shown.png"));
            QVERIFY(xdotoolKey(lock));
        }
    }

    // Every window of the program goes with the boss key and comes back
    // where it was, in each mode of the main window.
    void bossKeyKeepsEveryWindowInPlace_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("moved and resized") << QStringLiteral("normal");
        QTest::newRow("maximised") << QStringLiteral("maximizePushButton");
        QTest::newRow("full screen") << QStringLiteral("fullScreenPushButton");
    }

    void bossKeyKeepsEveryWindowInPlace()
    {
        QFETCH(QString, mode);
        QVERIFY(stopPlaying(APlayerControl::instance));
        const QRect normal(137, 91, 900, 600);
        m_window->setGeometry(normal);
        if (mode != QLatin1String("normal"))
            m_window->findChild<QPushButton *>(mode)->click();
        QTest::qWait(500);
        m_window->openURLPushButton_clicked();
        m_window->openDownloadDialogPushButton_clicked();
        QWidget *parse = m_window->findChild<QWidget *>(QStringLiteral("BTResourceParseDialog"));
        QWidget *downloads
            = m_window->findChild<QWidget *>(QStringLiteral("BTResourceDownloadDialog"));
        QVERIFY(parse && downloads);
        parse->move(parse->pos() + QPoint(30, 20));
        QTest::qWait(300);
        const QRect geometry = m_window->geometry();
        const Qt::WindowStates states = m_window->windowState();
        const QPoint parseAt = parse->pos();
        const QPoint downloadsAt = downloads->pos();

        QVERIFY(xdotoolKey(QStringLiteral("ctrl+d")));
        QTRY_VERIFY(!m_window->isVisible());
        QVERIFY(!parse->isVisible() && !downloads->isVisible());
        QVERIFY(xdotoolKey(QStringLiteral("ctrl+d")));
        QTRY_VERIFY(m_window->isVisible() && parse->isVisible() && downloads->isVisible());
        QTest::qWait(500);
        saveScreenshot(QStringLiteral("bosskey-back-%1.png").arg(mode));
        QCOMPARE(m_window->windowState(), states);
        QCOMPARE(m_window->geometry(), geometry);
        QCOMPARE(parse->pos(), parseAt);
        QCOMPARE(downloads->pos(), downloadsAt);

        parse->close();
        downloads->close();
        if (mode != QLatin1String("normal"))
            m_window->findChild<QPushButton *>(mode)->click();
        QTRY_COMPARE(m_window->windowState(), Qt::WindowNoState);
    }

    // The boss key pressed twice while the login asks: it goes and comes
    // back with the window, and it stays the only one.
    void bossKeyDuringTheLogin()
    {
        m_closeModal.reset();
        int step = 0;
        int mostShown = 0;
        QTimer script;
        connect(&script, &QTimer::timeout, this, [&] {
            int shown = 0;
            for (QWidget *window : QApplication::topLevelWidgets())
                shown += window->isVisible() && window->objectName() == "UserAccountDialog";
            mostShown = std::max(mostShown, shown);
            QWidget *modal = QApplication::activeModalWidget();
            const bool login = modal && modal->objectName() == "UserAccountDialog";
            if (step == 0 && login) {
                step = 1;
                m_window->bossKey_activated();
            } else if (step == 1 && !m_window->isVisible() && shown == 0) {
                step = 2;
                m_window->bossKey_activated();
            } else if (step == 2 && login && m_window->isVisible()) {
                step = 3;
                modal->close();
            }
        });
        script.start(20);
        // Hidden and shown again while nobody is logged in: the login asks.
        m_window->bossKey_activated();
        m_window->bossKey_activated();
        QTRY_COMPARE(step, 3);
        QCOMPARE(mostShown, 1);
        m_closeModal = std::make_unique<ModalCloser>();
    }
};

QTEST_MAIN(TestPreferencesPlay)
#include "tst_preferencesplay.moc"
