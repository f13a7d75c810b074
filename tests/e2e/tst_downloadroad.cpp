// The download road as a user walks it: the real program against the real
// service and its demo library, driven through X with xdotool. The
// permanent-VIP demo account logs in from saved credentials, parses the demo
// clip's info-hash and presses the first row's download button; the
// downloads dialog opens and the clip arrives in the download folder, byte
// for byte the library's file. Screenshots are kept under
// <build>/tests/e2e/artefacts.
#include "xdriver.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString ClipName = QStringLiteral("Tavrion演示.mp4");

} // namespace

class TestDownloadRoad : public QObject
{
    Q_OBJECT

private slots:
    void parseAndDownload();
};

void TestDownloadRoad::parseAndDownload()
{
    SKIP_WITHOUT_TOOLS({ "xdotool", "import", "ffmpeg" });
    const QString artefacts = e2eArtefacts();
    QVERIFY2(!builtProgram(QStringLiteral("tavrion")).isEmpty(), "tavrion binary not found");

    DemoRoad road;
    QVERIFY2(road.makeLibrary(), road.why());
    QString served;
    for (QDirIterator it(
             road.data() + QStringLiteral("/library"), QDir::Files, QDirIterator::Subdirectories);
         it.hasNext();) {
        if (it.next().endsWith(ClipName))
            served = it.filePath();
    }
    QVERIFY2(!served.isEmpty(), "the clip is not in the library");

    QVERIFY2(road.startServer({ "--host", "127.0.0.1:0", "--host", "127.0.0.1:0" }), road.why());

    // Logged in automatically as the demo account, launched earlier today
    // (no daily popup), downloading into a folder of its own.
    const QString downloads = road.work.filePath(QStringLiteral("downloads"));
    QVERIFY(QDir().mkpath(downloads));
    QVERIFY2(road.prepareLogin("[VideoFile]\nDownloadDirectory=" + downloads.toUtf8() + "\n"),
        road.why());

    QProcess tavrion;
    QVERIFY(startTavrion(tavrion, road.work.path(), road.home.path()));
    const auto stop = qScopeGuard([&] { stopTavrion(tavrion); });
    const qint64 pid = tavrion.processId();

    const QPoint main = findWindow(pid, MainWindowSize, 20000);
    QVERIFY2(main.x() >= 0, "no main window");
    QVERIFY2(closeAccountDialog(pid), "no account dialog");
    QString problem;
    const QPoint dialog = parseFromMainPage(
        pid, main, road.clip, &problem, artefacts + QStringLiteral("/download-main.png"));
    QVERIFY2(dialog.x() >= 0, qPrintable(problem));

    // Rows show once the file name is drawn in the first one.
    const bool rows = waitForText(ParseFirstRowName.translated(dialog), 10000);
    screenshot(artefacts + QStringLiteral("/download-parse.png"));
    QVERIFY2(rows, "no file rows after parsing");

    // The first row's download button.
    click(dialog + QPoint(10 + 1 + 770 + 8, 100 + 1 + 7 + 8));
    const QString target = downloads + QLatin1Char('/') + ClipName;
    for (int waited = 0; waited < 30000 && !QFile::exists(target); waited += 200)
        QTest::qWait(200);
    screenshot(artefacts + QStringLiteral("/download-clicked.png"));
    QVERIFY2(QFile::exists(target), "the clip did not arrive in the download folder");
    QCOMPARE(QDir(downloads).entryList(QDir::Files), QStringList { ClipName });
    QCOMPARE(readFileBytes(target), readFileBytes(served));

    // The downloads dialog is the one window of that size now: the parse
    // dialog closed when the download was handed over.
    QTest::qWait(500);
    const QPoint downloadsDialog = findWindow(pid, ListDialogSize, 5000);
    QVERIFY2(downloadsDialog.x() >= 0, "the downloads dialog is not shown");
    screenshot(artefacts + QStringLiteral("/download-finished.png"))
        .copy(QRect(downloadsDialog, ListDialogSize))
        .save(artefacts + QStringLiteral("/download-dialog.png"));
}

QTEST_GUILESS_MAIN(TestDownloadRoad)
#include "tst_downloadroad.moc"
