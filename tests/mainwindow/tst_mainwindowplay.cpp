// The main window on a real X server with the real engine: a video plays
// through the play page and the bottom bar follows it; the cached band on
// the progress slider, the time under the pointer and the notices drawn on
// the picture. Screenshots are kept as test artefacts.

#include "app/startup.h"
#include "guitest.h"
#include "mainwindow/mainwindow.h"
#include "mediaserver.h"
#include "player/mpvengine.h"
#include "resource/videofileinfo.h"

#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

namespace {

bool ffmpeg(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("ffmpeg"),
        QStringList { QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
            QStringLiteral("error"), QStringLiteral("-y") }
            + arguments);
    return process.waitForFinished(60000) && process.exitCode() == 0;
}

// A colourful clip, so that the screenshots show a picture rather than a
// test card: two seconds of a fractal zoom with a tone, looped to ten.
QString makeClip(const QString &folder)
{
    const QString part = QDir(folder).filePath(QStringLiteral("part.mp4"));
    const QString clip = QDir(folder).filePath(QStringLiteral("clip.mp4"));
    const bool made
        = ffmpeg({ QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
              QStringLiteral("mandelbrot=s=640x360:rate=25:start_scale=0.02:end_scale=0.012:"
                             "end_pts=50:start_x=-0.7436438870371587:"
                             "start_y=0.1318259042053119,format=yuv420p"),
              QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
              QStringLiteral("sine=frequency=440:sample_rate=44100"), QStringLiteral("-t"),
              QStringLiteral("2"), QStringLiteral("-c:v"), QStringLiteral("libx264"),
              QStringLiteral("-preset"), QStringLiteral("ultrafast"), QStringLiteral("-c:a"),
              QStringLiteral("aac"), QStringLiteral("-shortest"), part })
        && ffmpeg({ QStringLiteral("-stream_loop"), QStringLiteral("4"), QStringLiteral("-i"), part,
            QStringLiteral("-c"), QStringLiteral("copy"), QStringLiteral("-movflags"),
            QStringLiteral("+faststart"), clip });
    return made ? clip : QString();
}

// The real engine, with the notices it was asked to draw written down.
class NoticeRecordingEngine : public MpvEngine
{
public:
    using MpvEngine::MpvEngine;
    void showNotice(const QString &text, int milliseconds) override
    {
        notices << text;
        MpvEngine::showNotice(text, milliseconds);
    }
    static QStringList notices;
};
QStringList NoticeRecordingEngine::notices;

// Pixels of the band's lighter grey on the slider.
int bandPixels(QSlider *slider)
{
    const QImage image = slider->grab().toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            count += qAbs(qRed(pixel) - 120) + qAbs(qGreen(pixel) - 132) + qAbs(qBlue(pixel) - 140)
                < 20;
        }
    return count;
}

} // namespace

class TestMainWindowPlay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Startup::initResources();
        Startup::installFontSubstitutions();
    }

    void playsARealFile()
    {
        QTemporaryDir media;
        const QString sample = makeClip(media.path());
        QVERIFY(!sample.isEmpty());
        MediaServer server(sample);
        QVERIFY(server.start());
        StartedMainWindow app(realEngine());
        MainWindow *window = app.window();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QTest::qWait(300);
        saveScreenshot(QStringLiteral("mainwindow-main-page.png"), window->frameGeometry());

        auto *slider = window->findChild<QSlider *>(QStringLiteral("playProgressSlider"));
        auto *stacked = window->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
        auto *timeLabel = window->findChild<QLabel *>(QStringLiteral("playTimeLabel"));
        auto *playPage = window->findChild<QWidget *>(QStringLiteral("playPage"));

        auto file = QSharedPointer<VideoFileInfo>::create();
        file->url = server.url();
        // Opened while the main page shows, as the parse dialog does.
        QCOMPARE(stacked->currentIndex(), 0);
        QVERIFY(APlayerControl::instance->open(file));
        int opened = 0;
        connect(
            APlayerControl::instance, &APlayerControl::onOpenSucceeded, this, [&] { ++opened; });
        QTRY_COMPARE_WITH_TIMEOUT(opened, 1, 15000);
        QCOMPARE(stacked->currentWidget(), playPage);
        QCOMPARE(slider->maximum(), APlayerControl::instance->duration());
        QVERIFY(slider->maximum() >= 9000);

        // The progress timer moves the slider while the video plays.
        QTRY_VERIFY_WITH_TIMEOUT(slider->value() >= 2000, 15000);
        QVERIFY(timeLabel->text().startsWith(QStringLiteral("00:00:0")));
        QVERIFY(timeLabel->text().endsWith(QStringLiteral("/00:00:10")));

        // The picture reaches the screen inside the play page.
        const QRect page(playPage->mapToGlobal(QPoint(0, 0)), playPage->size());
        QImage shot;
        QTRY_VERIFY_WITH_TIMEOUT(
            (shot = grabScreenArea(page), qGray(shot.pixel(shot.rect().center())) > 30), 10000);
        saveScreenshot(QStringLiteral("mainwindow-play-page.png"), window->frameGeometry());

        // The context menu over the video, as the user sees it.
        QTimer::singleShot(600, this, [&] {
            if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
                saveScreenshot(QStringLiteral("mainwindow-context-menu.png"),
                    window->frameGeometry().united(menu->geometry()));
                menu->close();
            }
        });
        const QPoint at(page.width() / 3, page.height() / 4);
        QMouseEvent release(QEvent::MouseButtonRelease, at, playPage->mapTo(window, at),
            playPage->mapToGlobal(at), Qt::RightButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(playPage, &release);

        // Full screen: the bottom bar floats over the video while the
        // pointer is on it.
        window->findChild<QPushButton *>(QStringLiteral("fullScreenPushButton"))->click();
        QTRY_VERIFY(window->isFullScreen());
        auto *bottomBar = window->findChild<QWidget *>(QStringLiteral("bottomBar"));
        QTRY_COMPARE(bottomBar->parentWidget(), playPage);
        QTRY_COMPARE(bottomBar->geometry().bottom(), playPage->height() - 1);
        const QPoint low(playPage->width() / 2, playPage->height() - 10);
        QMouseEvent move(QEvent::MouseMove, low, playPage->mapTo(window, low),
            playPage->mapToGlobal(low), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(playPage, &move);
        QVERIFY(bottomBar->isVisible());
        QTest::qWait(1200);
        const QImage fullScreen = grabScreenArea(window->frameGeometry());
        fullScreen.save(artefactPath(QStringLiteral("mainwindow-fullscreen.png")));
        // The bar shows above the video window, not behind it: the played
        // part of its progress groove is on the screen.
        const QRect bar(bottomBar->mapTo(window, QPoint(0, 0)), bottomBar->size());
        int played = 0;
        for (int y = bar.top(); y <= bar.bottom(); ++y) {
            for (int x = bar.left(); x <= bar.right(); ++x) {
                const QRgb pixel = fullScreen.pixel(x, y);
                played
                    += qAbs(qRed(pixel) - 29) + qAbs(qGreen(pixel) - 150) + qAbs(qBlue(pixel) - 232)
                    < 30;
            }
        }
        QVERIFY2(played > 100, qPrintable(QString::number(played)));
        QTest::keyClick(window, Qt::Key_Escape);
        QTRY_VERIFY(!window->isFullScreen());

        // A double click on the picture, as the user makes it, goes full
        // screen as well; both bars sit on the page's edges, also after a stop.
        auto *titleBar = window->findChild<QWidget *>(QStringLiteral("titleBar"));
        const QPoint middle = playPage->mapToGlobal(playPage->rect().center());
        QProcess::execute(QStringLiteral("xdotool"),
            { QStringLiteral("mousemove"), QString::number(middle.x()), QString::number(middle.y()),
                QStringLiteral("click"), QStringLiteral("--repeat"), QStringLiteral("2"),
                QStringLiteral("--delay"), QStringLiteral("60"), QStringLiteral("1") });
        QTRY_VERIFY(window->isFullScreen());
        QTRY_COMPARE(playPage->size(), window->size());
        QTest::qWait(300);
        QCOMPARE(bottomBar->geometry(),
            QRect(0, playPage->height() - bottomBar->height(), playPage->width(),
                bottomBar->height()));
        QCOMPARE(titleBar->geometry(), QRect(0, 0, playPage->width(), titleBar->height()));
        APlayerControl::instance->close();
        auto *mainPage = window->findChild<QWidget *>(QStringLiteral("mainPage"));
        QTRY_COMPARE_WITH_TIMEOUT(stacked->currentWidget(), mainPage, 10000);
        QCOMPARE(bottomBar->parentWidget(), mainPage);
        QCOMPARE(bottomBar->geometry().bottom(), mainPage->height() - 1);
        QTest::keyClick(window, Qt::Key_Escape);
        QTRY_VERIFY(!window->isFullScreen());

        QTRY_COMPARE_WITH_TIMEOUT(
            stacked->currentWidget(), window->findChild<QWidget *>("mainPage"), 10000);
        QCOMPARE(slider->value(), 0);
    }

    void comfortsWhilePlaying()
    {
        QTemporaryDir media;
        TestMedia::Options options;
        options.seconds = 20;
        options.noisyVideoKbps = 600;
        options.width = 640;
        options.height = 360;
        const QString clip
            = TestMedia::makeVideo(media.path(), QStringLiteral("clip.mp4"), options);
        QVERIFY(!clip.isEmpty());
        // Slower than the clip's bit rate: the cache grows while it plays.
        MediaServer server(clip);
        server.setThrottle(120000, 150000);
        QVERIFY(server.start());
        StartedMainWindow app([] {
            return std::make_unique<NoticeRecordingEngine>(MpvEngine::Options { { "ao", "null" } });
        });
        MainWindow *window = app.window();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        auto *slider = window->findChild<QSlider *>(QStringLiteral("playProgressSlider"));

        QVERIFY(playUrl(APlayerControl::instance, server.url()));

        // The band appears and grows.
        int first = 0;
        QTRY_VERIFY_WITH_TIMEOUT((first = bandPixels(slider)) > 0, 10000);
        const QRect area = window->frameGeometry();
        saveScreenshot(QStringLiteral("comfort-band-early.png"), area);
        QTRY_VERIFY_WITH_TIMEOUT(bandPixels(slider) > first + 20, 15000);
        saveScreenshot(QStringLiteral("comfort-band-later.png"), area);

        // The time under the pointer, in the middle of the slider.
        const QPoint middle(slider->width() / 2, slider->height() / 2);
        QTest::mouseMove(slider, middle);
        QMouseEvent move(QEvent::MouseMove, middle, slider->mapToGlobal(middle), Qt::NoButton,
            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(slider, &move);
        QTRY_VERIFY(QToolTip::isVisible());
        const int expected = slider->maximum() / 2;
        const QString shown = QToolTip::text();
        QVERIFY2(qAbs(QTime::fromString(shown, QStringLiteral("hh:mm:ss")).msecsSinceStartOfDay()
                     - expected)
                < 1500,
            qPrintable(shown));

        // Notices for the keys: volume, seek, pause and play.
        NoticeRecordingEngine::notices.clear();
        QTest::keyClick(window, Qt::Key_Down);
        QTest::keyClick(window, Qt::Key_Right);
        QTRY_COMPARE(NoticeRecordingEngine::notices.size(), 2);
        saveScreenshot(QStringLiteral("comfort-notice.png"), area);
        QTest::keyClick(window, Qt::Key_Space);
        QTRY_COMPARE(NoticeRecordingEngine::notices.size(), 3);
        QTest::keyClick(window, Qt::Key_Space);
        QTRY_COMPARE(NoticeRecordingEngine::notices.size(), 4);
        const QStringList notices = NoticeRecordingEngine::notices;
        QCOMPARE(notices.at(0),
            QStringLiteral("音量 %1%")
                .arg(window->findChild<QSlider *>("volumeControlSlider")->value()));
        QVERIFY2(notices.at(1).endsWith(QStringLiteral(" / 00:00:20")), qPrintable(notices.at(1)));
        QCOMPARE(notices.mid(2), QStringList({ "暂停", "播放" }));

        APlayerControl::instance->close();
        QTRY_COMPARE(APlayerControl::instance->state(), int(APlayerControl::Ready));
        QCOMPARE(bandPixels(slider), 0);
    }
};

QTEST_MAIN(TestMainWindowPlay)
#include "tst_mainwindowplay.moc"
