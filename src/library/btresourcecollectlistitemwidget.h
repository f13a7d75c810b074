#pragma once

#include "resource/videofileinfo.h"

#include <QWidget>

#include <memory>

namespace Ui {
class BTResourceCollectListItemWidget;
}

// One favourite: the user's name for it and the play, copy and delete
// buttons, which report the row's record.
class BTResourceCollectListItemWidget : public QWidget
{
    Q_OBJECT

public:
    explicit BTResourceCollectListItemWidget(
        QSharedPointer<VideoFileInfo> fileInfo, QWidget *parent = nullptr);
    ~BTResourceCollectListItemWidget() override;

    QSharedPointer<VideoFileInfo> fileInfo() const { return m_fileInfo; }
    void setPlayEnabled(bool enabled);

signals:
    void playFile(QSharedPointer<VideoFileInfo> fileInfo);
    void copyURL(QSharedPointer<VideoFileInfo> fileInfo);
    void deleteFile(QSharedPointer<VideoFileInfo> fileInfo);

public slots:
    void playPushButton_clicked();
    void copyURLPushButton_clicked();
    void deletePushButton_clicked();

private:
    std::unique_ptr<Ui::BTResourceCollectListItemWidget> ui;
    QSharedPointer<VideoFileInfo> m_fileInfo;
};
