#include "library/btresourcedownloadlistitemwidget.h"

#include "app/appsettings.h"
#include "library/downloadjob.h"
#include "resource/btresourceparseresultlistitemwidget.h"

#include "ui_btresourcedownloadlistitemwidget.h"

#include <QTextDocument>
#include <QTimer>

BTResourceDownloadListItemWidget::BTResourceDownloadListItemWidget(
    QSharedPointer<VideoFileInfo> fileInfo, QWidget *parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::BTResourceDownloadListItemWidget>())
    , m_fileInfo(std::move(fileInfo))
    , m_job(new DownloadJob(m_fileInfo, this))
{
    ui->setupUi(this);
    ui->filenameLabel->setText(m_fileInfo->name);
    // Names come from the service: shown as they are, never as markup.
    ui->filenameLabel->setToolTip(Qt::convertFromPlainText(m_fileInfo->name, Qt::WhiteSpaceNoWrap));
    ui->fileSizeLabel->setText(BTResourceParseResultListItemWidget::sizeText(m_fileInfo->fileSize));
    connect(ui->deletePushButton, &QPushButton::clicked, this,
        &BTResourceDownloadListItemWidget::deletePushButton_clicked);
    connect(m_job, &DownloadJob::progressed, this, [this](qint64 written) {
        ui->downloadProgressLabel->setText(
            DownloadJob::progressText(written, m_fileInfo->fileSize));
    });
    connect(m_job, &DownloadJob::speedChanged, this, [this](qint64 bytesPerSecond) {
        ui->downloadSpeedLabel->setText(DownloadJob::speedText(bytesPerSecond));
    });
    connect(m_job, &DownloadJob::finished, this, &BTResourceDownloadListItemWidget::job_finished);
    // The row's own delete stops its transfer; after the end it only leaves
    // the list.
    connect(this, &BTResourceDownloadListItemWidget::deleteFile, m_job, &DownloadJob::cancel);
    QTimer::singleShot(100, this, &BTResourceDownloadListItemWidget::downloadFile);
}

// The job is a child: destroying the row cancels it silently.
BTResourceDownloadListItemWidget::~BTResourceDownloadListItemWidget() = default;

void BTResourceDownloadListItemWidget::downloadFile()
{
    m_job->start(AppSettings::instance()->videoFileDownloadDirectory());
}

void BTResourceDownloadListItemWidget::deletePushButton_clicked()
{
    emit deleteFile(m_fileInfo);
}

void BTResourceDownloadListItemWidget::job_finished(bool succeeded)
{
    ui->downloadSpeedLabel->clear();
    if (succeeded) {
        ui->downloadProgressLabel->setText(QStringLiteral("下载完成"));
        ui->deletePushButton->setEnabled(false);
    } else {
        ui->downloadProgressLabel->setText(QStringLiteral("下载失败"));
    }
}
