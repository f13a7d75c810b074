#pragma once

#include "player/playertrack.h"

#include <QImage>
#include <QPair>
#include <QString>
#include <QVector>

#include <functional>

class APlayerControlEventHandler;
class QWidget;

// The video engine behind APlayerControl. Calls answer a result code: 0 when
// done, a positive number when not done (the engine never returns a negative
// one). Events go to the handler given to initialize, as event numbers with
// integer arguments in their natural order:
//   1 window message (message, wParam, lParam)
//   2 state change (oldState, newState)
//   3 open succeeded ()
//   5 buffering (percent)
//   6 end of file (): the file played to its end; sent after its 6 -> 0
class PlayerEngine
{
public:
    virtual ~PlayerEngine() = default;

    // Name shown to the user when the engine cannot be loaded.
    virtual QString name() const = 0;
    // Creates the engine. With a host widget the picture is drawn into a
    // child that fills it and the child's input is reported as window
    // messages; without one the engine plays without a picture. Returns false
    // with a reason when the engine cannot be created.
    virtual bool initialize(QWidget *host, APlayerControlEventHandler *sink, QString *error) = 0;

    virtual int open(const QString &url) = 0;
    virtual int close() = 0;
    virtual int play() = 0;
    virtual int pause() = 0;
    virtual int state() const = 0;
    // Milliseconds; 0 when unknown.
    virtual int duration() const = 0;
    virtual int position() const = 0;
    virtual int seek(int milliseconds) = 0;
    virtual int setVolume(int volume) = 0;

    // Numbered configuration values, all as text (see APlayerControl::ConfigId).
    virtual QString config(int id) const = 0;
    virtual int setConfig(int id, const QString &value) = 0;

    // Comforts an engine may offer; the defaults do nothing.

    // A short text drawn over the picture for a while.
    virtual void showNotice(const QString &text, int milliseconds)
    {
        Q_UNUSED(text);
        Q_UNUSED(milliseconds);
    }
    // Stretches of the open file held in the engine's cache, in ms.
    virtual QVector<QPair<int, int>> bufferedRanges() const { return {}; }
    // With a handler set, a file that had started and stops early with a
    // read failure (an expired address, a host gone) does not end: its state
    // stays, and the handler gets the position it stopped at. The handler
    // then calls reopenInterrupted with a new address or endInterrupted.
    virtual void setInterruptionHandler(std::function<void(int position)> handler)
    {
        Q_UNUSED(handler);
    }
    virtual int reopenInterrupted(const QString &url, int position)
    {
        Q_UNUSED(url);
        Q_UNUSED(position);
        return 1;
    }
    virtual void endInterrupted() { }
    virtual bool isInterrupted() const { return false; }

    // Playback speed (1.0 normal); the pitch stays. It holds across files.
    virtual int setSpeed(double speed)
    {
        Q_UNUSED(speed);
        return 1;
    }
    virtual double speed() const { return 1.0; }
    // The open file's own audio and subtitle tracks and the external
    // subtitles loaded into it.
    virtual QVector<PlayerTrack> tracks() const { return {}; }
    // Switches to a track of that kind by id; id 0 turns subtitles off.
    virtual int selectTrack(PlayerTrack::Kind kind, int id)
    {
        Q_UNUSED(kind);
        Q_UNUSED(id);
        return 1;
    }
    // The frame on screen at the video's own size, without subtitles or
    // notices; a null image when there is none.
    virtual QImage videoFrame() const { return {}; }
};
