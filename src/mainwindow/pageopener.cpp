#include "mainwindow/pageopener.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>

namespace {

void tellNoBrowser(QWidget *parent, const QUrl &url)
{
    auto *box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("提示"),
        QStringLiteral("无法打开浏览器。请将以下网址复制到浏览器中打开：\n%1").arg(url.toString()),
        QMessageBox::NoButton, parent);
    box->setTextFormat(Qt::PlainText);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->addButton(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

} // namespace

bool openPage(QWidget *parent, const QUrl &url)
{
    // On an X11 desktop without BROWSER, Qt hands the page to xdg-open and
    // reports success once it has started; xdg-open finds no browser only
    // later, and says so only through its exit status. So it runs here,
    // watched.
    const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (QGuiApplication::platformName() == QLatin1String("xcb") && !xdgOpen.isEmpty()
        && qEnvironmentVariableIsEmpty("BROWSER")
        && qEnvironmentVariableIsEmpty("DEFAULT_BROWSER")) {
        auto *process = new QProcess(qApp);
        const QPointer<QWidget> owner(parent);
        QObject::connect(process, &QProcess::errorOccurred, process,
            [process, owner, url](QProcess::ProcessError error) {
                if (error != QProcess::FailedToStart)
                    return;
                tellNoBrowser(owner, url);
                process->deleteLater();
            });
        QObject::connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
            process, [process, owner, url](int exitCode, QProcess::ExitStatus status) {
                if (status == QProcess::NormalExit && exitCode != 0)
                    tellNoBrowser(owner, url);
                process->deleteLater();
            });
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(xdgOpen, { url.toString(QUrl::FullyEncoded) });
        return true;
    }
    if (QDesktopServices::openUrl(url))
        return true;
    tellNoBrowser(parent, url);
    return false;
}
