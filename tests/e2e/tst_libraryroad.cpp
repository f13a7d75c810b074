// The library road as a user walks it: the real program against the real
// service and its demo library, driven through X with xdotool. The history
// plays the demo clip again; the clip becomes a favourite; after a restart
// the favourite plays it. Screenshots are kept under
// <build>/tests/e2e/artefacts.
#include "xdriver.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QSize NamingDialogSize(381, 167);
// Buttons of the main window: the history button of the title bar and the
// favourites button of the bottom bar.
const QPoint HistoryButton(688, 23);
const QPoint FavouritesButton(782, 561);

// Whether the first row of a list dialog shows a name: light text on the
// dark list.
bool firstRowShown(const QPoint &dialog)
{
    const QImage shot = screenshot();
    const QRect name(dialog + QPoint(22, 78), QSize(300, 17));
    for (int x = name.left(); x < name.right(); ++x)
        for (int y = name.top(); y < name.bottom(); ++y)
            if (qGray(shot.pixel(x, y)) > 150)
                return true;
    return false;
}

QJsonObject firstRecord(const QString &workDir)
{
    return QJsonDocument::fromJson(readFileBytes(workDir + "/PlayRecord.dat"))
        .array()
        .first()
        .toObject();
}

} // namespace

class TestLibraryRoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void historyAndFavourites();

private:
    QString m_artefacts;
};

void TestLibraryRoad::initTestCase()
{
    SKIP_WITHOUT_TOOLS({ "xdotool", "import", "ffmpeg" });
    m_artefacts = e2eArtefacts();
}

void TestLibraryRoad::historyAndFavourites()
{
    QVERIFY2(!builtProgram("tavrion").isEmpty(), "tavrion binary not found");

    DemoRoad road;
    QVERIFY2(road.makeLibrary(), road.why());
    QVERIFY2(road.startServer({ "--host", "127.0.0.1:0", "--host", "127.0.0.1:0" }), road.why());
    const QString &clip = road.clip;

    // Logged in automatically as the demo account, launched earlier today
    // (no popup notice), with a history of three plays, the clip first.
    QVERIFY2(road.prepareLogin(), road.why());
    const ScopedWorkingDirectory &work = road.work;
    const QString episodes = demoResources(road.data()).value("episodes");
    QJsonArray history;
    for (const auto &[hash, index, name] :
        { std::tuple<QString, int, QString> { clip, 0, "Tavrion演示.mp4" },
            { episodes, 0, "第1集.mp4" }, { episodes, 1, "第2集.mp4" } })
        history.append(QJsonObject { { "resource_hash", hash }, { "resource_index", index },
            { "file_hash", "" }, { "file_name", name } });
    QVERIFY(writeFileBytes(work.filePath("PlayRecord.dat"), QJsonDocument(history).toJson()));

    QProcess tavrion;
    QVERIFY(startTavrion(tavrion, work.path(), road.home.path()));
    QPoint main = findWindow(tavrion.processId(), MainWindowSize, 20000);
    QVERIFY2(main.x() >= 0, "no main window");
    QTest::qWait(1000);

    // The history from the title bar; the clip plays again from its row.
    click(main + HistoryButton);
    QPoint dialog = findWindow(tavrion.processId(), ListDialogSize, 10000);
    // The program is a child process that fills and closes its dialogs late
    // on a busy machine: the waits on them below are generous.
    QVERIFY2(dialog.x() >= 0, "the play record dialog did not open");
    QTRY_VERIFY_WITH_TIMEOUT(firstRowShown(dialog), 30000);
    screenshot().copy(QRect(dialog, ListDialogSize)).save(m_artefacts + "/play-record-dialog.png");
    click(dialog + QPoint(10 + 1 + 745 + 8, 70 + 1 + 7 + 8));
    QTRY_VERIFY_WITH_TIMEOUT(
        !firstRecord(work.path()).value("file_hash").toString().isEmpty(), 30000);
    QCOMPARE(firstRecord(work.path()).value("resource_hash").toString(), clip);
    QTRY_COMPARE_WITH_TIMEOUT(
        findWindow(tavrion.processId(), ListDialogSize, 0), QPoint(-1, -1), 30000);
    const QString problem = videoProblem(main);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    // While it plays it becomes a favourite, named in the naming dialog.
    click(main + FavouritesButton);
    dialog = findWindow(tavrion.processId(), ListDialogSize, 10000);
    QVERIFY2(dialog.x() >= 0, "the favourites dialog did not open");
    QTest::qWait(500);
    click(dialog + QPoint(12 + 8, 45 + 8));
    const QPoint naming = findWindow(tavrion.processId(), NamingDialogSize, 10000);
    QVERIFY2(naming.x() >= 0, "the naming dialog did not open");
    run("xdotool", { "type", "--delay", "5", "demo favourite" });
    screenshot(m_artefacts + "/naming-dialog-screen.png");
    run("xdotool", { "key", "Return" });
    QTRY_VERIFY_WITH_TIMEOUT(
        findWindow(tavrion.processId(), NamingDialogSize, 200) == QPoint(-1, -1), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(firstRowShown(dialog), 30000);
    screenshot().copy(QRect(dialog, ListDialogSize)).save(m_artefacts + "/collect-dialog.png");

    // A new start of the program plays the clip from the favourites.
    tavrion.terminate();
    QVERIFY(tavrion.waitForFinished(10000));
    QProcess again;
    QVERIFY(startTavrion(again, work.path(), road.home.path()));
    main = findWindow(again.processId(), MainWindowSize, 20000);
    QVERIFY2(main.x() >= 0, "no main window after the restart");
    QTest::qWait(1000);
    click(main + FavouritesButton);
    dialog = findWindow(again.processId(), ListDialogSize, 10000);
    QVERIFY2(dialog.x() >= 0, "the favourites dialog did not open after the restart");
    QTRY_VERIFY_WITH_TIMEOUT(firstRowShown(dialog), 30000);
    click(dialog + QPoint(12 + 1 + 715 + 8, 70 + 1 + 7 + 8));
    QTRY_COMPARE_WITH_TIMEOUT(
        firstRecord(work.path()).value("file_name").toString(), QString("demo favourite"), 30000);
    QCOMPARE(firstRecord(work.path()).value("resource_hash").toString(), clip);
    QTest::qWait(1000);
    QCOMPARE(findWindow(again.processId(), ListDialogSize, 500), QPoint(-1, -1));
    screenshot(m_artefacts + "/favourite-playing.png");

    stopTavrion(again);
}

QTEST_GUILESS_MAIN(TestLibraryRoad)
#include "tst_libraryroad.moc"
