// Speed, frame grabs and tracks of the libmpv engine, on media made with
// ffmpeg: the speed steps, the pitch at double speed, the screenshot file,
// and the track lists of a file with two audio and two subtitle tracks.
#include "enginetesttools.h"
#include "fullfilesystem.h"
#include "mediaserver.h"
#include "player/aplayercontrol.h"
#include "player/mpvengine.h"
#include "player/playbackspeed.h"
#include "player/playertrack.h"
#include "player/screenshot.h"
#include "player/trackchoicestore.h"
#include "testdir.h"

#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <mpv/client.h>

#include <cmath>
#include <limits>

namespace {

QSharedPointer<VideoFileInfo> fileAt(const QString &url, uint index = 0)
{
    auto file = QSharedPointer<VideoFileInfo>::create();
    file->hash = QStringLiteral("89abcdef0123456789abcdef0123456789abcdef");
    file->index = index;
    file->name = QStringLiteral("第1集.mkv");
    file->url = url;
    return file;
}

QStringList labels(const QVector<PlayerTrack> &tracks, PlayerTrack::Kind kind)
{
    QStringList result;
    const QVector<PlayerTrack> ofKind = tracksOfKind(tracks, kind);
    for (int i = 0; i < ofKind.size(); ++i)
        result << trackLabel(ofKind.at(i), i + 1) + (ofKind.at(i).selected ? "*" : "");
    return result;
}

} // namespace

class TestPlayExtras : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void speedSteps_data();
    void speedSteps();
    void doubleSpeedKeepsPitch();
    void screenshotFile_data();
    void screenshotFile();
    void tracksSwitchAndAreRemembered();

private:
    QTemporaryDir m_media;
    QString m_sample;
    QString m_tracks;
    QString m_subtitle;
    QImage m_frame;
    std::unique_ptr<APlayerControl> m_control;
};

void TestPlayExtras::initTestCase()
{
    QVERIFY(m_media.isValid());
    TestMedia::Options options;
    options.seconds = 4;
    m_sample = TestMedia::makeVideo(m_media.path(), QStringLiteral("sample.mp4"), options);
    QVERIFY(!m_sample.isEmpty());

    m_subtitle = m_media.filePath(QStringLiteral("外挂.srt"));
    QVERIFY(writeFileBytes(m_subtitle, "1\n00:00:00,000 --> 00:00:09,000\nhello\n\n"));
    m_tracks = m_media.filePath(QStringLiteral("tracks.mkv"));
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ffmpeg.start(QStringLiteral("ffmpeg"),
        { "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25", "-f", "lavfi",
            "-i", "sine=f=440", "-f", "lavfi", "-i", "sine=f=1000", "-i", m_subtitle, "-i",
            m_subtitle, "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3", "-map", "4", "-t",
            "8", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-c:s", "srt",
            "-metadata:s:a:0", "language=chi", "-metadata:s:a:0", "title=国语", "-metadata:s:s:0",
            "language=eng", m_tracks });
    QVERIFY(ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0);
}

void TestPlayExtras::cleanup()
{
    dropMpvControl(m_control);
}

void TestPlayExtras::speedSteps_data()
{
    QTest::addColumn<double>("from");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<double>("to");
    QTest::addColumn<QString>("text");

    QTest::newRow("one up") << 1.0 << "+" << 1.1 << "1.1x";
    QTest::newRow("one down") << 1.0 << "-" << 0.9 << "0.9x";
    QTest::newRow("ten up, no drift") << 1.0 << "++++++++++" << 2.0 << "2.0x";
    QTest::newRow("top holds") << 3.95 << "++" << 4.0 << "4.0x";
    QTest::newRow("bottom holds") << 0.3 << "--" << 0.25 << "0.25x";
    QTest::newRow("menu speed steps on") << 1.25 << "+" << 1.35 << "1.35x";
    QTest::newRow("out of range comes back") << 9.0 << "" << 4.0 << "4.0x";
    QTest::newRow("not a number is normal")
        << std::numeric_limits<double>::quiet_NaN() << "" << 1.0 << "1.0x";
}

void TestPlayExtras::speedSteps()
{
    QFETCH(double, from);
    QFETCH(QString, steps);
    QFETCH(double, to);
    QFETCH(QString, text);
    double speed = PlaybackSpeed::bounded(from);
    for (const QChar step : steps)
        speed = step == QLatin1Char('+') ? PlaybackSpeed::faster(speed)
                                         : PlaybackSpeed::slower(speed);
    QCOMPARE(speed, to);
    QCOMPARE(PlaybackSpeed::text(speed), text);
    QCOMPARE(PlaybackSpeed::isNormal(speed), text == QLatin1String("1.0x"));
}

void TestPlayExtras::doubleSpeedKeepsPitch()
{
    // The samples written show what the listener would hear.
    ScopedWorkingDirectory work;
    const QString pcm = work.filePath(QStringLiteral("out.pcm"));
    APlayerControl *control = makeMpvControl(m_control, pcmOutput(pcm));
    QVERIFY(control->engine()->setSpeed(2.0) == 0);
    QSignalSpy states(control, &APlayerControl::onStateChanged);
    QVERIFY(openAndWait(control, fileAt(m_sample)));
    QCOMPARE(control->engine()->speed(), 2.0);
    // Length and position stay in the file's own time.
    QVERIFY(std::abs(control->duration() - 4000) < 200);
    QTRY_VERIFY_WITH_TIMEOUT(!states.isEmpty() && states.last().at(1).toInt() == 0, 20000);
    m_control.reset();

    const QByteArray bytes = readFileBytes(pcm);
    const int frames = bytes.size() / 4;
    // Four seconds of file in about two seconds of sound.
    QVERIFY2(frames > 48000 * 1.6 && frames < 48000 * 2.4, qPrintable(QString::number(frames)));
    const QVector<double> left = pcmMiddle(bytes, 0, 24000);
    const double kept = toneLevel(left, TestMedia::LeftToneHz, 48000);
    const double doubled = toneLevel(left, 2 * TestMedia::LeftToneHz, 48000);
    QVERIFY2(kept > 0.05 && doubled < kept / 10,
        qPrintable(QStringLiteral("440 Hz %1, 880 Hz %2").arg(kept).arg(doubled)));
}

void TestPlayExtras::screenshotFile_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("videoName");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char *name, const char *where, const char *video, const char *file) {
        QTest::newRow(name) << QString(where) << QString::fromUtf8(video)
                            << QString::fromUtf8(file);
    };
    row("folder made", "missing", "剧集/第1集.mkv", "第1集_00-00-01.png");
    row("name taken", "taken", "第1集.mkv", "第1集_00-00-01 (2).png");
    row("unfit characters", "missing", "a:b*?\x01.mp4", "a_b____00-00-01.png");
    row("hidden name", "missing", ".mkv", "Tavrion.mkv_00-00-01.png");
    row("folder is a file", "file", "第1集.mkv", "");
    row("disk full", "full", "第1集.mkv", "");
}

void TestPlayExtras::screenshotFile()
{
    QFETCH(QString, where);
    QFETCH(QString, videoName);
    QFETCH(QString, expected);

    // One frame from the engine serves every row: the rows differ in where
    // and under what name it is saved.
    if (m_frame.isNull()) {
        MediaServer server(m_sample);
        QVERIFY(server.start());
        APlayerControl *control = makeMpvControl(m_control);
        QVERIFY(openAndWait(control, fileAt(server.url())));
        control->setPosition(1500);
        QTest::qWait(300);
        m_frame = control->engine()->videoFrame();
        QCOMPARE(m_frame.size(), QSize(320, 180));
    }

    QTemporaryDir pictures;
    QString folder = pictures.filePath(QStringLiteral("Tavrion"));
    std::unique_ptr<FullFileSystem> full;
    if (where == QLatin1String("taken")) {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(writeFileBytes(folder + QStringLiteral("/第1集_00-00-01.png"), "old"));
    } else if (where == QLatin1String("file")) {
        QVERIFY(writeFileBytes(folder, "not a folder"));
    } else if (where == QLatin1String("full")) {
        full = std::make_unique<FullFileSystem>();
        if (!full->isMounted())
            QSKIP(qPrintable(full->reason()));
        folder = full->path() + QStringLiteral("/Tavrion");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(full->fill());
    }
    const QStringList before = QDir(folder).entryList(QDir::Files);

    const Screenshot::Result result = Screenshot::save(m_frame, folder, videoName, 1500);
    QCOMPARE(result.saved, !expected.isEmpty());
    if (expected.isEmpty()) {
        QVERIFY(!result.error.isEmpty());
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), before);
        return;
    }
    QCOMPARE(result.path, QDir(folder).filePath(expected));
    QImageReader reader(result.path);
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage saved = reader.read();
    QCOMPARE(saved.size(), QSize(320, 180));
    // The picture itself, not a blank: the test pattern is colourful.
    QVERIFY(saved.pixelColor(20, 100) != saved.pixelColor(300, 100));
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), before.size() + 1);
}

void TestPlayExtras::tracksSwitchAndAreRemembered()
{
    ScopedWorkingDirectory work;
    MediaServer server(m_tracks);
    QVERIFY(server.start());
    APlayerControl *control = makeMpvControl(m_control);
    PlayerEngine *engine = control->engine();
    const auto file = fileAt(server.url());
    QVERIFY(openAndWait(control, file));

    QVector<PlayerTrack> tracks = engine->tracks();
    QCOMPARE(labels(tracks, PlayerTrack::Audio), (QStringList { "国语 (chi)*", "音轨 2" }));
    QCOMPARE(labels(tracks, PlayerTrack::Subtitle), (QStringList { "eng*", "字幕轨 2" }));

    QVERIFY(TrackChoiceStore::choose(engine, *file, PlayerTrack::Audio, 2));
    QVERIFY(TrackChoiceStore::choose(engine, *file, PlayerTrack::Subtitle, 0));
    QTRY_COMPARE(mpvString(control, "aid"), QStringLiteral("2"));
    QTRY_COMPARE(mpvString(control, "sid"), QStringLiteral("no"));
    QTRY_COMPARE(
        labels(engine->tracks(), PlayerTrack::Audio), (QStringList { "国语 (chi)", "音轨 2*" }));

    // An external subtitle joins the list; choosing it is not remembered.
    control->setSubtitleFile(m_subtitle);
    QTRY_COMPARE(labels(engine->tracks(), PlayerTrack::Subtitle),
        (QStringList { "eng", "字幕轨 2", "外挂.srt*" }));
    QVERIFY(TrackChoiceStore::choose(engine, *file, PlayerTrack::Subtitle, 3));
    QCOMPARE(TrackChoiceStore::choice(file->hash, file->index).subtitle, 0);

    // The same file opened again gets its choice back; another file of the
    // same resource does not.
    for (const uint index : { 0u, 1u }) {
        const auto again = fileAt(server.url(), index);
        QVERIFY(openAndWait(control, again));
        TrackChoiceStore::apply(engine, *again);
        QTRY_COMPARE(mpvString(control, "aid"), index == 0 ? "2" : "1");
        QTRY_COMPARE(mpvString(control, "sid"), index == 0 ? "no" : "1");
    }
}

QTEST_MAIN(TestPlayExtras)
#include "tst_playextras.moc"
