#include "app/application.h"
#include "app/appsettings.h"
#include "app/resourcehandover.h"
#include "app/startup.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/mprisservice.h"
#include "platform/sessionplatform.h"
#include "platform/singleinstance.h"
#include "player/aplayercontrol.h"

#include <QDate>
#include <QDir>
#include <QTimer>

#include <memory>

int main(int argc, char **argv)
{
    SessionPlatform::choose(argc, argv);
    if (SingleInstance::anotherInstanceRuns(Startup::instanceLockName())) {
        // Only what the warning box needs: no settings, no file moved.
        QApplication app(argc, argv);
        // A resource goes to the running copy; this one ends quietly.
        const QStringList arguments = app.arguments();
        if (arguments.size() > 1
            && ResourceHandover::send(
                ResourceHandover::resourceText(arguments.at(1), QDir::currentPath())))
            return 0;
        Startup::initResources();
        Startup::installQtTranslation(&app);
        Startup::installFontSubstitutions();
        return Startup::showAlreadyRunningWarning();
    }

    Startup::renameLegacyDomainFile();
    Application app(argc, argv);
    ResourceHandover handover;
    handover.listen();
    if (app.arguments().size() > 1)
        handover.deliver(
            ResourceHandover::resourceText(app.arguments().at(1), QDir::currentPath()));
    Startup::runShortcutPrompt();

    int status = 0;
    try {
        auto window = std::make_unique<MainWindow>();
        QObject::connect(&handover, &ResourceHandover::resourceReceived, window.get(),
            &MainWindow::openResource);
        MprisService::publish(window.get());
        // Shown from inside the event loop: show() may wait for the automatic
        // login, and a quit asked for before the loop runs would be lost,
        // leaving a process without windows that holds the instance lock.
        QTimer::singleShot(0, window.get(), [&window, &handover] {
            window->show();
            AppSettings::instance()->setLastLaunchedDate(QDate::currentDate());
            handover.setReady();
        });
        status = app.exec();
    } catch (const EngineLoadError &) {
        // The user has been told; without an engine there is nothing to run.
        status = EXIT_FAILURE;
    }
    return status;
}
