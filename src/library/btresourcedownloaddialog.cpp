#include "library/btresourcedownloaddialog.h"

#include "app/appsettings.h"
#include "library/btresourcedownloadlistitemwidget.h"

#include "ui_btresourcedownloaddialog.h"

#include <QDir>

BTResourceDownloadDialog::BTResourceDownloadDialog(QWidget *parent)
    : Dialog(parent)
    , ui(std::make_unique<Ui::BTResourceDownloadDialog>())
{
    ui->setupUi(this);
    ui->downloadDirectoryLineEdit->setText(AppSettings::instance()->videoFileDownloadDirectory());
    connect(ui->closePushButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->selectDownloadDirectroryPushButton, &QPushButton::clicked, this,
        &BTResourceDownloadDialog::selectDownloadDirectroryPushButton_clicked);
}

BTResourceDownloadDialog::~BTResourceDownloadDialog() = default;

BTResourceDownloadListItemWidget *BTResourceDownloadDialog::addDownload(
    QSharedPointer<VideoFileInfo> fileInfo)
{
    auto *row = new BTResourceDownloadListItemWidget(std::move(fileInfo));
    auto *item = new QListWidgetItem(ui->downloadListWidget);
    item->setSizeHint(row->size());
    ui->downloadListWidget->setItemWidget(item, row);
    connect(row, &BTResourceDownloadListItemWidget::deleteFile, this,
        &BTResourceDownloadDialog::downloadListItemWidgetDeletePushButton_clicked);
    return row;
}

void BTResourceDownloadDialog::selectDownloadDirectroryPushButton_clicked()
{
    const QString folder = QDir::toNativeSeparators(
        Dialog::existingDirectory(this, QStringLiteral("选择下载目录"), QString()));
    if (folder.isEmpty())
        return;
    ui->downloadDirectoryLineEdit->setText(folder);
    AppSettings::instance()->setVideoFileDownloadDirectory(folder);
}

// Removes the row whose delete button was pressed. Called without a row
// (directly), it removes the first row of the same resource file.
void BTResourceDownloadDialog::downloadListItemWidgetDeletePushButton_clicked(
    QSharedPointer<VideoFileInfo> fileInfo)
{
    QListWidget *list = ui->downloadListWidget;
    int found = -1;
    for (int i = 0; i < list->count() && found < 0; ++i) {
        if (list->itemWidget(list->item(i)) == sender())
            found = i;
    }
    for (int i = 0; i < list->count() && found < 0; ++i) {
        auto *row
            = qobject_cast<BTResourceDownloadListItemWidget *>(list->itemWidget(list->item(i)));
        if (row && row->fileInfo()->hash == fileInfo->hash
            && row->fileInfo()->index == fileInfo->index)
            found = i;
    }
    if (found >= 0)
        delete list->takeItem(found);
}
