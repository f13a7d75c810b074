#include "app/application.h"

#include "app/appsettings.h"
#include "app/startup.h"
#include "mainwindow/dialog.h"

#include <clocale>

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
    // Set after the application object exists: Qt reads the high-DPI attribute
    // only while it is being built, so the program runs unscaled.
    setAttribute(Qt::AA_EnableHighDpiScaling, true);
    setAttribute(Qt::AA_DisableWindowContextHelpButton, true);
    // The video engine refuses any numeric locale but "C"; QApplication has
    // just set the user's.
    std::setlocale(LC_NUMERIC, "C");
    Startup::initResources();
    Startup::installQtTranslation(this);
    Startup::installFontSubstitutions();
    // Message boxes shown before any dialog exists already take the family look.
    Dialog::installSkin();
    connect(this, &QCoreApplication::aboutToQuit, this, &Application::deletePlayerCache);
    AppSettings::initialize(QStringLiteral("Config.ini"));
}

Application::~Application()
{
    AppSettings::release();
}

void Application::deletePlayerCache()
{
    Startup::emptyPlayerCache();
}
