#pragma once

#include <QString>
#include <QVariantList>

// The list of recently played files, newest first, kept in "PlayRecord.dat"
// in the working directory. One list per process; every change reloads the
// file first, so the file stays the single source of truth.
//
// Each record is a QVariantMap with "resource_hash", "resource_index",
// "file_hash" and "file_name".
class PlayRecordStore
{
public:
    static const int MaximumRecords = 100;

    static void load();
    // Replaces "PlayRecord.dat" with the list in memory; on failure the old
    // file stays and false is returned.
    static bool save(QString *errorText = nullptr);
    static int indexOf(const QString &hash, uint index);
    static void removeAt(int position);
    static void prepend(
        const QString &hash, uint index, const QString &jxhash, const QString &name);
    static int size();
    static QVariantList records();

    // Records a play: the file moves to (or enters at) the top; a new file
    // drops the oldest record when the list is exactly full. False when the
    // file could not be replaced.
    static bool addPlay(
        const QString &hash, uint index, const QString &jxhash, const QString &name);

private:
    static QVariantList &list();
};
