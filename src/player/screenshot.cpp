#include "player/screenshot.h"

#include "common/atomicsave.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImageWriter>
#include <QStandardPaths>

namespace Screenshot {

QString defaultFolder()
{
    QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty())
        pictures = QDir::home().filePath(QStringLiteral("Pictures"));
    return QDir(pictures).filePath(QStringLiteral("Tavrion"));
}

QString fileName(const QString &videoName, int positionMs)
{
    // Names from a torrent may hold folders of either kind of separator.
    QString base = videoName.section(QLatin1Char('/'), -1).section(QLatin1Char('\\'), -1);
    const int dot = base.lastIndexOf(QLatin1Char('.'));
    if (dot > 0)
        base.truncate(dot);
    for (QChar &c : base) {
        if (c.category() == QChar::Other_Control || QStringLiteral(":*?\"<>|").contains(c))
            c = QLatin1Char('_');
    }
    base = base.trimmed();
    if (base.isEmpty() || base.startsWith(QLatin1Char('.')))
        base.prepend(QStringLiteral("Tavrion"));
    const int seconds = qMax(0, positionMs) / 1000;
    return QStringLiteral("%1_%2-%3-%4.png")
        .arg(base)
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

Result save(const QImage &frame, const QString &folder, const QString &videoName, int positionMs)
{
    Result result;
    if (frame.isNull()) {
        result.error = QStringLiteral("没有可截取的画面");
        return result;
    }
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isDir()) {
        result.error = QStringLiteral("无法创建文件夹 %1").arg(QDir::toNativeSeparators(folder));
        return result;
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(frame)) {
        result.error = writer.errorString();
        return result;
    }

    const QDir dir(folder);
    const QString name = fileName(videoName, positionMs);
    QString path = dir.filePath(name);
    for (int n = 2; QFileInfo::exists(path); ++n) {
        path = dir.filePath(name.left(name.size() - 4) + QStringLiteral(" (%1).png").arg(n));
    }
    QString error;
    if (!saveFileAtomically(path, png, &error)) {
        result.error = error;
        return result;
    }
    result.saved = true;
    result.path = path;
    return result;
}

} // namespace Screenshot
