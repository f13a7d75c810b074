#pragma once

#include "mainwindow/dialog.h"
#include "resource/videofileinfo.h"

#include <memory>

class BTResourceDownloadListItemWidget;

namespace Ui {
class BTResourceDownloadDialog;
}

// The list of downloads of this session and the download folder. The main
// window keeps one for its whole life; closing only hides it, and the
// transfers go on while it is hidden.
class BTResourceDownloadDialog : public Dialog
{
    Q_OBJECT

public:
    explicit BTResourceDownloadDialog(QWidget *parent = nullptr);
    ~BTResourceDownloadDialog() override;

    // Appends a row for the file; its transfer starts by itself.
    BTResourceDownloadListItemWidget *addDownload(QSharedPointer<VideoFileInfo> fileInfo);

public slots:
    void selectDownloadDirectroryPushButton_clicked();
    void downloadListItemWidgetDeletePushButton_clicked(QSharedPointer<VideoFileInfo> fileInfo);

private:
    std::unique_ptr<Ui::BTResourceDownloadDialog> ui;
};
