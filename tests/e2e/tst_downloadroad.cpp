// The download road as a user walks it: the real program against the real
// service and its demo library, driven through X with xdotool. The
// permanent-VIP demo account logs in from saved credentials, parses the demo
// clip's info-hash and presses the first row's download button; the
// downloads dialog opens and the clip arrives in the download folder, byte
// for byte the library's file. Screenshots are kept under
// <build>/tests/e2e/artefacts.
#include "serverprocess.h"
#include "testdir.h"
#include "xdriver.h"

#include <QDataStream>
#include <QDir>
#include <QDirIterator>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QSize MainWindowSize(873, 578);
const QSize DialogSize(831, 466);
const QSize AccountDialogSize(322, 382);
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
    for (const char *tool : { "xdotool", "import", "ffmpeg" }) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
    }
    const QString artefacts
        = qEnvironmentVariable("TAVRION_BUILD_DIR") + QStringLiteral("/tests/e2e/artefacts");
    QVERIFY(QDir().mkpath(artefacts));
    const QString program = builtProgram(QStringLiteral("tavrion"));
    QVERIFY2(!program.isEmpty(), "tavrion binary not found");

    QTemporaryDir library;
    const QString data = library.filePath(QStringLiteral("data"));
    QString makeError;
    const QString clip = makeQuickDemoLibrary(data, &makeError);
    QVERIFY2(clip.size() == 40, qPrintable(makeError));
    QString served;
    for (QDirIterator it(
             data + QStringLiteral("/library"), QDir::Files, QDirIterator::Subdirectories);
         it.hasNext();) {
        if (it.next().endsWith(ClipName))
            served = it.filePath();
    }
    QVERIFY2(!served.isEmpty(), "the clip is not in the library");

    ServerProcess server;
    QVERIFY2(server.start(data, { "--host", "127.0.0.1:0", "--host", "127.0.0.1:0" }),
        qPrintable(server.errorOutput()));

    // Logged in automatically as the demo account, launched earlier today
    // (no daily popup), downloading into a folder of its own.
    QTemporaryDir home;
    ScopedWorkingDirectory work;
    const QString downloads = work.filePath(QStringLiteral("downloads"));
    QVERIFY(QDir().mkpath(downloads));
    QVERIFY(prepareDemoLogin(work.path(), server.baseAddress(),
        "[VideoFile]\nDownloadDirectory=" + downloads.toUtf8() + "\n"));

    QProcess tavrion;
    QProcessEnvironment environment = isolatedEnvironment(home.path());
    tavrion.setProcessEnvironment(environment);
    tavrion.setWorkingDirectory(work.path());
    tavrion.start(program, QStringList());
    QVERIFY(tavrion.waitForStarted());
    const auto stop = qScopeGuard([&] {
        tavrion.terminate();
        if (!tavrion.waitForFinished(10000))
            tavrion.kill();
    });
    const qint64 pid = tavrion.processId();

    const QPoint main = findWindow(pid, MainWindowSize, 20000);
    QVERIFY2(main.x() >= 0, "no main window");
    // Logged in automatically: the account dialog shows the account over the
    // main page; its close button puts it away.
    const QPoint account = findWindow(pid, AccountDialogSize, 10000);
    QVERIFY2(account.x() >= 0, "no account dialog");
    click(account + QPoint(282, 20));
    QTest::qWait(1000);
    // The wide blue "open" button of the main page.
    QImage shot = screenshot(artefacts + QStringLiteral("/download-main.png"));
    const QPoint openButton = findOpenButton(shot, QRect(main, MainWindowSize));
    QVERIFY2(openButton.x() >= 0, "no open button on the main page");
    click(openButton);

    const QPoint dialog = findWindow(pid, DialogSize, 10000);
    QVERIFY2(dialog.x() >= 0, "the parse dialog did not open");
    click(dialog + QPoint(100, 62));
    run("xdotool", { "type", "--delay", "5", clip });
    click(dialog + QPoint(658, 62));

    // Rows show once the file name is drawn in the first one.
    const bool rows = waitForText(QRect(dialog + QPoint(20, 108), QSize(300, 16)), 10000);
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
    const QPoint downloadsDialog = findWindow(pid, DialogSize, 5000);
    QVERIFY2(downloadsDialog.x() >= 0, "the downloads dialog is not shown");
    screenshot(artefacts + QStringLiteral("/download-finished.png"))
        .copy(QRect(downloadsDialog, DialogSize))
        .save(artefacts + QStringLiteral("/download-dialog.png"));
}

QTEST_GUILESS_MAIN(TestDownloadRoad)
#include "tst_downloadroad.moc"
