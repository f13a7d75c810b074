// The command line, the hand-over of a resource from a second start (the
// text made from an argument) and the socket round trip with its limits.
#include "app/commandline.h"
#include "app/resourcehandover.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <future>

namespace {

const QString Hash = QStringLiteral("0123456789abcdef0123456789ABCDEF01234567");

// Runs the blocking send on its own thread while this thread's event loop
// lets the receiving side answer.
bool sendWhileServing(const QString &text, int timeoutMs = 5000)
{
    std::future<bool> sent
        = std::async(std::launch::async, [&] { return ResourceHandover::send(text, timeoutMs); });
    while (sent.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        QTest::qWait(10);
    return sent.get();
}

} // namespace

class TestResourceHandover : public QObject
{
    Q_OBJECT

    QTemporaryDir m_runtime;

private slots:
    void initTestCase()
    {
        QFile::setPermissions(
            m_runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
        QCOMPARE(QFileInfo(ResourceHandover::socketPath()).path(), m_runtime.path());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status"); // -1: the program starts
        QTest::addColumn<QString>("resource");
        QTest::addColumn<bool>("dataHome");
        QTest::addColumn<QString>("message"); // part of the output or error
        QTest::newRow("none") << QStringList() << -1 << "" << false << "";
        QTest::newRow("resource") << QStringList { Hash } << -1 << Hash << false << "";
        QTest::newRow("data home first")
            << QStringList { "--data-home", "magnet:?xt" } << -1 << "magnet:?xt" << true << "";
        QTest::newRow("data home after")
            << QStringList { "a.torrent", "--data-home" } << -1 << "a.torrent" << true << "";
        QTest::newRow("dash resource")
            << QStringList { "--", "-x.torrent" } << -1 << "-x.torrent" << false << "";
        QTest::newRow("lone dash is a resource") << QStringList { "-" } << -1 << "-" << false << "";
        QTest::newRow("Qt's options pass")
            << QStringList { "-platform", "xcb", "--style=fusion", "-reverse", Hash } << -1 << Hash
            << false << "";
        QTest::newRow("help wins") << QStringList { Hash, "--help" } << 0 << "" << false
                                   << "usage: tavrion [--data-home] [RESOURCE]";
        QTest::newRow("version") << QStringList { "--version" } << 0 << "" << false
                                 << "tavrion " TAVRION_VERSION "\n";
        QTest::newRow("unknown option") << QStringList { "--verbose" } << 2 << "" << false
                                        << "tavrion: unknown option '--verbose'";
        QTest::newRow("short unknown")
            << QStringList { Hash, "-v" } << 2 << "" << false << "unknown option '-v'";
        QTest::newRow("two resources")
            << QStringList { Hash, "b" } << 2 << "" << false << "unexpected argument 'b'";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        const CommandLine line = CommandLine::parse(arguments);
        QCOMPARE(line.answered ? line.exitStatus : -1, status);
        if (!line.answered) {
            QTEST(line.resource, "resource");
            QTEST(line.userDataFolder, "dataHome");
            return;
        }
        QFETCH(QString, message);
        const QString text = status == 0 ? line.output : line.error;
        QVERIFY2(text.contains(message), qPrintable(text));
        QVERIFY((status == 0 ? line.error : line.output).isEmpty());
        // Errors are one line, for scripts and terminals alike.
        if (status != 0)
            QCOMPARE(text.count(QLatin1Char('\n')), 1);
    }

    void userDataFolderPath_data()
    {
        QTest::addColumn<QByteArray>("dataHome");
        QTest::addColumn<QString>("folder");
        QTest::newRow("set") << QByteArray("/x/data") << "/x/data/tavrion";
        QTest::newRow("unset") << QByteArray() << QDir::homePath() + "/.local/share/tavrion";
        QTest::newRow("relative is ignored")
            << QByteArray("rel") << QDir::homePath() + "/.local/share/tavrion";
    }

    void userDataFolderPath()
    {
        QFETCH(QByteArray, dataHome);
        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        dataHome.isNull() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", dataHome);
        const QString folder = CommandLine::userDataFolderPath();
        qputenv("XDG_DATA_HOME", saved);
        QTEST(folder, "folder");
    }

    void resourceText_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("expected");
        QTest::newRow("hash") << Hash << Hash;
        QTest::newRow("appdata id") << QStringLiteral(" appdata_0123456789abcdef0123456789abcdef\n")
                                    << QStringLiteral("appdata_0123456789abcdef0123456789abcdef");
        // A display name ending in ".torrent" must not turn the link into a path.
        QTest::newRow("magnet") << QStringLiteral("magnet:?xt=urn:btih:") + Hash
                + QStringLiteral("&dn=clip.torrent&tr=udp%3A%2F%2Ft.example%3A80")
                                << Hash;
        QTest::newRow("magnet, second topic")
            << QStringLiteral("magnet:?xt=urn:ed2k:abc&xt=urn:BTIH:") + Hash << Hash;
        QTest::newRow("magnet, base32 only")
            << QStringLiteral("magnet:?xt=urn:btih:ABCDEFGHIJKLMNOPQRSTUVWXYZ234567")
            << QStringLiteral("magnet:?xt=urn:btih:ABCDEFGHIJKLMNOPQRSTUVWXYZ234567");
        QTest::newRow("relative torrent") << QStringLiteral("../films/a b.torrent")
                                          << QStringLiteral("/home/u/films/a b.torrent");
        QTest::newRow("absolute torrent")
            << QStringLiteral("/srv/x.torrent") << QStringLiteral("/srv/x.torrent");
        QTest::newRow("file url") << QStringLiteral("file:///srv/%E5%BD%B1%20a.torrent")
                                  << QStringLiteral("/srv/影 a.torrent");
        QTest::newRow("malformed") << QStringLiteral("nonsense") << QStringLiteral("nonsense");
    }

    void resourceText()
    {
        QFETCH(QString, argument);
        QFETCH(QString, expected);
        QCOMPARE(
            ResourceHandover::resourceText(argument, QStringLiteral("/home/u/work")), expected);
    }

    // Held until ready, passed on in order afterwards; the socket is the
    // owner's alone; a message past the limit is refused; with nobody
    // listening the sender gives up and reports it.
    void roundTrip()
    {
        QVERIFY(!ResourceHandover::send(Hash, 300));

        ResourceHandover handover;
        QVERIFY(handover.listen());
        QCOMPARE(QFileInfo(ResourceHandover::socketPath()).permissions()
                & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
            QFile::Permissions());
        QSignalSpy received(&handover, &ResourceHandover::resourceReceived);

        handover.deliver(QStringLiteral("from the command line"));
        QVERIFY(sendWhileServing(QStringLiteral("first\nline")));
        QTest::qWait(50);
        QCOMPARE(received.count(), 0);

        handover.setReady();
        QVERIFY(sendWhileServing(QStringLiteral("影 ") + Hash));
        QTRY_COMPARE(received.count(), 3);
        QCOMPARE(received.at(0).at(0).toString(), QStringLiteral("from the command line"));
        QCOMPARE(received.at(1).at(0).toString(), QStringLiteral("first line"));
        QCOMPARE(received.at(2).at(0).toString(), QStringLiteral("影 ") + Hash);

        // A peer that streams without ever ending its line is cut off.
        QVERIFY(!ResourceHandover::send(QString(70 * 1024, QLatin1Char('a')), 300));
        QLocalSocket flood;
        flood.connectToServer(ResourceHandover::socketPath());
        QVERIFY(flood.waitForConnected(1000));
        flood.write(QByteArray(70 * 1024, 'a'));
        QTRY_COMPARE(flood.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(received.count(), 3);
    }
};

QTEST_GUILESS_MAIN(TestResourceHandover)
#include "tst_resourcehandover.moc"
