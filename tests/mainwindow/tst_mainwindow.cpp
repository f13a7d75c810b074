// The main window with a scripted engine: frame, playback controller and the
// picture and sound options, driven the way the user and the engine drive them.

#include "account/useraccountdialog.h"
#include "app/appsettings.h"
#include "app/startup.h"
#include "guitest.h"
#include "mainwindow/dialog.h"
#include "mainwindow/mainwindow.h"
#include "player/aplayercontrol.h"
#include "player/windowmessage.h"
#include "resource/btresourceparsedialog.h"
#include "resource/videofileinfo.h"
#include "scriptedengine.h"

#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStackedWidget>
#include <QWindow>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// Records the mouse events that reach a widget and keeps them from going
// further, so that posted events can be inspected without acting on them.
class MouseRecorder : public QObject
{
public:
    struct Entry
    {
        QEvent::Type type;
        Qt::MouseButton button;
        Qt::MouseButtons buttons;
        QPoint pos;
    };
    QList<Entry> entries;

    bool eventFilter(QObject *, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove: {
            auto *mouse = static_cast<QMouseEvent *>(event);
            entries.append({ event->type(), mouse->button(), mouse->buttons(), mouse->pos() });
            return true;
        }
        default:
            return false;
        }
    }
};

bool sendMouse(QWidget *widget, QEvent::Type type, QPoint pos, Qt::MouseButton button,
    Qt::MouseButtons buttons, QPoint global = QPoint(-1, -1))
{
    if (global == QPoint(-1, -1))
        global = widget->mapToGlobal(pos);
    QMouseEvent event(type, pos, widget->window()->mapFromGlobal(global), global, button, buttons,
        Qt::NoModifier);
    return QApplication::sendEvent(widget, &event);
}

bool sendKey(QWidget *widget, int key)
{
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    return QApplication::sendEvent(widget, &event);
}

QAction *findAction(QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == text)
            return action;
        if (action->menu()) {
            if (QAction *inner = findAction(action->menu(), text))
                return inner;
        }
    }
    return nullptr;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StartedMainWindow> m_app;
    MainWindow *m_window = nullptr;
    ScriptedEngine *m_engine = nullptr;

    template <class T> T *child(const char *name) { return ::child<T>(m_window, name); }

    QString playStateText() { return child<QLabel>("playStateLabel")->text(); }
    QString playTimeText() { return child<QLabel>("playTimeLabel")->text(); }
    bool onPlayPage() { return child<QStackedWidget>("stackedWidget")->currentIndex() == 1; }

    void startOpening(int durationMs = 100000)
    {
        m_engine->durationMs = durationMs;
        auto file = QSharedPointer<VideoFileInfo>::create();
        file->url = QStringLiteral("http://127.0.0.1:9/ftn_handler/code");
        APlayerControl::instance->open(file);
    }

    void openFile(int durationMs = 100000)
    {
        startOpening(durationMs);
        m_engine->finishOpen();
    }

    int engineCalls(const QString &prefix)
    {
        int count = 0;
        for (const QString &call : m_engine->calls)
            count += call.startsWith(prefix) ? 1 : 0;
        return count;
    }

    // Opens the context menu with a right-button release on `page` and
    // hands it to `inspect` while it runs. False when no menu opened.
    bool runContextMenu(QWidget *page, QPoint pos, const std::function<void(QMenu *)> &inspect)
    {
        bool opened = false;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, this, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            poll.stop();
            opened = true;
            inspect(menu);
            menu->close();
        });
        poll.start();
        sendMouse(page, QEvent::MouseButtonRelease, pos, Qt::RightButton, Qt::NoButton);
        poll.stop();
        return opened;
    }

    void chooseFromMenu(const QString &text)
    {
        QWidget *page = onPlayPage() ? child<QWidget>("playPage") : child<QWidget>("mainPage");
        QVERIFY(runContextMenu(page, QPoint(100, 30), [&](QMenu *menu) {
            QAction *action = findAction(menu, text);
            QVERIFY2(action, qPrintable(text));
            action->trigger();
        }));
    }

    QString settingsValue(const QString &key)
    {
        return QSettings(QStringLiteral("Config.ini"), QSettings::IniFormat).value(key).toString();
    }

private slots:
    void initTestCase() { Startup::initResources(); }

    void init()
    {
        m_app = std::make_unique<StartedMainWindow>(scriptedEngines(&m_engine), QPoint(0, 0));
        m_window = m_app->window();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }

    void cleanup()
    {
        m_app.reset();
        m_engine = nullptr;
    }

    // Runs first: the mute button's remembered volume lives for the process.
    void muteToggle()
    {
        auto *volume = child<QSlider>("volumeControlSlider");
        auto *mute = child<QPushButton>("toggleMutePushButton");
        volume->setValue(0);
        QCOMPARE(mute->toolTip(), QStringLiteral("取消禁音"));
        mute->click();
        QCOMPARE(volume->value(), 100);
        QCOMPARE(mute->toolTip(), QStringLiteral("禁音"));

        volume->setValue(40);
        mute->click();
        QCOMPARE(volume->value(), 0);
        mute->click();
        QCOMPARE(volume->value(), 40);
        // The mute button never saves.
        QCOMPARE(settingsValue(QStringLiteral("Volume/Value")), QString());
    }

    void formStartsIdle()
    {
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Tavrion"));
        QCOMPARE(m_window->size(), QSize(873, 578));
        QCOMPARE(m_window->minimumSize(), QSize(580, 350));
        QVERIFY(m_window->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(!onPlayPage());
        QCOMPARE(child<QSlider>("volumeControlSlider")->value(), 50);
        QCOMPARE(child<QPushButton>("playPausePushButton")->toolTip(), QStringLiteral("播放"));
        QCOMPARE(child<QSlider>("playProgressSlider")->maximum(), 1000000);
        QCOMPARE(child<QWidget>("titleBar")->height(), 44);
        QCOMPARE(child<QWidget>("bottomBar")->height(), 44);
        QCOMPARE(m_engine->host, child<QWidget>("playPage"));
    }

    void transitionsAndTexts()
    {
        startOpening(3723000);
        QCOMPARE(playStateText(), QStringLiteral("正在打开..."));
        QCOMPARE(playTimeText(), QStringLiteral("00:00:00/00:00:00"));
        QVERIFY(!onPlayPage());

        m_engine->buffer(37);
        QCOMPARE(playStateText(), QStringLiteral("正在缓冲37%..."));
        m_engine->buffer(0);
        QCOMPARE(playStateText(), QStringLiteral("正在缓冲0%..."));
        m_engine->buffer(100);
        QCOMPARE(playStateText(), QString());

        m_engine->calls.clear();
        m_engine->finishOpen();
        QVERIFY(onPlayPage());
        QCOMPARE(child<QSlider>("playProgressSlider")->maximum(), 3723000);
        QCOMPARE(playTimeText(), QStringLiteral("00:00:00/01:02:03"));
        QVERIFY(m_engine->calls.contains(QStringLiteral("volume 50")));
        QCOMPARE(child<QPushButton>("playPausePushButton")->toolTip(), QStringLiteral("暂停"));

        // The progress timer follows the engine's position.
        m_engine->positionMs = 5000;
        QTRY_COMPARE_WITH_TIMEOUT(child<QSlider>("playProgressSlider")->value(), 5000, 5000);
        QCOMPARE(playTimeText(), QStringLiteral("00:00:05/01:02:03"));

        child<QPushButton>("playPausePushButton")->click();
        QCOMPARE(m_engine->state(), int(APlayerControl::Paused));
        QCOMPARE(child<QPushButton>("playPausePushButton")->toolTip(), QStringLiteral("播放"));
        // Paused: the timer no longer moves the slider.
        m_engine->positionMs = 9000;
        QTest::qWait(1300);
        QCOMPARE(child<QSlider>("playProgressSlider")->value(), 5000);

        child<QPushButton>("stopPlayPushButton")->click();
        QVERIFY(m_engine->calls.contains(QStringLiteral("close")));
        QVERIFY(!onPlayPage());
        QCOMPARE(child<QSlider>("playProgressSlider")->value(), 0);
        QCOMPARE(playTimeText(), QString());
        QCOMPARE(playStateText(), QString());
    }

    void failedOpenReturnsToIdle()
    {
        startOpening();
        m_engine->failOpen();
        QVERIFY(!onPlayPage());
        QCOMPARE(playStateText(), QString());
        QCOMPARE(playTimeText(), QString());
    }

    void keysWithoutFile()
    {
        auto *volume = child<QSlider>("volumeControlSlider");
        for (int key : { Qt::Key_Space, Qt::Key_Left, Qt::Key_Right, Qt::Key_Escape })
            QVERIFY(sendKey(m_window, key));
        QVERIFY(m_engine->calls.isEmpty());

        QVERIFY(sendKey(m_window, Qt::Key_Up));
        QCOMPARE(volume->value(), 55);
        volume->setValue(98);
        sendKey(m_window, Qt::Key_Up);
        QCOMPARE(volume->value(), 100);
        volume->setValue(3);
        QVERIFY(sendKey(m_window, Qt::Key_Down));
        QCOMPARE(volume->value(), 0);
        // Keys move the volume without saving it.
        QCOMPARE(settingsValue(QStringLiteral("Volume/Value")), QString());
    }

    void seekKeysStopAtTheEnds()
    {
        openFile(100000);
        auto *progress = child<QSlider>("playProgressSlider");
        progress->setValue(3000);
        sendKey(m_window, Qt::Key_Left);
        QCOMPARE(progress->value(), 0);
        QCOMPARE(m_engine->calls.last(), QStringLiteral("seek 0"));

        progress->setValue(50000);
        sendKey(m_window, Qt::Key_Left);
        QCOMPARE(m_engine->calls.last(), QStringLiteral("seek 45000"));
        sendKey(m_window, Qt::Key_Right);
        QCOMPARE(m_engine->calls.last(), QStringLiteral("seek 50000"));

        progress->setValue(97000);
        sendKey(m_window, Qt::Key_Right);
        QCOMPARE(progress->value(), 100000);
        QCOMPARE(m_engine->calls.last(), QStringLiteral("seek 100000"));

        sendKey(m_window, Qt::Key_Space);
        QCOMPARE(m_engine->calls.last(), QStringLiteral("pause"));
        sendKey(m_window, Qt::Key_Space);
        QCOMPARE(m_engine->calls.last(), QStringLiteral("play"));
    }

    void progressClickJumpsOrDrags()
    {
        auto *progress = child<QSlider>("playProgressSlider");
        const int w = progress->width();
        const int middle = 4 + (w - 8) / 2;

        // No file: the press goes to the slider and nothing is sought.
        sendMouse(
            progress, QEvent::MouseButtonPress, QPoint(middle, 7), Qt::LeftButton, Qt::LeftButton);
        sendMouse(
            progress, QEvent::MouseButtonRelease, QPoint(middle, 7), Qt::LeftButton, Qt::NoButton);
        QCOMPARE(engineCalls(QStringLiteral("seek")), 0);

        openFile(1000000);
        progress->setValue(0);
        // Within 10 pixels of the handle: a normal drag, no jump.
        sendMouse(
            progress, QEvent::MouseButtonPress, QPoint(4 + 9, 7), Qt::LeftButton, Qt::LeftButton);
        sendMouse(
            progress, QEvent::MouseButtonRelease, QPoint(4 + 9, 7), Qt::LeftButton, Qt::NoButton);
        QCOMPARE(engineCalls(QStringLiteral("seek")), 0);

        progress->setValue(0);
        QVERIFY(sendMouse(
            progress, QEvent::MouseButtonPress, QPoint(middle, 7), Qt::LeftButton, Qt::LeftButton));
        const int target = int(double(middle - 4) / (w - 8) * 1000000);
        QCOMPARE(progress->value(), target);
        QCOMPARE(m_engine->calls.last(), QStringLiteral("seek %1").arg(target));

        // A press on the slider's end margin seeks to the start, not before it.
        progress->setValue(500000);
        QVERIFY(sendMouse(
            progress, QEvent::MouseButtonPress, QPoint(0, 7), Qt::LeftButton, Qt::LeftButton));
        QCOMPARE(m_engine->calls.last(), QStringLiteral("seek 0"));
    }

    void volumeClickSavesAndDragSavesOnRelease()
    {
        auto *volume = child<QSlider>("volumeControlSlider");
        QVERIFY(sendMouse(volume, QEvent::MouseButtonPress, QPoint(4 + 100 * 80 / 100, 7),
            Qt::LeftButton, Qt::LeftButton));
        QCOMPARE(volume->value(), 80);
        QCOMPARE(settingsValue(QStringLiteral("Volume/Value")), QStringLiteral("80"));

        volume->setSliderDown(true);
        volume->setValue(30);
        QCOMPARE(settingsValue(QStringLiteral("Volume/Value")), QStringLiteral("80"));
        volume->setSliderDown(false);
        QCOMPARE(settingsValue(QStringLiteral("Volume/Value")), QStringLiteral("30"));

        // While a file plays the slider drives the engine at once.
        openFile();
        volume->setValue(20);
        QCOMPARE(m_engine->calls.last(), QStringLiteral("volume 20"));
    }

    void progressDragSeeksOnRelease()
    {
        openFile(100000);
        auto *progress = child<QSlider>("playProgressSlider");
        progress->setSliderDown(true);
        progress->setValue(60000);
        QCOMPARE(engineCalls(QStringLiteral("seek")), 0);
        progress->setSliderDown(false);
        QCOMPARE(m_engine->calls.last(), QStringLiteral("seek 60000"));
        // Pressing and releasing without moving seeks nothing.
        progress->setSliderDown(true);
        progress->setSliderDown(false);
        QCOMPARE(engineCalls(QStringLiteral("seek")), 1);
    }

    void oneProgressTimerAfterDragWhilePaused()
    {
        // A drag released while paused starts the timer; resuming must not
        // leave a second one running beside it.
        class TimerCounter : public QObject
        {
        public:
            int count = 0;
            bool eventFilter(QObject *, QEvent *event) override
            {
                count += event->type() == QEvent::Timer ? 1 : 0;
                return false;
            }
        } counter;
        openFile(100000);
        child<QPushButton>("playPausePushButton")->click();
        auto *progress = child<QSlider>("playProgressSlider");
        progress->setSliderDown(true);
        progress->setValue(20000);
        progress->setSliderDown(false);
        child<QPushButton>("playPausePushButton")->click();
        QCOMPARE(m_engine->state(), int(APlayerControl::Playing));
        m_window->installEventFilter(&counter);
        QTest::qWait(3300);
        m_window->removeEventFilter(&counter);
        QVERIFY2(counter.count <= 4, qPrintable(QString::number(counter.count)));
    }

    void engineMessagesBecomePostedEvents()
    {
        auto *page = child<QWidget>("playPage");
        MouseRecorder recorder;
        page->installEventFilter(&recorder);
        const int lParam = WindowMessage::pointParam(700, 400);

        m_engine->message(WindowMessage::LeftButtonDown, 1, lParam);
        m_engine->message(WindowMessage::LeftButtonUp, 0, lParam);
        m_engine->message(WindowMessage::LeftButtonDoubleClick, 1, lParam);
        m_engine->message(WindowMessage::RightButtonUp, 0, lParam);
        m_engine->message(WindowMessage::MouseMove, 0, WindowMessage::pointParam(65535, 3));
        m_engine->message(0x0204, 2, lParam);
        QVERIFY(recorder.entries.isEmpty());
        QCoreApplication::processEvents();

        QCOMPARE(recorder.entries.size(), 5);
        QCOMPARE(recorder.entries.at(0).type, QEvent::MouseButtonPress);
        QCOMPARE(recorder.entries.at(0).button, Qt::LeftButton);
        QCOMPARE(recorder.entries.at(0).pos, QPoint(700, 400));
        QCOMPARE(recorder.entries.at(1).type, QEvent::MouseButtonRelease);
        QCOMPARE(recorder.entries.at(1).buttons, Qt::MouseButtons(Qt::NoButton));
        QCOMPARE(recorder.entries.at(2).type, QEvent::MouseButtonDblClick);
        QCOMPARE(recorder.entries.at(3).type, QEvent::MouseButtonRelease);
        QCOMPARE(recorder.entries.at(3).button, Qt::RightButton);
        QCOMPARE(recorder.entries.at(4).type, QEvent::MouseMove);
        QCOMPARE(recorder.entries.at(4).buttons, Qt::MouseButtons(Qt::NoButton));
        // Both halves of lParam read unsigned.
        QCOMPARE(recorder.entries.at(4).pos, QPoint(65535, 3));

        m_engine->message(WindowMessage::MouseHover, 0, 0);
        QCOMPARE(page->cursor().shape(), Qt::BlankCursor);
        m_engine->message(WindowMessage::MouseMove, 0, lParam);
        QCOMPARE(page->cursor().shape(), Qt::ArrowCursor);
        page->removeEventFilter(&recorder);
    }

    void engineKeysReachTheWindow()
    {
        openFile(100000);
        child<QSlider>("playProgressSlider")->setValue(50000);
        m_engine->calls.clear();
        m_engine->message(WindowMessage::KeyDown, VirtualKey::Right, 0);
        m_engine->message(WindowMessage::KeyDown, 'A', 0);
        QVERIFY(m_engine->calls.isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(m_engine->calls, QStringList { QStringLiteral("seek 55000") });

        m_engine->message(WindowMessage::KeyDown, VirtualKey::Down, 0);
        QCoreApplication::processEvents();
        QCOMPARE(child<QSlider>("volumeControlSlider")->value(), 45);
        m_engine->message(WindowMessage::KeyDown, VirtualKey::Space, 0);
        QCoreApplication::processEvents();
        QCOMPARE(m_engine->state(), int(APlayerControl::Paused));
    }

    void singleClickTogglesDoubleClickGoesFullScreen()
    {
        openFile();
        const int lParam = WindowMessage::pointParam(200, 200);
        m_engine->message(WindowMessage::LeftButtonDown, 1, lParam);
        m_engine->message(WindowMessage::LeftButtonUp, 0, lParam);
        QCoreApplication::processEvents();
        QCOMPARE(engineCalls(QStringLiteral("pause")), 0);
        QTRY_COMPARE_WITH_TIMEOUT(engineCalls(QStringLiteral("pause")), 1, 3000);

        m_engine->message(WindowMessage::LeftButtonDown, 1, lParam);
        m_engine->message(WindowMessage::LeftButtonUp, 0, lParam);
        m_engine->message(WindowMessage::LeftButtonDoubleClick, 1, lParam);
        m_engine->message(WindowMessage::LeftButtonUp, 0, lParam);
        QCoreApplication::processEvents();
        QTRY_VERIFY(m_window->isFullScreen());
        QTest::qWait(700);
        QCOMPARE(engineCalls(QStringLiteral("play")), 0);
    }

    void fullScreenBarOverlay()
    {
        auto *titleBar = child<QWidget>("titleBar");
        auto *bottomBar = child<QWidget>("bottomBar");
        auto *stacked = child<QStackedWidget>("stackedWidget");
        auto *mainPage = child<QWidget>("mainPage");
        child<QPushButton>("fullScreenPushButton")->click();
        QTRY_VERIFY(m_window->isFullScreen());
        QCOMPARE(titleBar->parentWidget(), mainPage);
        QVERIFY(titleBar->isHidden());
        QVERIFY(bottomBar->isHidden());

        // The bars sit on the page's edges, whatever the page's size.
        QTRY_COMPARE(bottomBar->geometry().bottom(), stacked->height() - 1);
        QCOMPARE(titleBar->width(), stacked->width());

        sendMouse(mainPage, QEvent::MouseMove, QPoint(50, 10), Qt::NoButton, Qt::NoButton);
        QVERIFY(!titleBar->isHidden());
        sendMouse(mainPage, QEvent::MouseMove, QPoint(50, stacked->height() - 5), Qt::NoButton,
            Qt::NoButton);
        QVERIFY(!bottomBar->isHidden());
        sendMouse(mainPage, QEvent::MouseMove, QPoint(50, stacked->height() / 2), Qt::NoButton,
            Qt::NoButton);
        QVERIFY(titleBar->isHidden());
        QVERIFY(bottomBar->isHidden());

        // The engine's transitions carry the overlay between the pages.
        openFile();
        QCOMPARE(titleBar->parentWidget(), child<QWidget>("playPage"));
        child<QPushButton>("stopPlayPushButton")->click();
        QCOMPARE(bottomBar->parentWidget(), mainPage);

        QVERIFY(sendKey(m_window, Qt::Key_Escape));
        QTRY_VERIFY(!m_window->isFullScreen());
        QCOMPARE(titleBar->parentWidget(), child<QWidget>("centralWidget"));
        QCOMPARE(bottomBar->parentWidget(), child<QWidget>("centralWidget"));
        // The layout shows them again once the event loop runs.
        QTRY_VERIFY(!titleBar->isHidden());
        QTRY_VERIFY(!bottomBar->isHidden());
        QTRY_COMPARE(titleBar->y(), 0);
        QTRY_COMPARE(bottomBar->geometry().bottom(), m_window->height() - 1);
    }

    void maximiseFromFullScreen()
    {
        // While maximised the button shows the restore glyph.
        auto *maximize = child<QPushButton>("maximizePushButton");
        const QImage normalLook = maximize->grab().toImage();
        maximize->click();
        QTRY_VERIFY(m_window->isMaximized());
        QVERIFY(maximize->grab().toImage() != normalLook);
        maximize->click();
        QTRY_VERIFY(!m_window->isMaximized());
        QCOMPARE(maximize->grab().toImage(), normalLook);

        child<QPushButton>("fullScreenPushButton")->click();
        QTRY_VERIFY(m_window->isFullScreen());
        child<QPushButton>("maximizePushButton")->click();
        QTRY_VERIFY(m_window->isMaximized());
        QCOMPARE(child<QWidget>("titleBar")->parentWidget(), child<QWidget>("centralWidget"));
        QTRY_VERIFY(!child<QWidget>("bottomBar")->isHidden());
        child<QPushButton>("maximizePushButton")->click();
        QTRY_VERIFY(!m_window->isMaximized());
    }

    void topmostChangesInPlace()
    {
        const WId before = m_window->winId();
        auto *button = child<QPushButton>("toggleTopmostPushButton");
        button->click();
        QVERIFY(m_window->isTopmost());
        QVERIFY(m_window->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
        QVERIFY(button->styleSheet().contains(QStringLiteral("ToggleTopmostPushButton_Yes.png")));
        QCOMPARE(m_window->winId(), before);
        button->click();
        QVERIFY(!m_window->isTopmost());
        QVERIFY(!(m_window->windowHandle()->flags() & Qt::WindowStaysOnTopHint));
        QVERIFY(button->styleSheet().contains(QStringLiteral("ToggleTopmostPushButton_No.png")));
    }

    void resizeKeepsMinimumSize()
    {
        auto *bottomBar = child<QWidget>("bottomBar");
        m_window->setGeometry(100, 100, 873, 578);
        QTRY_COMPARE(m_window->geometry(), QRect(100, 100, 873, 578));
        // Press on the bottom edge strip and drag.
        const QPoint press(400, bottomBar->height() - 2);
        sendMouse(bottomBar, QEvent::MouseButtonPress, press, Qt::LeftButton, Qt::LeftButton);
        QCOMPARE(m_window->cursor().shape(), Qt::ArrowCursor);
        sendMouse(bottomBar, QEvent::MouseMove, press, Qt::NoButton, Qt::LeftButton,
            QPoint(500, 100 + 300));
        QCOMPARE(m_window->geometry(), QRect(100, 100, 873, 578));
        sendMouse(bottomBar, QEvent::MouseMove, press, Qt::NoButton, Qt::LeftButton,
            QPoint(500, 100 + 500));
        QTRY_COMPARE(m_window->geometry(), QRect(100, 100, 873, 500));
        sendMouse(bottomBar, QEvent::MouseButtonRelease, press, Qt::LeftButton, Qt::NoButton);
        sendMouse(bottomBar, QEvent::MouseMove, press, Qt::NoButton, Qt::NoButton,
            QPoint(500, 100 + 450));
        QCOMPARE(m_window->geometry(), QRect(100, 100, 873, 500));
        // Hovering the strip shows the resize cursor.
        QCOMPARE(m_window->cursor().shape(), Qt::SizeVerCursor);
    }

    void titleBarDragSkipsAnnouncementLink_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("where"); // 0 left edge of the label, 1 middle, 2 right edge
        QTest::addColumn<bool>("drags");

        const QString link = QStringLiteral("<a href=\"http://127.0.0.1:9/\">公告</a>");
        QTest::newRow("empty label") << QString() << 1 << true;
        QTest::newRow("on the link") << link << 0 << false;
        QTest::newRow("beside the link") << link << 2 << true;
        QTest::newRow("plain text") << QStringLiteral("公告") << 0 << true;
    }

    void titleBarDragSkipsAnnouncementLink()
    {
        QFETCH(QString, text);
        QFETCH(int, where);
        QFETCH(bool, drags);

        auto *titleBar = child<QWidget>("titleBar");
        auto *announcement = child<QLabel>("announcementLabel");
        announcement->setText(text);
        m_window->move(100, 100);
        QTRY_COMPARE(m_window->pos(), QPoint(100, 100));

        const QRect label = announcement->geometry();
        QVERIFY(label.width() > 200);
        const int x = where == 0 ? label.left() + 4
            : where == 1         ? label.center().x()
                                 : label.right() - 4;
        // The label under the pointer gets the events, as from the platform;
        // what it leaves goes on to the bar.
        const QPoint press = announcement->mapFrom(titleBar, QPoint(x, label.center().y()));
        const QPoint global = announcement->mapToGlobal(press);
        sendMouse(
            announcement, QEvent::MouseButtonPress, press, Qt::LeftButton, Qt::LeftButton, global);
        sendMouse(announcement, QEvent::MouseMove, press, Qt::NoButton, Qt::LeftButton,
            global + QPoint(40, 30));
        sendMouse(announcement, QEvent::MouseButtonRelease, press, Qt::LeftButton, Qt::NoButton);
        if (drags)
            QTRY_COMPARE(m_window->pos(), QPoint(140, 130));
        else
            QCOMPARE(m_window->pos(), QPoint(100, 100));
    }

    void contextMenuEntries()
    {
        QStringList top;
        QVERIFY(runContextMenu(child<QWidget>("mainPage"), QPoint(100, 30), [&](QMenu *menu) {
            for (QAction *action : menu->actions()) {
                top << (action->isSeparator() ? QStringLiteral("-") : action->text());
                QVERIFY(action->shortcut().isEmpty());
            }
        }));
        QCOMPARE(top,
            (QStringList { "打开URL", "播放记录", "资源收藏", "视频下载", "-", "软件设置",
                "字幕设置", "-", "视频比例", "声道模式", "色彩调整", "画质增强", "渲染模式", "-",
                "进入官网" }));
    }

    void contextMenuPlacement()
    {
        auto *mainPage = child<QWidget>("mainPage");
        const int titleHeight = child<QWidget>("titleBar")->height();
        QPoint at;
        auto where = [&](QMenu *menu) { at = menu->pos(); };

        QVERIFY(runContextMenu(mainPage, QPoint(50, 10), where));
        QCOMPARE(at, m_window->mapToGlobal(QPoint(50, 10 + titleHeight)));
        // The side strips of a normal window resize it: no menu.
        QVERIFY(!runContextMenu(mainPage, QPoint(2, 10), where));
        QVERIFY(!runContextMenu(mainPage, QPoint(mainPage->width() - 3, 10), where));
        // Nor over the big open button.
        QVERIFY(!runContextMenu(
            mainPage, child<QPushButton>("mainPageOpenURLPushButton")->geometry().center(), where));

        m_window->showMaximized();
        QTRY_VERIFY(m_window->isMaximized());
        QVERIFY(runContextMenu(mainPage, QPoint(2, 10), where));
        QCOMPARE(at, m_window->mapToGlobal(QPoint(2, 10 + titleHeight)));

        child<QPushButton>("fullScreenPushButton")->click();
        QTRY_VERIFY(m_window->isFullScreen());
        QVERIFY(runContextMenu(mainPage, QPoint(2, 10), where));
        QCOMPARE(at, m_window->mapToGlobal(QPoint(2, 10)));
    }

    void aspectRatioAndChannelFollowRules()
    {
        m_engine->configValues.insert(APlayerControl::FileAspectRatioId, QStringLiteral("16;10"));
        openFile();
        // Saved defaults are applied on open.
        QVERIFY(m_engine->calls.contains(QStringLiteral("config 204 16;10")));
        QVERIFY(m_engine->calls.contains(QStringLiteral("config 404 0")));

        m_engine->calls.clear();
        chooseFromMenu(QStringLiteral("4 : 3"));
        QCOMPARE(m_engine->calls, QStringList { QStringLiteral("config 204 4;3") });
        QCOMPARE(settingsValue(QStringLiteral("Player/VideoAspectRatio")), QStringLiteral("4:3"));

        child<QPushButton>("stopPlayPushButton")->click();
        m_engine->calls.clear();
        chooseFromMenu(QStringLiteral("左声道"));
        chooseFromMenu(QStringLiteral("EVR - win7及以上"));
        QVERIFY(m_engine->calls.isEmpty());
        QCOMPARE(settingsValue(QStringLiteral("Player/AudioChannelMode")),
            QStringLiteral("LeftAudioChannel"));
        QCOMPARE(settingsValue(QStringLiteral("Player/RenderMode")), QStringLiteral("EVR"));

        openFile();
        QVERIFY(m_engine->calls.contains(QStringLiteral("config 204 4;3")));
        QVERIFY(m_engine->calls.contains(QStringLiteral("config 404 1")));
        // The render mode reaches the engine only when chosen during playback.
        QCOMPARE(engineCalls(QStringLiteral("config 201")), 0);
        chooseFromMenu(QStringLiteral("AVR - win7及以上"));
        QCOMPARE(m_engine->calls.last(), QStringLiteral("config 201 5"));

        chooseFromMenu(QStringLiteral("默认"));
        QCOMPARE(m_engine->calls.last(), QStringLiteral("config 204 16;10"));
    }

    void imageNormalizeFollowsEngine()
    {
        // Idle: nothing is sent; the setting copies the engine's state.
        m_engine->configValues.insert(APlayerControl::ImageNormalizeId, QStringLiteral("1"));
        chooseFromMenu(QStringLiteral("画质增强"));
        QCOMPARE(engineCalls(QStringLiteral("config 305")), 0);
        QVERIFY(AppSettings::instance()->isImageNormalize());

        openFile();
        chooseFromMenu(QStringLiteral("画质增强"));
        QCOMPARE(m_engine->calls.last(), QStringLiteral("config 305 0"));
        QVERIFY(!AppSettings::instance()->isImageNormalize());
    }

    void checkMarksFromSettings()
    {
        AppSettings::instance()->setVideoAspectRatio(QStringLiteral("16:9"));
        AppSettings::instance()->setAudioChannelMode(QStringLiteral("Unknown"));
        AppSettings::instance()->setImageNormalize(true);
        QVERIFY(runContextMenu(child<QWidget>("mainPage"), QPoint(100, 30), [&](QMenu *menu) {
            QVERIFY(findAction(menu, QStringLiteral("16 : 9"))->isChecked());
            QVERIFY(!findAction(menu, QStringLiteral("默认"))->isChecked());
            QVERIFY(findAction(menu, QStringLiteral("Renderless - 建议"))->isChecked());
            QVERIFY(findAction(menu, QStringLiteral("画质增强"))->isChecked());
            // A saved text that matches no entry leaves its submenu unchecked.
            for (const char *label : { "立体声 - 默认", "左声道", "右声道", "左右混合" })
                QVERIFY(!findAction(menu, QString::fromUtf8(label))->isChecked());
            QVERIFY(findAction(menu, QStringLiteral("默认"))->actionGroup()->isExclusive());
        }));
    }

    // The hidden window shown again, through whatever pointer, asks for the
    // login again; changing the state of a visible window does not.
    void showingTheHiddenWindowRunsTheLogin()
    {
        int logins = 0;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (auto *dialog
                = qobject_cast<UserAccountDialog *>(QApplication::activeModalWidget())) {
                ++logins;
                dialog->close();
            }
        });
        poll.start(5);
        QWidget *widget = m_window;
        widget->hide();
        widget->show();
        QCOMPARE(logins, 1);
        widget->showFullScreen();
        widget->showNormal();
        QTest::qWait(50);
        QCOMPARE(logins, 1);
        QVERIFY(widget->isVisible());
    }

    void parseDialogIsKeptAndCentred()
    {
        m_window->setGeometry(100, 100, 873, 578);
        QTRY_COMPARE(m_window->geometry(), QRect(100, 100, 873, 578));
        child<QPushButton>("openURLPushButton")->click();
        auto *dialog = m_window->findChild<BTResourceParseDialog *>();
        QVERIFY(dialog);
        QTRY_VERIFY(dialog->isVisible());
        QCOMPARE(dialog->pos(),
            QPoint(100 + (873 - dialog->width()) / 2, 100 + (578 - dialog->height()) / 2));
        dialog->findChild<QLineEdit *>(QStringLiteral("resourceLineEdit"))
            ->setText(QStringLiteral("kept text"));
        dialog->close();
        QCoreApplication::processEvents();

        child<QPushButton>("mainPageOpenURLPushButton")->click();
        QCOMPARE(m_window->findChildren<BTResourceParseDialog *>().size(), 1);
        QCOMPARE(m_window->findChild<BTResourceParseDialog *>(), dialog);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->findChild<QLineEdit *>(QStringLiteral("resourceLineEdit"))->text(),
            QStringLiteral("kept text"));
    }

    void servicePagesOpenInBrowser()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        AppSettings::instance()->setServiceBaseAddress(QStringLiteral("http://127.0.0.1:17080"));
        child<QPushButton>("openNewbieTutorialPushButton")->click();
        chooseFromMenu(QStringLiteral("进入官网"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QCOMPARE(catcher.urls,
            (QList<QUrl> { QUrl(QStringLiteral(
                               "http://127.0.0.1:17080/server/?r=www/default/page&p=jiaocheng")),
                QUrl(QStringLiteral("http://127.0.0.1:17080/server/?r=www")) }));

        // Without a browser (the offscreen platform has none) the user is
        // told, with the address to copy, instead of nothing happening.
        child<QPushButton>("openNewbieTutorialPushButton")->click();
        QMessageBox *box = nullptr;
        QTRY_VERIFY((box = m_window->findChild<QMessageBox *>()) && box->isVisible());
        QVERIFY(box->text().contains(
            QStringLiteral("http://127.0.0.1:17080/server/?r=www/default/page&p=jiaocheng")));
        QVERIFY(box->text().startsWith(QStringLiteral("无法打开浏览器")));
        box->buttons().first()->click();
        QTRY_VERIFY(!m_window->findChild<QMessageBox *>());
    }

    // The longest text each label of the bars can get fits it at the
    // smallest window.
    void textsFitTheirLabels_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("text");
        QTest::newRow("title") << "titleBarLogoLabel" << QStringLiteral("Tavrion");
        QTest::newRow("version") << "versionNumberLabel" << QStringLiteral("V5.1.2");
        QTest::newRow("time") << "playTimeLabel" << QStringLiteral("23:59:59/23:59:59");
        QTest::newRow("opening") << "playStateLabel" << QStringLiteral("正在打开...");
        QTest::newRow("buffering") << "playStateLabel" << QStringLiteral("正在缓冲100%...");
    }

    void textsFitTheirLabels()
    {
        QFETCH(QString, label);
        QFETCH(QString, text);
        Startup::installFontSubstitutions();
        m_window->resize(m_window->minimumSize());
        QTest::qWait(50);
        auto *widget = m_window->findChild<QLabel *>(label);
        widget->setText(text);
        const QString problem = textFitProblem(widget, text);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    void dialogDragsItself()
    {
        Dialog dialog;
        dialog.resize(300, 200);
        dialog.move(200, 150);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
        const QPoint start = dialog.pos();
        const QPoint global = dialog.mapToGlobal(QPoint(20, 20));
        QVERIFY(sendMouse(&dialog, QEvent::MouseButtonPress, QPoint(20, 20), Qt::LeftButton,
            Qt::LeftButton, global));
        QVERIFY(sendMouse(&dialog, QEvent::MouseMove, QPoint(20, 20), Qt::NoButton, Qt::LeftButton,
            global + QPoint(35, -15)));
        QTRY_COMPARE(dialog.pos(), start + QPoint(35, -15));
        QVERIFY(sendMouse(&dialog, QEvent::MouseButtonRelease, QPoint(20, 20), Qt::LeftButton,
            Qt::NoButton, global));
        sendMouse(&dialog, QEvent::MouseMove, QPoint(20, 20), Qt::NoButton, Qt::NoButton,
            global + QPoint(100, 100));
        QCOMPARE(dialog.pos(), start + QPoint(35, -15));

        m_window->setGeometry(100, 100, 873, 578);
        QTRY_COMPARE(m_window->geometry(), QRect(100, 100, 873, 578));
        m_window->centreDialog(&dialog);
        QTRY_COMPARE(dialog.pos(), QPoint(100 + (873 - 300) / 2, 100 + (578 - 200) / 2));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
