#include "app/appsettings.h"
#include "app/startup.h"
#include "platform/desktopentry.h"
#include "testdir.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QtTest>

namespace {

// Clicks the button with `text` of the next modal box, once it is up.
void answerNextBox(const QString &text, QString *seenTitle = nullptr, QString *seenText = nullptr)
{
    QTimer::singleShot(0, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            answerNextBox(text, seenTitle, seenText);
            return;
        }
        if (seenTitle)
            *seenTitle = box->windowTitle();
        if (seenText)
            *seenText = box->text();
        for (QAbstractButton *button : box->buttons()) {
            if (button->text() == text) {
                button->click();
                return;
            }
        }
        box->reject();
    });
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        // Desktop folder and runtime folder of a private user.
        qputenv("HOME", m_home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/.config")).toUtf8());
        qunsetenv("XDG_DESKTOP_DIR");
        Startup::initResources();
        Startup::installQtTranslation(qApp);
    }

    void cleanup() { AppSettings::release(); }

    void legacyDomainFileRename()
    {
        ScopedWorkingDirectory dir;
        QVERIFY(writeFileBytes(dir.filePath("VideoDomain"), "a.example\nb.example\n"));
        Startup::renameLegacyDomainFile();
        QVERIFY(!QFile::exists(dir.filePath("VideoDomain")));
        QCOMPARE(readFileBytes(dir.filePath("VideoFileURLDomains.dat")),
            QByteArray("a.example\nb.example\n"));
    }

    void legacyDomainFileKeptWhenBothExist()
    {
        ScopedWorkingDirectory dir;
        QVERIFY(writeFileBytes(dir.filePath("VideoDomain"), "old\n"));
        QVERIFY(writeFileBytes(dir.filePath("VideoFileURLDomains.dat"), "new\n"));
        Startup::renameLegacyDomainFile();
        QCOMPARE(readFileBytes(dir.filePath("VideoDomain")), QByteArray("old\n"));
        QCOMPARE(readFileBytes(dir.filePath("VideoFileURLDomains.dat")), QByteArray("new\n"));
    }

    void playerCacheCleanup()
    {
        const QString cache = Startup::playerCacheDirectory();
        QVERIFY(cache.endsWith(QStringLiteral("/Tavrion Cache")));
        QDir(cache).removeRecursively();
        Startup::emptyPlayerCache(); // no folder: nothing happens
        QVERIFY(!QDir(cache).exists());

        QVERIFY(writeFileBytes(cache + QStringLiteral("/a.cache"), "x"));
        QVERIFY(writeFileBytes(cache + QStringLiteral("/.hidden"), "x"));
        QVERIFY(writeFileBytes(cache + QStringLiteral("/sub/keep.cache"), "x"));
        Startup::emptyPlayerCache();
        QVERIFY(QDir(cache).exists());
        QCOMPARE(QDir(cache).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(QFile::exists(cache + QStringLiteral("/sub/keep.cache")));
        QDir(cache).removeRecursively();
    }

    void qtTextsAreChinese()
    {
        QString title;
        QMessageBox box(QMessageBox::Question, QStringLiteral("t"), QStringLiteral("x"),
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok);
        QCOMPARE(box.button(QMessageBox::Yes)->text(), QStringLiteral("是(&Y)"));
        QCOMPARE(box.button(QMessageBox::No)->text(), QStringLiteral("否(&N)"));
        QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    }

    void shortcutPromptNoWritesNothing()
    {
        ScopedWorkingDirectory dir;
        QFile::remove(Startup::desktopShortcutPath());
        AppSettings::initialize(QStringLiteral("Config.ini"));
        QString title, text;
        answerNextBox(QStringLiteral("否(N)"), &title, &text);
        Startup::runShortcutPrompt();
        QCOMPARE(title, QStringLiteral("询问"));
        QCOMPARE(text, QStringLiteral("是否创建快捷方式在您的桌面上，以方便下次访问！"));
        QVERIFY(!QFile::exists(Startup::desktopShortcutPath()));
        QVERIFY(!AppSettings::instance()->isFirstLaunched());

        // Asked once per settings file: a second run shows nothing.
        bool shown = false;
        QTimer::singleShot(0, [&] { shown = QApplication::activeModalWidget() != nullptr; });
        Startup::runShortcutPrompt();
        QVERIFY(!shown);
        AppSettings::release();
        QVERIFY(readFileBytes(dir.filePath("Config.ini")).contains("FirstLaunched=false"));
    }

    void shortcutPromptYesWritesValidEntry()
    {
        ScopedWorkingDirectory dir;
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        QDir(desktop).removeRecursively(); // the folder is created when missing
        AppSettings::initialize(QStringLiteral("Config.ini"));
        answerNextBox(QStringLiteral("是(Y)"));
        Startup::runShortcutPrompt();
        const QString entry = Startup::desktopShortcutPath();
        QVERIFY2(QFile::exists(entry), qPrintable(entry));
        QVERIFY(entry.endsWith(QStringLiteral("/Tavrion影音.desktop")));
        const QString text = QString::fromUtf8(readFileBytes(entry));
        QVERIFY(text.contains(QStringLiteral("Path=") + QDir::currentPath() + QLatin1Char('\n')));
        QVERIFY(text.contains(QStringLiteral("Exec=\"") + QCoreApplication::applicationFilePath()));
        QVERIFY(QFileInfo(entry).isExecutable());

        const QString validator
            = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (validator.isEmpty())
            QSKIP("desktop-file-validate is not installed");
        QProcess check;
        check.start(validator, { entry });
        QVERIFY(check.waitForFinished());
        QVERIFY2(check.exitCode() == 0, check.readAll().constData());
    }

    void execQuoting_data()
    {
        QTest::addColumn<QString>("arg");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain") << "/opt/t/tavrion"
                               << "\"/opt/t/tavrion\"";
        QTest::newRow("blank") << "/a b/t"
                               << "\"/a b/t\"";
        QTest::newRow("specials") << "/a\"$`\\b"
                                  << "\"/a\\\"\\$\\`\\\\b\"";
        QTest::newRow("percent") << "/50%/t"
                                 << "\"/50%%/t\"";
    }

    void execQuoting()
    {
        QFETCH(QString, arg);
        QFETCH(QString, quoted);
        QCOMPARE(DesktopEntry::quoteExecArgument(arg), quoted);
    }

    void unwritableShortcutIsIgnored()
    {
        ScopedWorkingDirectory dir;
        // A plain file where the folder should be: the entry cannot be written.
        QVERIFY(writeFileBytes(dir.filePath("blocker2"), "file"));
        QVERIFY(!DesktopEntry::create(dir.filePath("blocker2/x.desktop"), QStringLiteral("n"),
            QStringLiteral("/bin/true"), dir.path(), QStringLiteral("i")));
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
