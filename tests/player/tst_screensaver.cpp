// The screen saver is held off while a file plays: a stand-in ScreenSaver
// service on a private session bus (the test runs under dbus-run-session)
// records what the player asks for.
#include "player/aplayercontrol.h"
#include "player/playbackcomfort.h"
#include "scriptedengine.h"
#include "testdir.h"

#include <QDBusConnection>
#include <QTest>

class ScreenSaverStandIn : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public:
    QStringList calls;
    uint next = 0;

public slots:
    uint Inhibit(const QString &application, const QString &reason)
    {
        calls << QStringLiteral("Inhibit %1").arg(++next);
        return application.isEmpty() || reason.isEmpty() ? 0 : next;
    }
    void UnInhibit(uint cookie) { calls << QStringLiteral("UnInhibit %1").arg(cookie); }
};

class TestScreenSaver : public QObject
{
    Q_OBJECT

private slots:
    void heldWhilePlaying();
};

void TestScreenSaver::heldWhilePlaying()
{
    // A connection of its own, as another program on the bus would have.
    QDBusConnection bus
        = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("standin"));
    QVERIFY2(bus.isConnected(), "no session bus: run under dbus-run-session");
    ScreenSaverStandIn standIn;
    QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver")));
    QVERIFY(bus.registerObject(
        QStringLiteral("/org/freedesktop/ScreenSaver"), &standIn, QDBusConnection::ExportAllSlots));

    ScopedWorkingDirectory work;
    ScriptedEngine *engine = nullptr;
    APlayerControl::setEngineFactory(scriptedEngines(&engine));
    APlayerControl control;
    control.initialize(0);
    auto comfort = std::make_unique<PlaybackComfort>(&control);
    auto file = QSharedPointer<VideoFileInfo>::create();
    file->url = QStringLiteral("http://127.0.0.1:1/v");

    control.open(file);
    QTest::qWait(300);
    QCOMPARE(standIn.calls, QStringList()); // opening is not playing
    engine->finishOpen();
    QTRY_COMPARE(standIn.calls, QStringList({ "Inhibit 1" }));
    control.pause();
    QTRY_COMPARE(standIn.calls.size(), 2);
    control.play();
    QTRY_COMPARE(standIn.calls.size(), 3);
    control.close();
    QTRY_COMPARE(standIn.calls.size(), 4);
    // Paused before the service answered: the late hold is given back.
    control.open(file);
    engine->finishOpen();
    control.pause();
    QTRY_COMPARE(standIn.calls.size(), 6);
    control.play();
    QTRY_COMPARE(standIn.calls.size(), 7);
    comfort.reset(); // the program quits while playing
    QTRY_COMPARE(standIn.calls.size(), 8);
    QCOMPARE(standIn.calls,
        QStringList({ "Inhibit 1", "UnInhibit 1", "Inhibit 2", "UnInhibit 2", "Inhibit 3",
            "UnInhibit 3", "Inhibit 4", "UnInhibit 4" }));
    APlayerControl::setEngineFactory({});
}

QTEST_MAIN(TestScreenSaver)
#include "tst_screensaver.moc"
