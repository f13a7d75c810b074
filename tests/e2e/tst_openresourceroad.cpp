// Opening resources from outside, with the real program under X: a start
// with a magnet link parses its hash after the start-up routine; a second
// start with a hash hands it over and ends with status 0; a second start
// with a malformed text ends the same way and nothing is asked of the
// service. The screenshot of the last state is kept under
// <build>/tests/e2e/artefacts.
#include "testdir.h"
#include "testhttpserver.h"

#include "xdriver.h"

#include <QProcess>
#include <QStandardPaths>
#include <QUrlQuery>
#include <QtTest>

namespace {

const QString FirstHash = QStringLiteral("1111111111222222222233333333334444444444");
const QString SecondHash = QStringLiteral("aaaaaaaaaabbbbbbbbbbccccccccccdddddddddd");
const QSize ParseDialogSize(831, 466);

// The hashes the program asked the service to list, in order.
QStringList listedHashes(const TestHttpServer &server)
{
    QStringList hashes;
    for (const TestHttpRequest &request : server.requests()) {
        const QUrlQuery query(QString::fromUtf8(request.query()));
        if (query.queryItemValue(QStringLiteral("do")) == QLatin1String("getNewHashFileList"))
            hashes.append(query.queryItemValue(QStringLiteral("hash")));
    }
    return hashes;
}

bool parseDialogVisible(qint64 pid)
{
    const QStringList ids = run(QStringLiteral("xdotool"),
        { QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
            QString::number(pid) })
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &id : ids) {
        const QString geometry = run(QStringLiteral("xdotool"),
            { QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id });
        if (geometry.contains(QStringLiteral("WIDTH=%1\n").arg(ParseDialogSize.width()))
            && geometry.contains(QStringLiteral("HEIGHT=%1").arg(ParseDialogSize.height())))
            return true;
    }
    return false;
}

} // namespace

class TestOpenResourceRoad : public QObject
{
    Q_OBJECT

private slots:
    void handOver()
    {
        const QString program = builtProgram(QStringLiteral("tavrion"));
        QVERIFY2(!program.isEmpty(), "tavrion binary not found");
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("xdotool is not installed");

        TestHttpServer service;
        QVERIFY(service.start());
        QTemporaryDir home;
        ScopedWorkingDirectory work;
        QVERIFY(writeFileBytes(work.filePath(QStringLiteral("Config.ini")),
            "[Application]\nFirstLaunched=false\n[Service]\nBaseAddress="
                + service.baseAddress().toUtf8() + "\n"));
        // Qt ignores a runtime folder that others may read.
        QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("run"))));
        QFile::setPermissions(home.filePath(QStringLiteral("run")),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("run")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));

        const auto start = [&](QProcess &process, const QString &argument) {
            process.setProcessEnvironment(env);
            process.setWorkingDirectory(work.path());
            process.start(program, { argument });
            return process.waitForStarted();
        };

        QProcess first;
        QVERIFY(start(first,
            QStringLiteral("magnet:?xt=urn:btih:") + FirstHash
                + QStringLiteral("&dn=clip.torrent")));
        // Nobody is logged in: the start waits in the login dialog until it
        // is put away.
        QString login;
        QTRY_VERIFY_WITH_TIMEOUT(!(login = run(QStringLiteral("xdotool"),
                                       { QStringLiteral("search"), QStringLiteral("--name"),
                                           QStringLiteral("^UserAccountDialog$") }))
                                      .isEmpty(),
            30000);
        run(QStringLiteral("xdotool"),
            { QStringLiteral("windowactivate"), QStringLiteral("--sync"),
                login.section(QLatin1Char('\n'), 0, 0) });
        run(QStringLiteral("xdotool"), { QStringLiteral("key"), QStringLiteral("Escape") });
        QTRY_COMPARE_WITH_TIMEOUT(listedHashes(service), QStringList { FirstHash }, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(parseDialogVisible(first.processId()), 10000);

        QProcess second;
        QVERIFY(start(second, SecondHash));
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 30000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(
            listedHashes(service), (QStringList { FirstHash, SecondHash }), 30000);

        QProcess third;
        QVERIFY(start(third, QStringLiteral("not a resource")));
        QTRY_COMPARE_WITH_TIMEOUT(third.state(), QProcess::NotRunning, 30000);
        QCOMPARE(third.exitCode(), 0);
        QTest::qWait(1000);
        QCOMPARE(listedHashes(service).size(), 2);
        QCOMPARE(first.state(), QProcess::Running);
        QVERIFY(parseDialogVisible(first.processId()));

        const QString artefacts
            = qEnvironmentVariable("TAVRION_BUILD_DIR") + QStringLiteral("/tests/e2e/artefacts");
        QDir().mkpath(artefacts);
        run(QStringLiteral("import"),
            { QStringLiteral("-window"), QStringLiteral("root"),
                artefacts + QStringLiteral("/openresource-malformed.png") });

        first.terminate();
        QVERIFY(first.waitForFinished(10000));
    }
};

QTEST_MAIN(TestOpenResourceRoad)
#include "tst_openresourceroad.moc"
