#pragma once

#include <QString>

// Milliseconds as "hh:mm:ss"; empty for a negative time or one of 24 hours
// or more.
QString formatPlayTime(int milliseconds);
