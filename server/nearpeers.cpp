#include "nearpeers.h"

#include <libtorrent/peer_connection.hpp>
#include <libtorrent/peer_connection_handle.hpp>

#include <algorithm>
#include <atomic>

namespace {

using Clock = Delivery::Clock;

constexpr int BlockBytes = 16 * 1024;

// The peer's connection is reached through libtorrent's internal class,
// whose layout comes from the installed headers. Should the library have been
// built with another layout, the flags read through it would disagree with
// the exported calls; then nothing is ever written to a connection.
std::atomic<bool> layoutDiffers { false };

std::int64_t blockKey(int piece, int start)
{
    return (std::int64_t(piece) << 32) | std::uint32_t(start);
}

std::int64_t blockKey(const lt::peer_request &request)
{
    return blockKey(static_cast<int>(request.piece), request.start);
}

int pieceOf(std::int64_t key)
{
    return int(key >> 32);
}

} // namespace

struct NearPeers::Peer final : lt::peer_plugin
{
    Peer(std::weak_ptr<NearPeers> owner, const lt::peer_connection_handle &handle)
        : owner(std::move(owner))
        , handle(handle)
    {
    }
    ~Peer() override { settleAll(); }

    void sent_request(const lt::peer_request &request) override
    {
        delivery.requested(blockKey(request), request.length, Clock::now());
        if (const auto near = owner.lock())
            near->asked(blockKey(request));
    }
    void sent_cancel(const lt::peer_request &request) override { drop(request); }
    bool on_reject(const lt::peer_request &request) override
    {
        drop(request);
        return false;
    }
    bool on_choke() override
    {
        settleAll();
        return false;
    }
    // Before libtorrent picks this peer's next blocks, which apply() may
    // forbid.
    bool on_piece(const lt::peer_request &request, lt::span<char const>) override
    {
        const bool asked = delivery.received(blockKey(request), request.length, Clock::now());
        if (const auto near = owner.lock()) {
            if (asked)
                near->settled(blockKey(request), true);
            near->apply();
        }
        return false;
    }

    void drop(const lt::peer_request &request)
    {
        if (!delivery.dropped(blockKey(request)))
            return;
        if (const auto near = owner.lock())
            near->settled(blockKey(request), false);
    }
    void settleAll()
    {
        const std::vector<std::int64_t> blocks = delivery.clear();
        if (const auto near = owner.lock()) {
            for (const std::int64_t block : blocks)
                near->settled(block, false);
        }
    }

    void hold(bool on)
    {
        if (on == held || layoutDiffers.load())
            return;
        const std::shared_ptr<lt::peer_connection> connection = handle.native_handle();
        if (!connection)
            return;
        if (connection->has_peer_choked() != handle.has_peer_choked()
            || connection->is_peer_interested() != handle.is_peer_interested()
            || connection->is_interesting() != handle.is_interesting()
            || connection->is_choked() != handle.is_choked()
            || connection->has_metadata() != handle.has_metadata()) {
            layoutDiffers = true;
            return;
        }
        connection->no_download(on);
        held = on;
    }

    std::weak_ptr<NearPeers> owner;
    lt::peer_connection_handle handle;
    Delivery delivery;
    bool held = false;
};

void NearPeers::readOn(
    lt::torrent_handle handle, const std::shared_ptr<NearPeers> &near, Reading reading)
{
    // A torrent runs the extension factories it is given on its own thread,
    // in order with the handle's other calls; this one adds nothing.
    handle.add_extension([near, reading = std::move(reading)](const lt::torrent_handle &,
                             lt::client_data_t) -> std::shared_ptr<lt::torrent_plugin> {
        near->read(reading);
        return nullptr;
    });
}

std::shared_ptr<lt::peer_plugin> NearPeers::new_connection(const lt::peer_connection_handle &peer)
{
    if (peer.type() != lt::connection_type::bittorrent)
        return nullptr;
    auto plugin = std::make_shared<Peer>(weak_from_this(), peer);
    m_peers.push_back(plugin);
    return plugin;
}

void NearPeers::on_piece_pass(lt::piece_index_t piece)
{
    const int index = static_cast<int>(piece);
    for (int start = 0; start < m_reading.pieceBytes; start += BlockBytes)
        m_received.erase(blockKey(index, start));
    const int ahead = index - m_reading.piece;
    if (m_reading.piece >= 0 && ahead >= 0 && ahead < int(m_reading.missing.size()))
        m_reading.missing[std::size_t(ahead)] = false;
}

void NearPeers::tick()
{
    apply();
}

void NearPeers::read(Reading reading)
{
    m_reading = std::move(reading);
    // Blocks of pieces behind the reader no longer count.
    for (auto it = m_received.begin(); it != m_received.end();) {
        if (m_reading.piece < 0 || pieceOf(*it) < m_reading.piece)
            it = m_received.erase(it);
        else
            ++it;
    }
    apply();
}

void NearPeers::asked(std::int64_t block)
{
    ++m_inFlight[block];
}

void NearPeers::settled(std::int64_t block, bool received)
{
    const auto it = m_inFlight.find(block);
    if (it != m_inFlight.end() && --it->second <= 0)
        m_inFlight.erase(it);
    // Only while a reader needs them: nothing would let go of the others.
    if (received && m_reading.piece >= 0 && pieceOf(block) >= m_reading.piece)
        m_received.insert(block);
}

double NearPeers::needSeconds() const
{
    const Reading &reading = m_reading;
    std::int64_t lead = std::int64_t(reading.missing.size()) * reading.pieceBytes;
    for (std::size_t ahead = 0; ahead < reading.missing.size(); ++ahead) {
        if (!reading.missing[ahead])
            continue;
        const int piece = reading.piece + int(ahead);
        const int bytes = piece == reading.lastPiece ? reading.lastPieceBytes : reading.pieceBytes;
        for (int start = 0; start < bytes; start += BlockBytes) {
            const std::int64_t key = blockKey(piece, start);
            if (m_received.count(key) == 0 && m_inFlight.count(key) == 0) {
                lead = std::int64_t(ahead) * reading.pieceBytes + start;
                return double(lead) / reading.bytesPerSecond;
            }
        }
    }
    return double(lead) / reading.bytesPerSecond;
}

void NearPeers::apply()
{
    std::vector<std::shared_ptr<Peer>> peers;
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        if (auto peer = it->lock()) {
            peers.push_back(std::move(peer));
            ++it;
        } else {
            it = m_peers.erase(it);
        }
    }
    if (m_reading.piece < 0 || m_reading.bytesPerSecond <= 0) {
        for (const auto &peer : peers)
            peer->hold(false);
        return;
    }
    const Clock::time_point now = Clock::now();
    std::vector<double> expected;
    for (const auto &peer : peers)
        expected.push_back(peer->delivery.expected(now, MostRequests * BlockBytes));
    const std::vector<bool> held = heldBack(expected, needSeconds());
    for (std::size_t i = 0; i < peers.size(); ++i)
        peers[i]->hold(held[i]);
}
