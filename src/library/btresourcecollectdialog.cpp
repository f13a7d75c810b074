#include "library/btresourcecollectdialog.h"

#include "library/btresourcecollectlistitemwidget.h"
#include "library/collectcurrentplayingresourcedialog.h"
#include "library/filerows.h"
#include "mainwindow/rowwidgetlist.h"
#include "player/aplayercontrol.h"
#include "service/resourceendpoints.h"

#include "ui_btresourcecollectdialog.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>

BTResourceCollectDialog::BTResourceCollectDialog(QWidget *parent)
    : Dialog(parent)
    , ui(std::make_unique<Ui::BTResourceCollectDialog>())
{
    ui->setupUi(this);
    m_rows = new RowWidgetList(ui->collectListWidget, FileRows::RowSize,
        [this](const QVariant &record, QWidget *parent) { return makeRow(record, parent); });
    connect(ui->closePushButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->collectCurrentPlayingResourcePushButton, &QPushButton::clicked, this,
        &BTResourceCollectDialog::collectCurrentPlayingResourcePushButton_clicked);
    connect(ui->flushCollectListPushButton, &QPushButton::clicked, this,
        &BTResourceCollectDialog::flushCollectListPushButton_clicked);
    // The first load waits for the service, so it runs once the dialog is
    // up: a wait inside the constructor would hold back its showing, and a
    // dialog deleted during that wait would be handed to its creator.
    QMetaObject::invokeMethod(
        this, &BTResourceCollectDialog::flushCollectListPushButton_clicked, Qt::QueuedConnection);
}

BTResourceCollectDialog::~BTResourceCollectDialog() = default;

QWidget *BTResourceCollectDialog::makeRow(const QVariant &record, QWidget *parent)
{
    auto *row = new BTResourceCollectListItemWidget(FileRows::fileOf(record), parent);
    row->setPlayEnabled(!m_playing);
    connect(row, &BTResourceCollectListItemWidget::playFile, this,
        &BTResourceCollectDialog::collectListItemWidgetPlayPushButton_clicked);
    connect(row, &BTResourceCollectListItemWidget::copyURL, this,
        &BTResourceCollectDialog::collectListItemWidgetCopyUrlButton_clicked);
    connect(row, &BTResourceCollectListItemWidget::deleteFile, this,
        &BTResourceCollectDialog::collectListItemWidgetDeleteButton_clicked);
    return row;
}

void BTResourceCollectDialog::setPlayEnabled(bool enabled)
{
    m_playing = !enabled;
    for (QWidget *widget : m_rows->widgets())
        static_cast<BTResourceCollectListItemWidget *>(widget)->setPlayEnabled(enabled);
}

void BTResourceCollectDialog::flushCollectListPushButton_clicked()
{
    m_rows->clear();
    const QPointer<BTResourceCollectDialog> self(this);
    const FileListResult result = getCollectList();
    if (!self)
        return;
    if (result.status != 1) {
        ui->messageLabel->setText(result.message);
        return;
    }
    ui->messageLabel->clear();
    // Another reload may have finished during this one's wait: the list
    // shows the latest answer once, never two answers one after the other.
    QVector<QVariant> rows;
    for (const QSharedPointer<VideoFileInfo> &favourite : result.files)
        rows.append(QVariant::fromValue(favourite));
    m_rows->setRecords(rows);
}

void BTResourceCollectDialog::collectListItemWidgetPlayPushButton_clicked(
    QSharedPointer<VideoFileInfo> fileInfo)
{
    FileRows::play(this, ui->messageLabel, fileInfo, VideoFileResolver::FavouritesDialogPlay,
        [this](bool enabled) { setPlayEnabled(enabled); });
}

void BTResourceCollectDialog::collectListItemWidgetCopyUrlButton_clicked(
    QSharedPointer<VideoFileInfo> fileInfo)
{
    QGuiApplication::clipboard()->setText(fileInfo->hash, QClipboard::Clipboard);
}

void BTResourceCollectDialog::collectListItemWidgetDeleteButton_clicked(
    QSharedPointer<VideoFileInfo> fileInfo)
{
    const int row = FileRows::rowOf(*m_rows, *fileInfo);
    if (row < 0)
        return;
    m_rows->removeRow(row);
    const QPointer<BTResourceCollectDialog> self(this);
    const ServerResult result = deleteCollect(fileInfo->favouriteId);
    if (self && result.status != 1)
        ui->messageLabel->setText(result.message);
}

void BTResourceCollectDialog::collectCurrentPlayingResourcePushButton_clicked()
{
    const int state = APlayerControl::instance->state();
    if (state == APlayerControl::Ready || state == APlayerControl::Closing)
        return;
    // Guarded: this dialog, and with it the naming dialog, may be destroyed
    // while the naming dialog runs.
    const QPointer<CollectCurrentPlayingResourceDialog> naming
        = new CollectCurrentPlayingResourceDialog(this);
    connect(naming, &CollectCurrentPlayingResourceDialog::collectionFinished, this,
        &BTResourceCollectDialog::flushCollectListPushButton_clicked);
    naming->exec();
    delete naming;
}
