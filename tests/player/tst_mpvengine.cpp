// The libmpv engine behind APlayerControl, without a picture, on media made
// with ffmpeg and served by a local HTTP server that checks the cookie.
#include "enginetesttools.h"
#include "mediaserver.h"
#include "player/aplayercontrol.h"
#include "player/mpvengine.h"
#include "testdir.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <mpv/client.h>

#include <cmath>

namespace {
// Everything the wrapper reports, in order.
class Recorder : public QObject
{
public:
    explicit Recorder(APlayerControl *control)
    {
        connect(control, &APlayerControl::onStateChanged, this,
            [this](int o, int n) { states << QStringLiteral("%1>%2").arg(o).arg(n); });
        connect(control, &APlayerControl::onOpenSucceeded, this, [this] { ++opened; });
        connect(control, &APlayerControl::onBuffer, this, [this](int p) { buffers << p; });
    }
    QString last() const { return states.value(states.size() - 1); }
    QStringList states;
    QList<int> buffers;
    int opened = 0;
};
} // namespace

class TestMpvEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void playbackStates();
    void endOfFile();
    void failedOpen_data();
    void failedOpen();
    void olderFileIsIgnored();
    void fileAfterPausedFilePlays_data();
    void fileAfterPausedFilePlays();
    void receiverActsOnOpenSucceeded_data();
    void receiverActsOnOpenSucceeded();
    void throttledServerReportsBuffering();
    void closeDuringHangingOpen();
    void unsafeCookieIsRefused();
    void configMapping_data();
    void configMapping();
    void configReadBack();
    void audioChannels_data();
    void audioChannels();

private:
    APlayerControl *makeControl(MpvEngine::Options options = {});
    QSharedPointer<VideoFileInfo> file(const QString &url, const QString &cookie = {});

    QTemporaryDir m_media;
    QString m_sample;
    QString m_short;
    QString m_noisy;
    std::unique_ptr<APlayerControl> m_control;
};

void TestMpvEngine::initTestCase()
{
    QVERIFY(m_media.isValid());
    // Long enough that a loaded machine does not reach its end mid-test.
    TestMedia::Options sample;
    sample.seconds = 8;
    m_sample = TestMedia::makeVideo(m_media.path(), QStringLiteral("sample.mp4"), sample);
    TestMedia::Options brief;
    brief.seconds = 1;
    m_short = TestMedia::makeVideo(m_media.path(), QStringLiteral("short.mp4"), brief);
    TestMedia::Options noisy;
    noisy.seconds = 6;
    noisy.noisyVideoKbps = 800;
    m_noisy = TestMedia::makeVideo(m_media.path(), QStringLiteral("noisy.mp4"), noisy);
    QVERIFY(!m_sample.isEmpty() && !m_short.isEmpty() && !m_noisy.isEmpty());
}

void TestMpvEngine::cleanup()
{
    dropMpvControl(m_control);
}

APlayerControl *TestMpvEngine::makeControl(MpvEngine::Options options)
{
    options.prepend({ "ao", "null" });
    return makeMpvControl(m_control, options);
}

QSharedPointer<VideoFileInfo> TestMpvEngine::file(const QString &url, const QString &cookie)
{
    auto info = QSharedPointer<VideoFileInfo>::create();
    info->url = url;
    info->comCookie = cookie;
    return info;
}

void TestMpvEngine::playbackStates()
{
    // Commas and semicolons would cut the cookie apart if it went as a
    // header list string.
    const QByteArray cookie = "FTN5K=a1b2, c3; path=/; expires=Thu, 01 Jan 2037 00:00:00 GMT";
    MediaServer server(m_sample);
    server.setRequiredCookie(cookie);
    QVERIFY(server.start());
    APlayerControl *control = makeControl();
    Recorder seen(control);
    QSignalSpy closed(control, &APlayerControl::onClosed);

    auto info = file(server.url(), QString::fromLatin1(cookie));
    QVERIFY(control->open(info));
    QCOMPARE(seen.states, QStringList({ "0>1" }));
    QTRY_COMPARE_WITH_TIMEOUT(seen.last(), QStringLiteral("4>5"), 10000);
    QCOMPARE(seen.states, QStringList({ "0>1", "1>4", "4>5" }));
    QCOMPARE(seen.opened, 1);
    QVERIFY2(std::abs(control->duration() - 8000) < 200,
        qPrintable(QString::number(control->duration())));

    QVERIFY(control->pause());
    QCOMPARE(seen.last(), QStringLiteral("5>2"));
    QTRY_COMPARE(seen.last(), QStringLiteral("2>3"));
    QCOMPARE(control->state(), int(APlayerControl::Paused));
    QVERIFY(control->play());
    QCOMPARE(seen.last(), QStringLiteral("3>4"));
    QTRY_COMPARE(seen.last(), QStringLiteral("4>5"));

    // A seek moves the position without a state change and fetches the
    // rest of the file with a range request that carries the cookie.
    const int before = seen.states.size();
    control->setPosition(2000);
    QTRY_VERIFY(control->position() >= 1900);
    QTest::qWait(200);
    QCOMPARE(seen.states.size(), before);
    QCOMPARE(seen.opened, 1);

    QVERIFY(control->close());
    QCOMPARE(closed.count(), 1);
    QCOMPARE(seen.last(), QStringLiteral("5>6"));
    QTRY_COMPARE(seen.last(), QStringLiteral("6>0"));
    QCOMPARE(control->currentFile(), info);
    QCOMPARE(seen.opened, 1);

    const QList<MediaServer::Request> requests = server.requests();
    QVERIFY(!requests.isEmpty());
    bool sawRange = false;
    for (const MediaServer::Request &request : requests) {
        QCOMPARE(request.header("Cookie"), cookie);
        sawRange = sawRange || request.hasHeader("Range");
    }
    QVERIFY(sawRange);
}

void TestMpvEngine::endOfFile()
{
    MediaServer server(m_short);
    QVERIFY(server.start());
    APlayerControl *control = makeControl();
    Recorder seen(control);
    // The stream is kept in the cache file while it plays.
    ScopedWorkingDirectory work;
    const QString cache = work.filePath(QStringLiteral("cache.mp4"));
    control->setCacheFilePath(cache);
    control->setCacheEnabled(true);
    auto info = file(server.url());
    QVERIFY(control->open(info));
    QTRY_COMPARE_WITH_TIMEOUT(seen.last(), QStringLiteral("6>0"), 15000);
    QVERIFY(QFileInfo(cache).size() > 0);
    QCOMPARE(seen.states, QStringList({ "0>1", "1>4", "4>5", "5>6", "6>0" }));
    QCOMPARE(seen.opened, 1);
    QCOMPARE(control->currentFile(), info);
    QCOMPARE(control->state(), int(APlayerControl::Ready));
}

void TestMpvEngine::failedOpen_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("cookie");
    QTest::addColumn<bool>("refused");
    QTest::newRow("wrong cookie") << int(MediaServer::Answer::File) << "k=wrong" << false;
    QTest::newRow("no cookie") << int(MediaServer::Answer::File) << "" << false;
    QTest::newRow("not found") << int(MediaServer::Answer::NotFound) << "k=right" << false;
    QTest::newRow("connection refused") << int(MediaServer::Answer::File) << "k=right" << true;
}

void TestMpvEngine::failedOpen()
{
    QFETCH(int, answer);
    QFETCH(QString, cookie);
    QFETCH(bool, refused);
    MediaServer server(m_sample);
    server.setRequiredCookie("k=right");
    server.setAnswer(MediaServer::Answer(answer));
    QVERIFY(server.start());
    APlayerControl *control = makeControl();
    Recorder seen(control);
    QVERIFY(control->open(file(refused ? MediaServer::refusedUrl() : server.url(), cookie)));
    QTRY_COMPARE_WITH_TIMEOUT(seen.states, QStringList({ "0>1", "1>0" }), 15000);
    QTest::qWait(100);
    QCOMPARE(seen.states, QStringList({ "0>1", "1>0" }));
    QCOMPARE(seen.opened, 0);
    QCOMPARE(server.requestCount() > 0, !refused);
}

void TestMpvEngine::olderFileIsIgnored()
{
    // The first file is replaced while it opens: its end is not reported
    // as the second file's.
    MediaServer server(m_sample);
    QVERIFY(server.start());
    APlayerControl *control = makeControl();
    Recorder seen(control);
    QVERIFY(control->open(file(server.url(QStringLiteral("/ftn_handler/first")))));
    QVERIFY(control->open(file(server.url(QStringLiteral("/ftn_handler/second")))));
    QTRY_COMPARE_WITH_TIMEOUT(seen.last(), QStringLiteral("4>5"), 10000);
    QTest::qWait(300);
    QCOMPARE(seen.states, QStringList({ "0>1", "1>6", "6>0", "0>1", "1>4", "4>5" }));
    QCOMPARE(seen.opened, 1);
    QVERIFY(server.requests().last().target.endsWith("/second"));

    // And a file replaced while it plays ends before the next one opens.
    seen.states.clear();
    QVERIFY(control->open(file(server.url(QStringLiteral("/ftn_handler/third")))));
    QTRY_COMPARE_WITH_TIMEOUT(seen.last(), QStringLiteral("4>5"), 10000);
    QTest::qWait(300);
    QCOMPARE(seen.states, QStringList({ "5>6", "6>0", "0>1", "1>4", "4>5" }));
    QCOMPARE(seen.opened, 2);
}

void TestMpvEngine::fileAfterPausedFilePlays_data()
{
    QTest::addColumn<bool>("closeFirst");
    QTest::newRow("closed while paused") << true;
    QTest::newRow("replaced while paused") << false;
}

void TestMpvEngine::fileAfterPausedFilePlays()
{
    QFETCH(bool, closeFirst);
    MediaServer server(m_sample);
    QVERIFY(server.start());
    APlayerControl *control = makeControl();
    Recorder seen(control);
    QVERIFY(control->open(file(server.url())));
    QTRY_COMPARE_WITH_TIMEOUT(seen.last(), QStringLiteral("4>5"), 10000);
    QVERIFY(control->pause());
    QTRY_COMPARE(seen.last(), QStringLiteral("2>3"));
    if (closeFirst) {
        QVERIFY(control->close());
        QTRY_COMPARE(seen.last(), QStringLiteral("6>0"));
    }
    seen.states.clear();
    QVERIFY(control->open(file(server.url(QStringLiteral("/ftn_handler/next")))));
    QTRY_COMPARE_WITH_TIMEOUT(seen.last(), QStringLiteral("4>5"), 10000);
    const QStringList opening = { "0>1", "1>4", "4>5" };
    QCOMPARE(seen.states, closeFirst ? opening : QStringList({ "3>6", "6>0" }) + opening);
    QCOMPARE(seen.opened, 2);
}

void TestMpvEngine::receiverActsOnOpenSucceeded_data()
{
    QTest::addColumn<bool>("reopen");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("openedCount");
    QTest::newRow("close") << false << QStringList({ "0>1", "1>6", "6>0" }) << 1;
    QTest::newRow("open another") << true
                                  << QStringList({ "0>1", "1>6", "6>0", "0>1", "1>4", "4>5" }) << 2;
}

void TestMpvEngine::receiverActsOnOpenSucceeded()
{
    // The engine's own steps after onOpenSucceeded must not run on a file
    // that a receiver closed or replaced meanwhile.
    QFETCH(bool, reopen);
    QFETCH(QStringList, expected);
    QFETCH(int, openedCount);
    MediaServer server(m_sample);
    QVERIFY(server.start());
    APlayerControl *control = makeControl();
    Recorder seen(control);
    bool first = true;
    connect(control, &APlayerControl::onOpenSucceeded, this, [&] {
        if (!first) {
            return;
        }
        first = false;
        if (reopen) {
            control->open(file(server.url(QStringLiteral("/ftn_handler/next"))));
        } else {
            control->close();
        }
    });
    QVERIFY(control->open(file(server.url())));
    QTRY_COMPARE_WITH_TIMEOUT(seen.states.size(), expected.size(), 10000);
    QTest::qWait(300);
    QCOMPARE(seen.states, expected);
    QCOMPARE(seen.opened, openedCount);
}

void TestMpvEngine::throttledServerReportsBuffering()
{
    // 800 kbit/s media: the first 200 kB come at once, the rest at 40 kB/s,
    // so playback soon runs dry and waits for the cache to refill.
    MediaServer server(m_noisy);
    server.setThrottle(40000, 200000);
    QVERIFY(server.start());
    APlayerControl *control = makeControl({ { "cache-pause-wait", "1" } });
    Recorder seen(control);
    QVERIFY(control->open(file(server.url())));
    QTRY_COMPARE_WITH_TIMEOUT(seen.last(), QStringLiteral("4>5"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(seen.buffers.contains(100), 20000);
    const int done = seen.buffers.indexOf(100);
    QVERIFY2(done > 0, "no buffering value before 100");
    for (int i = 0; i < done; ++i) {
        QVERIFY(seen.buffers.at(i) >= 0 && seen.buffers.at(i) < 100);
    }
    QVERIFY(control->state() == APlayerControl::Playing
        || control->state() == APlayerControl::Starting);
    QVERIFY(!seen.states.contains(QStringLiteral("5>6")));
}

void TestMpvEngine::closeDuringHangingOpen()
{
    MediaServer server(m_sample);
    server.setAnswer(MediaServer::Answer::Hang);
    QVERIFY(server.start());
    APlayerControl *control = makeControl({ { "network-timeout", "60" } });
    Recorder seen(control);
    QVERIFY(control->open(file(server.url())));
    QTRY_VERIFY(server.requestCount() > 0);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(control->close());
    QTRY_COMPARE_WITH_TIMEOUT(seen.last(), QStringLiteral("6>0"), 10000);
    // Far below the network time-out: the close does not wait for the server.
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(seen.states, QStringList({ "0>1", "1>6", "6>0" }));
    QCOMPARE(seen.opened, 0);
}

void TestMpvEngine::unsafeCookieIsRefused()
{
    APlayerControl *control = makeControl();
    PlayerEngine *engine = control->engine();
    QCOMPARE(engine->setConfig(APlayerControl::CookieId, QStringLiteral("a=1")), 0);
    QCOMPARE(mpvString(control, "http-header-fields"), QStringLiteral("Cookie: a=1"));
    QVERIFY(engine->setConfig(APlayerControl::CookieId, QStringLiteral("a=1\r\nHost: x")) != 0);
    // The earlier cookie is gone too, so nothing stale goes out.
    QCOMPARE(mpvString(control, "http-header-fields"), QString());
}

void TestMpvEngine::configMapping_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QString>("expected");
    // Setting id, value, the mpv property it sets, and what that reads.
    const struct
    {
        const char *tag;
        int id;
        const char *value, *property, *expected;
    } rows[] = {
        { "overlay", 201, "1", "hwdec", "no" },
        { "renderless", 201, "2", "hwdec", "auto-safe" },
        { "evr", 201, "3", "hwdec", "auto-copy-safe" },
        { "4;3", 204, "4;3", "video-aspect-override", "1.333333" },
        { "16;9", 204, "16;9", "video-aspect-override", "1.777778" },
        { "file ratio", 204, "", "video-aspect-override", "-1.000000" },
        { "brightness low", 214, "0", "brightness", "-100" },
        { "brightness mid", 214, "50", "brightness", "0" },
        { "contrast", 215, "60", "contrast", "20" },
        { "saturation clamped", 216, "120", "saturation", "100" },
        { "hue clamped", 217, "-20", "hue", "-100" },
        { "subtitle hidden", 504, "0", "sub-visibility", "no" },
        { "subtitle shown", 504, "1", "sub-visibility", "yes" },
        { "placement up", 507, "0;0;95", "sub-pos", "95" },
        { "placement clamped", 507, "0;0;400", "sub-pos", "150" },
        { "placement left", 507, "0;-2;100", "sub-align-x", "left" },
        { "placement right", 507, "0;3;100", "sub-align-x", "right" },
        { "placement centre", 507, "0;0;100", "sub-align-x", "center" },
        { "font size", 508, "微软雅黑;20;0", "sub-font-size", "60.000000" },
        { "delay earlier", 509, "-500;1000;1000", "sub-delay", "-0.500000" },
        { "delay later", 509, "1500;1000;1000", "sub-delay", "1.500000" },
        { "cache on", 2207, "1", "stream-record", "/tmp/tav-cache.dat" },
    };
    for (const auto &row : rows)
        QTest::newRow(row.tag) << row.id << QString::fromUtf8(row.value) << QString(row.property)
                               << QString(row.expected);
}

void TestMpvEngine::configMapping()
{
    QFETCH(int, id);
    QFETCH(QString, value);
    QFETCH(QString, property);
    QFETCH(QString, expected);
    APlayerControl *control = makeControl();
    control->setCacheFilePath(QStringLiteral("/tmp/tav-cache.dat"));
    QCOMPARE(mpvString(control, "stream-record"), QString());
    QCOMPARE(control->engine()->setConfig(id, value), 0);
    QCOMPARE(mpvString(control, property.toLatin1().constData()), expected);
}

void TestMpvEngine::configReadBack()
{
    ScopedWorkingDirectory work;
    const QString subtitle = work.filePath(QStringLiteral("字幕.srt"));
    QVERIFY(writeFileBytes(subtitle, "1\n00:00:00,000 --> 00:00:02,000\n你好\n\n"));
    MediaServer server(m_sample);
    QVERIFY(server.start());
    APlayerControl *control = makeControl();
    Recorder seen(control);

    // Before any file: placement and font have fields to edit, no subtitle.
    QCOMPARE(control->subtitlePlacement().split(QLatin1Char(';')).size(), 3);
    QVERIFY(control->subtitleFont().split(QLatin1Char(';')).size() >= 2);
    QCOMPARE(control->subtitleFile(), QString());
    QCOMPARE(control->fileAspectRatio(), QString());
    QVERIFY(!control->isImageNormalize());
    control->setImageNormalize(true);
    QVERIFY(control->isImageNormalize());

    QVERIFY(control->open(file(server.url())));
    QTRY_COMPARE_WITH_TIMEOUT(seen.last(), QStringLiteral("4>5"), 10000);
    QCOMPARE(control->fileAspectRatio(), QStringLiteral("16;9"));
    QVERIFY(control->isImageNormalize());
    control->setImageNormalize(false);
    QVERIFY(!control->isImageNormalize());
    control->setImageNormalize(true);
    QVERIFY(control->isImageNormalize());

    // The file's own ratio means no override; another one overrides.
    control->setAspectRatio(QStringLiteral("4;3"));
    QCOMPARE(mpvString(control, "video-aspect-override"), QStringLiteral("1.333333"));
    control->setAspectRatio(control->fileAspectRatio());
    QCOMPARE(mpvString(control, "video-aspect-override"), QStringLiteral("-1.000000"));
    QCOMPARE(control->fileAspectRatio(), QStringLiteral("16;9"));

    control->setSubtitleFile(subtitle);
    QTRY_COMPARE(control->subtitleFile(), subtitle);
    // Loaded again, it replaces itself; a load runs in the background.
    control->setSubtitleFile(subtitle);
    QCOMPARE(control->subtitleFile(), QString());
    QTRY_COMPARE(control->subtitleFile(), subtitle);
    QCOMPARE(mpvString(control, "track-list/count"), QStringLiteral("3"));
    control->setSubtitleFile(QString());
    QCOMPARE(control->subtitleFile(), QString());

    control->setSubtitlePlacement(QStringLiteral("7;-1;98"));
    QCOMPARE(control->subtitlePlacement(), QStringLiteral("7;-1;98"));
    control->setSubtitleFont(QStringLiteral("宋体;20;1;x"));
    QCOMPARE(control->subtitleFont(), QStringLiteral("宋体;20;1;x"));
    QCOMPARE(mpvString(control, "sub-font-size"), QStringLiteral("60.000000"));
    control->close();
}

void TestMpvEngine::audioChannels_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("leftHz");
    QTest::addColumn<int>("rightHz");
    // 0 in a column: both tones on that side (the mix).
    QTest::newRow("stereo") << 0 << TestMedia::LeftToneHz << TestMedia::RightToneHz;
    QTest::newRow("left") << 1 << TestMedia::LeftToneHz << TestMedia::LeftToneHz;
    QTest::newRow("right") << 2 << TestMedia::RightToneHz << TestMedia::RightToneHz;
    QTest::newRow("mix") << 3 << 0 << 0;
}

void TestMpvEngine::audioChannels()
{
    QFETCH(int, mode);
    QFETCH(int, leftHz);
    QFETCH(int, rightHz);
    ScopedWorkingDirectory work;
    const QString pcm = work.filePath(QStringLiteral("out.pcm"));
    MediaServer server(m_sample);
    QVERIFY(server.start());
    APlayerControl *control = makeControl(pcmOutput(pcm));
    Recorder seen(control);
    control->setAudioChannel(mode);
    QVERIFY(control->open(file(server.url())));
    QTRY_COMPARE_WITH_TIMEOUT(seen.last(), QStringLiteral("6>0"), 20000);
    m_control.reset(); // closes the pcm file

    const QByteArray bytes = readFileBytes(pcm);
    QVERIFY2(bytes.size() / 4 > 48000, qPrintable(QString::number(bytes.size() / 4)));
    // One second.
    const QVector<double> left = pcmMiddle(bytes, 0, 48000);
    const QVector<double> right = pcmMiddle(bytes, 1, 48000);
    const auto check = [](const QVector<double> &channel, int expectedHz, const char *side) {
        const double low = toneLevel(channel, TestMedia::LeftToneHz, 48000);
        const double high = toneLevel(channel, TestMedia::RightToneHz, 48000);
        const QString levels = QStringLiteral("%1: %2 Hz %3, %4 Hz %5")
                                   .arg(QLatin1String(side))
                                   .arg(TestMedia::LeftToneHz)
                                   .arg(low)
                                   .arg(TestMedia::RightToneHz)
                                   .arg(high);
        if (expectedHz == TestMedia::LeftToneHz) {
            QVERIFY2(low > 0.05 && high < low / 20, qPrintable(levels));
        } else if (expectedHz == TestMedia::RightToneHz) {
            QVERIFY2(high > 0.05 && low < high / 20, qPrintable(levels));
        } else {
            QVERIFY2(
                low > 0.02 && high > 0.02 && low / high < 2 && high / low < 2, qPrintable(levels));
        }
    };
    check(left, leftHz, "left");
    check(right, rightHz, "right");
}

QTEST_MAIN(TestMpvEngine)
#include "tst_mpvengine.moc"
