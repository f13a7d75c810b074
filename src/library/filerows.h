#pragma once

#include "resource/videofileinfo.h"
#include "resource/videofileresolver.h"

#include <QSharedPointer>
#include <QSize>
#include <QVariant>

#include <functional>

class QLabel;
class QWidget;
class RowWidgetList;

// What the favourites and the play-record dialogs share: each row of their
// lists stands for one file of a resource.
namespace FileRows {

constexpr QSize RowSize(790, 31);

// The file a row's record stands for.
QSharedPointer<VideoFileInfo> fileOf(const QVariant &record);

// The row showing the same file of the same resource as `file`; -1 when none.
int rowOf(const RowWidgetList &rows, const VideoFileInfo &file);

// Resolves and plays a file chosen in `dialog`, its play buttons held off
// through `setPlayEnabled` meanwhile. The dialog may be destroyed during
// the waits: then nothing of it is touched any more.
void play(QWidget *dialog, QLabel *messageLabel, const QSharedPointer<VideoFileInfo> &file,
    VideoFileResolver::EntryPoint entryPoint, const std::function<void(bool)> &setPlayEnabled);

} // namespace FileRows
