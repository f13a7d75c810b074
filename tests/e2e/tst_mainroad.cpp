// The main road as a user walks it: the real program against the real
// service and its demo library, driven through X with xdotool. It logs in
// from saved credentials, opens the parse dialog, pastes an info-hash,
// parses, plays the first file and ends on the play page with the video
// moving and the play recorded. Screenshots are kept under
// <build>/tests/e2e/artefacts.
#include "serverprocess.h"
#include "testdir.h"
#include "xdriver.h"

#include <QDataStream>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QSize MainWindowSize(873, 578);
const QSize ParseDialogSize(831, 466);
const QSize AccountDialogSize(322, 382);

} // namespace

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
    for (const char *tool : { "xdotool", "import", "ffmpeg" }) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
    }
    m_artefacts
        = qEnvironmentVariable("TAVRION_BUILD_DIR") + QStringLiteral("/tests/e2e/artefacts");
    QVERIFY(QDir().mkpath(m_artefacts));
}

void TestMainRoad::pasteParsePlay()
{
    const QString program = builtProgram(QStringLiteral("tavrion"));
    QVERIFY2(!program.isEmpty(), "tavrion binary not found");

    // The demo library, small and quick.
    QTemporaryDir library;
    const QString data = library.filePath(QStringLiteral("data"));
    QString makeError;
    const QString clip = makeQuickDemoLibrary(data, &makeError);
    QVERIFY2(clip.size() == 40, qPrintable(makeError));

    ServerProcess server;
    QVERIFY2(server.start(data,
                 { QStringLiteral("--host"), QStringLiteral("127.0.0.1:0"),
                     QStringLiteral("--host"), QStringLiteral("127.0.0.1:0") }),
        qPrintable(server.errorOutput()));

    // A working folder prepared for automatic login with the demo account;
    // launched earlier today, so no daily popup notice covers the window.
    QTemporaryDir home;
    ScopedWorkingDirectory work;
    QVERIFY(prepareDemoLogin(work.path(), server.baseAddress()));

    QProcess tavrion;
    QProcessEnvironment environment = isolatedEnvironment(home.path());
    tavrion.setProcessEnvironment(environment);
    tavrion.setWorkingDirectory(work.path());
    tavrion.start(program, QStringList());
    QVERIFY(tavrion.waitForStarted());
    const qint64 pid = tavrion.processId();

    const QPoint main = findWindow(pid, MainWindowSize, 20000);
    QVERIFY2(main.x() >= 0, "no main window");
    // Logged in automatically: the account dialog shows the account over the
    // main page; its close button puts it away.
    const QPoint account = findWindow(pid, AccountDialogSize, 10000);
    QVERIFY2(account.x() >= 0, "no account dialog");
    click(account + QPoint(282, 20));
    QTest::qWait(1000);
    QCOMPARE(findWindow(pid, AccountDialogSize, 500), QPoint(-1, -1));

    // The wide blue "open" button of the main page.
    QImage shot = screenshot();
    const QPoint openButton = findOpenButton(shot, QRect(main, MainWindowSize));
    QVERIFY2(openButton.x() >= 0, "no open button on the main page");
    click(openButton);

    const QPoint dialog = findWindow(pid, ParseDialogSize, 10000);
    QVERIFY2(dialog.x() >= 0, "the parse dialog did not open");
    click(dialog + QPoint(100, 62));
    run(QStringLiteral("xdotool"),
        { QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("5"), clip });
    click(dialog + QPoint(658, 62));

    // Rows show once the file name is drawn in the first one.
    QVERIFY2(waitForText(QRect(dialog + QPoint(20, 108), QSize(300, 16)), 10000),
        "no file rows after parsing");
    shot = screenshot(m_artefacts + QStringLiteral("/parse-dialog.png"));
    shot.copy(QRect(dialog, ParseDialogSize)).save(m_artefacts + "/parse-dialog-rows.png");

    click(dialog + QPoint(10 + 1 + 720 + 8, 100 + 1 + 7 + 8));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(work.filePath("PlayRecord.dat")), 30000);

    // The dialog is gone and the video moves on the play page.
    QTest::qWait(1000);
    QCOMPARE(findWindow(pid, ParseDialogSize, 500), QPoint(-1, -1));
    const QRect video(main + QPoint(0, 60), QSize(MainWindowSize.width(), 380));
    const QImage first = screenshot(m_artefacts + QStringLiteral("/playing-1.png")).copy(video);
    QTest::qWait(1500);
    const QImage second = screenshot(m_artefacts + QStringLiteral("/playing-2.png")).copy(video);
    QVERIFY2(first != second, "the picture did not change while playing");
    int coloured = 0;
    for (int x = 0; x < second.width(); x += 8)
        for (int y = 0; y < second.height(); y += 8)
            coloured += QColor(second.pixel(x, y)).saturation() > 120 ? 1 : 0;
    QVERIFY2(coloured > 200, "no video picture on the play page");

    const QJsonArray records
        = QJsonDocument::fromJson(readFileBytes(work.filePath("PlayRecord.dat"))).array();
    QCOMPARE(records.size(), 1);
    const QJsonObject record = records.first().toObject();
    QCOMPARE(record.value("resource_hash").toString(), clip);
    QCOMPARE(record.value("resource_index").toInt(), 0);
    QCOMPARE(record.value("file_name").toString(), QStringLiteral("Tavrion演示.mp4"));
    QVERIFY(!record.value("file_hash").toString().isEmpty());

    tavrion.terminate();
    if (!tavrion.waitForFinished(10000))
        tavrion.kill();
}

QTEST_GUILESS_MAIN(TestMainRoad)
#include "tst_mainroad.moc"
