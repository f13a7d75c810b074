// The main road as a user walks it: the real program against the real
// service and its demo library, driven through X with xdotool. It logs in
// from saved credentials, opens the parse dialog, pastes an info-hash,
// parses, plays the first file and ends on the play page with the video
// moving and the play recorded. Screenshots are kept under
// <build>/tests/e2e/artefacts.
#include "xdriver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestMainRoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pasteParsePlay();

private:
    QString m_artefacts;
};

void TestMainRoad::initTestCase()
{
    SKIP_WITHOUT_TOOLS({ "xdotool", "import", "ffmpeg" });
    m_artefacts = e2eArtefacts();
}

void TestMainRoad::pasteParsePlay()
{
    QVERIFY2(!builtProgram(QStringLiteral("tavrion")).isEmpty(), "tavrion binary not found");

    // The demo library, small and quick, on a service with two addresses; a
    // working folder prepared for automatic login with the demo account,
    // launched earlier today, so no daily popup notice covers the window.
    DemoRoad road;
    QVERIFY2(road.makeLibrary(), road.why());
    QVERIFY2(road.startServer({ "--host", "127.0.0.1:0", "--host", "127.0.0.1:0" }), road.why());
    QVERIFY2(road.prepareLogin(), road.why());

    QProcess tavrion;
    QVERIFY(startTavrion(tavrion, road.work.path(), road.home.path()));
    const qint64 pid = tavrion.processId();

    const QPoint main = findWindow(pid, MainWindowSize, 20000);
    QVERIFY2(main.x() >= 0, "no main window");
    // Logged in automatically: the account dialog shows the account over the
    // main page; its close button puts it away.
    QVERIFY2(closeAccountDialog(pid), "no account dialog");
    QCOMPARE(findWindow(pid, AccountDialogSize, 500), QPoint(-1, -1));

    QString problem;
    const QPoint dialog = parseFromMainPage(pid, main, road.clip, &problem);
    QVERIFY2(dialog.x() >= 0, qPrintable(problem));
    // Rows show once the file name is drawn in the first one.
    QVERIFY2(
        waitForText(ParseFirstRowName.translated(dialog), 10000), "no file rows after parsing");
    screenshot(m_artefacts + QStringLiteral("/parse-dialog.png"))
        .copy(QRect(dialog, ListDialogSize))
        .save(m_artefacts + "/parse-dialog-rows.png");

    click(dialog + ParseFirstRowPlay);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(road.work.filePath("PlayRecord.dat")), 30000);

    // The dialog is gone and the video moves on the play page.
    QTest::qWait(1000);
    QCOMPARE(findWindow(pid, ListDialogSize, 500), QPoint(-1, -1));
    problem = videoProblem(main, m_artefacts + QStringLiteral("/playing-1.png"),
        m_artefacts + QStringLiteral("/playing-2.png"));
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    const QJsonArray records
        = QJsonDocument::fromJson(readFileBytes(road.work.filePath("PlayRecord.dat"))).array();
    QCOMPARE(records.size(), 1);
    const QJsonObject record = records.first().toObject();
    QCOMPARE(record.value("resource_hash").toString(), road.clip);
    QCOMPARE(record.value("resource_index").toInt(), 0);
    QCOMPARE(record.value("file_name").toString(), QStringLiteral("Tavrion演示.mp4"));
    QVERIFY(!record.value("file_hash").toString().isEmpty());

    stopTavrion(tavrion);
}

QTEST_GUILESS_MAIN(TestMainRoad)
#include "tst_mainroad.moc"
