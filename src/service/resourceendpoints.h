#pragma once

#include "resource/videofileinfo.h"
#include "service/serverclient.h"

#include <QList>
#include <QStringList>

struct FileListResult : ServerResult
{
    QList<QSharedPointer<VideoFileInfo>> files;
};

struct DomainListResult : ServerResult
{
    QStringList domains;
};

// The files of a resource (40 hex digits or "appdata_" + 32), sorted by index.
FileListResult getResourceFileList(const QString &hash);
// Asks the service for the file's own hash (jxhash) and, when it serves the
// file under another resource, for that resource's hash, index and size.
ServerResult getVideoFileHash(const QSharedPointer<VideoFileInfo> &info);
// Asks for the playable address of the file: fills code, comCookie and host.
// reload is 1 when the user asked to resolve the file afresh, else 0.
ServerResult getVideoFileAddress(const QSharedPointer<VideoFileInfo> &info, int reload);
// The host domains a playable address may point at.
DomainListResult getVideoDomainList();
// The first page (at most 100) of the user's favourites.
FileListResult getCollectList();
ServerResult addCollect(const QString &hash, uint index, const QString &name);
ServerResult deleteCollect(uint id);
ServerResult reportResource(const QString &name, const QString &desc);
