#include "resource/btresourceparseresultlistitemwidget.h"

#include "ui_btresourceparseresultlistitemwidget.h"

#include <QTextDocument>

BTResourceParseResultListItemWidget::BTResourceParseResultListItemWidget(
    QSharedPointer<VideoFileInfo> fileInfo, QWidget *parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::BTResourceParseResultListItemWidget>())
    , m_fileInfo(std::move(fileInfo))
{
    ui->setupUi(this);
    ui->filenameLabel->setText(m_fileInfo->name);
    // Tool tips read text that looks like markup as markup; such a name is
    // passed on escaped so that it shows as typed.
    ui->filenameLabel->setToolTip(Qt::mightBeRichText(m_fileInfo->name)
            ? Qt::convertFromPlainText(m_fileInfo->name, Qt::WhiteSpaceNoWrap)
            : m_fileInfo->name);
    ui->fileSizeLabel->setText(sizeText(m_fileInfo->fileSize));
    connect(ui->playPushButton, &QPushButton::clicked, this,
        &BTResourceParseResultListItemWidget::playPushButton_clicked);
    connect(ui->reloadPushButton, &QPushButton::clicked, this,
        &BTResourceParseResultListItemWidget::reloadPushButton_clicked);
    connect(ui->downloadPushButton, &QPushButton::clicked, this,
        &BTResourceParseResultListItemWidget::downloadPushButton_clicked);
}

BTResourceParseResultListItemWidget::~BTResourceParseResultListItemWidget() = default;

void BTResourceParseResultListItemWidget::setButtonsEnabled(bool enabled)
{
    ui->playPushButton->setEnabled(enabled);
    ui->reloadPushButton->setEnabled(enabled);
    ui->downloadPushButton->setEnabled(enabled);
}

QString BTResourceParseResultListItemWidget::sizeText(quint64 bytes)
{
    const quint64 gibibyte = quint64(1) << 30;
    if (bytes >= gibibyte)
        return QStringLiteral("%1G").arg(double(bytes) / double(gibibyte), 0, 'f', 2);
    return QStringLiteral("%1MB").arg(double(bytes) / double(1 << 20), 0, 'f', 2);
}

void BTResourceParseResultListItemWidget::playPushButton_clicked()
{
    emit playFile(m_fileInfo, false);
}

void BTResourceParseResultListItemWidget::reloadPushButton_clicked()
{
    emit playFile(m_fileInfo, true);
}

void BTResourceParseResultListItemWidget::downloadPushButton_clicked()
{
    emit downloadFile(m_fileInfo);
}
