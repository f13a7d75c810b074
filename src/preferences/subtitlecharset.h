#pragma once

#include <QByteArray>
#include <QString>

// Chooses the character set of a subtitle file for the video engine.
//
// The engine guesses the set by itself and gets long files right, but a
// short Chinese subtitle in GBK or Big5 is often taken for a Western or
// Cyrillic single-byte set and shows as garbage. Chinese double-byte text
// is recognised here from its byte pairs; everything else is left to the
// engine's own guess.
namespace SubtitleCharset {

// What the engine's guess is replaced by: "GB18030" (which covers GBK and
// GB2312), "BIG5", or "auto" to keep the engine's guess (UTF-8 with or
// without a byte order mark, UTF-16 with one, and text that is not clearly
// Chinese).
QByteArray codepageOf(const QByteArray &head);

// The same for the first bytes of a file; "auto" when it cannot be read.
QByteArray codepageOfFile(const QString &path);

} // namespace SubtitleCharset
