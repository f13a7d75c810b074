// How fast a peer connection delivers what is asked of it, for choosing the
// peers a waiting reader's pieces are asked of (see NearPeers).
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
    void dropped(std::int64_t block); // cancelled or rejected
    void received(std::int64_t block, int bytes, Clock::time_point at);
    void clear(); // choked: nothing asked for is coming

    // Seconds until `bytes` asked for at `now` would have come, behind what
    // is asked already; infinite until three blocks came, or while requests
    // go unanswered for long.
    double expected(Clock::time_point now, int bytes) const;

private:
    static constexpr std::size_t Samples = 32;
    struct Asked
    {
        std::int64_t block;
        int bytes;
        Clock::time_point at;
    };
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

// Which peers a waiting reader keeps from picking, from each one's expected
// time: those much slower than the best one, and those not measured yet; none
// while no peer's time is known.
std::vector<bool> slowerThanBest(const std::vector<double> &expected);
