#pragma once

#include "resource/videofileinfo.h"

#include <QObject>
#include <QStringList>

// Turns a video file record that knows its resource hash, index, name and
// size into a playable address with the cookie it needs: the file hash call,
// the address call, the allowed host list and a probe of the candidate hosts.
//
// Progress goes to the caller's message label, reached only through its
// "text" property, so the steps run without any widget in tests. The label
// doubles as the run's lifeline: when it is destroyed while the run waits
// (its dialog closed and deleted, or the program going down) the run stops at
// the end of that wait and touches nothing of the caller any more.
class VideoFileResolver
{
public:
    // Where a run starts; each keeps its own cached host list.
    enum EntryPoint {
        ParseDialogPlay, // play and reload buttons of the resource parse dialog
        ParseDialogDownload,
        PlayRecordDialogPlay,
        FavouritesDialogPlay,
    };

    struct Options
    {
        bool sizeFromFileList; // ask the file list for the size first
        bool hostFirst; // probe the address call's host before the list
        bool probeRequired; // fail when no candidate passes
    };
    static Options options(EntryPoint entryPoint);

    // Runs the steps for the record. True when a playable address is settled
    // in the record's url; false after a failure (its message shown) or when
    // the message label went away during a wait.
    static bool resolve(const QSharedPointer<VideoFileInfo> &fileInfo, QObject *messageLabel,
        bool reload, EntryPoint entryPoint);

    // One probe of a candidate address: passes when more than 102400 bytes
    // arrive within 500 ms and the announced length equals expectedSize.
    static bool probe(const QString &url, const QString &cookie, quint64 expectedSize);

    // The cached host list of an entry point, as the next run will use it.
    static QStringList cachedDomainList(EntryPoint entryPoint);
    // Forgets every cached host list, as at process start.
    static void clearCachedDomainLists();

    static const int ProbeTimeout = 500;
    static const qint64 ProbeThreshold = 102400;

private:
    static QStringList &domainList(EntryPoint entryPoint);
    static void loadDomainList(QStringList &list);
};

// Shows a text in a message label given as a plain object; nothing when the
// label is gone.
void showMessage(QObject *messageLabel, const QString &text);
