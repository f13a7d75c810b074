// The video host on a real X server: the picture reaches the screen, drawn
// either way, and input on it comes back as window messages.
#include "mediaserver.h"
#include "player/aplayercontrol.h"
#include "player/mpvengine.h"
#include "player/videohost.h"
#include "testdir.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QScopeGuard>
#include <QScreen>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>
#include <QWindow>

namespace {
struct Message
{
    int message;
    int wParam;
    int lParam;
    qint64 atMs;
};

bool engineSurfaceExposed(APlayerControl &control)
{
    auto *engine = dynamic_cast<MpvEngine *>(control.engine());
    return engine && engine->videoHost() && engine->videoHost()->surface()->isExposed();
}

int xdotool(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xdotool"), arguments);
}
} // namespace

class TestVideoHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void showsPictureAndReportsInput();
    void showsFramesAdvancing_data();
    void showsFramesAdvancing();

private:
    QTemporaryDir m_media;
    QString m_sample;
    QString m_counted;
};

void TestVideoHost::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
        QSKIP("xdotool is not installed");
    }
    m_sample = TestMedia::makeVideo(m_media.path(), QStringLiteral("sample.mp4"));
    QVERIFY(!m_sample.isEmpty());
    TestMedia::Options counted;
    counted.width = 1920;
    counted.height = 1080;
    counted.rate = 30;
    counted.seconds = 12;
    counted.frameCounter = true;
    m_counted = TestMedia::makeVideo(m_media.path(), QStringLiteral("counted.mp4"), counted);
    QVERIFY(!m_counted.isEmpty());
}

void TestVideoHost::showsPictureAndReportsInput()
{
    MediaServer server(m_sample);
    QVERIFY(server.start());

    QWidget window;
    window.setWindowTitle(QStringLiteral("video host test"));
    auto *layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    // As in the main window: the play page is hidden behind another page
    // until the file has opened.
    auto *pages = new QStackedWidget(&window);
    auto *mainPage = new QWidget(pages);
    auto *playPage = new QWidget(pages);
    playPage->setObjectName(QStringLiteral("playPage"));
    playPage->setStyleSheet(QStringLiteral("background: black"));
    pages->addWidget(mainPage);
    pages->addWidget(playPage);
    layout->addWidget(pages);
    window.resize(640, 360);
    window.move(100, 100);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    APlayerControl::setEngineFactory([] {
        return std::make_unique<MpvEngine>(MpvEngine::Options { { "ao", "null" } });
    });
    APlayerControl control;
    playPage->setAttribute(Qt::WA_DontCreateNativeAncestors);
    control.initialize(playPage->winId());
    APlayerControl::setEngineFactory({});
    auto *engine = dynamic_cast<MpvEngine *>(control.engine());
    QVERIFY(engine && engine->videoHost());
    VideoHost *host = engine->videoHost();
    QCOMPARE(host->parentWidget(), playPage);
    QCOMPARE(host->geometry(), playPage->rect());
    QCOMPARE(control.videoWindowHandle(), playPage->winId());

    QList<Message> messages;
    QElapsedTimer clock;
    clock.start();
    connect(&control, &APlayerControl::onMessage, this, [&](int m, int w, int l) {
        messages.append({ m, w, l, clock.elapsed() });
    });
    int state = 0;
    connect(&control, &APlayerControl::onStateChanged, this, [&](int, int n) { state = n; });
    connect(&control, &APlayerControl::onOpenSucceeded, pages,
        [&] { pages->setCurrentWidget(playPage); });

    auto info = QSharedPointer<VideoFileInfo>::create();
    info->url = server.url();
    QVERIFY(control.open(info));
    QTRY_COMPARE_WITH_TIMEOUT(state, int(APlayerControl::Playing), 15000);
    control.pause();
    QTRY_COMPARE(state, int(APlayerControl::Paused));

    // The host follows the page's size.
    window.resize(720, 400);
    QTRY_COMPARE(host->geometry(), playPage->rect());

    QImage shot;
    const QPoint centre = playPage->rect().center();
    QTRY_VERIFY_WITH_TIMEOUT((shot = window.screen()->grabWindow(window.winId()).toImage(),
                                 qGray(shot.pixel(playPage->mapTo(&window, centre))) > 40),
        10000);
    shot.save(artefactPath(QStringLiteral("tst_videohost.png")));

    // A real click through the X server.
    const QPoint local(150, 70);
    const QPoint global = playPage->mapToGlobal(local);
    messages.clear();
    xdotool(
        { QStringLiteral("mousemove"), QString::number(global.x()), QString::number(global.y()) });
    xdotool({ QStringLiteral("click"), QStringLiteral("1") });
    const auto indexOf = [&](int message) {
        for (int i = 0; i < messages.size(); ++i) {
            if (messages.at(i).message == message) {
                return i;
            }
        }
        return -1;
    };
    QTRY_VERIFY(indexOf(WindowMessage::LeftButtonUp) >= 0);
    const int down = indexOf(WindowMessage::LeftButtonDown);
    const int up = indexOf(WindowMessage::LeftButtonUp);
    QVERIFY(down >= 0 && down < up);
    for (int i : { down, up }) {
        QCOMPARE(WindowMessage::pointX(messages.at(i).lParam), local.x());
        QCOMPARE(WindowMessage::pointY(messages.at(i).lParam), local.y());
    }
    QCOMPARE(
        messages.at(down).wParam & WindowMessage::LeftButtonFlag, WindowMessage::LeftButtonFlag);
    QVERIFY(indexOf(WindowMessage::MouseMove) >= 0);

    // A double click and a right click, without the moves in between.
    const auto buttons = [&] {
        QList<int> seen;
        for (const Message &message : messages) {
            if (message.message != WindowMessage::MouseMove) {
                seen << message.message;
            }
        }
        return seen;
    };
    QTest::qWait(600); // not a double click with the click above
    messages.clear();
    xdotool({ QStringLiteral("click"), QStringLiteral("--repeat"), QStringLiteral("2"),
        QStringLiteral("--delay"), QStringLiteral("80"), QStringLiteral("1") });
    xdotool({ QStringLiteral("click"), QStringLiteral("3") });
    const QList<int> expected = { WindowMessage::LeftButtonDown, WindowMessage::LeftButtonUp,
        WindowMessage::LeftButtonDoubleClick, WindowMessage::LeftButtonUp,
        WindowMessage::RightButtonUp };
    QTRY_COMPARE(buttons(), expected);

    // The click gave the host the focus: keys come as virtual keys.
    messages.clear();
    xdotool({ QStringLiteral("key"), QStringLiteral("space"), QStringLiteral("Left") });
    QTRY_COMPARE(messages.size(), 2);
    QCOMPARE(messages.at(0).message, WindowMessage::KeyDown);
    QCOMPARE(messages.at(0).wParam, 32);
    QCOMPARE(messages.at(1).wParam, 37);

    // Resting on the video: one hover report after the delay, none earlier.
    messages.clear();
    xdotool({ QStringLiteral("mousemove_relative"), QStringLiteral("--"), QStringLiteral("5"),
        QStringLiteral("5") });
    QTRY_VERIFY_WITH_TIMEOUT(indexOf(WindowMessage::MouseHover) >= 0, 10000);
    int lastMove = -1;
    for (int i = 0; i < messages.size(); ++i) {
        if (messages.at(i).message == WindowMessage::MouseMove) {
            lastMove = i;
        }
    }
    QVERIFY(lastMove >= 0);
    // Timers may fire a little early; far earlier would be a fault.
    const qint64 rested
        = messages.at(indexOf(WindowMessage::MouseHover)).atMs - messages.at(lastMove).atMs;
    QVERIFY2(rested >= VideoHost::HoverDelayMs * 9 / 10, qPrintable(QString::number(rested)));
    QTest::qWait(500);
    int hovers = 0;
    for (const Message &message : messages) {
        hovers += message.message == WindowMessage::MouseHover ? 1 : 0;
    }
    QCOMPARE(hovers, 1);
    // The receiver hides the pointer by the page's cursor; the video window,
    // which the pointer is over, follows it.
    playPage->setCursor(Qt::BlankCursor);
    QCOMPARE(host->surface()->cursor().shape(), Qt::BlankCursor);
    playPage->setCursor(Qt::ArrowCursor);
    QCOMPARE(host->surface()->cursor().shape(), Qt::ArrowCursor);

    control.close();
    QTRY_COMPARE(state, int(APlayerControl::Ready));
}

void TestVideoHost::showsFramesAdvancing_data()
{
    // Both ways of drawing, whichever this display's OpenGL would choose.
    QTest::addColumn<QByteArray>("render");
    QTest::newRow("opengl") << QByteArray("opengl");
    QTest::newRow("software") << QByteArray("software");
}

void TestVideoHost::showsFramesAdvancing()
{
    QFETCH(QByteArray, render);
    qputenv("TAVRION_VIDEO_RENDER", render);
    const auto unset = qScopeGuard([] { qunsetenv("TAVRION_VIDEO_RENDER"); });
    MediaServer server(m_counted);
    QVERIFY(server.start());
    QWidget window;
    window.resize(640, 360);
    window.move(100, 100);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    APlayerControl::setEngineFactory([] {
        return std::make_unique<MpvEngine>(MpvEngine::Options { { "ao", "null" } });
    });
    APlayerControl control;
    control.initialize(window.winId());
    APlayerControl::setEngineFactory({});
    auto *engine = dynamic_cast<MpvEngine *>(control.engine());
    QVERIFY(engine && engine->videoHost());
    QCOMPARE(engine->videoHost()->drawsInSoftware(), render == "software");
    int state = 0;
    connect(&control, &APlayerControl::onStateChanged, this, [&](int, int n) { state = n; });
    auto info = QSharedPointer<VideoFileInfo>::create();
    info->url = server.url();
    QVERIFY(control.open(info));
    QTRY_COMPARE_WITH_TIMEOUT(state, int(APlayerControl::Playing), 15000);

    // The burnt-in frame number sits in the top left quarter of the picture.
    const auto counter = [&] {
        return window.screen()
            ->grabWindow(window.winId(), 0, 0, window.width() / 3, window.height() / 3)
            .toImage();
    };
    const auto advances = [&] {
        const QImage first = counter();
        QTest::qWait(700);
        return counter() != first;
    };
    QTRY_VERIFY_WITH_TIMEOUT(advances(), 10000);
    // The picture levels show whichever way the frames are drawn: a blue
    // bar turns grey without saturation and dark at the lowest brightness.
    const auto bar = [&] {
        return QColor(window.screen()
                          ->grabWindow(window.winId())
                          .toImage()
                          .pixel(window.width() / 2, window.height() * 3 / 4));
    };
    QVERIFY(bar().blue() - bar().red() > 100);
    control.setSaturation(0);
    QTRY_VERIFY(qAbs(bar().blue() - bar().red()) < 40);
    control.setSaturation(50);
    control.setBrightness(0);
    QTRY_VERIFY(bar().value() < 60);
    control.setBrightness(50);
    QTRY_VERIFY(bar().blue() - bar().red() > 100);
    counter().save(artefactPath(
        QStringLiteral("tst_videohost-counter-%1.png").arg(QString::fromLatin1(render))));

    // Minimised, nothing draws, yet playback must go on rather than wait
    // for the frames to be taken.
    window.showMinimized();
    QTRY_VERIFY(!engineSurfaceExposed(control));
    const int before = control.position();
    QTest::qWait(1500);
    QVERIFY2(control.position() - before >= 700,
        qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(control.position())));
    window.showNormal();
    QTRY_VERIFY_WITH_TIMEOUT(advances(), 10000);

    control.close();
    QTRY_COMPARE(state, int(APlayerControl::Ready));
}

QTEST_MAIN(TestVideoHost)
#include "tst_videohost.moc"
