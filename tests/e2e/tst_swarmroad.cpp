// The swarm road: the real program, the real service with its swarm side on
// and a real seeder of a clip the library does not hold. The user pastes the
// clip's info-hash, parses and plays it; the service fetches it from the
// seeder while it streams. Screenshots are kept under
// <build>/tests/e2e/artefacts.
#include "serverprocess.h"
#include "testdir.h"
#include "xdriver.h"

#include <QDataStream>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QSize MainWindowSize(873, 578);
const QSize ParseDialogSize(831, 466);
const QSize AccountDialogSize(322, 382);

} // namespace

class TestSwarmRoad : public QObject
{
    Q_OBJECT

private slots:
    void pasteParsePlayFromTheSwarm();
};

void TestSwarmRoad::pasteParsePlayFromTheSwarm()
{
    for (const char *tool : { "xdotool", "import", "ffmpeg" }) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
    }
    const QString artefacts
        = qEnvironmentVariable("TAVRION_BUILD_DIR") + QStringLiteral("/tests/e2e/artefacts");
    QVERIFY(QDir().mkpath(artefacts));
    const QString program = builtProgram(QStringLiteral("tavrion"));
    QVERIFY2(!program.isEmpty(), "tavrion binary not found");

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
    QProcessEnvironment environment = isolatedEnvironment(home.path());
    tavrion.setProcessEnvironment(environment);
    tavrion.setWorkingDirectory(work.path());
    tavrion.start(program, QStringList());
    QVERIFY(tavrion.waitForStarted());
    const qint64 pid = tavrion.processId();

    const QPoint main = findWindow(pid, MainWindowSize, 20000);
    QVERIFY2(main.x() >= 0, "no main window");
    const QPoint account = findWindow(pid, AccountDialogSize, 10000);
    QVERIFY2(account.x() >= 0, "no account dialog");
    click(account + QPoint(282, 20));
    QTest::qWait(1000);

    // The wide blue "open" button of the main page.
    QImage shot = screenshot();
    const QPoint openButton = findOpenButton(shot, QRect(main, MainWindowSize));
    QVERIFY2(openButton.x() >= 0, "no open button on the main page");
    click(openButton);

    const QPoint dialog = findWindow(pid, ParseDialogSize, 10000);
    QVERIFY2(dialog.x() >= 0, "the parse dialog did not open");
    click(dialog + QPoint(100, 62));
    run(QStringLiteral("xdotool"),
        { QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("5"), hash });
    click(dialog + QPoint(658, 62));

    // The file row shows once the service has the torrent's metadata.
    const bool rows = waitForText(QRect(dialog + QPoint(20, 108), QSize(300, 16)), 15000);
    screenshot(artefacts + QStringLiteral("/swarm-parse-dialog.png"));
    QVERIFY2(rows, "no file rows after parsing the swarm resource");

    click(dialog + QPoint(10 + 1 + 720 + 8, 100 + 1 + 7 + 8));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(work.filePath("PlayRecord.dat")), 30000);

    // The video moves on the play page while the service is still fetching.
    QTest::qWait(1500);
    const QRect video(main + QPoint(0, 60), QSize(MainWindowSize.width(), 380));
    const QImage first = screenshot(artefacts + QStringLiteral("/swarm-playing-1.png")).copy(video);
    QTest::qWait(1500);
    const QImage second
        = screenshot(artefacts + QStringLiteral("/swarm-playing-2.png")).copy(video);
    QVERIFY2(first != second, "the picture did not change while playing");
    int coloured = 0;
    for (int x = 0; x < second.width(); x += 8)
        for (int y = 0; y < second.height(); y += 8)
            coloured += QColor(second.pixel(x, y)).saturation() > 120 ? 1 : 0;
    QVERIFY2(coloured > 200, "no video picture on the play page");

    const QJsonArray records
        = QJsonDocument::fromJson(readFileBytes(work.filePath("PlayRecord.dat"))).array();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().toObject().value("resource_hash").toString(), hash);
    QCOMPARE(records.first().toObject().value("file_name").toString(),
        QStringLiteral("Tavrion群集演示.mp4"));

    tavrion.terminate();
    if (!tavrion.waitForFinished(10000))
        tavrion.kill();
    QVERIFY(server.stop());
    QVERIFY(seeder.stop());
}

QTEST_GUILESS_MAIN(TestSwarmRoad)
#include "tst_swarmroad.moc"
