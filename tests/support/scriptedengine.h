#pragma once

#include "player/aplayercontrol.h"
#include "player/playerengine.h"

#include <QHash>
#include <QStringList>
#include <QVector>

// A stand-in engine for tests of the engine's users. It records every call
// and reports the transitions a real engine makes, at once:
//   open: 0->1 (finishOpen: onOpenSucceeded, 1->4, 4->5; failOpen: 1->0)
//   pause from 4 or 5: ->2, 2->3     play from 2 or 3: ->4, 4->5
//   close while a file is active: ->6, 6->0     reachEnd: ->6, 6->0, end of file
// play and pause outside those states do nothing and answer 1, as the real
// engine does. Configuration values are stored and read back as written.
class ScriptedEngine : public PlayerEngine
{
public:
    QString name() const override;
    bool initialize(QWidget *host, APlayerControlEventHandler *sink, QString *error) override;
    int open(const QString &url) override;
    int close() override;
    int play() override;
    int pause() override;
    int state() const override;
    int duration() const override;
    int position() const override;
    int seek(int milliseconds) override;
    int setVolume(int volume) override;
    QString config(int id) const override;
    int setConfig(int id, const QString &value) override;

    // Driving the engine from a test.
    void finishOpen();
    void failOpen();
    void reachEnd();
    void buffer(int percent);
    void message(int message, int wParam, int lParam);
    void changeState(int newState);
    // Sends a raw event number with its arguments to the handler.
    void event(int number, const QVector<int> &arguments);

    // What the engine was told, one entry per call: "open <url>", "close",
    // "play", "pause", "seek <ms>", "volume <v>", "config <id> <value>".
    QStringList calls;
    QHash<int, QString> configValues;
    int durationMs = 0;
    int positionMs = 0;
    bool failInitialize = false;
    // The host handed to initialize (nullptr without one).
    QWidget *host = nullptr;

private:
    APlayerControlEventHandler *m_sink = nullptr;
    int m_state = 0;
};

// Builds scripted engines for APlayerControl; each one made is also put in
// `*made`, when given.
APlayerControl::EngineFactory scriptedEngines(ScriptedEngine **made = nullptr);
