#include "mainwindow/clipboardwatch.h"

namespace {

bool isHexDigit(QChar c)
{
    const ushort u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

QString firstHexRun(const QString &text, int length)
{
    int run = 0;
    for (int i = 0; i < text.size(); ++i) {
        run = isHexDigit(text.at(i)) ? run + 1 : 0;
        if (run == length)
            return text.mid(i + 1 - length, length);
    }
    return QString();
}

QString firstAppdataId(const QString &text)
{
    static const QString prefix = QStringLiteral("appdata_");
    for (int at = text.indexOf(prefix); at >= 0; at = text.indexOf(prefix, at + 1)) {
        const int start = at + prefix.size();
        if (start + 32 > text.size())
            break;
        int digits = 0;
        while (digits < 32 && isHexDigit(text.at(start + digits)))
            ++digits;
        if (digits == 32)
            return text.mid(at, prefix.size() + 32);
    }
    return QString();
}

} // namespace

QString ClipboardWatch::resourceIdIn(const QString &text)
{
    const QString hash = firstHexRun(text, 40);
    return hash.isEmpty() ? firstAppdataId(text) : hash;
}

bool ClipboardWatch::isNewResourceText(const QString &text)
{
    if (text.isEmpty() || text == m_lastSeen)
        return false;
    m_lastSeen = text;
    return !resourceIdIn(text).isEmpty();
}
