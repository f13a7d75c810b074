#include "app/appsettings.h"
#include "testdir.h"

#include <QSettings>
#include <QtTest>

class TestAppSettings : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { AppSettings::release(); }

    void defaultsOnFreshDirectory()
    {
        ScopedWorkingDirectory dir;
        AppSettings::initialize(QStringLiteral("Config.ini"));
        AppSettings *s = AppSettings::instance();
        QVERIFY(s->isFirstLaunched());
        QVERIFY(!s->isAutoLogin());
        QVERIFY(s->isClipboardMonitor());
        QVERIFY(!s->isImageNormalize());
        QCOMPARE(s->volume(), 50);
        QCOMPARE(s->brightness(), 50);
        QCOMPARE(s->contrast(), 50);
        QCOMPARE(s->saturation(), 50);
        QCOMPARE(s->hue(), 50);
        QCOMPARE(s->audioChannelMode(), QStringLiteral("StereoAudioChannel"));
        QCOMPARE(s->renderMode(), QStringLiteral("Renderless"));
        QCOMPARE(s->videoAspectRatio(), QStringLiteral("default"));
        QCOMPARE(s->lastBrowsedTorrentFileDirectory(), QStringLiteral("."));
        QCOMPARE(s->serviceBaseAddress(), QStringLiteral("http://127.0.0.1:17080"));
        QVERIFY(!s->videoFileDownloadDirectory().isEmpty());
        // Missing dates never equal today.
        QVERIFY(s->lastLaunchedDate() != QDate::currentDate());
        QVERIFY(s->videoFileURLDomainListLastRequestDate() != QDate::currentDate());
        // Reading alone creates no file.
        QVERIFY(!QFile::exists(QStringLiteral("Config.ini")));
    }

    void fileTextAfterWrites()
    {
        ScopedWorkingDirectory dir;
        AppSettings::initialize(QStringLiteral("Config.ini"));
        AppSettings::instance()->setFirstLaunched(false);
        AppSettings::instance()->setLastLaunchedDate(QDate(2026, 3, 7));
        AppSettings::instance()->setAutoLogin(true);
        AppSettings::release();

        const QString text = QString::fromUtf8(readFileBytes(dir.filePath("Config.ini")));
        QVERIFY2(text.contains(QStringLiteral("[Application]\n")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("FirstLaunched=false\n")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("LastLaunchedDate=2026-03-07\n")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("[Account]\nAutoLogin=1\n")), qPrintable(text));

        AppSettings::initialize(QStringLiteral("Config.ini"));
        QVERIFY(!AppSettings::instance()->isFirstLaunched());
        QCOMPARE(AppSettings::instance()->lastLaunchedDate(), QDate(2026, 3, 7));
        QVERIFY(AppSettings::instance()->isAutoLogin());
    }

    void flagRule_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("expected");
        QTest::newRow("one") << QByteArray("1") << true;
        QTest::newRow("zero") << QByteArray("0") << false;
        QTest::newRow("two") << QByteArray("2") << false;
        QTest::newRow("true text") << QByteArray("true") << false;
        QTest::newRow("false text") << QByteArray("false") << false;
        QTest::newRow("garbage") << QByteArray("yes please") << false;
        QTest::newRow("empty") << QByteArray("") << false;
    }

    void flagRule()
    {
        QFETCH(QByteArray, stored);
        QFETCH(bool, expected);
        ScopedWorkingDirectory dir;
        QVERIFY(writeFileBytes(dir.filePath("Config.ini"),
            "[Application]\nFirstLaunched=" + stored + "\n[Clipboard]\nMonitor=" + stored
                + "\n[Player]\nImageNormalize=" + stored + "\n"));
        AppSettings::initialize(QStringLiteral("Config.ini"));
        QCOMPARE(AppSettings::instance()->isFirstLaunched(), expected);
        QCOMPARE(AppSettings::instance()->isClipboardMonitor(), expected);
        QCOMPARE(AppSettings::instance()->isImageNormalize(), expected);
    }

    void badFilesReadAsDefaults_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe[[[=\n\x01\x02=\x03", 14);
        QTest::newRow("no sections") << QByteArray("Volume=7\nhello world\n");
    }

    void badFilesReadAsDefaults()
    {
        QFETCH(QByteArray, content);
        ScopedWorkingDirectory dir;
        QVERIFY(writeFileBytes(dir.filePath("Config.ini"), content));
        AppSettings::initialize(QStringLiteral("Config.ini"));
        AppSettings *s = AppSettings::instance();
        QCOMPARE(s->volume(), 50);
        QVERIFY(s->isFirstLaunched());
        QCOMPARE(s->renderMode(), QStringLiteral("Renderless"));
    }

    void wrongFormsFallBack()
    {
        ScopedWorkingDirectory dir;
        QVERIFY(writeFileBytes(dir.filePath("Config.ini"),
            "[Volume]\nValue=loud\n[Application]\nLastLaunchedDate=07.03.2026\n"));
        AppSettings::initialize(QStringLiteral("Config.ini"));
        QCOMPARE(AppSettings::instance()->volume(), 0);
        QVERIFY(!AppSettings::instance()->lastLaunchedDate().isValid());
    }

    void unreadableAndUnwritableFileKeptInMemory()
    {
        // A folder where the file should be: neither readable nor writable as a
        // file, whoever runs the test.
        ScopedWorkingDirectory dir;
        QVERIFY(QDir().mkdir(dir.filePath("Config.ini")));
        AppSettings::initialize(QStringLiteral("Config.ini"));
        QCOMPARE(AppSettings::instance()->volume(), 50);
        AppSettings::instance()->setVolume(30);
        QCOMPARE(AppSettings::instance()->volume(), 30);
        AppSettings::release();
        QVERIFY(QFileInfo(dir.filePath("Config.ini")).isDir());
    }

    void initializeTwiceKeepsFirst()
    {
        ScopedWorkingDirectory dir;
        AppSettings::initialize(QStringLiteral("a.ini"));
        AppSettings *first = AppSettings::instance();
        AppSettings::initialize(QStringLiteral("b.ini"));
        QCOMPARE(AppSettings::instance(), first);
        first->setVolume(12);
        AppSettings::release();
        QVERIFY(QFile::exists(QStringLiteral("a.ini")));
        QVERIFY(!QFile::exists(QStringLiteral("b.ini")));
        QVERIFY(!AppSettings::instance());
    }
};

QTEST_GUILESS_MAIN(TestAppSettings)
#include "tst_appsettings.moc"
