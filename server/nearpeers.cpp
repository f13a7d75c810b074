#include "nearpeers.h"

#include <libtorrent/peer_connection.hpp>
#include <libtorrent/peer_connection_handle.hpp>
#include <libtorrent/peer_request.hpp>

#include <algorithm>
#include <atomic>
#include <limits>

namespace {

using Clock = Delivery::Clock;

// A reader that waits longer than this is served by every peer again.
constexpr Clock::duration MostHeld = std::chrono::milliseconds(1500);

// The peer's connection is reached through libtorrent's internal class,
// whose layout comes from the installed headers. Should the library have been
// built with another layout, the flags read through it would disagree with
// the exported calls; then nothing is ever written to a connection.
std::atomic<bool> layoutDiffers { false };

std::int64_t blockKey(const lt::peer_request &request)
{
    return (std::int64_t(static_cast<int>(request.piece)) << 32) | std::uint32_t(request.start);
}

} // namespace

struct NearPeers::Peer final : lt::peer_plugin
{
    Peer(std::weak_ptr<NearPeers> owner, const lt::peer_connection_handle &handle)
        : owner(std::move(owner))
        , handle(handle)
    {
    }

    void sent_request(const lt::peer_request &request) override
    {
        delivery.requested(blockKey(request), request.length, Clock::now());
    }
    void sent_cancel(const lt::peer_request &request) override
    {
        delivery.dropped(blockKey(request));
    }
    bool on_reject(const lt::peer_request &request) override
    {
        delivery.dropped(blockKey(request));
        return false;
    }
    bool on_choke() override
    {
        delivery.clear();
        return false;
    }
    // Before libtorrent picks this peer's next blocks, which apply() may
    // forbid.
    bool on_piece(const lt::peer_request &request, lt::span<char const>) override
    {
        delivery.received(blockKey(request), request.length, Clock::now());
        if (const auto near = owner.lock())
            near->apply();
        return false;
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

void NearPeers::urgeOn(lt::torrent_handle handle, const std::shared_ptr<NearPeers> &near,
    std::vector<int> pieces, int pieceBytes)
{
    // A torrent runs the extension factories it is given on its own thread,
    // in order with the handle's other calls; this one adds nothing.
    handle.add_extension([near, pieces = std::move(pieces), pieceBytes](const lt::torrent_handle &,
                             lt::client_data_t) -> std::shared_ptr<lt::torrent_plugin> {
        near->urge(pieces, pieceBytes);
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
    const auto it = std::find(m_waited.begin(), m_waited.end(), static_cast<int>(piece));
    if (it == m_waited.end())
        return;
    m_waited.erase(it);
    apply();
}

void NearPeers::tick()
{
    apply();
}

void NearPeers::urge(std::vector<int> pieces, int pieceBytes)
{
    m_waited = std::move(pieces);
    m_since = Clock::now();
    m_pieceBytes = pieceBytes;
    apply();
}

void NearPeers::apply()
{
    const Clock::time_point now = Clock::now();
    if (!m_waited.empty() && now - m_since > MostHeld)
        m_waited.clear();
    std::vector<std::shared_ptr<Peer>> peers;
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        if (auto peer = it->lock()) {
            peers.push_back(std::move(peer));
            ++it;
        } else {
            it = m_peers.erase(it);
        }
    }
    std::vector<double> expected;
    if (!m_waited.empty()) {
        for (const auto &peer : peers)
            expected.push_back(peer->delivery.expected(now, m_pieceBytes));
    }
    const std::vector<bool> slower = slowerThanBest(expected);
    for (std::size_t i = 0; i < peers.size(); ++i)
        peers[i]->hold(i < slower.size() && slower[i]);
}
