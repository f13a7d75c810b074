// The main window's preferences: the settings and subtitle dialogs, the
// clipboard monitor and the boss key.

#include "mainwindow/mainwindow.h"

#include "account/useraccountdialog.h"
#include "account/usersession.h"
#include "app/appsettings.h"
#include "platform/globalhotkey.h"
#include "player/aplayercontrol.h"
#include "preferences/settingsdialog.h"
#include "preferences/subtitlesettingdialog.h"
#include "resource/btresourceparsedialog.h"

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <utility>

void MainWindow::openSettingsDialog()
{
    centreAndShow(recreateDialog(m_settingsDialog));
}

void MainWindow::openSubtitleSettingDialog()
{
    centreAndShow(recreateDialog(m_subtitleSettingDialog));
}

void MainWindow::setClipboardMonitorRunning(bool running)
{
    if (!m_clipboardMonitorTimer) {
        if (!running)
            return;
        m_clipboardMonitorTimer = new QTimer(this);
        connect(m_clipboardMonitorTimer, &QTimer::timeout, this,
            &MainWindow::clipboardMonitorTimer_timeout);
    }
    if (running)
        m_clipboardMonitorTimer->start(1000);
    else
        m_clipboardMonitorTimer->stop();
}

void MainWindow::clipboardMonitorTimer_timeout()
{
    // Text copied while nobody is logged in or the monitor is off is not
    // remembered: it is acted on once both allow it.
    if (!UserSession::instance()->isLoggedIn() || !AppSettings::instance()->isClipboardMonitor())
        return;
    // Images and other non-text contents read as empty text.
    const QString text = QGuiApplication::clipboard()->text(QClipboard::Clipboard);
    if (!m_clipboardWatch.isNewResourceText(text))
        return;
    openURLPushButton_clicked();
    // The whole text goes in and the dialog finds the resource in it. A text
    // longer than the field takes would be cut, perhaps before the id, so
    // then the id alone goes in.
    auto *edit = m_parseDialog->findChild<QLineEdit *>(QStringLiteral("resourceLineEdit"));
    edit->setText(text.size() <= edit->maxLength() ? text : ClipboardWatch::resourceIdIn(text));
    m_parseDialog->findChild<QPushButton *>(QStringLiteral("parsePushButton"))->click();
}

void MainWindow::registerBossKey()
{
    m_bossKey = new GlobalHotKey('D', this);
    connect(m_bossKey, &GlobalHotKey::activated, this, &MainWindow::bossKey_activated);
}

void MainWindow::bossKey_activated()
{
    if (!isVisible()) {
        // Back where it was: a window shown again without a position of
        // its own would be placed anew by the window manager.
        if (m_bossHidden && !(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)))
            setGeometry(m_bossGeometry);
        show();
        const int state = m_player->state();
        if (state == APlayerControl::Pausing || state == APlayerControl::Paused)
            m_player->play();
        return;
    }
    hideForBossKey();
    const int state = m_player->state();
    if (state == APlayerControl::Starting || state == APlayerControl::Playing)
        m_player->pause();
}

void MainWindow::hideForBossKey()
{
    m_bossGeometry = geometry();
    m_bossHiddenWindows.clear();
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (window == this || !window->isVisible())
            continue;
        // Windows come back with the window. Menus and tips close for good,
        // and so does a modal box: hiding it ends its run as if answered.
        // The login dialog is run again by the start that waits for it.
        const Qt::WindowType type = window->windowType();
        const bool login = window == m_userAccountDialog;
        if (type != Qt::Popup && type != Qt::ToolTip && (login || !window->isModal()))
            m_bossHiddenWindows.append(window);
        window->hide();
    }
    m_bossHidden = true;
    hide();
}

void MainWindow::restoreAfterBossKey()
{
    m_bossHidden = false;
    const auto windows = std::exchange(m_bossHiddenWindows, {});
    for (const QPointer<QWidget> &window : windows) {
        const bool loginRunsAgain
            = m_loginWaitsForWindow && window.data() == m_userAccountDialog.data();
        if (window && !loginRunsAgain)
            window->show();
    }
    if (m_loginWaitsForWindow)
        m_loginWaitsForWindow->quit();
}
