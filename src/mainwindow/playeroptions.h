#pragma once

#include <QList>
#include <QString>

// The picture and sound choices of the context menu: the labels the user
// sees, the texts saved in the settings, and what the engine is sent.
namespace PlayerOptions {

struct Entry
{
    QString label;
    QString value;
};

QList<Entry> aspectRatioEntries();
QList<Entry> audioChannelEntries();
QList<Entry> renderModeEntries();

// Engine text for a saved aspect ratio: "4:3" -> "4;3", "16:9" -> "16;9",
// "default" -> the file's own ratio; any other text goes as it is.
QString aspectRatioEngineText(const QString &saved, const QString &fileRatio);

// Engine number of a saved channel mode, 0..3; unknown texts give 0.
int audioChannelNumber(const QString &saved);

// Engine number of a saved render mode, 1..5; 0 for an unknown text.
int renderModeNumber(const QString &saved);

} // namespace PlayerOptions
