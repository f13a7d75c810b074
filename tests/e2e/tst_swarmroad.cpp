// The swarm road: the real program, the real service with its swarm side on
// and a real seeder of a clip the library does not hold. The user pastes the
// clip's info-hash, parses and plays it; the service fetches it from the
// seeder while it streams. Screenshots are kept under
// <build>/tests/e2e/artefacts.
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
    SKIP_WITHOUT_TOOLS({ "xdotool", "import", "ffmpeg" });
    const QString artefacts = e2eArtefacts();
    QVERIFY2(!builtProgram(QStringLiteral("tavrion")).isEmpty(), "tavrion binary not found");

    DemoRoad road;
    QVERIFY2(road.makeLibrary(), road.why());
    const QString data = road.data();
    SeederProcess seeder;
    QVERIFY2(seeder.start(swarmDemoTorrent(data), QFileInfo(swarmDemoTorrent(data)).path()),
        qPrintable(seeder.errorOutput()));
    const QString hash = seeder.infoHash();
    QVERIFY(readFileBytes(data + QStringLiteral("/demo-resources.txt"))
                .contains("swarm " + hash.toUtf8() + '\n'));

    QVERIFY2(road.startServer(
                 { "--host", "127.0.0.1:0", "--bt", "--bt-dht", "off", "--bt-listen", "127.0.0.1:0",
                     "--bt-cache", road.library.filePath("cache"), "--bt-peer", seeder.address() }),
        road.why());
    QVERIFY(
        !ServerProcess::admin({ QStringLiteral("list-resources"), QStringLiteral("--data"), data })
             .contains(hash));

    // Logged in automatically with the demo account, launched earlier today.
    QVERIFY2(road.prepareLogin(), road.why());

    QProcess tavrion;
    QVERIFY(startTavrion(tavrion, road.work.path(), road.home.path()));
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
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(road.work.filePath("PlayRecord.dat")), 30000);

    // The video moves on the play page while the service is still fetching.
    QTest::qWait(1500);
    problem = videoProblem(main, artefacts + QStringLiteral("/swarm-playing-1.png"),
        artefacts + QStringLiteral("/swarm-playing-2.png"));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    const QJsonArray records
        = QJsonDocument::fromJson(readFileBytes(road.work.filePath("PlayRecord.dat"))).array();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().toObject().value("resource_hash").toString(), hash);
    QCOMPARE(records.first().toObject().value("file_name").toString(),
        QStringLiteral("Tavrion群集演示.mp4"));

    stopTavrion(tavrion);
    QVERIFY(road.server.stop());
    QVERIFY(seeder.stop());
}

QTEST_GUILESS_MAIN(TestSwarmRoad)
#include "tst_swarmroad.moc"
