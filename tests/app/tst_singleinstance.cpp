// Runs the real program under X: a second copy warns and exits 1 without
// touching "Config.ini"; a lock left by a killed copy does not block a start.
#include "testdir.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

namespace {

QProcessEnvironment privateEnvironment(const QString &home)
{
    // Qt ignores a runtime folder that others may read and falls back to one
    // shared by every program of the user, lock file included.
    QDir().mkpath(home + QStringLiteral("/run"));
    QFile::setPermissions(
        home + QStringLiteral("/run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/run"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    // Nothing listens here, so the program starts without a service.
    return env;
}

// Waits until a window whose title is `title` exists; returns its id.
QString waitForWindow(const QString &title, int timeoutMs, bool visible = false)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QProcess search;
        QStringList arguments { QStringLiteral("search"), QStringLiteral("--name"), title };
        if (visible)
            arguments.insert(1, QStringLiteral("--onlyvisible"));
        search.start(QStringLiteral("xdotool"), arguments);
        search.waitForFinished();
        const QString id = QString::fromUtf8(search.readAllStandardOutput()).trimmed();
        if (!id.isEmpty())
            return id.section(QLatin1Char('\n'), 0, 0);
        QTest::qWait(100);
    }
    return {};
}

// How many X windows the process `pid` has made.
int windowCount(qint64 pid)
{
    QProcess search;
    search.start(QStringLiteral("xdotool"),
        { QStringLiteral("search"), QStringLiteral("--pid"), QString::number(pid) });
    search.waitForFinished();
    return QString::fromUtf8(search.readAllStandardOutput())
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts)
        .size();
}

} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void secondCopyWarnsAndExits()
    {
        const QString program = builtProgram(QStringLiteral("tavrion"));
        QVERIFY2(!program.isEmpty(), "tavrion binary not found");
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xdotool is not installed");

        QTemporaryDir home;
        ScopedWorkingDirectory work;
        const QByteArray config = "[Application]\nFirstLaunched=false\n"
                                  "[Service]\nBaseAddress=http://127.0.0.1:9\n";
        QVERIFY(writeFileBytes(work.filePath("Config.ini"), config));

        QProcess first;
        first.setProcessEnvironment(privateEnvironment(home.path()));
        first.setWorkingDirectory(work.path());
        first.start(program, QStringList());
        QVERIFY(first.waitForStarted());
        QVERIFY(!waitForWindow(QStringLiteral("^Tavrion$"), 30000).isEmpty());
        // The launch date is written after the window shows, when the
        // settings next sync.
        QTRY_VERIFY2_WITH_TIMEOUT(
            readFileBytes(work.filePath("Config.ini")).contains("LastLaunchedDate"),
            qPrintable(QStringLiteral("state %1, output: %2")
                           .arg(first.state())
                           .arg(QString::fromLocal8Bit(first.readAllStandardError()))),
            30000);
        const QByteArray afterFirst = readFileBytes(work.filePath("Config.ini"));

        // A legacy file that the second copy must not move.
        QVERIFY(writeFileBytes(work.filePath("VideoDomain"), "x\n"));

        QProcess second;
        second.setProcessEnvironment(privateEnvironment(home.path()));
        second.setWorkingDirectory(work.path());
        second.start(program, QStringList());
        QVERIFY(second.waitForStarted());
        const QString box = waitForWindow(QStringLiteral("警告"), 30000);
        QVERIFY2(!box.isEmpty(), "no warning box from the second copy");
        QProcess::execute(QStringLiteral("xdotool"),
            { QStringLiteral("windowactivate"), QStringLiteral("--sync"), box });
        QProcess::execute(
            QStringLiteral("xdotool"), { QStringLiteral("key"), QStringLiteral("Return") });
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
        third.setProcessEnvironment(privateEnvironment(home.path()));
        third.setWorkingDirectory(work.path());
        third.start(program, QStringList());
        QVERIFY(third.waitForStarted());
        QVERIFY(!waitForWindow(QStringLiteral("^Tavrion$"), 30000).isEmpty());
        QVERIFY(waitForWindow(QStringLiteral("警告"), 1000).isEmpty());
        // The normal start moved the legacy file.
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(work.filePath("VideoDomain")), 5000);
        third.terminate();
        QVERIFY(third.waitForFinished(10000));
    }

    // The automatic login waits on a service that never answers; meanwhile
    // the user opens the parse dialog and closes the main window. The
    // program must end, lock and all.
    void closingTheWindowEndsAPendingStart()
    {
        const QString program = builtProgram(QStringLiteral("tavrion"));
        QVERIFY2(!program.isEmpty(), "tavrion binary not found");
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xdotool is not installed");

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
        tavrion.setProcessEnvironment(privateEnvironment(home.path()));
        tavrion.setWorkingDirectory(work.path());
        tavrion.start(program, QStringList());
        QVERIFY(tavrion.waitForStarted());
        const QString window = waitForWindow(QStringLiteral("^Tavrion$"), 30000, true);
        QVERIFY(!window.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 30000);

        // The big open button sits in the middle of the main page.
        const int before = windowCount(tavrion.processId());
        QProcess::execute(QStringLiteral("xdotool"),
            { QStringLiteral("mousemove"), QStringLiteral("--window"), window,
                QStringLiteral("436"), QStringLiteral("398"), QStringLiteral("click"),
                QStringLiteral("1") });
        QTRY_VERIFY_WITH_TIMEOUT(windowCount(tavrion.processId()) > before, 10000);

        QProcess::execute(QStringLiteral("xdotool"),
            { QStringLiteral("windowactivate"), QStringLiteral("--sync"), window });
        QProcess::execute(
            QStringLiteral("xdotool"), { QStringLiteral("key"), QStringLiteral("alt+F4") });
        const bool ended = tavrion.waitForFinished(10000);
        if (!ended)
            tavrion.kill();
        QVERIFY2(ended, "the program outlived its main window");
        QCOMPARE(tavrion.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tavrion.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
