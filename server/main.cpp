#include "admin.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    return runCommand(QCoreApplication::arguments().mid(1));
}
