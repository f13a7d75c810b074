// Runs the real program under X: a second copy warns and exits 1 without
// touching "Config.ini"; a lock left by a killed copy does not block a start;
// the working folder is the user's data folder with --data-home, and one that
// cannot be written is reported at start.
#include "testdir.h"
#include "xdriver.h"

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

#include <unistd.h>

namespace {

// How many X windows the process `pid` has made.
int windowCount(qint64 pid)
{
    return run(QStringLiteral("xdotool"),
        { QStringLiteral("search"), QStringLiteral("--pid"), QString::number(pid) })
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts)
        .size();
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY2(!builtProgram(QStringLiteral("tavrion")).isEmpty(), "tavrion binary not found");
        SKIP_WITHOUT_TOOLS({ "xdotool" });
    }

    void secondCopyWarnsAndExits()
    {
        QTemporaryDir home;
        ScopedWorkingDirectory work;
        // The day's first start is done: no popup notice before the login.
        const QByteArray config = "[Application]\nFirstLaunched=false\nLastLaunchedDate="
            + QDate::currentDate().toString(Qt::ISODate).toLatin1()
            + "\n[Service]\nBaseAddress=http://127.0.0.1:9\n";
        QVERIFY(writeFileBytes(work.filePath("Config.ini"), config));

        QProcess first;
        QVERIFY(startTavrion(first, work.path(), home.path()));
        QVERIFY(!findWindowNamed(QStringLiteral("^Tavrion$"), 30000).isEmpty());
        // Nobody is logged in: the start waits in the login dialog until it
        // is put away.
        const QString login = findWindowNamed(QStringLiteral("^用户账号$"), 30000);
        QVERIFY2(!login.isEmpty(),
            qPrintable(QStringLiteral("no login dialog; state %1, output: %2")
                           .arg(first.state())
                           .arg(QString::fromLocal8Bit(first.readAllStandardError()))));
        // Centred on the main window where the window manager placed it.
        const QPoint main = findWindow(first.processId(), MainWindowSize, 5000);
        const QPoint dialog = findWindow(first.processId(), AccountDialogSize, 5000);
        QCOMPARE(dialog,
            main
                + QPoint((MainWindowSize.width() - AccountDialogSize.width()) / 2,
                    (MainWindowSize.height() - AccountDialogSize.height()) / 2));
        keyIn(login, QStringLiteral("Escape"));
        // The launch date is written after the start, when the settings next
        // sync (the file is then rewritten in the settings' own layout).
        QTRY_VERIFY2_WITH_TIMEOUT(readFileBytes(work.filePath("Config.ini")) != config,
            qPrintable(QStringLiteral("state %1, output: %2")
                           .arg(first.state())
                           .arg(QString::fromLocal8Bit(first.readAllStandardError()))),
            30000);
        const QByteArray afterFirst = readFileBytes(work.filePath("Config.ini"));

        // A legacy file that the second copy must not move.
        QVERIFY(writeFileBytes(work.filePath("VideoDomain"), "x\n"));

        QProcess second;
        QVERIFY(startTavrion(second, work.path(), home.path()));
        const QString box = findWindowNamed(QStringLiteral("警告"), 30000);
        QVERIFY2(!box.isEmpty(), "no warning box from the second copy");
        keyIn(box, QStringLiteral("Return"));
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 1);
        QCOMPARE(readFileBytes(work.filePath("Config.ini")), afterFirst);
        QVERIFY(QFile::exists(work.filePath("VideoDomain")));
        QCOMPARE(first.state(), QProcess::Running);

        // A copy killed hard leaves its lock file; the next start takes it over.
        first.kill();
        QVERIFY(first.waitForFinished(5000));
        QFile::remove(work.filePath("Config.ini"));
        QVERIFY(writeFileBytes(work.filePath("Config.ini"), config));
        QProcess third;
        QVERIFY(startTavrion(third, work.path(), home.path()));
        QVERIFY(!findWindowNamed(QStringLiteral("^Tavrion$"), 30000).isEmpty());
        QVERIFY(findWindowNamed(QStringLiteral("警告"), 1000).isEmpty());
        // The normal start moved the legacy file (the program is a child
        // process, so the wait allows for a busy machine).
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(work.filePath("VideoDomain")), 30000);
        third.terminate();
        QVERIFY(third.waitForFinished(10000));
    }

    // The automatic login waits on a service that never answers; meanwhile
    // the user opens the parse dialog and closes the main window. The
    // program must end, lock and all.
    void closingTheWindowEndsAPendingStart()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QTemporaryDir home;
        ScopedWorkingDirectory work;
        QVERIFY(writeFileBytes(work.filePath("Config.ini"),
            "[Application]\nFirstLaunched=false\n[Account]\nAutoLogin=1\n"
            "[Service]\nBaseAddress=http://127.0.0.1:"
                + QByteArray::number(silent.serverPort()) + "\n"));
        // User "u", password "p", each XOR-ed with 0x5A.
        QVERIFY(writeFileBytes(
            work.filePath("user.dat"), QByteArray("\0\0\0\x01\x2F\0\0\0\x01\x2A", 10)));

        QProcess tavrion;
        QVERIFY(startTavrion(tavrion, work.path(), home.path()));
        // The window comes without waiting for the silent service.
        const QString window = findWindowNamed(QStringLiteral("^Tavrion$"), 60000, true);
        QVERIFY(!window.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 30000);

        // The big open button sits in the middle of the main page.
        const int before = windowCount(tavrion.processId());
        QProcess::execute(QStringLiteral("xdotool"),
            { QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                QStringLiteral("436"), QStringLiteral("398"), QStringLiteral("click"),
                QStringLiteral("1") });
        QTRY_VERIFY_WITH_TIMEOUT(windowCount(tavrion.processId()) > before, 10000);

        keyIn(window, QStringLiteral("alt+F4"));
        const bool ended = tavrion.waitForFinished(10000);
        if (!ended)
            tavrion.kill();
        QVERIFY2(ended, "the program outlived its main window");
        QCOMPARE(tavrion.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tavrion.exitCode(), 0);
    }

    void userDataFolder()
    {
        QTemporaryDir home;
        ScopedWorkingDirectory started;
        QProcessEnvironment environment = isolatedEnvironment(home.path());
        const QString dataHome = home.filePath(QStringLiteral("data"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);

        QProcess tavrion;
        QVERIFY(startTavrion(tavrion, started.path(), environment, { "--data-home" }));
        const QString prompt = findWindowNamed(QStringLiteral("^询问$"), 30000);
        QVERIFY2(!prompt.isEmpty(), "no shortcut question in a fresh folder");
        const QString folder = dataHome + QStringLiteral("/tavrion");
        QCOMPARE(QFileInfo(folder).permissions()
                & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        keyIn(prompt, QStringLiteral("Escape"));
        const QString login = findWindowNamed(QStringLiteral("^用户账号$"), 30000);
        QVERIFY(!login.isEmpty());
        keyIn(login, QStringLiteral("Escape"));
        QTRY_VERIFY_WITH_TIMEOUT(
            readFileBytes(folder + QStringLiteral("/Config.ini")).contains("FirstLaunched=false"),
            30000);
        stopTavrion(tavrion);
        QCOMPARE(
            QDir(started.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList());
    }

    void unwritableFolderIsReported()
    {
        SKIP_WITHOUT_TOOLS({ "import" });
        QTemporaryDir home;
        QTemporaryDir locked;
        // Root writes through permission bits: only a read-only mount stops it.
        const bool root = geteuid() == 0;
        if (root
            && QProcess::execute(QStringLiteral("mount"),
                   { "-t", "tmpfs", "-o", "ro,size=16k", "tmpfs", locked.path() })
                != 0)
            QSKIP("cannot mount a read-only folder");
        if (!root)
            QFile::setPermissions(locked.path(), QFile::ReadOwner | QFile::ExeOwner);
        const auto unlock = qScopeGuard([&] {
            if (root)
                QProcess::execute(QStringLiteral("umount"), { locked.path() });
            else
                QFile::setPermissions(
                    locked.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        });

        QProcess tavrion;
        QVERIFY(startTavrion(tavrion, locked.path(), home.path()));
        const QString warning = findWindowNamed(QStringLiteral("^警告$"), 30000);
        QVERIFY2(!warning.isEmpty(), "the unwritable folder was not reported");
        QTest::qWait(500);
        screenshot(
            e2eArtefacts(QStringLiteral("startup")) + QStringLiteral("/unwritable-folder.png"));
        keyIn(warning, QStringLiteral("Return"));
        // The start goes on, without a shortcut question whose answer would be lost.
        QVERIFY(!findWindowNamed(QStringLiteral("^用户账号$"), 30000).isEmpty());
        QVERIFY(findWindowNamed(QStringLiteral("^询问$"), 500).isEmpty());
        QVERIFY(findWindowNamed(QStringLiteral("^警告$"), 500).isEmpty());
        stopTavrion(tavrion);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
