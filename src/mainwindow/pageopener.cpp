#include "mainwindow/pageopener.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

bool openPage(QWidget *parent, const QUrl &url)
{
    if (QDesktopServices::openUrl(url))
        return true;
    auto *box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("提示"),
        QStringLiteral("无法打开浏览器。请将以下网址复制到浏览器中打开：\n%1").arg(url.toString()),
        QMessageBox::NoButton, parent);
    box->setTextFormat(Qt::PlainText);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->addButton(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return false;
}
