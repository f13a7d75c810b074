#include "app/application.h"
#include "app/appsettings.h"
#include "app/startup.h"
#include "mainwindow/mainwindow.h"
#include "platform/singleinstance.h"
#include "player/aplayercontrol.h"

#include <QDate>
#include <QTimer>

#include <memory>

int main(int argc, char **argv)
{
    if (SingleInstance::anotherInstanceRuns(Startup::instanceLockName())) {
        // Only what the warning box needs: no settings, no file moved.
        QApplication app(argc, argv);
        Startup::initResources();
        Startup::installQtTranslation(&app);
        Startup::installFontSubstitutions();
        return Startup::showAlreadyRunningWarning();
    }

    Startup::renameLegacyDomainFile();
    Application app(argc, argv);
    Startup::runShortcutPrompt();

    int status = 0;
    try {
        auto window = std::make_unique<MainWindow>();
        // Shown from inside the event loop: show() may wait for the automatic
        // login, and a quit asked for before the loop runs would be lost,
        // leaving a process without windows that holds the instance lock.
        QTimer::singleShot(0, window.get(), [&window] {
            window->show();
            AppSettings::instance()->setLastLaunchedDate(QDate::currentDate());
        });
        status = app.exec();
    } catch (const EngineLoadError &) {
        // The user has been told; without an engine there is nothing to run.
        status = EXIT_FAILURE;
    }
    return status;
}
