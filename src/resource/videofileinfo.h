#pragma once

#include <QSharedPointer>
#include <QString>

// One video file of a resource. Always shared through QSharedPointer so that
// every holder (row widgets, the engine's current file, downloads, a running
// resolution) sees the same record.
struct VideoFileInfo
{
    bool remapped = false;
    QString hash;
    QString remappedHash;
    uint index = 0;
    uint remappedIndex = 0;
    QString jxhash;
    QString name;
    quint64 fileSize = 0;
    quint64 remappedSize = 0;
    QString code;
    QString comCookie;
    QString host;
    QString url;
    uint favouriteId = 0;

    // The hash, index and size that actually apply: the service's substitute
    // once it has named one, else what the user gave.
    QString effectiveHash() const;
    uint effectiveIndex() const;
    quint64 effectiveSize() const;
};

using VideoFileInfoPtr = QSharedPointer<VideoFileInfo>;

Q_DECLARE_METATYPE(QSharedPointer<VideoFileInfo>)
