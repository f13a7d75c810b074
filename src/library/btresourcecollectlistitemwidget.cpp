#include "library/btresourcecollectlistitemwidget.h"

#include "library/rowname.h"

#include "ui_btresourcecollectlistitemwidget.h"

BTResourceCollectListItemWidget::BTResourceCollectListItemWidget(
    QSharedPointer<VideoFileInfo> fileInfo, QWidget *parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::BTResourceCollectListItemWidget>())
    , m_fileInfo(std::move(fileInfo))
{
    ui->setupUi(this);
    setRowName(ui->filenameLabel, m_fileInfo->name);
    connect(ui->playPushButton, &QPushButton::clicked, this,
        &BTResourceCollectListItemWidget::playPushButton_clicked);
    connect(ui->copyURLPushButton, &QPushButton::clicked, this,
        &BTResourceCollectListItemWidget::copyURLPushButton_clicked);
    connect(ui->deletePushButton, &QPushButton::clicked, this,
        &BTResourceCollectListItemWidget::deletePushButton_clicked);
}

BTResourceCollectListItemWidget::~BTResourceCollectListItemWidget() = default;

void BTResourceCollectListItemWidget::setPlayEnabled(bool enabled)
{
    ui->playPushButton->setEnabled(enabled);
}

void BTResourceCollectListItemWidget::playPushButton_clicked()
{
    emit playFile(m_fileInfo);
}

void BTResourceCollectListItemWidget::copyURLPushButton_clicked()
{
    emit copyURL(m_fileInfo);
}

void BTResourceCollectListItemWidget::deletePushButton_clicked()
{
    emit deleteFile(m_fileInfo);
}
