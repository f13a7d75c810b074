#include "player/aplayercontroleventhandler.h"

#include "player/aplayercontrol.h"

int APlayerControlEventHandler::invoke(int event, const QVector<int> &arguments)
{
    APlayerControl *control = APlayerControl::instance;
    if (!control) {
        return 0;
    }
    switch (event) {
    case Message:
        if (arguments.size() >= 3) {
            emit control->onMessage(arguments.at(0), arguments.at(1), arguments.at(2));
        }
        break;
    case StateChanged:
        if (arguments.size() >= 2) {
            emit control->onStateChanged(arguments.at(0), arguments.at(1));
        }
        break;
    case OpenSucceeded:
        emit control->onOpenSucceeded();
        break;
    case Buffer:
        if (!arguments.isEmpty()) {
            emit control->onBuffer(arguments.at(0));
        }
        break;
    case EndOfFile:
        emit control->onEndOfFile();
        break;
    default:
        break;
    }
    return 0;
}
