// The next episode: which file follows in a resource, and when the main
// window (with a scripted engine) counts down to it, starts it or lets it be.
#include "app/appsettings.h"
#include "guitest.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/nextepisodecountdown.h"
#include "player/aplayercontrol.h"
#include "player/nextepisode.h"
#include "scriptedengine.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

namespace {

QList<QSharedPointer<VideoFileInfo>> filesNamed(const QStringList &names)
{
    QList<QSharedPointer<VideoFileInfo>> files;
    for (int i = 0; i < names.size(); ++i) {
        auto file = QSharedPointer<VideoFileInfo>::create();
        file->hash = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
        file->index = uint(i);
        file->name = names.at(i);
        files.append(file);
    }
    return files;
}

} // namespace

class TestNextEpisode : public QObject
{
    Q_OBJECT

private slots:
    void nextInNaturalOrder_data();
    void nextInNaturalOrder();
    void countdown_data();
    void countdown();
};

void TestNextEpisode::nextInNaturalOrder_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("current");
    QTest::addColumn<QString>("next");

    const QStringList series { "第10集.mp4", "第9集.mp4", "第1集.srt", "第1集.mp4", "第2集.mkv" };
    QTest::newRow("9 before 10") << series << 1 << "第10集.mp4";
    QTest::newRow("subtitle skipped") << series << 3 << "第2集.mkv";
    QTest::newRow("last has none") << series << 0 << "";
    QTest::newRow("current not a video") << series << 2 << "";
    QTest::newRow("leading zeros and case") << QStringList { "Show.E02.MP4", "show.e1.mp4",
        "Show.E010.mp4", "notes.txt" } << 1 << "Show.E02.MP4";
    QTest::newRow("long numbers") << QStringList { "ep 100000000000000000002.mp4",
        "ep 100000000000000000001.mp4" }
                                  << 1 << "ep 100000000000000000002.mp4";
    QTest::newRow("folders in names")
        << QStringList { "S2/第1集.mp4", "S1/第2集.mp4", "S1/第1集.mp4" } << 1 << "S2/第1集.mp4";
    QTest::newRow("single file") << QStringList { "movie.mp4" } << 0 << "";
}

void TestNextEpisode::nextInNaturalOrder()
{
    QFETCH(QStringList, names);
    QFETCH(int, current);
    QFETCH(QString, next);
    const QSharedPointer<VideoFileInfo> found = NextEpisode::after(filesNamed(names), current);
    QCOMPARE(found ? found->name : QString(), next);
}

void TestNextEpisode::countdown_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("counts"); // the countdown shows
    QTest::addColumn<bool>("starts"); // episode 2 is started

    QTest::newRow("played to its end") << "end" << true << true;
    QTest::newRow("setting off") << "setting off" << false << false;
    QTest::newRow("stopped by the user") << "stop" << false << false;
    QTest::newRow("cut short") << "cut short" << false << false;
    QTest::newRow("last episode") << "last" << false << false;
    QTest::newRow("Escape cancels") << "escape" << true << false;
    QTest::newRow("click on the page cancels") << "click" << true << false;
    QTest::newRow("stop button cancels") << "stop button" << true << false;
    QTest::newRow("another file opens") << "open" << true << false;
}

void TestNextEpisode::countdown()
{
    QFETCH(QString, how);
    QFETCH(bool, counts);
    QFETCH(bool, starts);

    ScriptedEngine *engine = nullptr;
    StartedMainWindow started(scriptedEngines(&engine));
    MainWindow *window = started.window();
    auto *countdown = window->findChild<NextEpisodeCountdown *>();
    QVERIFY(countdown);
    countdown->setCountdownSeconds(1);
    const auto files = filesNamed({ "第1集.mp4", "第1集.srt", "第2集.mp4" });
    QStringList listed;
    countdown->setFileLister([&](const QString &hash) {
        listed << hash;
        return files;
    });
    QStringList played;
    countdown->setStarter([&](const QSharedPointer<VideoFileInfo> &file, QWidget *caller) {
        played << file->name;
        QVERIFY(caller->findChild<QLabel *>(QStringLiteral("messageLabel")));
    });
    QSignalSpy counting(countdown, &NextEpisodeCountdown::countdownStarted);
    AppSettings::instance()->setAutoPlayNext(how != QLatin1String("setting off"));

    const QSharedPointer<VideoFileInfo> first = files.at(how == QLatin1String("last") ? 2 : 0);
    APlayerControl::instance->open(first);
    engine->finishOpen();
    if (how == QLatin1String("stop")) {
        APlayerControl::instance->close();
    } else if (how == QLatin1String("cut short")) {
        // Ended without reaching the end: no end-of-file report.
        engine->changeState(APlayerControl::Closing);
        engine->changeState(APlayerControl::Ready);
    } else {
        engine->reachEnd();
    }

    if (counts) {
        QTRY_COMPARE(counting.size(), 1);
        QCOMPARE(listed, QStringList { first->hash });
        QVERIFY(countdown->isVisible());
        QCOMPARE(countdown->nextFile()->name, QStringLiteral("第2集.mp4"));
    }
    if (how == QLatin1String("escape"))
        QTest::keyClick(window, Qt::Key_Escape);
    else if (how == QLatin1String("click"))
        QTest::mouseClick(child<QWidget>(window, "mainPage"), Qt::LeftButton);
    else if (how == QLatin1String("stop button"))
        child<QPushButton>(window, "stopPlayPushButton")->click();
    else if (how == QLatin1String("open"))
        APlayerControl::instance->open(files.at(0));

    QTest::qWait(1500);
    QCOMPARE(played, starts ? QStringList { "第2集.mp4" } : QStringList());
    if (!counts)
        QCOMPARE(counting.size(), 0);
    if (!starts)
        QVERIFY(!countdown->isCounting() && !countdown->isVisible());
}

QTEST_MAIN(TestNextEpisode)
#include "tst_nextepisode.moc"
