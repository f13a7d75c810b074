#include "xdriver.h"

#include "testdir.h"

#include <QDataStream>
#include <QDate>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

QString run(const QString &program, const QStringList &arguments, const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

static QStringList shownWindowIds(qint64 pid)
{
    return run(QStringLiteral("xdotool"),
        { QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
            QString::number(pid) })
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int shownWindows(qint64 pid)
{
    return shownWindowIds(pid).size();
}

QPoint findWindow(qint64 pid, const QSize &size, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        for (const QString &id : shownWindowIds(pid)) {
            QMap<QString, int> shell;
            const QString geometry = run(QStringLiteral("xdotool"),
                { QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id });
            for (const QString &line : geometry.split(QLatin1Char('\n')))
                shell.insert(line.section(QLatin1Char('='), 0, 0),
                    line.section(QLatin1Char('='), 1).toInt());
            if (shell.value(QStringLiteral("WIDTH")) == size.width()
                && shell.value(QStringLiteral("HEIGHT")) == size.height())
                return QPoint(shell.value(QStringLiteral("X")), shell.value(QStringLiteral("Y")));
        }
        if (timer.elapsed() >= timeoutMs)
            return QPoint(-1, -1);
        QTest::qWait(200);
    }
}

QString findWindowNamed(const QString &title, int timeoutMs, bool onlyVisible)
{
    QStringList arguments { QStringLiteral("search"), QStringLiteral("--name"), title };
    if (onlyVisible)
        arguments.insert(1, QStringLiteral("--onlyvisible"));
    QElapsedTimer timer;
    timer.start();
    do {
        const QString ids = run(QStringLiteral("xdotool"), arguments);
        if (!ids.isEmpty())
            return ids.section(QLatin1Char('\n'), 0, 0);
        QTest::qWait(100);
    } while (timer.elapsed() < timeoutMs);
    return QString();
}

void keyIn(const QString &window, const QString &name)
{
    run(QStringLiteral("xdotool"),
        { QStringLiteral("windowactivate"), QStringLiteral("--sync"), window });
    run(QStringLiteral("xdotool"), { QStringLiteral("key"), name });
}

void click(const QPoint &at)
{
    run(QStringLiteral("xdotool"),
        { QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
            QStringLiteral("click"), QStringLiteral("1") });
}

void type(const QString &text)
{
    run(QStringLiteral("xdotool"),
        { QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("10"), text });
}

void key(const QString &name)
{
    run(QStringLiteral("xdotool"), { QStringLiteral("key"), name });
    QTest::qWait(300);
}

QImage screenshot(const QString &saveAs)
{
    QTemporaryDir dir;
    const QString path = saveAs.isEmpty() ? dir.filePath(QStringLiteral("shot.png")) : saveAs;
    run(QStringLiteral("import"), { QStringLiteral("-window"), QStringLiteral("root"), path });
    return QImage(path);
}

void writeScrambled(QDataStream &stream, const QString &text)
{
    QByteArray bytes = text.toUtf8();
    for (char &byte : bytes)
        byte = char(byte ^ 0x5A);
    stream << bytes;
}

bool waitForText(const QRect &area, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    do {
        const QImage shot = screenshot();
        for (int x = area.left(); x <= area.right(); ++x)
            for (int y = area.top(); y <= area.bottom(); ++y)
                if (qGray(shot.pixel(x, y)) > 170)
                    return true;
        QTest::qWait(200);
    } while (timer.elapsed() < timeoutMs);
    return false;
}

bool prepareDemoLogin(
    const QString &workDir, const QString &baseAddress, const QByteArray &extraConfig)
{
    QFile config(workDir + QStringLiteral("/Config.ini"));
    if (!config.open(QIODevice::WriteOnly)
        || config.write("[Application]\nFirstLaunched=false\nLastLaunchedDate="
               + QDate::currentDate().toString(Qt::ISODate).toUtf8()
               + "\n[Account]\nAutoLogin=1\n[Service]\nBaseAddress=" + baseAddress.toUtf8() + "\n"
               + extraConfig)
            < 0)
        return false;
    QFile credentials(workDir + QStringLiteral("/user.dat"));
    if (!credentials.open(QIODevice::WriteOnly))
        return false;
    QDataStream stream(&credentials);
    writeScrambled(stream, QStringLiteral("demo@tavrion.test"));
    writeScrambled(stream, QStringLiteral("tavrion123"));
    return stream.status() == QDataStream::Ok;
}

bool DemoRoad::makeLibrary()
{
    QString error;
    clip = makeQuickDemoLibrary(data(), &error);
    m_why = error.toUtf8();
    return clip.size() == 40;
}

bool DemoRoad::startServer(const QStringList &arguments)
{
    const bool started = server.start(data(), arguments);
    m_why = server.errorOutput().toUtf8();
    return started;
}

bool DemoRoad::prepareLogin(const QByteArray &extraConfig)
{
    m_why = "cannot write the working folder's Config.ini and user.dat";
    return prepareDemoLogin(work.path(), server.baseAddress(), extraConfig);
}

QProcessEnvironment isolatedEnvironment(const QString &home)
{
    const QString runtime = home + QStringLiteral("/run");
    QDir().mkpath(runtime);
    QFile::setPermissions(
        runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("TMPDIR"), home);
    return environment;
}

QPoint findOpenButton(const QImage &shot, const QRect &window)
{
    const int column = window.center().x() - 150;
    for (int y = window.top() + 60; y < window.bottom() - 60; ++y) {
        const QColor colour = shot.pixelColor(column, y);
        if (colour.blue() > 180 && colour.red() < 90)
            return QPoint(window.left() + window.width() / 2, y + 10);
    }
    return QPoint(-1, -1);
}

QString missingTool(const QStringList &tools)
{
    for (const QString &tool : tools) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            return tool;
    }
    return QString();
}

QString e2eArtefacts(const QString &subfolder)
{
    QString path
        = qEnvironmentVariable("TAVRION_BUILD_DIR") + QStringLiteral("/tests/e2e/artefacts");
    if (!subfolder.isEmpty())
        path += QLatin1Char('/') + subfolder;
    QDir().mkpath(path);
    return path;
}

bool startTavrion(
    QProcess &process, const QString &workDir, const QString &home, const QStringList &arguments)
{
    return startTavrion(process, workDir, isolatedEnvironment(home), arguments);
}

bool startTavrion(QProcess &process, const QString &workDir, const QProcessEnvironment &environment,
    const QStringList &arguments)
{
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workDir);
    process.start(builtProgram(QStringLiteral("tavrion")), arguments);
    return process.waitForStarted();
}

void stopTavrion(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(10000))
        process.kill();
}

bool closeAccountDialog(qint64 pid)
{
    const QPoint account = findWindow(pid, AccountDialogSize, 10000);
    if (account.x() < 0)
        return false;
    click(account + QPoint(282, 20));
    QTest::qWait(1000);
    return true;
}

QPoint parseFromMainPage(qint64 pid, const QPoint &main, const QString &resource, QString *problem,
    const QString &shotAs)
{
    const QPoint openButton = findOpenButton(screenshot(shotAs), QRect(main, MainWindowSize));
    if (openButton.x() < 0) {
        *problem = QStringLiteral("no open button on the main page");
        return openButton;
    }
    click(openButton);
    const QPoint dialog = findWindow(pid, ListDialogSize, 10000);
    if (dialog.x() < 0) {
        *problem = QStringLiteral("the parse dialog did not open");
        return dialog;
    }
    click(dialog + QPoint(100, 62));
    run(QStringLiteral("xdotool"),
        { QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("5"), resource });
    click(dialog + QPoint(658, 62));
    return dialog;
}

QString videoProblem(const QPoint &main, const QString &firstShot, const QString &secondShot)
{
    const QRect video(main + QPoint(0, 60), QSize(MainWindowSize.width(), 380));
    const QDeadlineTimer deadline(30000);
    QString problem;
    do {
        const QImage first = screenshot(firstShot).copy(video);
        QTest::qWait(1500);
        const QImage second = screenshot(secondShot).copy(video);
        int coloured = 0;
        for (int x = 0; x < second.width(); x += 8)
            for (int y = 0; y < second.height(); y += 8)
                coloured += QColor(second.pixel(x, y)).saturation() > 120 ? 1 : 0;
        if (first == second)
            problem = QStringLiteral("the picture did not change while playing");
        else if (coloured <= 200)
            problem = QStringLiteral("no video picture on the play page");
        else
            return QString();
    } while (!deadline.hasExpired());
    return problem;
}
