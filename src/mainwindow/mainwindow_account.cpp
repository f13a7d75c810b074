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
    // A dialog of an earlier start that is still open stays open.
    auto *dialog = new UserAccountDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_userAccountDialog = dialog;

    const QPointer<UserAccountDialog> guard(dialog);
    UserSession::instance()->autoLogin();
    if (!guard)
        return;
    // Centred after the login wait: the window manager may have moved the
    // window just shown meanwhile.
    centreDialog(dialog);
    if (UserSession::instance()->isLoggedIn()) {
        dialog->showInfoPage();
        dialog->show();
    } else {
        dialog->showLoginPage();
        dialog->exec();
    }
}

void MainWindow::openUserAccountDialogPushButton_clicked()
{
    UserAccountDialog *dialog = recreateDialog(m_userAccountDialog);
    dialog->showInfoPage();
    centreAndShow(dialog);
}
