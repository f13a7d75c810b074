#pragma once

#include "resource/videofileinfo.h"

#include <QWidget>

#include <memory>

namespace Ui {
class BTResourcePlayRecordListItemWidget;
}

// One play record: the file's name and the play and delete buttons, which
// report the row's record.
class BTResourcePlayRecordListItemWidget : public QWidget
{
    Q_OBJECT

public:
    explicit BTResourcePlayRecordListItemWidget(
        QSharedPointer<VideoFileInfo> fileInfo, QWidget *parent = nullptr);
    ~BTResourcePlayRecordListItemWidget() override;

    QSharedPointer<VideoFileInfo> fileInfo() const { return m_fileInfo; }
    void setPlayEnabled(bool enabled);

signals:
    void playFile(QSharedPointer<VideoFileInfo> fileInfo);
    void deleteFile(QSharedPointer<VideoFileInfo> fileInfo);

public slots:
    void playPushButton_clicked();
    void deletePushButton_clicked();

private:
    std::unique_ptr<Ui::BTResourcePlayRecordListItemWidget> ui;
    QSharedPointer<VideoFileInfo> m_fileInfo;
};
