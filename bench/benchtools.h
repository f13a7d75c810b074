// Small measuring helpers shared by the benchmarks.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <algorithm>

// The middle value; the mean of the two middle ones for an even count, 0 for none.
inline double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return (values.at((n - 1) / 2) + values.at(n / 2)) / 2;
}

// Keeps the longest gap between two turns of the event loop, the one still
// open when it is read included.
class StallWatch : public QObject
{
public:
    StallWatch()
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this,
            [this] { m_longest = std::max(m_longest, m_clock.restart()); });
        m_clock.start();
        m_timer.start();
    }
    qint64 longestMs() const { return std::max(m_longest, m_clock.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
};
