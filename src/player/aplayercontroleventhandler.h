#pragma once

#include <QVector>

// Turns the engine's numbered events into the signals of
// APlayerControl::instance. It is the only place that knows the numbers.
class APlayerControlEventHandler
{
public:
    enum Event { Message = 1, StateChanged = 2, OpenSucceeded = 3, Buffer = 5, EndOfFile = 6 };

    // Emits the signal of the event; unknown numbers and events with too few
    // arguments emit nothing. Always answers 0 (accepted).
    int invoke(int event, const QVector<int> &arguments);
};
