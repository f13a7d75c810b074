#include "preferences/subtitlelimit.h"

#include <QFileInfo>

namespace SubtitleLimit {

qint64 limitFor(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("sup") || suffix == QLatin1String("sub") ? PictureBytes
                                                                            : TextBytes;
}

bool isTooLarge(const QString &path)
{
    const QFileInfo file(path);
    return file.isFile() && file.size() > limitFor(path);
}

} // namespace SubtitleLimit
