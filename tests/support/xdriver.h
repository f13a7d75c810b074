#pragma once

// Drives the real program through X with xdotool and ImageMagick, for the
// end-to-end suites that run under Xvfb.
#include <QImage>
#include <QPoint>
#include <QProcessEnvironment>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

class QDataStream;

// Runs a program to its end (30 s at most) and returns its trimmed output.
QString run(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());

// The top-left corner of a visible window of the process with this size,
// or (-1, -1) when none shows within the time.
QPoint findWindow(qint64 pid, const QSize &size, int timeoutMs);

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

// The environment of a program run in its own home: HOME, the XDG folders
// and TMPDIR below `home`, with a private runtime folder (Qt ignores one
// others can read and falls back to a shared one, where other copies of the
// program may hold the lock).
QProcessEnvironment isolatedEnvironment(const QString &home);

// A field of "user.dat": byte count, then the UTF-8 bytes XOR-ed with 0x5A.
void writeScrambled(QDataStream &stream, const QString &text);
