#pragma once

// Helpers shared by the suites that drive the real mpv engine.

#include "player/aplayercontrol.h"
#include "player/mpvengine.h"

#include <QString>
#include <QVector>

#include <mpv/client.h>

#include <cmath>

// A property of the engine's mpv handle as mpv prints it.
inline QString mpvString(APlayerControl *control, const char *name)
{
    auto *engine = dynamic_cast<MpvEngine *>(control->engine());
    char *text = mpv_get_property_string(engine->handle(), name);
    const QString value = QString::fromUtf8(text);
    mpv_free(text);
    return value;
}

// Energy of one frequency in a run of samples (Goertzel), relative to the
// run's length.
inline double toneLevel(const QVector<double> &samples, double frequency, int rate)
{
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / rate);
    double previous = 0;
    double beforePrevious = 0;
    for (double sample : samples) {
        const double current = sample + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power = previous * previous + beforePrevious * beforePrevious
        - coefficient * previous * beforePrevious;
    return std::sqrt(power) / samples.size();
}
