#pragma once

#include "player/playertrack.h"

#include <QString>

class PlayerEngine;
struct VideoFileInfo;

// The audio and subtitle track the user chose for each file, kept in
// "PlayTracks.dat" beside the resume positions: a JSON array, newest first,
// of objects with "resource_hash", "resource_index" and, where chosen,
// "audio" and "subtitle" (the engine's track id; subtitle 0 is off).
class TrackChoiceStore
{
public:
    static const int MaximumEntries = 500;
    static const int NotChosen = -1;

    struct Choice
    {
        int audio = NotChosen;
        int subtitle = NotChosen;
    };

    static QString fileName();
    static Choice choice(const QString &hash, uint index);
    // Puts the file's choice at the top of the list. False when the file
    // could not be replaced.
    static bool remember(const QString &hash, uint index, const Choice &choice);

    // Switches the engine to a track of the open file and remembers it for
    // the file; an external subtitle is switched to but not remembered, as it
    // gets another id when loaded again. False when the engine refused.
    static bool choose(
        PlayerEngine *engine, const VideoFileInfo &file, PlayerTrack::Kind kind, int id);
    // Applies the file's remembered choice to the engine, for the tracks the
    // file still has.
    static void apply(PlayerEngine *engine, const VideoFileInfo &file);
};
