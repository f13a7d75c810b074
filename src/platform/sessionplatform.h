#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

// The program needs X11: its global hot key, its native video window and its
// own window moves. In a Wayland session that also offers X11 (XWayland),
// Qt would pick its Wayland platform where one is installed (or fail to
// start where the session asks for Wayland and none is), so the program asks
// for X11 itself, unless the user chose a platform.
namespace SessionPlatform {

// "xcb" when the session is Wayland (WAYLAND_DISPLAY set or XDG_SESSION_TYPE
// "wayland"), DISPLAY is set and neither QT_QPA_PLATFORM nor a "-platform"
// argument chooses a platform; otherwise empty (Qt's own choice stands).
QByteArray chosenPlatform(const QProcessEnvironment &environment, const QStringList &arguments);

// Applies chosenPlatform to this process's environment; call before the
// application object is made.
void choose(int argc, char **argv);

// True when the program runs on X11 in a Wayland session, that is on
// XWayland: there the compositor places the windows, and a window moves only
// when the compositor moves it.
bool runsOnXWayland();

} // namespace SessionPlatform
