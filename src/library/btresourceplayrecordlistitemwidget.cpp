#include "library/btresourceplayrecordlistitemwidget.h"

#include "library/rowname.h"

#include "ui_btresourceplayrecordlistitemwidget.h"

BTResourcePlayRecordListItemWidget::BTResourcePlayRecordListItemWidget(
    QSharedPointer<VideoFileInfo> fileInfo, QWidget *parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::BTResourcePlayRecordListItemWidget>())
    , m_fileInfo(std::move(fileInfo))
{
    ui->setupUi(this);
    setRowName(ui->filenameLabel, m_fileInfo->name);
    connect(ui->playPushButton, &QPushButton::clicked, this,
        &BTResourcePlayRecordListItemWidget::playPushButton_clicked);
    connect(ui->deletePushButton, &QPushButton::clicked, this,
        &BTResourcePlayRecordListItemWidget::deletePushButton_clicked);
}

BTResourcePlayRecordListItemWidget::~BTResourcePlayRecordListItemWidget() = default;

void BTResourcePlayRecordListItemWidget::setPlayEnabled(bool enabled)
{
    ui->playPushButton->setEnabled(enabled);
}

void BTResourcePlayRecordListItemWidget::playPushButton_clicked()
{
    emit playFile(m_fileInfo);
}

void BTResourcePlayRecordListItemWidget::deletePushButton_clicked()
{
    emit deleteFile(m_fileInfo);
}
