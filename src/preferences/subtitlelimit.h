#pragma once

#include <QString>
#include <QtGlobal>

// How large a subtitle file the video engine is given. The engine reads a
// whole subtitle before showing it, at about four megabytes of text a second
// on a slow machine; a text file far beyond any film's dialogue is some other
// file and is refused.
namespace SubtitleLimit {

// Text subtitles (srt, ass, ssa, smi and anything not named below).
constexpr qint64 TextBytes = 20 * 1024 * 1024;
// Picture subtitles (sup, and the sub beside a VobSub idx) carry one image
// per line and are often tens of megabytes for a film.
constexpr qint64 PictureBytes = 256 * 1024 * 1024;

// The limit that applies to the file, chosen by its suffix.
qint64 limitFor(const QString &path);
// True when the file exists and is larger than its limit.
bool isTooLarge(const QString &path);

} // namespace SubtitleLimit
