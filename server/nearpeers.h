// Which peers ask for the blocks a reader needs next. libtorrent lets any
// peer with room in its queue pick the next blocks, in an order that knows
// nothing of distance or queues: a peer 300 ms away, one that sends
// 0.2 MB/s or one with a second of requests ahead then holds up a reader
// that needs the block now, right after a seek most of all. Each
// connection's delivery is measured here, and a peer is kept from picking
// while the first block nobody has asked for yet is needed sooner than it
// would come from it, and much sooner than from the soonest peer. Requests
// in flight go on, and libtorrent's own rescue of late pieces with
// deadlines still asks any peer.
#pragma once

#include "delivery.h"

#include <libtorrent/extensions.hpp>
#include <libtorrent/peer_request.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class NearPeers : public lt::torrent_plugin, public std::enable_shared_from_this<NearPeers>
{
public:
    using Clock = Delivery::Clock;
    struct Peer;

    // Requests in flight per peer (the session's setting): 24 blocks still
    // carry 3.8 MB/s at a round trip of 100 ms, and keep what waits in a
    // peer's queue when the reader jumps elsewhere short.
    static constexpr int MostRequests = 24;

    // Where a reader is: the piece it reads, which of the next pieces are
    // missing, and the rate it is assumed to take bytes at. No piece: nobody
    // reads, and every peer picks freely.
    struct Reading
    {
        int piece = -1;
        std::vector<bool> missing; // from `piece` on
        int pieceBytes = 0;
        int lastPiece = 0; // of the torrent, and its size
        int lastPieceBytes = 0;
        double bytesPerSecond = 0;
    };

    // Queues read() on the torrent's network thread, in order with the
    // handle's other calls: ahead of the priorities and deadlines that make
    // the pieces wanted, since the peers pick as soon as those arrive.
    static void readOn(
        lt::torrent_handle handle, const std::shared_ptr<NearPeers> &near, Reading reading);

    std::shared_ptr<lt::peer_plugin> new_connection(
        const lt::peer_connection_handle &peer) override;
    void on_piece_pass(lt::piece_index_t piece) override;
    void tick() override;

    // The rest runs on the network thread only.
    void read(Reading reading);
    void asked(std::int64_t block);
    void settled(std::int64_t block, bool received);
    // Sets which peers may pick, from the current figures.
    void apply();
    // Seconds until the reader needs the first block nobody has asked for.
    double needSeconds() const;

private:
    std::vector<std::weak_ptr<Peer>> m_peers;
    Reading m_reading;
    std::unordered_map<std::int64_t, int> m_inFlight; // block: peers asked
    std::unordered_set<std::int64_t> m_received; // of pieces not verified yet
};
