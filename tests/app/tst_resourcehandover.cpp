// The hand-over of a resource from a second start: the text made from a
// command-line argument, and the socket round trip with its limits.
#include "app/resourcehandover.h"

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
