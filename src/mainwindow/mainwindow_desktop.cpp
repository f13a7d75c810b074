// The main window's side of desktop integration: resources handed in from
// the command line or a second start.
#include "mainwindow/mainwindow.h"

#include "resource/btresourceparsedialog.h"

void MainWindow::openResource(const QString &text)
{
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
    openURLPushButton_clicked();
    m_parseDialog->raise();
    m_parseDialog->activateWindow();
    m_parseDialog->parseResource(text);
}
