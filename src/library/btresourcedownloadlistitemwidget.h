#pragma once

#include "resource/videofileinfo.h"

#include <QWidget>

#include <memory>

class DownloadJob;

namespace Ui {
class BTResourceDownloadListItemWidget;
}

// One download in the downloads dialog: the file's name and size, and the
// progress, speed and outcome of its transfer, which a DownloadJob of its own
// runs. The transfer starts 100 ms after construction, once the row is in
// its list, into the download folder of that moment. Deleting the row
// cancels a running transfer.
class BTResourceDownloadListItemWidget : public QWidget
{
    Q_OBJECT

public:
    explicit BTResourceDownloadListItemWidget(
        QSharedPointer<VideoFileInfo> fileInfo, QWidget *parent = nullptr);
    ~BTResourceDownloadListItemWidget() override;

    QSharedPointer<VideoFileInfo> fileInfo() const { return m_fileInfo; }
    DownloadJob *job() const { return m_job; }

signals:
    void deleteFile(QSharedPointer<VideoFileInfo> fileInfo);

public slots:
    void downloadFile();
    void deletePushButton_clicked();

private:
    void job_finished(bool succeeded);

    std::unique_ptr<Ui::BTResourceDownloadListItemWidget> ui;
    QSharedPointer<VideoFileInfo> m_fileInfo;
    DownloadJob *m_job;
};
