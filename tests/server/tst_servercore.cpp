#include "delivery.h"
#include "formparams.h"
#include "library.h"
#include "nearpeers.h"
#include "passwords.h"
#include "service/serverclient.h"
#include "throttle.h"
#include "videohost.h"

#include <QtTest>

// The service must accept exactly what the client's request core sends; these
// cases parse the client's own encoding and check its signature.
class ServerCoreTest : public QObject
{
    Q_OBJECT

private slots:
    void clientSignatureIsAccepted_data();
    void clientSignatureIsAccepted();
    void changedRequestIsRefused_data();
    void changedRequestIsRefused();
    void malformedEscapesAreRejected_data();
    void malformedEscapesAreRejected();
    void ranges_data();
    void ranges();
    void resourceIds_data();
    void resourceIds();
    void relativePaths_data();
    void relativePaths();
    void passwordsAreSaltedAndVerified();
    void failuresSlowTheNextAttempt();
    void rateLimitCountsPerKeyAndWindow();
    void readerNeedsGoToTheSoonestPeers();
    void needFollowsTheFirstOpenBlock();
};

void ServerCoreTest::clientSignatureIsAccepted_data()
{
    QTest::addColumn<QStringList>("parameters");
    QTest::newRow("file list") << QStringList { "r=www/default/pc", "do=getNewHashFileList",
        "hash=ABCDEF0123456789ABCDEF0123456789ABCDEF01", "_s=pc" };
    QTest::newRow("blanks, & and = in a value") << QStringList { "r=www/default/pc", "do=fav",
        "method=add", "hash=x", "index=3", "name=a b&c=d.mkv", "_s=pc" };
    QTest::newRow("Chinese and plus") << QStringList { "r=www/default/pc", "do=report",
        "method=add", "name=第1集 1+1", "desc=违规内容%20", "_s=pc" };
    QTest::newRow("brackets in keys, empty value") << QStringList { "r=www/user/register",
        "do=register_new", "f[code]=AbC4", "f[username]=a@b.cn", "f[password]=[x]",
        "f[repassword]=[x]", "union_uid=", "_s=pc" };
    QTest::newRow("uppercase sorts before underscore")
        << QStringList { "Zed=1", "_s=pc", "page=1", "persize=100" };
}

void ServerCoreTest::clientSignatureIsAccepted()
{
    QFETCH(QStringList, parameters);
    const std::optional<FormParams> params
        = FormParams::parse(encodeRequestParameters(parameters, true));
    QVERIFY(params);
    QVERIFY(params->hasValidSignature("7c1e4b9a0d3f6e2b8a5c9d0e1f4a7b3c"));
    QVERIFY(!params->hasValidSignature("00000000000000000000000000000000"));
    for (const QString &element : parameters) {
        const QString key = element.section(QLatin1Char('='), 0, 0);
        QCOMPARE(params->value(key), element.section(QLatin1Char('='), 1));
    }
}

void ServerCoreTest::changedRequestIsRefused_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::newRow("one byte of a value") << QByteArray("index=3") << QByteArray("index=4");
    QTest::newRow("one byte of the signature") << QByteArray("sign=") << QByteArray("sign=0");
    QTest::newRow("signature removed") << QByteArray("&sign=") << QByteArray("&nosign=");
    QTest::newRow("element added") << QByteArray("_s=pc") << QByteArray("_s=pc&extra=1");
    QTest::newRow("second signature") << QByteArray("_s=pc") << QByteArray("_s=pc&sign=1");
}

void ServerCoreTest::changedRequestIsRefused()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QByteArray encoded = encodeRequestParameters(
        { "r=www/default/pc", "do=fav", "method=add", "hash=h", "index=3", "name=n", "_s=pc" },
        true);
    QVERIFY(encoded.contains(from));
    encoded.replace(encoded.indexOf(from), from.size(), to);
    const std::optional<FormParams> params = FormParams::parse(encoded);
    QVERIFY(params);
    QVERIFY(!params->hasValidSignature("7c1e4b9a0d3f6e2b8a5c9d0e1f4a7b3c"));
}

void ServerCoreTest::malformedEscapesAreRejected_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::newRow("percent at the end") << QByteArray("a=1&b=%");
    QTest::newRow("one digit") << QByteArray("a=%4");
    QTest::newRow("not hex") << QByteArray("a=%zz");
    QTest::newRow("invalid UTF-8") << QByteArray("a=%FF%FE");
    QTest::newRow("bad key") << QByteArray("%G0=1");
}

void ServerCoreTest::malformedEscapesAreRejected()
{
    QFETCH(QByteArray, raw);
    QVERIFY(!FormParams::parse(raw));
}

void ServerCoreTest::ranges_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("satisfiable");
    QTest::addColumn<bool>("partial");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::newRow("none") << QByteArray() << qint64(1000) << true << false << qint64(0)
                          << qint64(999);
    QTest::newRow("middle") << QByteArray("bytes=100-199") << qint64(1000) << true << true
                            << qint64(100) << qint64(199);
    QTest::newRow("open end") << QByteArray("bytes=900-") << qint64(1000) << true << true
                              << qint64(900) << qint64(999);
    QTest::newRow("suffix") << QByteArray("bytes=-10") << qint64(1000) << true << true
                            << qint64(990) << qint64(999);
    QTest::newRow("suffix longer than file")
        << QByteArray("bytes=-5000") << qint64(1000) << true << true << qint64(0) << qint64(999);
    QTest::newRow("end past the end is clamped") << QByteArray("bytes=990-5000") << qint64(1000)
                                                 << true << true << qint64(990) << qint64(999);
    QTest::newRow("start at the end")
        << QByteArray("bytes=1000-") << qint64(1000) << false << false << qint64(0) << qint64(0);
    QTest::newRow("start past the end") << QByteArray("bytes=5000-6000") << qint64(1000) << false
                                        << false << qint64(0) << qint64(0);
    QTest::newRow("reversed") << QByteArray("bytes=20-10") << qint64(1000) << false << false
                              << qint64(0) << qint64(0);
    QTest::newRow("zero suffix") << QByteArray("bytes=-0") << qint64(1000) << false << false
                                 << qint64(0) << qint64(0);
    QTest::newRow("several ranges")
        << QByteArray("bytes=0-1,5-6") << qint64(1000) << false << false << qint64(0) << qint64(0);
    QTest::newRow("other unit") << QByteArray("items=0-1") << qint64(1000) << false << false
                                << qint64(0) << qint64(0);
    QTest::newRow("huge number") << QByteArray("bytes=99999999999999999999-") << qint64(1000)
                                 << false << false << qint64(0) << qint64(0);
}

void ServerCoreTest::ranges()
{
    QFETCH(QByteArray, header);
    QFETCH(qint64, size);
    QFETCH(bool, satisfiable);
    QFETCH(bool, partial);
    bool isPartial = false;
    const std::optional<ByteRange> range = resolveRange(header.toStdString(), size, &isPartial);
    QCOMPARE(bool(range), satisfiable);
    if (!range)
        return;
    QCOMPARE(isPartial, partial);
    QTEST(qint64(range->first), "first");
    QTEST(qint64(range->last), "last");
}

void ServerCoreTest::resourceIds_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("normalised");
    QTest::newRow("upper-case hash") << "ABCDEF0123456789ABCDEF0123456789ABCDEF01"
                                     << "abcdef0123456789abcdef0123456789abcdef01";
    QTest::newRow("appdata") << "appdata_0123456789ABCDEF0123456789abcdef"
                             << "appdata_0123456789abcdef0123456789abcdef";
    QTest::newRow("39 digits") << "abcdef0123456789abcdef0123456789abcdef0"
                               << "";
    QTest::newRow("not hex") << "zzzzzz0123456789abcdef0123456789abcdef01"
                             << "";
    QTest::newRow("traversal") << "../../../../etc/passwd"
                               << "";
    QTest::newRow("appdata with a slash") << "appdata_0123456789abcdef0123456789abcd/f"
                                          << "";
    QTest::newRow("empty") << ""
                           << "";
}

void ServerCoreTest::resourceIds()
{
    QFETCH(QString, id);
    QTEST(normaliseResourceId(id), "normalised");
}

void ServerCoreTest::relativePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "show/第1集.mp4" << true;
    QTest::newRow("parent") << "show/../../x" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("backslash") << "a\\..\\b" << false;
    QTest::newRow("empty part") << "a//b" << false;
    QTest::newRow("dot") << "./a" << false;
}

void ServerCoreTest::relativePaths()
{
    QFETCH(QString, path);
    QTEST(isSafeRelativePath(path), "safe");
}

void ServerCoreTest::passwordsAreSaltedAndVerified()
{
    const QString first = hashPassword(QStringLiteral("秘密 secret"));
    const QString second = hashPassword(QStringLiteral("秘密 secret"));
    QVERIFY(first != second);
    QVERIFY(!first.contains(QStringLiteral("secret")));
    QVERIFY(verifyPassword(QStringLiteral("秘密 secret"), first));
    QVERIFY(verifyPassword(QStringLiteral("秘密 secret"), second));
    QVERIFY(!verifyPassword(QStringLiteral("秘密 Secret"), first));
    QVERIFY(!verifyPassword(QStringLiteral("秘密 secret"), QStringLiteral("plain")));
    QVERIFY(!verifyPassword(QString(), QStringLiteral("pbkdf2-sha256$x$00$00")));
}

void ServerCoreTest::failuresSlowTheNextAttempt()
{
    // Two free failures, then waits of 1, 2, 4 s capped at 5; an hour
    // without failures forgets the key; a success clears it at once.
    FailureThrottle throttle(2, 1, 5, 3600);
    const std::string key = "a@example.com";
    const struct
    {
        std::int64_t at;
        std::int64_t waitAfter;
    } steps[] = { { 0, 0 }, { 0, 1 }, { 1, 2 }, { 3, 4 }, { 7, 5 }, { 12, 5 } };
    throttle.fail(key, 0);
    for (const auto &step : steps) {
        QCOMPARE(throttle.wait(key, step.at), std::int64_t(0));
        throttle.fail(key, step.at);
        QCOMPARE(throttle.wait(key, step.at), step.waitAfter);
    }
    QCOMPARE(throttle.wait("other", 12), std::int64_t(0));
    QCOMPARE(throttle.wait(key, 12 + 3600), std::int64_t(0));
    throttle.fail(key, 4000);
    throttle.fail(key, 4000);
    throttle.fail(key, 4000);
    QVERIFY(throttle.wait(key, 4000) > 0);
    throttle.succeed(key);
    QCOMPARE(throttle.wait(key, 4000), std::int64_t(0));
}

void ServerCoreTest::rateLimitCountsPerKeyAndWindow()
{
    RateLimit limit(3, 3600);
    for (int i = 0; i < 3; ++i)
        QVERIFY(limit.take("a", 10 + i));
    QVERIFY(!limit.take("a", 20));
    QVERIFY(limit.take("b", 20));
    QVERIFY(!limit.take("a", 10 + 3599));
    QVERIFY(limit.take("a", 10 + 3600));
}

namespace {

// A connection that sent 16 KiB blocks at `rate` for 1.5 s, each `latency`
// after it was asked, then was asked `queued` more that did not come yet;
// read `silent` seconds after its last block, at `*now`.
Delivery delivered(
    double latency, double rate, int queued, double silent, Delivery::Clock::time_point *now)
{
    using Clock = Delivery::Clock;
    const auto seconds = [](double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    const Clock::time_point start {};
    Delivery delivery;
    const int block = 16 * 1024;
    std::int64_t key = 0;
    Clock::time_point at = start;
    for (; at < start + seconds(1.5); at += seconds(block / rate), ++key) {
        delivery.requested(key, block, at - seconds(latency));
        delivery.received(key, block, at);
    }
    for (int i = 0; i < queued; ++i)
        delivery.requested(key + i, block, at);
    *now = at + seconds(silent);
    return delivery;
}

} // namespace

// Which peers may pick the blocks a reader needs: at once only those about as
// soon as the soonest; farther and slower ones, and one with a long queue, as
// the need lies further off; never one silent with requests open.
void ServerCoreTest::readerNeedsGoToTheSoonestPeers()
{
    struct Row
    {
        double latency, rate;
        int queued;
        double silent;
        bool held[3]; // the reader needs the next block at once, in 0.8 s, in 1.2 s
    };
    const Row swarm[] = {
        { 0.16, 2e6, 0, 0, { false, false, false } }, // the soonest
        { 0.06, 1e6, 0, 0, { false, false, false } }, // near, half as fast
        { 0.6, 5e6, 0, 0, { true, false, false } }, // far but fast
        { 0.04, 0.2e6, 0, 0, { true, true, false } }, // near but slow
        { 0.3, 0.5e6, 0, 0, { true, true, false } }, // far and slow
        { 0.06, 1e6, 24, 0, { true, false, false } }, // a queue of 384 KiB ahead
        { 0.05, 2e6, 4, 2.0, { true, true, true } }, // silent with requests open
    };
    const int most = 24 * 16 * 1024;
    std::vector<double> expected;
    for (const Row &row : swarm) {
        Delivery::Clock::time_point now;
        const Delivery delivery = delivered(row.latency, row.rate, row.queued, row.silent, &now);
        expected.push_back(delivery.expected(now, most));
    }
    expected.push_back(Delivery().expected({}, most)); // never measured
    const double needs[] = { 0, 0.8, 1.2 };
    for (int n = 0; n < 3; ++n) {
        const std::vector<bool> held = heldBack(expected, needs[n]);
        QCOMPARE(held.size(), std::size(swarm) + 1);
        for (std::size_t i = 0; i < std::size(swarm); ++i)
            QVERIFY2(
                held[i] == swarm[i].held[n], qPrintable(QStringLiteral("%1 at %2").arg(i).arg(n)));
        QCOMPARE(bool(held.back()), n < 2);
    }
    // Nothing known but silence: nobody is held.
    const double never = expected[6];
    QCOMPARE(heldBack({ never, never }, 0), std::vector<bool>(2, false));
}

// The reader's need follows the first block of its window nobody asked for
// and nobody delivered: asked, delivered, dropped and verified blocks move it.
void ServerCoreTest::needFollowsTheFirstOpenBlock()
{
    NearPeers near;
    NearPeers::Reading reading;
    reading.piece = 10;
    reading.missing = { true, true, false, true }; // piece 12 is there
    reading.pieceBytes = 32 * 1024; // two blocks
    reading.lastPiece = 13;
    reading.lastPieceBytes = 16 * 1024;
    reading.bytesPerSecond = 64 * 1024;
    near.read(reading);
    const auto block = [](int piece, int index) {
        return (std::int64_t(piece) << 32) | std::uint32_t(index * 16 * 1024);
    };
    QCOMPARE(near.needSeconds(), 0.0);
    near.asked(block(10, 0));
    near.asked(block(10, 1));
    QCOMPARE(near.needSeconds(), 0.5); // piece 11 next
    near.asked(block(11, 0));
    near.settled(block(11, 0), true);
    near.asked(block(11, 1));
    QCOMPARE(near.needSeconds(), 1.5); // past piece 12, which is there
    near.asked(block(11, 1)); // a second peer asked too, then dropped it
    near.settled(block(11, 1), false);
    QCOMPARE(near.needSeconds(), 1.5);
    near.settled(block(11, 1), false);
    QCOMPARE(near.needSeconds(), 0.75);
    near.asked(block(11, 1));
    near.asked(block(13, 0)); // the torrent's last piece has one block
    QCOMPARE(near.needSeconds(), 2.0); // all asked: the window's end
    near.settled(block(10, 0), false); // choked before it came
    QCOMPARE(near.needSeconds(), 0.0);
    near.on_piece_pass(lt::piece_index_t(10));
    QCOMPARE(near.needSeconds(), 2.0);
}

QTEST_GUILESS_MAIN(ServerCoreTest)
#include "tst_servercore.moc"
