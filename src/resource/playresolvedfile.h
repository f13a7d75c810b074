#pragma once

#include "resource/videofileinfo.h"

class QWidget;

// The closing step of every play: opens the resolved record in the engine,
// waits until the engine reports it open, closes the calling dialog and
// records the play. Progress goes to the dialog's "messageLabel".
//
// True when the file opened. False, with nothing recorded, when the wait
// ended otherwise: the engine could not open the file (the message label then
// asks the user to reload), the file was stopped, the dialog was destroyed
// meanwhile or the program is quitting.
bool playResolvedFile(const QSharedPointer<VideoFileInfo> &fileInfo, QWidget *dialog);
