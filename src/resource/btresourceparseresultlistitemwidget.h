#pragma once

#include "resource/videofileinfo.h"

#include <QWidget>

#include <memory>

namespace Ui {
class BTResourceParseResultListItemWidget;
}

// One file of a parsed resource: its name, its size and the play, reload and
// download buttons, which report the row's record.
class BTResourceParseResultListItemWidget : public QWidget
{
    Q_OBJECT

public:
    explicit BTResourceParseResultListItemWidget(
        QSharedPointer<VideoFileInfo> fileInfo, QWidget *parent = nullptr);
    ~BTResourceParseResultListItemWidget() override;

    QSharedPointer<VideoFileInfo> fileInfo() const { return m_fileInfo; }
    void setButtonsEnabled(bool enabled);

    // "1.50G" from 2^30 bytes on, else "700.25MB".
    static QString sizeText(quint64 bytes);

signals:
    void playFile(QSharedPointer<VideoFileInfo> fileInfo, bool reload);
    void downloadFile(QSharedPointer<VideoFileInfo> fileInfo);

public slots:
    void playPushButton_clicked();
    void reloadPushButton_clicked();
    void downloadPushButton_clicked();

private:
    std::unique_ptr<Ui::BTResourceParseResultListItemWidget> ui;
    QSharedPointer<VideoFileInfo> m_fileInfo;
};
