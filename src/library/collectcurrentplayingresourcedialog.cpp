#include "library/collectcurrentplayingresourcedialog.h"

#include "mainwindow/dialog.h"
#include "player/aplayercontrol.h"
#include "service/resourceendpoints.h"

#include "ui_collectcurrentplayingresourcedialog.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

CollectCurrentPlayingResourceDialog::CollectCurrentPlayingResourceDialog(QWidget *parent)
    : QDialog(parent,
        Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
            | Qt::MSWindowsFixedSizeDialogHint)
    , ui(std::make_unique<Ui::CollectCurrentPlayingResourceDialog>())
{
    ui->setupUi(this);
    ui->filenameLineEdit->setFocus();
    Dialog::setReturnAction(ui->filenameLineEdit, ui->okPushButton);
    connect(ui->okPushButton, &QPushButton::clicked, this,
        &CollectCurrentPlayingResourceDialog::okPushButtonClicked);
    connect(ui->cancelPushButton, &QPushButton::clicked, this, &QWidget::close);
}

CollectCurrentPlayingResourceDialog::~CollectCurrentPlayingResourceDialog() = default;

void CollectCurrentPlayingResourceDialog::okPushButtonClicked()
{
    const QSharedPointer<VideoFileInfo> file = APlayerControl::instance->currentFile();
    const QString name = ui->filenameLineEdit->text();
    if (name.isEmpty() || !file)
        return;

    const QPointer<CollectCurrentPlayingResourceDialog> self(this);
    ui->okPushButton->setEnabled(false);
    const ServerResult result = addCollect(file->hash, file->index, name);
    if (!self)
        return;
    ui->okPushButton->setEnabled(true);
    if (result.status == 1) {
        emit collectionFinished();
        if (self)
            close();
        return;
    }

    const QPointer<QMessageBox> box = new QMessageBox(
        QMessageBox::NoIcon, QStringLiteral("收藏"), result.message, QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);
    box->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box->exec();
    delete box;
}
