#include "mainwindow/playeroptions.h"

namespace PlayerOptions {

QList<Entry> aspectRatioEntries()
{
    return { { QStringLiteral("默认"), QStringLiteral("default") },
        { QStringLiteral("4 : 3"), QStringLiteral("4:3") },
        { QStringLiteral("16 : 9"), QStringLiteral("16:9") } };
}

QList<Entry> audioChannelEntries()
{
    return { { QStringLiteral("立体声 - 默认"), QStringLiteral("StereoAudioChannel") },
        { QStringLiteral("左声道"), QStringLiteral("LeftAudioChannel") },
        { QStringLiteral("右声道"), QStringLiteral("RightAudioChannel") },
        { QStringLiteral("左右混合"), QStringLiteral("LeftRightAudioChannel") } };
}

QList<Entry> renderModeEntries()
{
    return { { QStringLiteral("Overlay - xp默认"), QStringLiteral("Overlay") },
        { QStringLiteral("Renderless - 建议"), QStringLiteral("Renderless") },
        { QStringLiteral("EVR - win7及以上"), QStringLiteral("EVR") },
        { QStringLiteral("EVRCP - win7默认"), QStringLiteral("EVRCP") },
        { QStringLiteral("AVR - win7及以上"), QStringLiteral("AVR") } };
}

QString aspectRatioEngineText(const QString &saved, const QString &fileRatio)
{
    if (saved == QLatin1String("default"))
        return fileRatio;
    if (saved == QLatin1String("4:3"))
        return QStringLiteral("4;3");
    if (saved == QLatin1String("16:9"))
        return QStringLiteral("16;9");
    return saved;
}

static int indexOf(const QList<Entry> &entries, const QString &value)
{
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).value == value)
            return i;
    }
    return -1;
}

int audioChannelNumber(const QString &saved)
{
    return qMax(0, indexOf(audioChannelEntries(), saved));
}

int renderModeNumber(const QString &saved)
{
    return indexOf(renderModeEntries(), saved) + 1;
}

} // namespace PlayerOptions
