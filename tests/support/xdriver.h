#pragma once

// Drives the real program through X with xdotool and ImageMagick, for the
// end-to-end suites that run under Xvfb.
#include "serverprocess.h"
#include "testdir.h"

#include <QByteArray>
#include <QImage>
#include <QPoint>
#include <QProcessEnvironment>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

class QDataStream;
class QProcess;

// Window sizes of the program, by which findWindow tells its windows apart.
const QSize MainWindowSize(873, 578);
// The parse, downloads, history and favourites dialogs.
const QSize ListDialogSize(831, 466);
const QSize AccountDialogSize(322, 382);
// The parse dialog's first row: where its file name is drawn, and the
// middle of its play button.
const QRect ParseFirstRowName(20, 108, 300, 16);
const QPoint ParseFirstRowPlay(10 + 1 + 720 + 8, 100 + 1 + 7 + 8);

// The first of these programs that is not installed; empty when all are.
QString missingTool(const QStringList &tools);

// Skips the calling test when one of these programs is not installed.
#define SKIP_WITHOUT_TOOLS(...)                                                                    \
    do {                                                                                           \
        const QString missingTool_ = missingTool(__VA_ARGS__);                                     \
        if (!missingTool_.isEmpty())                                                               \
            QSKIP(qPrintable(missingTool_ + QStringLiteral(" is not installed")));                 \
    } while (false)

// <build>/tests/e2e/artefacts, or a folder below it, made when missing:
// where the end-to-end suites keep their screenshots.
QString e2eArtefacts(const QString &subfolder = QString());

// Runs a program to its end (30 s at most) and returns its trimmed output.
QString run(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());

// The top-left corner of a visible window of the process with this size,
// or (-1, -1) when none shows within the time.
QPoint findWindow(qint64 pid, const QSize &size, int timeoutMs);

// How many windows of the process are on the screen (menus count).
int shownWindows(qint64 pid);

// The id of a window whose title matches the regular expression `title`,
// waiting up to timeoutMs; empty when none comes. With onlyVisible, only a
// window on the screen counts.
QString findWindowNamed(const QString &title, int timeoutMs, bool onlyVisible = false);

// Raises the window with this id and presses a key, by its xdotool name, in it.
void keyIn(const QString &window, const QString &name);

void click(const QPoint &at);

// Types text into the focused window.
void type(const QString &text);

// Presses a key by its xdotool name and lets the program react.
void key(const QString &name);

// The whole screen, also saved under `saveAs` when one is given.
QImage screenshot(const QString &saveAs = QString());

// The middle of the main page's wide blue "open" button in a screenshot of
// the main window at `window`: the first run of blue well left of the
// centre line, below the title bar. (-1, -1) when there is none.
QPoint findOpenButton(const QImage &shot, const QRect &window);

// Waits up to timeoutMs for light text (the skin draws text light on dark)
// in an area of the screen, such as the first row of a list.
bool waitForText(const QRect &area, int timeoutMs);

// Prepares a working folder for the demo account's automatic login against
// a service, launched earlier today so that no daily popup covers the
// window; extraConfig is appended to Config.ini.
bool prepareDemoLogin(
    const QString &workDir, const QString &baseAddress, const QByteArray &extraConfig = {});

// What a road starts from: the quick demo library in a folder of its own,
// the real service over it, and a working folder and home for the program
// with the demo account's automatic login. Each step returns false with the
// reason in why().
class DemoRoad
{
public:
    bool makeLibrary();
    bool startServer(
        const QStringList &arguments = { QStringLiteral("--host"), QStringLiteral("127.0.0.1:0") });
    bool prepareLogin(const QByteArray &extraConfig = {});
    // The three steps with the service on one address.
    bool start() { return makeLibrary() && startServer() && prepareLogin(); }

    const char *why() const { return m_why.constData(); }
    QString data() const { return library.filePath(QStringLiteral("data")); }

    QString clip; // the demo clip's hash
    QTemporaryDir library;
    ServerProcess server;
    QTemporaryDir home;
    ScopedWorkingDirectory work;

private:
    QByteArray m_why;
};

// The environment of a program run in its own home: HOME, the XDG folders
// and TMPDIR below `home`, with a private runtime folder (Qt ignores one
// others can read and falls back to a shared one, where other copies of the
// program may hold the lock).
QProcessEnvironment isolatedEnvironment(const QString &home);

// Starts the built program in workDir with the environment given, by
// default isolatedEnvironment(home); false when it does not start.
bool startTavrion(QProcess &process, const QString &workDir, const QString &home,
    const QStringList &arguments = {});
bool startTavrion(QProcess &process, const QString &workDir, const QProcessEnvironment &environment,
    const QStringList &arguments = {});

// Asks the program to end, and kills it when it has not ended in 10 s.
void stopTavrion(QProcess &process);

// Puts away the account dialog that the automatic login shows over the main
// window with its close button; false when no such dialog shows.
bool closeAccountDialog(qint64 pid);

// From the main window at `main`: its open button, then the resource typed
// into the parse dialog and the parse button. Returns the dialog's corner,
// or (-1, -1) with the reason in `problem`. The screen before the click is
// saved under `shotAs` when one is given.
QPoint parseFromMainPage(qint64 pid, const QPoint &main, const QString &resource, QString *problem,
    const QString &shotAs = QString());

// Empty when the play page of the main window at `main` shows a coloured
// picture that moves: two screenshots 1.5 s apart, saved under the names
// given, taken again for up to 30 s while they do not show it (the first
// frames come late on a busy machine). Otherwise what is wrong.
QString videoProblem(const QPoint &main, const QString &firstShot = QString(),
    const QString &secondShot = QString());

// A field of "user.dat": byte count, then the UTF-8 bytes XOR-ed with 0x5A.
void writeScrambled(QDataStream &stream, const QString &text);
