#pragma once

#include "mainwindow/dialog.h"
#include "resource/videofileinfo.h"

#include <memory>

namespace Ui {
class BTResourceCollectDialog;
}

class RowWidgetList;

// The favourites the service keeps for the account: play one, copy its
// resource hash, delete it, reload the list, or add the file open in the
// player under a name of the user's choice.
//
// Every run that waits for the service guards the dialog: when it is
// destroyed during the wait the run ends there and touches none of its
// widgets.
class BTResourceCollectDialog : public Dialog
{
    Q_OBJECT

public:
    explicit BTResourceCollectDialog(QWidget *parent = nullptr);
    ~BTResourceCollectDialog() override;

public slots:
    void collectCurrentPlayingResourcePushButton_clicked();
    void flushCollectListPushButton_clicked();
    void collectListItemWidgetPlayPushButton_clicked(QSharedPointer<VideoFileInfo> fileInfo);
    void collectListItemWidgetCopyUrlButton_clicked(QSharedPointer<VideoFileInfo> fileInfo);
    void collectListItemWidgetDeleteButton_clicked(QSharedPointer<VideoFileInfo> fileInfo);

private:
    QWidget *makeRow(const QVariant &record, QWidget *parent);
    void setPlayEnabled(bool enabled);

    std::unique_ptr<Ui::BTResourceCollectDialog> ui;
    RowWidgetList *m_rows = nullptr;
    bool m_playing = false;
};
