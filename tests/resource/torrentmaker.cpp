#include "torrentmaker.h"

#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/torrent_info.hpp>

#include <iterator>
#include <sstream>

namespace {

std::string hex(const lt::sha1_hash &hash)
{
    std::ostringstream out;
    out << hash;
    return out.str();
}

} // namespace

MadeTorrent makeTorrent(
    const std::vector<std::pair<std::string, std::int64_t>> &files, int pieceSize)
{
    lt::file_storage storage;
    for (const auto &file : files)
        storage.add_file(files.size() == 1 ? file.first : "root/" + file.first, file.second);
    lt::create_torrent torrent(storage, pieceSize, lt::create_torrent::v1_only);
    torrent.set_creator("tavrion tests");
    torrent.add_tracker("http://127.0.0.1:6969/announce");
    for (lt::piece_index_t piece(0); piece < lt::piece_index_t(torrent.num_pieces()); ++piece) {
        char digest[20] = {};
        digest[19] = 1; // an all-zero hash counts as unset
        const int value = static_cast<int>(piece);
        for (int i = 0; i < 4; ++i)
            digest[i] = char(value >> (8 * i));
        torrent.set_hash(piece, lt::sha1_hash(digest));
    }
    MadeTorrent made;
    lt::bencode(std::back_inserter(made.data), torrent.generate());
    made.infoHash = libtorrentInfoHash(made.data);
    return made;
}

std::string libtorrentInfoHash(const std::string &data)
{
    lt::load_torrent_limits limits;
    limits.max_buffer_size = 1 << 30;
    limits.max_decode_tokens = 100000000;
    limits.max_pieces = 0x1000000;
    try {
        lt::torrent_info info(
            lt::span<const char>(data.data(), long(data.size())), limits, lt::from_span);
        return hex(info.info_hashes().v1);
    } catch (const lt::system_error &) {
        return std::string();
    }
}

std::string libtorrentInfoHashOfFile(const std::string &path)
{
    lt::load_torrent_limits limits;
    limits.max_buffer_size = 1 << 30;
    limits.max_decode_tokens = 100000000;
    limits.max_pieces = 0x1000000;
    try {
        lt::torrent_info info(path, limits);
        return hex(info.info_hashes().v1);
    } catch (const lt::system_error &) {
        return std::string();
    }
}
