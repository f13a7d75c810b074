// The comforts of the main window on a real X server with the real engine:
// the cached band on the progress slider, the time under the pointer and the
// notices drawn on the picture. Screenshots are kept as test artefacts.

#include "app/appsettings.h"
#include "app/startup.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/playtime.h"
#include "mediaserver.h"
#include "player/aplayercontrol.h"
#include "player/mpvengine.h"
#include "testdir.h"

#include <QScreen>
#include <QSlider>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

namespace {

QString artefactPath(const QString &name)
{
    QDir dir(qEnvironmentVariable("TAVRION_BUILD_DIR", QDir::tempPath()));
    dir.mkpath(QStringLiteral("test-artefacts"));
    return dir.filePath(QStringLiteral("test-artefacts/") + name);
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

class TestMainWindowComfort : public QObject
{
    Q_OBJECT

private slots:
    void comfortsWhilePlaying()
    {
        Startup::initResources();
        Startup::installFontSubstitutions();
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

        ScopedWorkingDirectory work;
        AppSettings::initialize(QStringLiteral("Config.ini"));
        APlayerControl::setEngineFactory([] {
            return std::make_unique<NoticeRecordingEngine>(MpvEngine::Options { { "ao", "null" } });
        });
        MainWindow window;
        window.move(40, 40);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *slider = window.findChild<QSlider *>(QStringLiteral("playProgressSlider"));

        auto file = QSharedPointer<VideoFileInfo>::create();
        file->url = server.url();
        QVERIFY(APlayerControl::instance->open(file));
        QTRY_COMPARE_WITH_TIMEOUT(
            APlayerControl::instance->state(), int(APlayerControl::Playing), 15000);

        // The band appears and grows.
        int first = 0;
        QTRY_VERIFY_WITH_TIMEOUT((first = bandPixels(slider)) > 0, 10000);
        const QRect area = window.frameGeometry();
        QGuiApplication::primaryScreen()
            ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
            .save(artefactPath(QStringLiteral("comfort-band-early.png")));
        QTRY_VERIFY_WITH_TIMEOUT(bandPixels(slider) > first + 20, 15000);
        QGuiApplication::primaryScreen()
            ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
            .save(artefactPath(QStringLiteral("comfort-band-later.png")));

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
        QTest::keyClick(&window, Qt::Key_Down);
        QTest::keyClick(&window, Qt::Key_Right);
        QTRY_COMPARE(NoticeRecordingEngine::notices.size(), 2);
        QGuiApplication::primaryScreen()
            ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
            .save(artefactPath(QStringLiteral("comfort-notice.png")));
        QTest::keyClick(&window, Qt::Key_Space);
        QTRY_COMPARE(NoticeRecordingEngine::notices.size(), 3);
        QTest::keyClick(&window, Qt::Key_Space);
        QTRY_COMPARE(NoticeRecordingEngine::notices.size(), 4);
        const QStringList notices = NoticeRecordingEngine::notices;
        QCOMPARE(notices.at(0),
            QStringLiteral("音量 %1%")
                .arg(window.findChild<QSlider *>("volumeControlSlider")->value()));
        QVERIFY2(notices.at(1).endsWith(QStringLiteral(" / 00:00:20")), qPrintable(notices.at(1)));
        QCOMPARE(notices.mid(2), QStringList({ "暂停", "播放" }));

        APlayerControl::instance->close();
        QTRY_COMPARE(APlayerControl::instance->state(), int(APlayerControl::Ready));
        QCOMPARE(bandPixels(slider), 0);
        APlayerControl::setEngineFactory({});
        AppSettings::release();
    }
};

QTEST_MAIN(TestMainWindowComfort)
#include "tst_mainwindowcomfort.moc"
