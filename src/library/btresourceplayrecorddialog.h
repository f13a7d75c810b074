#pragma once

#include "mainwindow/dialog.h"
#include "resource/videofileinfo.h"

#include <memory>

namespace Ui {
class BTResourcePlayRecordDialog;
}

class RowWidgetList;

// The play records, newest first: play one again, play a random one,
// delete one, reload the list or clear it.
//
// A play keeps its own reference to the record: the list is rebuilt when the
// engine reports a file open, while the play still waits.
class BTResourcePlayRecordDialog : public Dialog
{
    Q_OBJECT

public:
    explicit BTResourcePlayRecordDialog(QWidget *parent = nullptr);
    ~BTResourcePlayRecordDialog() override;

public slots:
    void randomPlayPushButton_clicked();
    void flushRecordListPushButton_clicked();
    void clearRecordListPushButton_clicked();
    void playRecordListItemWidgetPlayPushButton_clicked(QSharedPointer<VideoFileInfo> fileInfo);
    void playRecordListItemWidgetDeletePushButton_clicked(QSharedPointer<VideoFileInfo> fileInfo);

private:
    QWidget *makeRow(const QVariant &record, QWidget *parent);
    void setPlayEnabled(bool enabled);

    std::unique_ptr<Ui::BTResourcePlayRecordDialog> ui;
    RowWidgetList *m_rows = nullptr;
    bool m_playing = false;
};
