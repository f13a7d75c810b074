// Resume positions and the renewal of addresses that stop working mid-play,
// on real libmpv (no picture) with media made by ffmpeg.
#include "app/appsettings.h"
#include "mediaserver.h"
#include "player/aplayercontrol.h"
#include "player/mpvengine.h"
#include "player/playbackcomfort.h"
#include "player/resumestore.h"
#include "testdir.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

namespace {

QSharedPointer<VideoFileInfo> fileAt(const QString &url, const QString &hash = QStringLiteral("h1"))
{
    auto info = QSharedPointer<VideoFileInfo>::create();
    info->url = url;
    info->hash = hash;
    info->index = 2;
    return info;
}

// Without sound output: an audio device that exists nowhere, so mpv's
// audio output fails at start as on a machine without sound.
const MpvEngine::Options NoSoundOutput
    = { { "ao", "alsa" }, { "audio-device", "alsa/tavrion-none" } };

std::unique_ptr<APlayerControl> makeControl(
    const MpvEngine::Options &options = { { "ao", "null" } })
{
    APlayerControl::setEngineFactory([options] { return std::make_unique<MpvEngine>(options); });
    auto control = std::make_unique<APlayerControl>();
    control->initialize(0);
    return control;
}

bool waitForPlaying(APlayerControl *control)
{
    return QTest::qWaitFor([&] { return control->state() == APlayerControl::Playing; }, 15000);
}

// Plays the file, stops at `at` and leaves it as `how` says.
void playAndLeave(APlayerControl *control, const QString &url, int at, const QString &how)
{
    QVERIFY(control->open(fileAt(url)));
    QVERIFY(waitForPlaying(control));
    control->setPosition(at);
    QTRY_VERIFY_WITH_TIMEOUT(control->position() >= at, 10000);
    // One sample of the position is taken each second.
    QTest::qWait(1300);
    if (how == QLatin1String("stop")) {
        QVERIFY(control->close());
    } else {
        QVERIFY(control->open(fileAt(url, QStringLiteral("other"))));
        QVERIFY(waitForPlaying(control));
        QVERIFY(control->close());
    }
    QTRY_COMPARE(control->state(), int(APlayerControl::Ready));
}

} // namespace

class TestPlaybackComfort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void resumeStoreKeepsNewest();
    void resume_data();
    void resume();
    void positionSurvivesKill();
    void renewal_data();
    void renewal();

private:
    QTemporaryDir m_media;
    QString m_long;
    QString m_noisy;
    QString m_short;
    QString m_overstated;
};

void TestPlaybackComfort::initTestCase()
{
    QVERIFY(m_media.isValid());
    TestMedia::Options clip;
    clip.seconds = 60;
    clip.width = 160;
    clip.height = 90;
    m_long = TestMedia::makeVideo(m_media.path(), QStringLiteral("long.mp4"), clip);
    TestMedia::Options noisy;
    noisy.seconds = 14;
    noisy.noisyVideoKbps = 600;
    m_noisy = TestMedia::makeVideo(m_media.path(), QStringLiteral("noisy.mp4"), noisy);
    TestMedia::Options brief;
    brief.seconds = 4;
    m_short = TestMedia::makeVideo(m_media.path(), QStringLiteral("short.mp4"), brief);
    m_overstated = TestMedia::makeVideo(m_media.path(), QStringLiteral("overstated.mp4"), brief);
    QVERIFY(
        !m_long.isEmpty() && !m_noisy.isEmpty() && !m_short.isEmpty() && !m_overstated.isEmpty());
    QVERIFY(TestMedia::lengthenStatedDuration(m_overstated, 2500));
}

void TestPlaybackComfort::cleanup()
{
    AppSettings::release();
    APlayerControl::setEngineFactory({});
}

void TestPlaybackComfort::resumeStoreKeepsNewest()
{
    ScopedWorkingDirectory work;
    // Unreadable content counts as an empty list and is replaced.
    QVERIFY(writeFileBytes(ResumeStore::fileName(), "{not json"));
    for (int i = 0; i <= ResumeStore::MaximumEntries; ++i)
        QVERIFY(ResumeStore::remember(QString::number(i), 0, 20000 + i, 600000));
    QVERIFY(ResumeStore::remember(QStringLiteral("7"), 0, 30000, 600000));
    const QJsonArray entries
        = QJsonDocument::fromJson(readFileBytes(ResumeStore::fileName())).array();
    QCOMPARE(entries.size(), ResumeStore::MaximumEntries);
    QCOMPARE(entries.first().toObject().value("resource_hash").toString(), QStringLiteral("7"));
    QCOMPARE(ResumeStore::position(QStringLiteral("7"), 0), 30000);
    QCOMPARE(ResumeStore::position(QStringLiteral("0"), 0), 0); // the oldest went
    QCOMPARE(ResumeStore::position(QStringLiteral("7"), 1), 0); // another file of it
    // A finished file forgets its position.
    QVERIFY(ResumeStore::remember(QStringLiteral("7"), 0, 599000, 600000));
    QCOMPARE(ResumeStore::position(QStringLiteral("7"), 0), 0);
}

void TestPlaybackComfort::resume_data()
{
    QTest::addColumn<int>("stopAt");
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("resumes");
    QTest::newRow("stopped at 20 s") << 20000 << "stop" << true << true;
    QTest::newRow("left for another file") << 20000 << "replace" << true << true;
    QTest::newRow("first 10 s") << 6000 << "stop" << true << false;
    QTest::newRow("last 5 %") << 57500 << "stop" << true << false;
    QTest::newRow("setting off") << 20000 << "stop" << false << false;
}

void TestPlaybackComfort::resume()
{
    QFETCH(int, stopAt);
    QFETCH(QString, how);
    QFETCH(bool, enabled);
    QFETCH(bool, resumes);
    ScopedWorkingDirectory work;
    AppSettings::initialize(work.filePath(QStringLiteral("Config.ini")));
    AppSettings::instance()->setResumePlayback(enabled);
    MediaServer server(m_long);
    QVERIFY(server.start());
    auto control = makeControl();
    PlaybackComfort comfort(control.get());
    QSignalSpy resumed(&comfort, &PlaybackComfort::resumed);

    playAndLeave(control.get(), server.url(), stopAt, how);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(resumed.count(), 0);

    QVERIFY(control->open(fileAt(server.url())));
    QVERIFY(waitForPlaying(control.get()));
    QCOMPARE(resumed.count(), resumes ? 1 : 0);
    const int position = control->position();
    if (resumes)
        QVERIFY2(qAbs(position - stopAt) < 2500, qPrintable(QString::number(position)));
    else
        QVERIFY2(position < 3000, qPrintable(QString::number(position)));
    QVERIFY(control->close());
    QTRY_COMPARE(control->state(), int(APlayerControl::Ready));
}

void TestPlaybackComfort::positionSurvivesKill()
{
    // A second copy of this program plays and is killed without warning:
    // what it wrote while playing must be whole and point near where it was.
    ScopedWorkingDirectory work;
    MediaServer server(m_long);
    QVERIFY(server.start());
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("COMFORT_PLAY_URL"), server.url());
    child.setProcessEnvironment(environment);
    child.setWorkingDirectory(work.path());
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(work.filePath(ResumeStore::fileName())), 30000);
    child.kill();
    QVERIFY(child.waitForFinished());
    const int position = ResumeStore::position(QStringLiteral("h1"), 2);
    QVERIFY2(position >= 20000 && position < 32000, qPrintable(QString::number(position)));
}

void TestPlaybackComfort::renewal_data()
{
    QTest::addColumn<QString>("road");
    QTest::addColumn<bool>("sound");
    QTest::newRow("address renewed") << "renewed" << true;
    QTest::newRow("address renewed, no sound output") << "renewed" << false;
    QTest::newRow("host gone for good") << "gone" << true;
    QTest::newRow("file played to its end") << "end" << true;
    QTest::newRow("played to its end, no sound output") << "end" << false;
    QTest::newRow("stated length longer than the streams") << "overstated" << true;
}

void TestPlaybackComfort::renewal()
{
    QFETCH(QString, road);
    QFETCH(bool, sound);
    const bool hostComesBack = road == QLatin1String("renewed");
    const bool toTheEnd = road == QLatin1String("end") || road == QLatin1String("overstated");
    // A bit rate above what the host sends: only the start is cached, so a
    // seek further on needs the host again.
    MediaServer server(road == QLatin1String("end") ? m_short
            : road == QLatin1String("overstated")   ? m_overstated
                                                    : m_noisy);
    if (!toTheEnd)
        server.setThrottle(60000, 200000);
    QVERIFY(server.start());
    auto control = sound ? makeControl() : makeControl(NoSoundOutput);
    PlaybackComfort comfort(control.get());
    QSignalSpy failed(&comfort, &PlaybackComfort::renewalFailed);
    QSignalSpy opened(control.get(), &APlayerControl::onOpenSucceeded);
    QSignalSpy ended(control.get(), &APlayerControl::onEndOfFile);
    QStringList states;
    connect(control.get(), &APlayerControl::onStateChanged, this,
        [&](int o, int n) { states << QStringLiteral("%1>%2").arg(o).arg(n); });
    int renewals = 0;
    comfort.setAddressRenewer([&](const QSharedPointer<VideoFileInfo> &file) {
        ++renewals;
        if (hostComesBack) {
            server.setAnswer(MediaServer::Answer::File);
            file->url = server.url(QStringLiteral("/ftn_handler/renewed"));
        } else {
            file->url = MediaServer::refusedUrl();
        }
        return true;
    });

    QVERIFY(control->open(fileAt(server.url())));
    QVERIFY(waitForPlaying(control.get()));
    if (toTheEnd) {
        // An end where the file ends is no failure.
        QTRY_COMPARE_WITH_TIMEOUT(control->state(), int(APlayerControl::Ready), 20000);
        QCOMPARE(renewals, 0);
        QCOMPARE(states.mid(states.size() - 2), QStringList({ "5>6", "6>0" }));
        QCOMPARE(ended.count(), 1);
        QCOMPARE(failed.count(), 0);
        return;
    }
    // The address expires; the next read of the host fails.
    server.setAnswer(MediaServer::Answer::NotFound);
    control->setPosition(10000);

    if (hostComesBack) {
        QTRY_VERIFY_WITH_TIMEOUT(renewals == 1 && control->position() >= 10500, 30000);
        QCOMPARE(control->state(), int(APlayerControl::Playing));
        QCOMPARE(opened.count(), 1);
        QVERIFY(!states.contains(QStringLiteral("5>6")));
        QVERIFY(server.requests().last().target.endsWith("/renewed"));
        QCOMPARE(failed.count(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 60000);
        QCOMPARE(renewals, PlaybackComfort::MaximumRenewals);
        QCOMPARE(control->state(), int(APlayerControl::Ready));
        QCOMPARE(states.mid(states.size() - 2), QStringList({ "5>6", "6>0" }));
        QTest::qWait(PlaybackComfort::RenewalRetryDelay + 500);
        QCOMPARE(renewals, PlaybackComfort::MaximumRenewals);
    }
    control->close();
    QTRY_COMPARE(control->state(), int(APlayerControl::Ready));
    QCOMPARE(ended.count(), 0);
}

// Started by positionSurvivesKill: plays the file at COMFORT_PLAY_URL from
// 20 s until killed.
static int playUntilKilled(int argc, char **argv)
{
    QApplication app(argc, argv);
    AppSettings::initialize(QStringLiteral("Config.ini"));
    auto control = makeControl();
    PlaybackComfort comfort(control.get());
    control->open(fileAt(QString::fromLocal8Bit(qgetenv("COMFORT_PLAY_URL"))));
    QObject::connect(control.get(), &APlayerControl::onOpenSucceeded, control.get(),
        [&] { control->setPosition(20000); });
    return app.exec();
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("COMFORT_PLAY_URL"))
        return playUntilKilled(argc, argv);
    QApplication app(argc, argv);
    TestPlaybackComfort test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_playbackcomfort.moc"
