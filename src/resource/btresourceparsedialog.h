#pragma once

#include "mainwindow/dialog.h"
#include "resource/videofileinfo.h"

#include <memory>

class RowWidgetList;

namespace Ui {
class BTResourceParseDialog;
}

// Where the user names a resource (info-hash, "appdata_" id or .torrent
// path), sees its files and plays, reloads or downloads one of them.
//
// Every run that waits (the file list, a play, a download) guards the dialog:
// when it is destroyed during the wait the run ends there and touches none of
// its widgets.
class BTResourceParseDialog : public Dialog
{
    Q_OBJECT

public:
    explicit BTResourceParseDialog(QWidget *parent = nullptr);
    ~BTResourceParseDialog() override;

    // Puts `text` into the resource field and parses it, as if typed and
    // confirmed; while a run waits, the text only waits in the field.
    void parseResource(const QString &text);

signals:
    void downloadVideoFile(QSharedPointer<VideoFileInfo> fileInfo);

public slots:
    void parsePushButton_clicked();
    void browseTorrentFilePushButton_clicked();
    void reportResourcePushButton_clicked();
    void parseResultListItemWidgetPlayPushButton_clicked(
        QSharedPointer<VideoFileInfo> fileInfo, bool reload);
    void parseResultListItemWidgetDownloadPushButton_clicked(
        QSharedPointer<VideoFileInfo> fileInfo);

private:
    void setInputsEnabled(bool enabled);
    void setRowButtonsEnabled(bool enabled);

    std::unique_ptr<Ui::BTResourceParseDialog> ui;
    // The file rows; only those in view have a row widget.
    RowWidgetList *m_rows = nullptr;
    // Applied to row widgets made while a run keeps the rows disabled.
    bool m_rowButtonsEnabled = true;
    // Counts parses, so that one overtaken by a newer one lands nothing.
    quint64 m_parseGeneration = 0;
};
