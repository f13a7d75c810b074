#include "platform/desktopentry.h"

#include "common/atomicsave.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace DesktopEntry {
namespace {

// General escaping of a string value in a desktop entry.
QString escapeValue(const QString &value)
{
    QString out;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else
            out += c;
    }
    return out;
}

} // namespace

QString quoteExecArgument(const QString &argument)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
            || c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        // A literal percent sign is a field code unless doubled.
        if (c == QLatin1Char('%'))
            out += QLatin1Char('%');
        out += c;
    }
    out += QLatin1Char('"');
    return out;
}

bool create(const QString &entryPath, const QString &name, const QString &executable,
    const QString &workingDirectory, const QString &icon)
{
    const QFileInfo info(entryPath);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QString text;
    text += QLatin1String("[Desktop Entry]\n");
    text += QLatin1String("Type=Application\n");
    text += QLatin1String("Version=1.0\n");
    text += QLatin1String("Name=") + escapeValue(name) + QLatin1Char('\n');
    text += QLatin1String("Exec=") + escapeValue(quoteExecArgument(executable)) + QLatin1Char('\n');
    text += QLatin1String("Path=") + escapeValue(workingDirectory) + QLatin1Char('\n');
    text += QLatin1String("Icon=") + escapeValue(icon) + QLatin1Char('\n');
    text += QLatin1String("Terminal=false\n");
    text += QLatin1String("Categories=AudioVideo;Video;Player;\n");
    // Desktops only launch entries that are marked executable.
    return saveFileAtomically(entryPath, text.toUtf8(), nullptr,
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
            | QFile::ReadOther | QFile::ExeOther);
}

} // namespace DesktopEntry
