#include "mainwindow/playtime.h"

#include <QTime>

QString formatPlayTime(int milliseconds)
{
    // Truncating division would turn a small negative time into 00:00:00.
    if (milliseconds < 0)
        return QString();
    const QTime time(
        milliseconds / 3600000, (milliseconds % 3600000) / 60000, (milliseconds % 60000) / 1000);
    return time.toString(Qt::TextDate);
}
