// While a reader waits for the first pieces of a new range (a seek), only the
// peers that can deliver them soonest pick new blocks. libtorrent hands the
// blocks of pieces that became wanted to whichever peers pick first, in an
// order that knows nothing of distance or queues: a peer 300 ms away, one that
// sends 0.2 MB/s or one with a second of requests ahead then holds the reader
// up. Each connection's delivery is measured here; peers much slower than the
// best one are kept from picking until the pieces waited for are verified, or
// for a moment at most. Requests in flight go on, and libtorrent's own rescue
// of late pieces with deadlines still asks any peer.
#pragma once

#include "delivery.h"

#include <libtorrent/extensions.hpp>
#include <libtorrent/torrent_handle.hpp>

#include <memory>
#include <vector>

class NearPeers : public lt::torrent_plugin, public std::enable_shared_from_this<NearPeers>
{
public:
    using Clock = Delivery::Clock;
    struct Peer;

    // Queues urge() on the torrent's network thread, in order with the
    // handle's other calls: ahead of the priorities and deadlines that make
    // the pieces wanted, since the peers pick as soon as those arrive.
    static void urgeOn(lt::torrent_handle handle, const std::shared_ptr<NearPeers> &near,
        std::vector<int> pieces, int pieceBytes);

    std::shared_ptr<lt::peer_plugin> new_connection(
        const lt::peer_connection_handle &peer) override;
    void on_piece_pass(lt::piece_index_t piece) override;
    void tick() override;

    // The rest runs on the network thread only.
    void urge(std::vector<int> pieces, int pieceBytes);
    // Sets which peers may pick, from the current figures.
    void apply();

private:
    std::vector<std::weak_ptr<Peer>> m_peers;
    std::vector<int> m_waited; // pieces a reader waits for, not verified yet
    Clock::time_point m_since;
    int m_pieceBytes = 0;
};
