#include "player/playertrack.h"

#include <QFileInfo>

QString trackLabel(const PlayerTrack &track, int ordinal)
{
    QString title = track.title;
    if (title.isEmpty() && !track.externalFile.isEmpty())
        title = QFileInfo(track.externalFile).fileName();
    if (!title.isEmpty() && !track.language.isEmpty())
        return QStringLiteral("%1 (%2)").arg(title, track.language);
    if (!title.isEmpty())
        return title;
    if (!track.language.isEmpty())
        return track.language;
    return (
        track.kind == PlayerTrack::Audio ? QStringLiteral("音轨 %1") : QStringLiteral("字幕轨 %1"))
        .arg(ordinal);
}

QVector<PlayerTrack> tracksOfKind(const QVector<PlayerTrack> &tracks, PlayerTrack::Kind kind)
{
    QVector<PlayerTrack> result;
    for (const PlayerTrack &track : tracks) {
        if (track.kind == kind)
            result.append(track);
    }
    return result;
}
