#include "platform/sessionplatform.h"

#include <QtTest>

// When the program asks Qt for X11 itself: in Wayland sessions that offer
// X11, unless the user chose a platform.
class TestSessionPlatform : public QObject
{
    Q_OBJECT

private slots:
    void chosenPlatform_data()
    {
        QTest::addColumn<QStringList>("environment"); // NAME=value
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("platform");
        const QStringList none;
        const QStringList wayland { "WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0" };
        QTest::newRow("Wayland session with XWayland") << wayland << none << QByteArray("xcb");
        QTest::newRow("session type only") << QStringList { "XDG_SESSION_TYPE=wayland",
            "DISPLAY=:1" } << none << QByteArray("xcb");
        QTest::newRow("resource argument")
            << wayland << QStringList { "magnet:?xt=abc" } << QByteArray("xcb");
        QTest::newRow("no X server")
            << QStringList { "WAYLAND_DISPLAY=wayland-0" } << none << QByteArray();
        QTest::newRow("X11 session")
            << QStringList { "DISPLAY=:0", "XDG_SESSION_TYPE=x11" } << none << QByteArray();
        QTest::newRow("empty Wayland display")
            << QStringList { "WAYLAND_DISPLAY=", "DISPLAY=:0" } << none << QByteArray();
        QTest::newRow("user chose Wayland")
            << wayland + QStringList { "QT_QPA_PLATFORM=wayland" } << none << QByteArray();
        QTest::newRow("user chose offscreen")
            << wayland + QStringList { "QT_QPA_PLATFORM=offscreen" } << none << QByteArray();
        QTest::newRow("platform argument")
            << wayland << QStringList { "-platform", "wayland" } << QByteArray();
    }

    void chosenPlatform()
    {
        QFETCH(QStringList, environment);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, platform);
        QProcessEnvironment env;
        for (const QString &pair : environment)
            env.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
        QCOMPARE(SessionPlatform::chosenPlatform(env, arguments), platform);
    }
};

QTEST_GUILESS_MAIN(TestSessionPlatform)
#include "tst_sessionplatform.moc"
