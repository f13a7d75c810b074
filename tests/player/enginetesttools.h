#pragma once

// Helpers shared by the suites that drive the real mpv engine.

#include "player/aplayercontrol.h"
#include "player/mpvengine.h"

#include <QSignalSpy>
#include <QString>
#include <QVector>

#include <mpv/client.h>

#include <cmath>

// Puts in `control` a fresh control, with no window, whose engine is a
// libmpv engine made with `options`; the factory stays set until
// dropMpvControl().
inline APlayerControl *makeMpvControl(
    std::unique_ptr<APlayerControl> &control, MpvEngine::Options options = { { "ao", "null" } })
{
    APlayerControl::setEngineFactory([options] { return std::make_unique<MpvEngine>(options); });
    control = std::make_unique<APlayerControl>();
    control->initialize(0);
    return control.get();
}

inline void dropMpvControl(std::unique_ptr<APlayerControl> &control)
{
    control.reset();
    APlayerControl::setEngineFactory({});
}

// Opens `file` and waits until the control reports it open.
inline bool openAndWait(APlayerControl *control, const QSharedPointer<VideoFileInfo> &file)
{
    QSignalSpy opened(control, &APlayerControl::onOpenSucceeded);
    return control->open(file) && opened.wait(15000);
}

// A property of the engine's mpv handle as mpv prints it.
inline QString mpvString(APlayerControl *control, const char *name)
{
    auto *engine = dynamic_cast<MpvEngine *>(control->engine());
    char *text = mpv_get_property_string(engine->handle(), name);
    const QString value = QString::fromUtf8(text);
    mpv_free(text);
    return value;
}

// Engine options that send the sound, as 48 kHz 16-bit stereo samples, to
// the file `path` as fast as it can be written: a file plays through at once.
inline MpvEngine::Options pcmOutput(const QString &path)
{
    return { { "ao", "pcm" }, { "ao-pcm-file", path.toUtf8() }, { "ao-pcm-waveheader", "no" },
        { "audio-format", "s16" }, { "audio-samplerate", "48000" }, { "audio-channels", "stereo" },
        { "untimed", "yes" } };
}

// One channel (0 left, 1 right) of such samples as values from -1 to 1:
// `frames` frames around the middle, away from fades at the edges.
inline QVector<double> pcmMiddle(const QByteArray &bytes, int channel, int frames)
{
    const auto *samples = reinterpret_cast<const qint16 *>(bytes.constData());
    const int middle = int(bytes.size() / 4) / 2;
    QVector<double> values;
    for (int i = middle - frames / 2; i < middle + frames / 2; ++i)
        values << samples[2 * i + channel] / 32768.0;
    return values;
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
