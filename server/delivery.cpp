#include "delivery.h"

#include <algorithm>
#include <limits>

namespace {

using Clock = Delivery::Clock;
using Seconds = std::chrono::duration<double>;

constexpr int BlockBytes = 16 * 1024;
constexpr double Never = std::numeric_limits<double>::infinity();
// A connection not measured yet counts as this far away: it gets blocks
// the reader needs a little later, and so gets measured.
constexpr double Unmeasured = 1.0;
// Blocks go to peers at most this much later than to the soonest one
// (factor, then seconds), unless the reader needs them later still.
constexpr double SlowerBy = 1.5;
constexpr double SlowerMargin = 0.05;
// Rates are taken over this span; the best one lately counts.
constexpr Clock::duration RateSpan = std::chrono::seconds(1);

} // namespace

void Delivery::requested(std::int64_t block, int bytes, Clock::time_point at)
{
    m_asked.push_back({ block, bytes, at });
    m_askedBytes += bytes;
}

bool Delivery::dropped(std::int64_t block)
{
    const auto it = std::find_if(
        m_asked.begin(), m_asked.end(), [&](const Asked &asked) { return asked.block == block; });
    if (it == m_asked.end())
        return false;
    m_askedBytes -= it->bytes;
    m_asked.erase(it);
    return true;
}

bool Delivery::received(std::int64_t block, int bytes, Clock::time_point at)
{
    const auto it = std::find_if(
        m_asked.begin(), m_asked.end(), [&](const Asked &asked) { return asked.block == block; });
    const bool asked = it != m_asked.end();
    if (asked) {
        m_latencies[m_taken++ % Samples] = Seconds(at - it->at).count();
        m_askedBytes -= it->bytes;
        m_asked.erase(it);
    }
    if (m_totalBytes == 0)
        m_firstBlock = m_spanStart = at;
    m_lastBlock = at;
    m_totalBytes += bytes;
    m_spanBytes += bytes;
    if (at - m_spanStart >= RateSpan) {
        // Let down slowly when the link slows.
        m_peakRate = std::max(m_spanBytes / Seconds(at - m_spanStart).count(), m_peakRate * 0.8);
        m_spanStart = at;
        m_spanBytes = 0;
    }
    return asked;
}

std::vector<std::int64_t> Delivery::clear()
{
    std::vector<std::int64_t> blocks;
    for (const Asked &asked : m_asked)
        blocks.push_back(asked.block);
    m_asked.clear();
    m_askedBytes = 0;
    return blocks;
}

double Delivery::latency() const
{
    return *std::min_element(m_latencies, m_latencies + std::min(m_taken, Samples));
}

double Delivery::expected(Clock::time_point now, int mostBytes) const
{
    if (m_taken < 3)
        return Unmeasured;
    const double rate = this->rate();
    if (rate <= 0)
        return Unmeasured;
    const double latency = this->latency();
    if (!m_asked.empty() && Seconds(now - m_lastBlock).count() > std::max(1.0, 4 * latency))
        return Never;
    // The requests in flight fill the round trip; only those beyond it
    // delay a new one.
    const double pick
        = std::clamp(rate, double(std::min(mostBytes, BlockBytes)), double(mostBytes));
    return std::max(latency, double(m_askedBytes) / rate) + pick / rate;
}

double Delivery::rate() const
{
    // A young connection has no full span behind it yet: its rate so far
    // stands in, once it has some length.
    const Seconds young = m_lastBlock - m_firstBlock;
    return m_peakRate > 0                         ? m_peakRate
        : young >= std::chrono::milliseconds(200) ? m_totalBytes / young.count()
                                                  : 0;
}

std::vector<bool> heldBack(const std::vector<double> &expected, double needSeconds)
{
    const double best
        = expected.empty() ? Never : *std::min_element(expected.begin(), expected.end());
    std::vector<bool> held(expected.size(), false);
    if (best == Never)
        return held;
    const double allowed = std::max(needSeconds, best * SlowerBy + SlowerMargin);
    for (std::size_t i = 0; i < expected.size(); ++i)
        held[i] = expected[i] > allowed;
    return held;
}
