// The main window's part in the account and the service's notices: the
// announcements of the title bar, the daily popup notice and the account
// dialog that every start (and every return from the boss key) shows.

#include "mainwindow/mainwindow.h"

#include "account/announcements.h"
#include "account/tanchuangdialog.h"
#include "account/useraccountdialog.h"
#include "account/usersession.h"
#include "app/appsettings.h"
#include "service/accountendpoints.h"
#include "ui_mainwindow.h"

#include <QDate>
#include <QEventLoop>
#include <QNetworkReply>
#include <QTextDocument>
#include <QTimer>
#include <QWindow>

#include <utility>

namespace {

// The title alone; escaped into a paragraph only when it would otherwise be
// read as markup.
QString announcementToolTip(const QString &title)
{
    if (!Qt::mightBeRichText(title))
        return title;
    return QStringLiteral("<p style=\"white-space:pre\">%1</p>").arg(title.toHtmlEscaped());
}

} // namespace

void MainWindow::requestAnnouncements()
{
    // The window does not wait for the service: the request goes out first,
    // the window gives it a moment and shows without it, and what arrives
    // within the deadline is shown then.
    const ServerReply reply = startAnnouncementList(AnnouncementDeadline);
    m_announcementReply = reply;
    connect(reply.data(), &QNetworkReply::finished, this, [this] {
        const ServerReply finished = std::exchange(m_announcementReply, {});
        showAnnouncement(announcementListFrom(finished));
    });
    QEventLoop wait;
    connect(reply.data(), &QNetworkReply::finished, &wait, &QEventLoop::quit);
    QTimer::singleShot(AnnouncementWait, &wait, &QEventLoop::quit);
    wait.exec();
}

void MainWindow::showAnnouncement(const AnnouncementResult &result)
{
    // Best effort: a failed or empty list leaves the label empty and silent.
    if (result.status != 1 || result.announcements.isEmpty())
        return;
    const auto first = result.announcements.constBegin();
    ui->announcementLabel->setText(Announcements::labelText(first.value(), first.key()));
    ui->announcementLabel->setToolTip(announcementToolTip(first.key()));

    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this,
        [this, announcements = result.announcements] { rotateAnnouncement(announcements); });
    timer->start(10000);
}

void MainWindow::rotateAnnouncement(const QMap<QString, QString> &announcements)
{
    const auto next = Announcements::next(announcements, ui->announcementLabel->text());
    ui->announcementLabel->setText(Announcements::labelText(next.value(), next.key()));
    ui->announcementLabel->setToolTip(announcementToolTip(next.key()));
}

void MainWindow::showDailyPopupNotice()
{
    // The launch date is stored after this runs, so it is the previous one.
    if (AppSettings::instance()->lastLaunchedDate() == QDate::currentDate())
        return;
    // One notice a run: the boss key may bring the window back before the
    // start has stored its date, and the notice comes back with it.
    if (m_tanChuangDialog)
        return;
    const PopupNoticeResult result = getPopupNoticeList();
    if (result.status != 1 || !result.enable || result.pages.isEmpty())
        return;
    auto *dialog = new TanChuangDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setPopupNotice(result);
    m_tanChuangDialog = dialog;
    centreAndShow(dialog);
}

void MainWindow::showStartUserAccountDialog()
{
    // The account dialog the boss key hid comes back with the window and
    // stays the only one.
    if (m_userAccountDialog && (m_userAccountDialog->isVisible() || m_loginWaitsForWindow))
        return;
    // A dialog of an earlier start that is still open stays open.
    auto *dialog = new UserAccountDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_userAccountDialog = dialog;

    const QPointer<UserAccountDialog> guard(dialog);
    UserSession::instance()->autoLogin();
    if (!guard)
        return;
    // Centred once the window manager has placed the window just shown.
    waitUntilPlaced();
    if (!guard)
        return;
    centreDialog(dialog);
    if (UserSession::instance()->isLoggedIn()) {
        dialog->showInfoPage();
        dialog->show();
    } else {
        dialog->showLoginPage();
        runLoginDialog(dialog);
    }
}

void MainWindow::runLoginDialog(UserAccountDialog *dialog)
{
    // A run ended by the boss key's hide must not delete the dialog, as
    // QDialog::exec does with a dialog deleted on close: it is deleted here
    // once the user is done with it.
    const QPointer<UserAccountDialog> guard(dialog);
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->exec();
    while (guard && m_bossHidden && m_bossHiddenWindows.contains(guard.data())) {
        QEventLoop wait;
        m_loginWaitsForWindow = &wait;
        wait.exec();
        // The program may be quitting, which ends every loop.
        if (!guard || m_bossHidden)
            break;
        guard->exec();
    }
    if (guard)
        guard->deleteLater();
}

void MainWindow::waitUntilPlaced()
{
    QWindow *window = windowHandle();
    if (!window || window->isExposed())
        return;
    QEventLoop wait;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &wait, [&] {
        if (window->isExposed())
            wait.quit();
    });
    poll.start(10);
    QTimer::singleShot(1000, &wait, &QEventLoop::quit);
    wait.exec();
}

void MainWindow::openUserAccountDialogPushButton_clicked()
{
    UserAccountDialog *dialog = recreateDialog(m_userAccountDialog);
    dialog->showInfoPage();
    centreAndShow(dialog);
}
