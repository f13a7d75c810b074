#pragma once

#include <QString>

class Store;

// Adding resources to the library folder of a data folder. Payload files are
// hard-linked (or copied when a link is impossible) under "library/<id>/",
// and each file's SHA-1 is computed once here.
struct AddResult
{
    bool ok = false;
    QString id; // info-hash in lowercase hex, or the appdata id
    QString error; // why it failed
};

// A .torrent and the folder its files were made from: either the folder that
// holds the torrent's top entry, or that entry itself for a multi-file torrent.
AddResult addTorrentResource(Store &store, const QString &torrentPath, const QString &payloadDir);
// Every regular file below a folder, ordered by relative path, as one resource.
AddResult addFolderResource(Store &store, const QString &folder);
// Writes a v1 .torrent describing a file or folder; empty text on success.
QString makeTorrent(const QString &path, const QString &outputPath);

// Normalises a resource id as given by a client: 40 hex digits in any case
// become lowercase; "appdata_" plus 32 hex digits keeps its prefix with the
// digits lowercased. Anything else yields empty text.
QString normaliseResourceId(const QString &id);

// True when a relative path stays inside its folder (no "..", no root).
bool isSafeRelativePath(const QString &path);
