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
#include <QUrlQuery>
#include <QtTest>

namespace {

const QString FirstHash = QStringLiteral("1111111111222222222233333333334444444444");
const QString SecondHash = QStringLiteral("aaaaaaaaaabbbbbbbbbbccccccccccdddddddddd");

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

} // namespace

class TestOpenResourceRoad : public QObject
{
    Q_OBJECT

private slots:
    void handOver()
    {
        QVERIFY2(!builtProgram(QStringLiteral("tavrion")).isEmpty(), "tavrion binary not found");
        SKIP_WITHOUT_TOOLS({ "xdotool" });

        TestHttpServer service;
        QVERIFY(service.start());
        QTemporaryDir home;
        ScopedWorkingDirectory work;
        QVERIFY(writeFileBytes(work.filePath(QStringLiteral("Config.ini")),
            "[Application]\nFirstLaunched=false\n[Service]\nBaseAddress="
                + service.baseAddress().toUtf8() + "\n"));
        const auto start = [&](QProcess &process, const QString &argument) {
            return startTavrion(process, work.path(), home.path(), { argument });
        };

        QProcess first;
        QVERIFY(start(first,
            QStringLiteral("magnet:?xt=urn:btih:") + FirstHash
                + QStringLiteral("&dn=clip.torrent")));
        // Nobody is logged in: the start waits in the login dialog until it
        // is put away.
        const QString login = findWindowNamed(QStringLiteral("^用户账号$"), 30000);
        QVERIFY(!login.isEmpty());
        keyIn(login, QStringLiteral("Escape"));
        QTRY_COMPARE_WITH_TIMEOUT(listedHashes(service), QStringList { FirstHash }, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(
            (findWindow(first.processId(), ListDialogSize, 0).x() >= 0), 10000);

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
        QVERIFY(findWindow(first.processId(), ListDialogSize, 0).x() >= 0);

        screenshot(e2eArtefacts() + QStringLiteral("/openresource-malformed.png"));

        first.terminate();
        QVERIFY(first.waitForFinished(10000));
    }
};

QTEST_MAIN(TestOpenResourceRoad)
#include "tst_openresourceroad.moc"
