#include "player/nextepisode.h"

#include <QFileInfo>

#include <algorithm>

namespace NextEpisode {

bool isVideoName(const QString &name)
{
    static const QStringList suffixes = { "mp4", "mkv", "avi", "rmvb", "rm", "wmv", "flv", "mov",
        "ts", "m2ts", "mts", "mpg", "mpeg", "m4v", "webm", "3gp", "vob", "f4v", "asf", "ogv" };
    return suffixes.contains(QFileInfo(name).suffix().toLower());
}

int naturalCompare(const QString &a, const QString &b)
{
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            int endA = i;
            int endB = j;
            while (endA < a.size() && a.at(endA).isDigit())
                ++endA;
            while (endB < b.size() && b.at(endB).isDigit())
                ++endB;
            // Compare values without leading zeros: first by length, then
            // digit by digit, so any length of number works.
            int startA = i;
            int startB = j;
            while (startA < endA - 1 && a.at(startA) == QLatin1Char('0'))
                ++startA;
            while (startB < endB - 1 && b.at(startB) == QLatin1Char('0'))
                ++startB;
            const int lengthA = endA - startA;
            const int lengthB = endB - startB;
            if (lengthA != lengthB)
                return lengthA < lengthB ? -1 : 1;
            const int digits
                = QStringView(a).mid(startA, lengthA).compare(QStringView(b).mid(startB, lengthB));
            if (digits != 0)
                return digits;
            i = endA;
            j = endB;
            continue;
        }
        const QChar x = a.at(i).toCaseFolded();
        const QChar y = b.at(j).toCaseFolded();
        if (x != y)
            return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size())
        return i < a.size() ? 1 : -1;
    // Equal but for case or leading zeros: a fixed order all the same.
    return a.compare(b);
}

QSharedPointer<VideoFileInfo> after(const QList<QSharedPointer<VideoFileInfo>> &files, uint index)
{
    QList<QSharedPointer<VideoFileInfo>> videos;
    for (const QSharedPointer<VideoFileInfo> &file : files) {
        if (file && isVideoName(file->name))
            videos.append(file);
    }
    std::stable_sort(videos.begin(), videos.end(),
        [](const QSharedPointer<VideoFileInfo> &x, const QSharedPointer<VideoFileInfo> &y) {
            return naturalCompare(x->name, y->name) < 0;
        });
    for (int i = 0; i + 1 < videos.size(); ++i) {
        if (videos.at(i)->index == index)
            return videos.at(i + 1);
    }
    return {};
}

} // namespace NextEpisode
