#include "library/btresourceplayrecorddialog.h"

#include "library/btresourceplayrecordlistitemwidget.h"
#include "library/lazyrowlist.h"
#include "library/playrecordstore.h"
#include "player/aplayercontrol.h"
#include "resource/playresolvedfile.h"
#include "resource/videofileresolver.h"

#include "ui_btresourceplayrecorddialog.h"

#include <QFile>
#include <QPointer>
#include <QRandomGenerator>
#include <QTime>

namespace {

const QSize RowSize(790, 31);

QSharedPointer<VideoFileInfo> recordOf(const QListWidgetItem *item)
{
    return item->data(Qt::UserRole).value<QSharedPointer<VideoFileInfo>>();
}

} // namespace

BTResourcePlayRecordDialog::BTResourcePlayRecordDialog(QWidget *parent)
    : Dialog(parent)
    , ui(std::make_unique<Ui::BTResourcePlayRecordDialog>())
{
    ui->setupUi(this);
    m_rows = new LazyRowList(
        ui->playRecordListWidget, RowSize, [this](QListWidgetItem *item) { return makeRow(item); });
    connect(ui->closePushButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ui->randomPlayPushButton, &QPushButton::clicked, this,
        &BTResourcePlayRecordDialog::randomPlayPushButton_clicked);
    connect(ui->flushRecordListPushButton, &QPushButton::clicked, this,
        &BTResourcePlayRecordDialog::flushRecordListPushButton_clicked);
    connect(ui->clearRecordListPushButton, &QPushButton::clicked, this,
        &BTResourcePlayRecordDialog::clearRecordListPushButton_clicked);
    // Any file the engine opens, from whichever dialog, shows here at once.
    if (APlayerControl::instance)
        connect(APlayerControl::instance, &APlayerControl::onOpenSucceeded, this,
            &BTResourcePlayRecordDialog::flushRecordListPushButton_clicked);
    flushRecordListPushButton_clicked();
}

BTResourcePlayRecordDialog::~BTResourcePlayRecordDialog() = default;

QWidget *BTResourcePlayRecordDialog::makeRow(QListWidgetItem *item)
{
    auto *row = new BTResourcePlayRecordListItemWidget(recordOf(item));
    row->setPlayEnabled(!m_playing);
    connect(row, &BTResourcePlayRecordListItemWidget::playFile, this,
        &BTResourcePlayRecordDialog::playRecordListItemWidgetPlayPushButton_clicked);
    connect(row, &BTResourcePlayRecordListItemWidget::deleteFile, this,
        &BTResourcePlayRecordDialog::playRecordListItemWidgetDeletePushButton_clicked);
    return row;
}

void BTResourcePlayRecordDialog::setPlayEnabled(bool enabled)
{
    m_playing = !enabled;
    ui->randomPlayPushButton->setEnabled(enabled);
    for (QWidget *widget : m_rows->rowWidgets())
        static_cast<BTResourcePlayRecordListItemWidget *>(widget)->setPlayEnabled(enabled);
}

void BTResourcePlayRecordDialog::flushRecordListPushButton_clicked()
{
    ui->playRecordListWidget->clear();
    PlayRecordStore::load();
    for (const QVariant &value : PlayRecordStore::records()) {
        const QVariantMap record = value.toMap();
        auto fileInfo = QSharedPointer<VideoFileInfo>::create();
        fileInfo->hash = record.value(QStringLiteral("resource_hash")).toString();
        fileInfo->index = record.value(QStringLiteral("resource_index")).toUInt();
        fileInfo->jxhash = record.value(QStringLiteral("file_hash")).toString();
        fileInfo->name = record.value(QStringLiteral("file_name")).toString();
        m_rows->append(QVariant::fromValue(fileInfo));
    }
    m_rows->refresh();
}

void BTResourcePlayRecordDialog::clearRecordListPushButton_clicked()
{
    if (ui->playRecordListWidget->count() == 0)
        return;
    ui->playRecordListWidget->clear();
    QFile file(QStringLiteral("PlayRecord.dat"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.close();
}

void BTResourcePlayRecordDialog::randomPlayPushButton_clicked()
{
    const int count = ui->playRecordListWidget->count();
    if (count == 0)
        return;
    QRandomGenerator generator(quint32(QTime(0, 0).secsTo(QTime::currentTime())));
    QListWidgetItem *item = ui->playRecordListWidget->item(int(generator.bounded(count)));
    // The chosen row comes into view and plays as if its button was pressed.
    if (auto *row = static_cast<BTResourcePlayRecordListItemWidget *>(m_rows->rowWidget(item)))
        row->playPushButton_clicked();
}

void BTResourcePlayRecordDialog::playRecordListItemWidgetPlayPushButton_clicked(
    QSharedPointer<VideoFileInfo> fileInfo)
{
    setPlayEnabled(false);
    const QPointer<BTResourcePlayRecordDialog> self(this);
    if (VideoFileResolver::resolve(
            fileInfo, ui->messageLabel, false, VideoFileResolver::PlayRecordDialogPlay))
        playResolvedFile(fileInfo, this);
    if (!self)
        return;
    setPlayEnabled(true);
}

void BTResourcePlayRecordDialog::playRecordListItemWidgetDeletePushButton_clicked(
    QSharedPointer<VideoFileInfo> fileInfo)
{
    QListWidget *list = ui->playRecordListWidget;
    for (int row = 0; row < list->count(); ++row) {
        const QSharedPointer<VideoFileInfo> shown = recordOf(list->item(row));
        if (shown->hash != fileInfo->hash || shown->index != fileInfo->index)
            continue;
        delete list->takeItem(row);
        // The file may have changed since the list was filled: the record
        // is looked up again in what is stored now.
        PlayRecordStore::load();
        const int position = PlayRecordStore::indexOf(fileInfo->hash, fileInfo->index);
        if (position >= 0) {
            PlayRecordStore::removeAt(position);
            PlayRecordStore::save();
        }
        return;
    }
}
