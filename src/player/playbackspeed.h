#pragma once

#include <QList>
#include <QString>

// Playback speeds: the steps of the speed keys, the menu's choices and how a
// speed is written for the user.
namespace PlaybackSpeed {

constexpr double Normal = 1.0;
constexpr double Minimum = 0.25;
constexpr double Maximum = 4.0;
constexpr double Step = 0.1;

// One step up or down, kept within Minimum..Maximum and rounded to
// hundredths so that repeated steps do not drift.
double faster(double speed);
double slower(double speed);
// Rounded to hundredths and kept within Minimum..Maximum.
double bounded(double speed);
bool isNormal(double speed);

// The choices of the speed menu.
QList<double> menuSpeeds();
// "1.5x", "1.0x", "0.25x".
QString text(double speed);

} // namespace PlaybackSpeed
