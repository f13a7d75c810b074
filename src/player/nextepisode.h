#pragma once

#include "resource/videofileinfo.h"

#include <QList>
#include <QSharedPointer>
#include <QString>

// Which file of a resource follows the one that has just played.
namespace NextEpisode {

// A name with the extension of a common video format.
bool isVideoName(const QString &name);
// Natural name order: runs of digits compare by their value ("第9集" before
// "第10集"), the rest without regard to case; negative, 0 or positive.
int naturalCompare(const QString &a, const QString &b);
// The video file after the one with this index, in natural name order;
// null when that one is the last or not among the video files.
QSharedPointer<VideoFileInfo> after(const QList<QSharedPointer<VideoFileInfo>> &files, uint index);

} // namespace NextEpisode
