#include "app/application.h"
#include "app/appsettings.h"
#include "app/startup.h"
#include "mainwindow/mainwindow.h"
#include "platform/singleinstance.h"
#include "player/aplayercontrol.h"

#include <QDate>

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
        window->show();
        AppSettings::instance()->setLastLaunchedDate(QDate::currentDate());
        status = app.exec();
    } catch (const EngineLoadError &) {
        // The user has been told; without an engine there is nothing to run.
        status = EXIT_FAILURE;
    }
    return status;
}
