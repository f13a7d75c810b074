#include "library/filerows.h"

#include "mainwindow/rowwidgetlist.h"
#include "resource/playresolvedfile.h"

#include <QLabel>
#include <QPointer>

namespace FileRows {

QSharedPointer<VideoFileInfo> fileOf(const QVariant &record)
{
    return record.value<QSharedPointer<VideoFileInfo>>();
}

int rowOf(const RowWidgetList &rows, const VideoFileInfo &file)
{
    for (int row = 0; row < rows.count(); ++row) {
        const QSharedPointer<VideoFileInfo> shown = fileOf(rows.record(row));
        if (shown->hash == file.hash && shown->index == file.index)
            return row;
    }
    return -1;
}

void play(QWidget *dialog, QLabel *messageLabel, const QSharedPointer<VideoFileInfo> &file,
    VideoFileResolver::EntryPoint entryPoint, const std::function<void(bool)> &setPlayEnabled)
{
    setPlayEnabled(false);
    const QPointer<QWidget> self(dialog);
    if (VideoFileResolver::resolve(file, messageLabel, false, entryPoint))
        playResolvedFile(file, dialog);
    if (self)
        setPlayEnabled(true);
}

} // namespace FileRows
