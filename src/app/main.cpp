#include "app/application.h"
#include "app/appsettings.h"
#include "app/commandline.h"
#include "app/resourcehandover.h"
#include "app/startup.h"
#include "mainwindow/mainwindow.h"
#include "mainwindow/mprisservice.h"
#include "platform/sessionplatform.h"
#include "platform/singleinstance.h"
#include "player/aplayercontrol.h"
#include "service/serverclient.h"

#include <QDate>
#include <QDir>
#include <QTimer>

#include <cstdio>
#include <memory>

int main(int argc, char **argv)
{
    const CommandLine commandLine = CommandLine::parse(argc, argv);
    if (commandLine.answered) {
        std::fputs(commandLine.output.toLocal8Bit().constData(), stdout);
        std::fputs(commandLine.error.toLocal8Bit().constData(), stderr);
        return commandLine.exitStatus;
    }
    // A relative .torrent path names a file where the user started us.
    const QString resource = commandLine.resource.isEmpty()
        ? QString()
        : ResourceHandover::resourceText(commandLine.resource, QDir::currentPath());
    const bool folderReady = !commandLine.userDataFolder || Startup::enterUserDataFolder();

    SessionPlatform::choose(argc, argv);
    if (SingleInstance::anotherInstanceRuns(Startup::instanceLockName())) {
        // Only what the warning box needs: no settings, no file moved.
        QApplication app(argc, argv);
        // A resource goes to the running copy; this one ends quietly.
        if (!resource.isEmpty() && ResourceHandover::send(resource))
            return 0;
        Startup::initResources();
        Startup::installQtTranslation(&app);
        Startup::installFontSubstitutions();
        return Startup::showAlreadyRunningWarning();
    }

    Startup::renameLegacyDomainFile();
    Application app(argc, argv);
    trustCertificatesFromEnvironment();
    ResourceHandover handover;
    handover.listen();
    if (!resource.isEmpty())
        handover.deliver(resource);
    // Nothing could be saved there, the shortcut answer included: say so once
    // instead of asking at every start.
    if (folderReady && Startup::workingFolderWritable())
        Startup::runShortcutPrompt();
    else
        Startup::showUnwritableFolderWarning();

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
