#include "player/playbackspeed.h"

#include <QtGlobal>

#include <cmath>

namespace PlaybackSpeed {

double bounded(double speed)
{
    if (!std::isfinite(speed))
        return Normal;
    return qBound(Minimum, std::round(speed * 100.0) / 100.0, Maximum);
}

double faster(double speed)
{
    return bounded(bounded(speed) + Step);
}

double slower(double speed)
{
    return bounded(bounded(speed) - Step);
}

bool isNormal(double speed)
{
    return bounded(speed) == Normal;
}

QList<double> menuSpeeds()
{
    return { 0.5, 0.75, 1.0, 1.25, 1.5, 2.0 };
}

QString text(double speed)
{
    const double value = bounded(speed);
    const bool tenths = std::fabs(value * 10 - std::round(value * 10)) < 1e-9;
    return QString::number(value, 'f', tenths ? 1 : 2) + QLatin1Char('x');
}

} // namespace PlaybackSpeed
