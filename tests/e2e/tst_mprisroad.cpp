// Remote control from the desktop: the real program on a private session
// bus, started with the demo clip's hash, plays the clip; the real
// `playerctl` then reads and drives it the way media keys and panels do.
#include "xdriver.h"

#include <QProcess>
#include <QtTest>

class TestMprisRoad : public QObject
{
    Q_OBJECT

private slots:
    void playerctlDrivesPlayback();
};

void TestMprisRoad::playerctlDrivesPlayback()
{
    SKIP_WITHOUT_TOOLS({ "xdotool", "import", "ffmpeg", "playerctl", "dbus-daemon" });
    QVERIFY2(!builtProgram(QStringLiteral("tavrion")).isEmpty(), "tavrion binary not found");
    DemoRoad road;
    QVERIFY2(road.start(), road.why());

    // A bus of this test's own.
    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
        { QStringLiteral("--session"), QStringLiteral("--nofork"),
            QStringLiteral("--print-address=1") });
    QVERIFY(bus.waitForReadyRead(10000));
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    QVERIFY(!address.isEmpty());

    QProcessEnvironment env = isolatedEnvironment(road.home.path());
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    const auto playerctl = [&env](const QStringList &arguments) {
        return run(QStringLiteral("playerctl"),
            QStringList { QStringLiteral("-p"), QStringLiteral("tavrion") } + arguments, env);
    };

    QProcess tavrion;
    QVERIFY(startTavrion(tavrion, road.work.path(), env, { road.clip }));
    QTRY_COMPARE_WITH_TIMEOUT(
        playerctl({ QStringLiteral("status") }), QStringLiteral("Stopped"), 30000);

    // The argument opened the parse dialog and listed the clip's files.
    const QPoint dialog = findWindow(tavrion.processId(), ListDialogSize, 30000);
    QVERIFY2(dialog.x() >= 0, "the parse dialog did not open");
    // Play the first row once it is listed; the dialog closes when playing starts.
    QElapsedTimer waited;
    waited.start();
    while (playerctl({ QStringLiteral("status") }) != QLatin1String("Playing")
        && waited.elapsed() < 60000) {
        if (findWindow(tavrion.processId(), ListDialogSize, 0).x() >= 0)
            click(dialog + ParseFirstRowPlay);
        QTest::qWait(3000);
    }
    QCOMPARE(playerctl({ QStringLiteral("status") }), QStringLiteral("Playing"));

    QCOMPARE(playerctl({ QStringLiteral("metadata"), QStringLiteral("xesam:title") }),
        QStringLiteral("Tavrion演示.mp4"));
    QVERIFY(playerctl({ QStringLiteral("metadata"), QStringLiteral("mpris:length") }).toLongLong()
        > 1000000);

    playerctl({ QStringLiteral("play-pause") });
    QTRY_COMPARE_WITH_TIMEOUT(
        playerctl({ QStringLiteral("status") }), QStringLiteral("Paused"), 10000);
    playerctl({ QStringLiteral("position"), QStringLiteral("2") });
    QTRY_VERIFY_WITH_TIMEOUT(
        qAbs(playerctl({ QStringLiteral("position") }).toDouble() - 2.0) < 0.5, 10000);
    playerctl({ QStringLiteral("play") });
    QTRY_COMPARE_WITH_TIMEOUT(
        playerctl({ QStringLiteral("status") }), QStringLiteral("Playing"), 10000);

    playerctl({ QStringLiteral("volume"), QStringLiteral("0.25") });
    QTRY_COMPARE_WITH_TIMEOUT(playerctl({ QStringLiteral("volume") }).toDouble(), 0.25, 10000);

    playerctl({ QStringLiteral("stop") });
    QTRY_COMPARE_WITH_TIMEOUT(
        playerctl({ QStringLiteral("status") }), QStringLiteral("Stopped"), 10000);

    stopTavrion(tavrion);
    bus.terminate();
    bus.waitForFinished(5000);
}

QTEST_GUILESS_MAIN(TestMprisRoad)
#include "tst_mprisroad.moc"
