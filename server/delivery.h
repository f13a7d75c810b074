// How fast a peer connection delivers what is asked of it, and which peers
// may ask for the block a reader needs next (see NearPeers).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

// How one connection delivers: the shortest time from a request to its block
// lately, its best rate over a second, and what it has not answered yet.
class Delivery
{
public:
    using Clock = std::chrono::steady_clock;

    void requested(std::int64_t block, int bytes, Clock::time_point at);
    // Cancelled or rejected; false when it was not asked of this peer.
    bool dropped(std::int64_t block);
    bool received(std::int64_t block, int bytes, Clock::time_point at);
    // Choked or gone: nothing asked for is coming. Returns what was asked.
    std::vector<std::int64_t> clear();

    // Seconds until the last block of a pick made at `now` would come,
    // behind what is asked already: a peer allowed to pick asks for about a
    // second of its rate at once, at most `mostBytes`. A guess while the
    // connection is not measured, infinite while requests go unanswered for
    // long.
    double expected(Clock::time_point now, int mostBytes) const;

private:
    static constexpr std::size_t Samples = 32;
    struct Asked
    {
        std::int64_t block;
        int bytes;
        Clock::time_point at;
    };
    double latency() const;
    // Bytes per second: the best rate lately, or so far on a young
    // connection; 0 while not known.
    double rate() const;

    std::deque<Asked> m_asked;
    std::int64_t m_askedBytes = 0;
    double m_latencies[Samples] = {}; // request to block, seconds
    std::size_t m_taken = 0;
    double m_peakRate = 0; // bytes per second
    Clock::time_point m_firstBlock;
    Clock::time_point m_lastBlock;
    Clock::time_point m_spanStart;
    double m_spanBytes = 0;
    double m_totalBytes = 0;
};

// Which peers are kept from asking for more, from each one's expected time
// for its next pick: those that would deliver it later than the reader needs
// it (`needSeconds`) and much later than the soonest peer. None while no
// peer's time is finite.
std::vector<bool> heldBack(const std::vector<double> &expected, double needSeconds);
