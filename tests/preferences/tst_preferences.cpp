// The settings and subtitle dialogs against the real engine (libmpv without
// a picture): what each control stores, and what reaches the engine while a
// file is open and stays out of it otherwise.

#include "app/appsettings.h"
#include "guitest.h"
#include "mediaserver.h"
#include "player/mpvengine.h"
#include "preferences/settingsdialog.h"
#include "preferences/subtitlelimit.h"
#include "preferences/subtitlesettingdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

MpvEngine *engine()
{
    return dynamic_cast<MpvEngine *>(APlayerControl::instance->engine());
}

// The files of the external subtitle tracks, in the engine's order.
QStringList externalSubtitles()
{
    QStringList files;
    const int count = mpvString("track-list/count").toInt();
    for (int i = 0; i < count; ++i) {
        const QByteArray track = "track-list/" + QByteArray::number(i) + '/';
        const auto field = [&](const char *name) { return mpvString(QByteArray(track + name)); };
        if (field("type") == QLatin1String("sub") && field("external") == QLatin1String("yes"))
            files.append(field("external-filename"));
    }
    return files;
}

QVariant storedValue(const QString &key)
{
    return QSettings(QStringLiteral("Config.ini"), QSettings::IniFormat).value(key);
}

} // namespace

class TestPreferences : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_media;
    std::unique_ptr<MediaServer> m_server;
    std::unique_ptr<ScopedWorkingDirectory> m_work;
    std::unique_ptr<APlayerControl> m_control;

    QString writeSubtitle(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_work->filePath(name);
        if (!writeFileBytes(path, bytes))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void initTestCase()
    {
        TestMedia::Options options;
        options.seconds = 30;
        const QString sample
            = TestMedia::makeVideo(m_media.path(), QStringLiteral("v.mp4"), options);
        QVERIFY(!sample.isEmpty());
        m_server = std::make_unique<MediaServer>(sample);
        QVERIFY(m_server->start());
        m_work = std::make_unique<ScopedWorkingDirectory>();
        AppSettings::initialize(QStringLiteral("Config.ini"));
        APlayerControl::setEngineFactory(realEngine());
        m_control = std::make_unique<APlayerControl>();
        m_control->initialize(0);
    }

    void cleanupTestCase()
    {
        m_control.reset();
        AppSettings::release();
        m_work.reset();
    }

    void settingsControlsStoreTheirKeys_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("property");
        QTest::newRow("brightness") << "brightnessAdjustSlider"
                                    << "Player/Brightness"
                                    << "brightness";
        QTest::newRow("contrast") << "contrastAdjustSlider"
                                  << "Player/Contrast"
                                  << "contrast";
        QTest::newRow("saturation") << "saturationAdjustSlider"
                                    << "Player/Saturation"
                                    << "saturation";
        QTest::newRow("hue") << "hueAdjustSlider"
                             << "Player/Hue"
                             << "hue";
    }

    // A slider stores its value always, and reaches the engine only while a
    // file is open; reset brings both back to 50.
    void settingsControlsStoreTheirKeys()
    {
        QFETCH(QString, control);
        QFETCH(QString, key);
        QFETCH(QString, property);
        const QByteArray mpvName = property.toLatin1();

        SettingsDialog idle;
        auto *slider = child<QSlider>(&idle, control.toLatin1().constData());
        QCOMPARE(slider->value(), 50);
        slider->setValue(80);
        QCOMPARE(storedValue(key).toInt(), 80);
        QCOMPARE(mpvString(mpvName.constData()), QStringLiteral("0"));

        QVERIFY(playUrl(m_control.get(), m_server->url()));
        // Opening a file applies nothing; a reopened dialog shows the stored value.
        QCOMPARE(mpvString(mpvName.constData()), QStringLiteral("0"));
        SettingsDialog playing;
        slider = child<QSlider>(&playing, control.toLatin1().constData());
        QCOMPARE(slider->value(), 80);
        QCOMPARE(mpvString(mpvName.constData()), QStringLiteral("0"));
        slider->setValue(20);
        QCOMPARE(storedValue(key).toInt(), 20);
        QCOMPARE(mpvString(mpvName.constData()), QStringLiteral("-60"));
        child<QPushButton>(&playing, "resetDefaultColorPushButton")->click();
        QCOMPARE(storedValue(key).toInt(), 50);
        QCOMPARE(mpvString(mpvName.constData()), QStringLiteral("0"));
        QVERIFY(stopPlaying(m_control.get()));
    }

    void settingsCheckBoxResetAndSliderClicks()
    {
        SettingsDialog dialog;
        dialog.resize(dialog.size());
        auto *check = child<QCheckBox>(&dialog, "clipboardMonitorCheckBox");
        QVERIFY(check->isChecked());
        check->click();
        QCOMPARE(storedValue(QStringLiteral("Clipboard/Monitor")).toInt(), 0);
        check->click();
        QCOMPARE(storedValue(QStringLiteral("Clipboard/Monitor")).toInt(), 1);
        QVERIFY(child<QLineEdit>(&dialog, "bossKeyLineEdit")->isReadOnly());
        QCOMPARE(child<QLineEdit>(&dialog, "bossKeyLineEdit")->text(), QStringLiteral("Ctrl+D"));

        // Reset with every slider at 50 changes nothing.
        auto *hue = child<QSlider>(&dialog, "hueAdjustSlider");
        QSignalSpy changes(hue, &QSlider::valueChanged);
        child<QPushButton>(&dialog, "resetDefaultColorPushButton")->click();
        QCOMPARE(changes.count(), 0);

        // A press far from the handle jumps there; one on the handle does not.
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const int width = hue->width();
        QTest::mousePress(hue, Qt::LeftButton, {}, QPoint(width * 9 / 10, hue->height() / 2));
        QCOMPARE(hue->value(), int(double(width * 9 / 10) / width * 100));
        QTest::mouseRelease(hue, Qt::LeftButton, {}, QPoint(width * 9 / 10, hue->height() / 2));
        const int before = hue->value();
        QTest::mousePress(
            hue, Qt::LeftButton, {}, QPoint(int(before / 100.0 * width) + 3, hue->height() / 2));
        QVERIFY(qAbs(hue->value() - before) <= 10);
        QTest::mouseRelease(hue, Qt::LeftButton);
        hue->setValue(50);
    }

    // Every subtitle control writes into the engine while a subtitle is
    // loaded in a playing file, and nothing while nothing is open.
    void subtitleControlsReachTheEngine()
    {
        const QString subtitle = writeSubtitle(QStringLiteral("字幕.srt"),
            "1\n00:00:00,000 --> 00:00:30,000\n\xE4\xBD\xA0\xE5\xA5\xBD\n\n");
        {
            SubtitleSettingDialog idle;
            auto *path = child<QLineEdit>(&idle, "subtitleFilePathLineEdit");
            QCOMPARE(path->text(), QStringLiteral("支持格式：srt ass ssa smi idx sub sup"));
            QCOMPARE(child<QComboBox>(&idle, "subtitleSizeComboBox")->currentIndex(), -1);
            QCOMPARE(child<QComboBox>(&idle, "subtitleSizeComboBox")->count(), 20);
            path->setText(subtitle);
            child<QPushButton>(&idle, "subtitleMoveDownPushButton")->click();
            child<QComboBox>(&idle, "subtitleSizeComboBox")->setCurrentIndex(13);
            child<QComboBox>(&idle, "subtitleSwitchComboBox")->setCurrentIndex(1);
            QCOMPARE(m_control->subtitleFile(), QString());
            QCOMPARE(mpvString("sub-pos"), QStringLiteral("100"));
            QCOMPARE(mpvString("sub-visibility"), QStringLiteral("yes"));
            QCOMPARE(mpvString("sub-font-size"), QStringLiteral("54.000000"));
        }

        QVERIFY(playUrl(m_control.get(), m_server->url()));
        SubtitleSettingDialog dialog;
        auto *path = child<QLineEdit>(&dialog, "subtitleFilePathLineEdit");
        auto *delay = child<QComboBox>(&dialog, "subtitleDelayComboBox");
        auto *milliseconds = child<QLineEdit>(&dialog, "subtitleDelayMillisecondsLineEdit");
        auto *visible = child<QComboBox>(&dialog, "subtitleSwitchComboBox");

        // Before any subtitle the adjustments are inert.
        child<QPushButton>(&dialog, "subtitleMoveUpPushButton")->click();
        visible->setCurrentIndex(1);
        QCOMPARE(mpvString("sub-pos"), QStringLiteral("100"));
        QCOMPARE(mpvString("sub-visibility"), QStringLiteral("yes"));
        visible->setCurrentIndex(0);

        path->setText(subtitle);
        QTRY_COMPARE(m_control->subtitleFile(), subtitle);
        QCOMPARE(mpvString("sub-text"), QStringLiteral("你好"));

        child<QPushButton>(&dialog, "subtitleMoveDownPushButton")->click();
        child<QPushButton>(&dialog, "subtitleMoveDownPushButton")->click();
        QCOMPARE(
            m_control->subtitlePlacement().section(QLatin1Char(';'), 2, 2), QStringLiteral("102"));
        QCOMPARE(mpvString("sub-pos"), QStringLiteral("102"));
        child<QPushButton>(&dialog, "subtitleMoveLeftPushButton")->click();
        QCOMPARE(m_control->subtitlePlacement().section(QLatin1Char(';'), 1, 2),
            QStringLiteral("-1;102"));
        QCOMPARE(mpvString("sub-align-x"), QStringLiteral("left"));
        child<QPushButton>(&dialog, "subtitleMoveUpPushButton")->click();
        child<QPushButton>(&dialog, "subtitleMoveRightPushButton")->click();
        QCOMPARE(m_control->subtitlePlacement().section(QLatin1Char(';'), 1, 2),
            QStringLiteral("0;101"));

        const QString fontBefore = m_control->subtitleFont();
        child<QComboBox>(&dialog, "subtitleSizeComboBox")->setCurrentText(QStringLiteral("20号"));
        QCOMPARE(m_control->subtitleFont().section(QLatin1Char(';'), 1, 1), QStringLiteral("20"));
        QCOMPARE(m_control->subtitleFont().section(QLatin1Char(';'), 0, 0),
            fontBefore.section(QLatin1Char(';'), 0, 0));
        QCOMPARE(mpvString("sub-font-size"), QStringLiteral("60.000000"));

        // The delay: choice and amount, in the order a user goes.
        struct Step
        {
            const char *what;
            std::function<void()> act;
            const char *subDelay;
        };
        const QList<Step> steps = {
            { "typing while off writes nothing",
                [&] { milliseconds->setText(QStringLiteral("500")); }, "0.000000" },
            { "earlier", [&] { delay->setCurrentIndex(1); }, "-0.500000" },
            { "later", [&] { delay->setCurrentIndex(2); }, "0.500000" },
            { "typing while later", [&] { milliseconds->setText(QStringLiteral("1500")); },
                "1.500000" },
            { "off", [&] { delay->setCurrentIndex(0); }, "0.000000" },
            { "zero amount", [&] { milliseconds->setText(QStringLiteral("0")); }, "0.000000" },
            { "earlier with zero writes nothing", [&] { delay->setCurrentIndex(1); }, "0.000000" },
            { "typing while earlier", [&] { milliseconds->setText(QStringLiteral("250")); },
                "-0.250000" },
            { "return writes again", [&] { QTest::keyClick(milliseconds, Qt::Key_Return); },
                "-0.250000" },
        };
        for (const Step &step : steps) {
            step.act();
            QVERIFY2(mpvString("sub-delay") == QLatin1String(step.subDelay), step.what);
        }

        visible->setCurrentIndex(1);
        QCOMPARE(mpvString("sub-visibility"), QStringLiteral("no"));
        visible->setCurrentIndex(0);
        QCOMPARE(mpvString("sub-visibility"), QStringLiteral("yes"));

        // Choosing another file while playing loads that one instead.
        const QString second = writeSubtitle(
            QStringLiteral("second.srt"), "1\n00:00:00,000 --> 00:00:30,000\nsecond\n\n");
        path->setText(second);
        QTRY_COMPARE(m_control->subtitleFile(), second);
        QTRY_COMPARE(mpvString("sub-text"), QStringLiteral("second"));
        child<QPushButton>(&dialog, "subtitleMoveUpPushButton")->click();
        QCOMPARE(mpvString("sub-pos"), QStringLiteral("100"));
        QVERIFY(stopPlaying(m_control.get()));
    }

    void badSubtitleFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("loads");
        QByteArray noise(4096, '\0');
        for (int i = 0; i < noise.size(); ++i)
            noise[i] = char((i * 7919 + 13) % 251);
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("not a subtitle") << QByteArray("\x89PNG\r\n\x1a\n") + noise << false;
        QTest::newRow("unknown encoding") << QByteArray("1\n00:00:00,000 --> 00:00:30,000\n")
                + noise + "\n\n" << true;
    }

    // A long subtitle loads while the window keeps turning; a file too large
    // for a subtitle never reaches the engine and the user is told; a file
    // chosen while another loads replaces it.
    void largeSubtitleFiles()
    {
        QVERIFY(playUrl(m_control.get(), m_server->url()));
        SubtitleSettingDialog dialog;
        dialog.show();
        auto *path = child<QLineEdit>(&dialog, "subtitleFilePathLineEdit");

        const QString huge = m_work->filePath(QStringLiteral("huge.srt"));
        QFile sparse(huge);
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(SubtitleLimit::TextBytes + 1));
        sparse.close();
        path->setText(huge);
        auto *box = dialog.findChild<QMessageBox *>();
        QVERIFY(box && box->isVisible());
        QVERIFY2(box->text().startsWith(QStringLiteral("字幕文件过大（超过20MB），无法加载")),
            qPrintable(box->text()));
        QVERIFY(!engine()->isLoadingSubtitle());
        QCOMPARE(externalSubtitles(), QStringList());
        box->button(QMessageBox::Ok)->click();

        const QString longFile
            = writeSubtitle(QStringLiteral("long.srt"), TestMedia::longSubtitle(12 << 20));
        QTimer tick;
        tick.setInterval(100);
        QElapsedTimer clock;
        qint64 longestGap = 0;
        int ticks = 0;
        // Each tick reads what the main window reads every second; one
        // also pauses, seeks and turns the volume down, as a user might.
        connect(&tick, &QTimer::timeout, this, [&] {
            longestGap = std::max(longestGap, clock.restart());
            m_control->position();
            m_control->duration();
            // A moment in, when the load holds mpv's core.
            if (++ticks == 3) {
                m_control->pause();
                m_control->setPosition(2000);
                m_control->setVolume(40);
            }
        });
        QElapsedTimer load;
        load.start();
        clock.start();
        tick.start();
        path->setText(longFile);
        QTRY_COMPARE_WITH_TIMEOUT(m_control->subtitleFile(), longFile, 90000);
        tick.stop();
        const qint64 loadTime = load.elapsed();
        qInfo("longest pause of the event loop while 12 MB loaded in %lld ms: %lld ms", loadTime,
            longestGap);
        // A load that holds the event loop stops it for about the whole load
        // (1.4 s here); measured against the load, the check holds on a busy
        // machine, where every pause and the load itself grow alike.
        QVERIFY2(longestGap < std::max<qint64>(600, loadTime / 2),
            qPrintable(QString::number(longestGap)));
        QCOMPARE(externalSubtitles(), QStringList { longFile });
        QTRY_COMPARE(m_control->state(), int(APlayerControl::Paused));
        QCOMPARE(mpvString("volume"), QStringLiteral("40.000000"));
        QVERIFY2(qAbs(m_control->position() - 2000) < 500,
            qPrintable(QString::number(m_control->position())));
        m_control->play();
        QTRY_COMPARE(m_control->state(), int(APlayerControl::Playing));

        const QString shortFile = writeSubtitle(
            QStringLiteral("short.srt"), "1\n00:00:00,000 --> 00:00:30,000\nshort\n\n");
        const QString otherLong
            = writeSubtitle(QStringLiteral("long2.srt"), TestMedia::longSubtitle(12 << 20));
        path->setText(otherLong);
        QVERIFY(engine()->isLoadingSubtitle());
        path->setText(shortFile);
        QTRY_VERIFY_WITH_TIMEOUT(!engine()->isLoadingSubtitle(), 90000);
        QCOMPARE(m_control->subtitleFile(), shortFile);
        QCOMPARE(externalSubtitles(), QStringList { shortFile });
        QCOMPARE(m_control->state(), int(APlayerControl::Playing));
        QVERIFY(stopPlaying(m_control.get()));
    }

    // None of these stops the video, and a file that is not a subtitle
    // leaves the adjustments inert.
    void badSubtitleFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, loads);
        const QString file = writeSubtitle(QStringLiteral("bad.srt"), bytes);
        QVERIFY(playUrl(m_control.get(), m_server->url()));
        SubtitleSettingDialog dialog;
        child<QLineEdit>(&dialog, "subtitleFilePathLineEdit")->setText(file);
        QTRY_VERIFY(!engine()->isLoadingSubtitle());
        QCOMPARE(m_control->subtitleFile().isEmpty(), !loads);
        child<QPushButton>(&dialog, "subtitleMoveDownPushButton")->click();
        QCOMPARE(mpvString("sub-pos"), loads ? QStringLiteral("101") : QStringLiteral("100"));
        const int position = m_control->position();
        QTRY_VERIFY(m_control->position() > position);
        QCOMPARE(m_control->state(), int(APlayerControl::Playing));
        child<QPushButton>(&dialog, "subtitleMoveUpPushButton")->click();
        QVERIFY(stopPlaying(m_control.get()));
    }
};

QTEST_MAIN(TestPreferences)
#include "tst_preferences.moc"
