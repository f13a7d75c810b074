#pragma once

#include <QString>

// Where each file was left, kept in "PlayPosition.dat" beside the play
// records in the working directory: a JSON array, newest first, of objects
// with "resource_hash", "resource_index", "position" and "duration" (ms).
// Every change reads the file first and replaces it in one step, so several
// processes and a crash mid-write never lose the list.
class ResumeStore
{
public:
    static const int MaximumEntries = 500;
    // Positions in the first 10 s or the last 5 % start the file afresh.
    static const int LeadIn = 10000;
    static const int TailPercent = 5;

    static QString fileName();
    // True when a file of this length is worth continuing from there.
    static bool isResumable(int position, int duration);
    // The remembered position of the file, or 0.
    static int position(const QString &hash, uint index);
    // Remembers a resumable position at the top of the list and forgets any
    // other one (the file was finished or barely begun). False when the file
    // could not be replaced.
    static bool remember(const QString &hash, uint index, int position, int duration);
};
