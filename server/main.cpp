#include "admin.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <memory>

int main(int argc, char *argv[])
{
    // Only the running service draws (captcha pictures); it never shows a
    // window. The admin commands need no more than QtCore.
    std::unique_ptr<QCoreApplication> application;
    if (argc > 1 && qstrcmp(argv[1], "serve") == 0) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        application = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    return runCommand(QCoreApplication::arguments().mid(1));
}
