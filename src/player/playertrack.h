#pragma once

#include <QString>
#include <QVector>

// One audio or subtitle track of the open file, as the engine lists it.
struct PlayerTrack
{
    enum Kind { Audio, Subtitle };

    Kind kind = Audio;
    // The engine's id, counted from 1 within each kind.
    int id = 0;
    QString title;
    QString language;
    // An external subtitle file: its path.
    QString externalFile;
    bool selected = false;
};

// The menu text of a track: its title and language where the file names
// them, the external file's name, else "音轨 N" / "字幕轨 N" with N its place
// among the tracks of its kind (from 1).
QString trackLabel(const PlayerTrack &track, int ordinal);

// The tracks of one kind, in the engine's order.
QVector<PlayerTrack> tracksOfKind(const QVector<PlayerTrack> &tracks, PlayerTrack::Kind kind);
