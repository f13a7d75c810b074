#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// .torrent files made and read by libtorrent, the reference for info-hashes.
// Kept free of Qt so that Qt's keyword macros never meet Boost's headers.

struct MadeTorrent
{
    std::string data;
    std::string infoHash; // lowercase hexadecimal SHA-1 of the info dictionary
};

// A v1 torrent of the given files (path relative to the torrent's root folder,
// size in bytes); one file makes a single-file torrent.
MadeTorrent makeTorrent(
    const std::vector<std::pair<std::string, std::int64_t>> &files, int pieceSize);

// The info-hash libtorrent reads from the bytes of a .torrent file; empty when
// libtorrent refuses the data.
std::string libtorrentInfoHash(const std::string &data);

// The info-hash libtorrent reads from a .torrent file on disk; empty when it
// refuses the file.
std::string libtorrentInfoHashOfFile(const std::string &path);
