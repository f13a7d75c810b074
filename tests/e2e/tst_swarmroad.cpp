// The swarm road: the real program, the real service with its swarm side on
// and a real seeder of a clip the library does not hold. The user pastes the
// clip's info-hash, parses and plays it; the service fetches it from the
// seeder while it streams. Screenshots are kept under
// <build>/tests/e2e/artefacts.
#include "serverprocess.h"
#include "testdir.h"
#include "xdriver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestSwarmRoad : public QObject
{
    Q_OBJECT

private slots:
    void pasteParsePlayFromTheSwarm();
};

void TestSwarmRoad::pasteParsePlayFromTheSwarm()
{
    const QString missing = missingTool({ "xdotool", "import", "ffmpeg" });
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing + QStringLiteral(" is not installed")));
    const QString artefacts = e2eArtefacts();
    QVERIFY2(!builtProgram(QStringLiteral("tavrion")).isEmpty(), "tavrion binary not found");

    QTemporaryDir library;
    const QString data = library.filePath(QStringLiteral("data"));
    QString makeError;
    QVERIFY2(makeQuickDemoLibrary(data, &makeError).size() == 40, qPrintable(makeError));
    SeederProcess seeder;
    QVERIFY2(seeder.start(swarmDemoTorrent(data), QFileInfo(swarmDemoTorrent(data)).path()),
        qPrintable(seeder.errorOutput()));
    const QString hash = seeder.infoHash();
    QVERIFY(readFileBytes(data + QStringLiteral("/demo-resources.txt"))
                .contains("swarm " + hash.toUtf8() + '\n'));

    ServerProcess server;
    QVERIFY2(server.start(data,
                 { QStringLiteral("--host"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--bt"),
                     QStringLiteral("--bt-dht"), QStringLiteral("off"),
                     QStringLiteral("--bt-listen"), QStringLiteral("127.0.0.1:0"),
                     QStringLiteral("--bt-cache"), library.filePath(QStringLiteral("cache")),
                     QStringLiteral("--bt-peer"), seeder.address() }),
        qPrintable(server.errorOutput()));
    QVERIFY(
        !ServerProcess::admin({ QStringLiteral("list-resources"), QStringLiteral("--data"), data })
             .contains(hash));

    // Logged in automatically with the demo account, launched earlier today.
    QTemporaryDir home;
    ScopedWorkingDirectory work;
    QVERIFY(prepareDemoLogin(work.path(), server.baseAddress()));

    QProcess tavrion;
    QVERIFY(startTavrion(tavrion, work.path(), home.path()));
    const qint64 pid = tavrion.processId();

    const QPoint main = findWindow(pid, MainWindowSize, 20000);
    QVERIFY2(main.x() >= 0, "no main window");
    QVERIFY2(closeAccountDialog(pid), "no account dialog");
    QString problem;
    const QPoint dialog = parseFromMainPage(pid, main, hash, &problem);
    QVERIFY2(dialog.x() >= 0, qPrintable(problem));

    // The file row shows once the service has the torrent's metadata.
    const bool rows = waitForText(ParseFirstRowName.translated(dialog), 15000);
    screenshot(artefacts + QStringLiteral("/swarm-parse-dialog.png"));
    QVERIFY2(rows, "no file rows after parsing the swarm resource");

    click(dialog + ParseFirstRowPlay);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(work.filePath("PlayRecord.dat")), 30000);

    // The video moves on the play page while the service is still fetching.
    QTest::qWait(1500);
    problem = videoProblem(main, artefacts + QStringLiteral("/swarm-playing-1.png"),
        artefacts + QStringLiteral("/swarm-playing-2.png"));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    const QJsonArray records
        = QJsonDocument::fromJson(readFileBytes(work.filePath("PlayRecord.dat"))).array();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().toObject().value("resource_hash").toString(), hash);
    QCOMPARE(records.first().toObject().value("file_name").toString(),
        QStringLiteral("Tavrion群集演示.mp4"));

    stopTavrion(tavrion);
    QVERIFY(server.stop());
    QVERIFY(seeder.stop());
}

QTEST_GUILESS_MAIN(TestSwarmRoad)
#include "tst_swarmroad.moc"
