// Runs the real program under X: a second copy warns and exits 1 without
// touching "Config.ini"; a lock left by a killed copy does not block a start.
#include "testdir.h"

#include <QProcess>
#include <QStandardPaths>
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
QString waitForWindow(const QString &title, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QProcess search;
        search.start(QStringLiteral("xdotool"),
            { QStringLiteral("search"), QStringLiteral("--name"), title });
        search.waitForFinished();
        const QString id = QString::fromUtf8(search.readAllStandardOutput()).trimmed();
        if (!id.isEmpty())
            return id.section(QLatin1Char('\n'), 0, 0);
        QTest::qWait(100);
    }
    return {};
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
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
