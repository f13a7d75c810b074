#include "delivery.h"

#include <algorithm>
#include <limits>

namespace {

using Clock = Delivery::Clock;
using Seconds = std::chrono::duration<double>;

constexpr double Never = std::numeric_limits<double>::infinity();
// A peer is kept from picking when a piece would come from it this much
// later than from the best peer (factor, then seconds).
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

void Delivery::dropped(std::int64_t block)
{
    const auto it = std::find_if(
        m_asked.begin(), m_asked.end(), [&](const Asked &asked) { return asked.block == block; });
    if (it != m_asked.end()) {
        m_askedBytes -= it->bytes;
        m_asked.erase(it);
    }
}

void Delivery::received(std::int64_t block, int bytes, Clock::time_point at)
{
    const auto it = std::find_if(
        m_asked.begin(), m_asked.end(), [&](const Asked &asked) { return asked.block == block; });
    if (it != m_asked.end()) {
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
}

void Delivery::clear()
{
    m_asked.clear();
    m_askedBytes = 0;
}

double Delivery::expected(Clock::time_point now, int bytes) const
{
    if (m_taken < 3)
        return Never;
    // A young connection has no full span behind it yet: its rate so far
    // stands in, once it has some length.
    const Seconds young = m_lastBlock - m_firstBlock;
    const double rate = m_peakRate > 0            ? m_peakRate
        : young >= std::chrono::milliseconds(200) ? m_totalBytes / young.count()
                                                  : 0;
    if (rate <= 0)
        return Never;
    const double latency = *std::min_element(m_latencies, m_latencies + std::min(m_taken, Samples));
    if (!m_asked.empty() && Seconds(now - m_lastBlock).count() > std::max(1.0, 4 * latency))
        return Never;
    return latency + double(m_askedBytes + bytes) / rate;
}

std::vector<bool> slowerThanBest(const std::vector<double> &expected)
{
    const double best
        = expected.empty() ? Never : *std::min_element(expected.begin(), expected.end());
    std::vector<bool> slower(expected.size(), false);
    if (best == Never)
        return slower;
    for (std::size_t i = 0; i < expected.size(); ++i)
        slower[i] = expected[i] > best * SlowerBy + SlowerMargin;
    return slower;
}
