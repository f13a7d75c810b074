#include "library/btresourceplayrecorddialog.h"

#include "library/btresourceplayrecordlistitemwidget.h"
#include "library/filerows.h"
#include "library/playrecordstore.h"
#include "mainwindow/rowwidgetlist.h"
#include "player/aplayercontrol.h"

#include "ui_btresourceplayrecorddialog.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTime>

BTResourcePlayRecordDialog::BTResourcePlayRecordDialog(QWidget *parent)
    : Dialog(parent)
    , ui(std::make_unique<Ui::BTResourcePlayRecordDialog>())
{
    ui->setupUi(this);
    m_rows = new RowWidgetList(ui->playRecordListWidget, FileRows::RowSize,
        [this](const QVariant &record, QWidget *parent) { return makeRow(record, parent); });
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

QWidget *BTResourcePlayRecordDialog::makeRow(const QVariant &record, QWidget *parent)
{
    auto *row = new BTResourcePlayRecordListItemWidget(FileRows::fileOf(record), parent);
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
    for (QWidget *widget : m_rows->widgets())
        static_cast<BTResourcePlayRecordListItemWidget *>(widget)->setPlayEnabled(enabled);
}

void BTResourcePlayRecordDialog::flushRecordListPushButton_clicked()
{
    PlayRecordStore::load();
    QVector<QVariant> rows;
    for (const QVariant &value : PlayRecordStore::records()) {
        const QVariantMap record = value.toMap();
        auto fileInfo = QSharedPointer<VideoFileInfo>::create();
        fileInfo->hash = record.value(QStringLiteral("resource_hash")).toString();
        fileInfo->index = record.value(QStringLiteral("resource_index")).toUInt();
        fileInfo->jxhash = record.value(QStringLiteral("file_hash")).toString();
        fileInfo->name = record.value(QStringLiteral("file_name")).toString();
        rows.append(QVariant::fromValue(fileInfo));
    }
    m_rows->setRecords(rows);
}

void BTResourcePlayRecordDialog::clearRecordListPushButton_clicked()
{
    if (m_rows->count() == 0)
        return;
    m_rows->clear();
    QFile file(QStringLiteral("PlayRecord.dat"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.close();
}

void BTResourcePlayRecordDialog::randomPlayPushButton_clicked()
{
    const int count = m_rows->count();
    if (count == 0)
        return;
    QRandomGenerator generator(quint32(QTime(0, 0).secsTo(QTime::currentTime())));
    const int chosen = int(generator.bounded(count));
    // The chosen row comes into view and plays as if its button was pressed.
    ui->playRecordListWidget->scrollToItem(ui->playRecordListWidget->item(chosen));
    if (auto *row = static_cast<BTResourcePlayRecordListItemWidget *>(m_rows->widget(chosen)))
        row->playPushButton_clicked();
}

void BTResourcePlayRecordDialog::playRecordListItemWidgetPlayPushButton_clicked(
    QSharedPointer<VideoFileInfo> fileInfo)
{
    FileRows::play(this, ui->messageLabel, fileInfo, VideoFileResolver::PlayRecordDialogPlay,
        [this](bool enabled) { setPlayEnabled(enabled); });
}

void BTResourcePlayRecordDialog::playRecordListItemWidgetDeletePushButton_clicked(
    QSharedPointer<VideoFileInfo> fileInfo)
{
    const int row = FileRows::rowOf(*m_rows, *fileInfo);
    if (row < 0)
        return;
    m_rows->removeRow(row);
    // The file may have changed since the list was filled: the record is
    // looked up again in what is stored now.
    PlayRecordStore::load();
    const int position = PlayRecordStore::indexOf(fileInfo->hash, fileInfo->index);
    if (position >= 0) {
        PlayRecordStore::removeAt(position);
        PlayRecordStore::save();
    }
}
