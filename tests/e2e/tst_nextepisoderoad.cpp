// Watching a series and the playing comforts, with the real program against
// the real service and its demo library, driven through X with xdotool.
// Episode 1 of the three-episode resource plays to its end, the countdown
// shows, and episode 2 starts by itself and is recorded. On the clip, the
// speed keys, the screenshot key and the context menu's playing entries.
// Screenshots are kept under <build>/tests/e2e/artefacts.
#include "serverprocess.h"
#include "testdir.h"
#include "xdriver.h"

#include <QDirIterator>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The middle of the picture on the play page.
const QPoint VideoMiddle(436, 290);

QJsonArray records(const QString &workDir)
{
    return QJsonDocument::fromJson(readFileBytes(workDir + "/PlayRecord.dat")).array();
}

QStringList recordedNames(const QString &workDir)
{
    QStringList names;
    for (const QJsonValue &value : records(workDir))
        names << value.toObject().value("file_name").toString();
    return names;
}

} // namespace

class TestNextEpisodeRoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void nextEpisodeStartsByItself();
    void speedScreenshotAndMenu();

private:
    // Starts the program logged in and opens the first row of `resource`;
    // the main window's corner, or (-1, -1).
    QPoint playFirstRow(const QString &resource);

    QString m_artefacts;
    QTemporaryDir m_library;
    QMap<QString, QString> m_resources;
    std::unique_ptr<ServerProcess> m_server;
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<ScopedWorkingDirectory> m_work;
    QProcess m_tavrion;
};

void TestNextEpisodeRoad::initTestCase()
{
    SKIP_WITHOUT_TOOLS({ "xdotool", "import", "ffmpeg" });
    QVERIFY2(!builtProgram(QStringLiteral("tavrion")).isEmpty(), "tavrion binary not found");
    m_artefacts = e2eArtefacts(QStringLiteral("nextepisode"));
    const QString data = m_library.filePath(QStringLiteral("data"));
    QString error;
    QVERIFY2(makeQuickDemoLibrary(data, &error).size() == 40, qPrintable(error));
    m_resources = demoResources(data);
    m_server = std::make_unique<ServerProcess>();
    QVERIFY2(m_server->start(data, { "--host", "127.0.0.1:0", "--host", "127.0.0.1:0" }),
        qPrintable(m_server->errorOutput()));
}

void TestNextEpisodeRoad::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    m_work = std::make_unique<ScopedWorkingDirectory>();
    QVERIFY(prepareDemoLogin(m_work->path(), m_server->baseAddress()));
}

void TestNextEpisodeRoad::cleanup()
{
    stopTavrion(m_tavrion);
    m_work.reset();
    m_home.reset();
}

QPoint TestNextEpisodeRoad::playFirstRow(const QString &resource)
{
    if (!startTavrion(m_tavrion, m_work->path(), m_home->path()))
        return { -1, -1 };
    const qint64 pid = m_tavrion.processId();
    const QPoint main = findWindow(pid, MainWindowSize, 20000);
    if (main.x() < 0 || !closeAccountDialog(pid))
        return { -1, -1 };
    QString problem;
    const QPoint dialog = parseFromMainPage(pid, main, resource, &problem);
    if (dialog.x() < 0 || !waitForText(ParseFirstRowName.translated(dialog), 10000)) {
        qWarning() << "parse failed:" << problem;
        return { -1, -1 };
    }
    click(dialog + ParseFirstRowPlay);
    return main;
}

void TestNextEpisodeRoad::nextEpisodeStartsByItself()
{
    const QString episodes = m_resources.value("episodes");
    const QPoint main = playFirstRow(episodes);
    QVERIFY(main.x() >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(recordedNames(m_work->path()), QStringList { "第1集.mp4" }, 30000);

    // Four seconds of episode 1, then the main page comes back with the
    // countdown over it.
    const auto mainPageShown = [&main] {
        const QColor page = screenshot().pixelColor(main + QPoint(30, 100));
        return qAbs(page.red() - 26) < 6 && qAbs(page.green() - 34) < 6
            && qAbs(page.blue() - 45) < 6;
    };
    QTRY_VERIFY_WITH_TIMEOUT(mainPageShown(), 20000);
    QVERIFY(waitForText(QRect(main + QPoint(260, 440), QSize(350, 40)), 2000));
    screenshot(m_artefacts + "/countdown.png");
    QCOMPARE(recordedNames(m_work->path()), QStringList { "第1集.mp4" });

    // Episode 2 follows by itself, through the same steps as a row's play
    // button: recorded with its file hash, and its picture moves.
    QTRY_COMPARE_WITH_TIMEOUT(
        recordedNames(m_work->path()), (QStringList { "第2集.mp4", "第1集.mp4" }), 30000);
    const QJsonObject second = records(m_work->path()).first().toObject();
    QCOMPARE(second.value("resource_hash").toString(), episodes);
    QVERIFY(!second.value("file_hash").toString().isEmpty());
    const QString problem = videoProblem(main, m_artefacts + "/episode2-1.png");
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestNextEpisodeRoad::speedScreenshotAndMenu()
{
    const QPoint main = playFirstRow(m_resources.value("clip"));
    QVERIFY(main.x() >= 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_work->filePath("PlayRecord.dat")), 30000);
    QTest::qWait(1500);

    // Keys pressed over the video: twice faster, then a screenshot.
    run("xdotool",
        { "mousemove", QString::number(main.x() + VideoMiddle.x()),
            QString::number(main.y() + VideoMiddle.y()) });
    key("c");
    key("c");
    QTest::qWait(300);
    screenshot(m_artefacts + "/speed.png");
    key("s");
    QTest::qWait(500);
    screenshot(m_artefacts + "/screenshot-notice.png");

    // The frame lands in the pictures folder at the video's own size.
    const QString folder = m_home->path() + "/Pictures/Tavrion";
    QStringList shots;
    QTRY_VERIFY_WITH_TIMEOUT(
        !(shots = QDir(folder).entryList({ "*.png" }, QDir::Files)).isEmpty(), 5000);
    QCOMPARE(shots.size(), 1);
    QVERIFY2(
        shots.first().startsWith(QStringLiteral("Tavrion演示_00-00-0")), qPrintable(shots.first()));
    QImageReader reader(folder + "/" + shots.first());
    QCOMPARE(reader.format(), QByteArray("png"));
    QCOMPARE(reader.size(), QSize(320, 180));

    // The context menu's playing entries sit above its last one: from the
    // bottom, "截图", "字幕轨", "音轨" and "播放速度"; each of the last three
    // opens a submenu, a window more of the program on the screen.
    // Three steps more make 1.5x, one of the menu's speeds.
    key("c");
    key("c");
    key("c");
    const QStringList submenus { "subtitle-tracks", "audio-tracks", "speed" };
    for (int up = 3; up <= 5; ++up) {
        run("xdotool",
            { "mousemove", QString::number(main.x() + VideoMiddle.x()),
                QString::number(main.y() + VideoMiddle.y()), "click", "3" });
        QTest::qWait(800);
        for (int i = 0; i < up; ++i)
            key("Up");
        const int menus = shownWindows(m_tavrion.processId());
        key("Right");
        QTRY_COMPARE_WITH_TIMEOUT(shownWindows(m_tavrion.processId()), menus + 1, 3000);
        screenshot(m_artefacts + "/menu-" + submenus.at(up - 3) + ".png");
        key("Escape");
        key("Escape");
    }
}

QTEST_GUILESS_MAIN(TestNextEpisodeRoad)
#include "tst_nextepisoderoad.moc"
