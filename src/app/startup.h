#pragma once

#include <QString>

class QApplication;

// Start-up steps that run outside the application object.
namespace Startup {

// Name of the process-wide single-instance marker.
QString instanceLockName();

// Moves the legacy domain list file to its current name; ignores failures.
void renameLegacyDomainFile();

// Folder where the engine keeps its cache files while a VIP account plays.
QString playerCacheDirectory();

// Removes the plain files of the player cache folder.
void emptyPlayerCache();

// Where the desktop launcher goes.
QString desktopShortcutPath();

// Compiles the embedded images and translations into the running process.
void initResources();

// Loads the Chinese translation of Qt's own texts into `app`.
void installQtTranslation(QApplication *app);

// Maps the skin's font families onto fonts this system has.
void installFontSubstitutions();

// Makes the user's data folder (owner only) when missing and works in it from
// now on; false when it cannot be made or entered.
bool enterUserDataFolder();

// Whether files can be created in the working folder.
bool workingFolderWritable();

// Tells the user that nothing the program saves will be kept.
void showUnwritableFolderWarning();

// Asks once per settings file whether to put a launcher on the desktop.
void runShortcutPrompt();

// The warning shown by a second copy; returns its exit status.
int showAlreadyRunningWarning();

} // namespace Startup
