#include "account/announcements.h"

#include <QRegularExpression>

namespace Announcements {

QString labelText(const QString &link, const QString &title)
{
    // One pass: a "%2" inside the link must not be replaced by the title.
    return QStringLiteral("<a href=\"%1\" style=\"text-decoration: none; color:#01bd31;\">%2</a>")
        .arg(link.toHtmlEscaped(), title.toHtmlEscaped());
}

QString shownTitle(const QString &labelText)
{
    static const QRegularExpression title(QStringLiteral(">([\\s\\S]+)</a>"));
    const QRegularExpressionMatch match = title.match(labelText);
    if (!match.hasMatch())
        return QString();
    // Undoes toHtmlEscaped; "&amp;" last so that an escaped "&lt;" stays.
    QString text = match.captured(1);
    text.replace(QLatin1String("&lt;"), QLatin1String("<"));
    text.replace(QLatin1String("&gt;"), QLatin1String(">"));
    text.replace(QLatin1String("&quot;"), QLatin1String("\""));
    text.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return text;
}

QMap<QString, QString>::const_iterator next(
    const QMap<QString, QString> &announcements, const QString &labelText)
{
    auto shown = announcements.constFind(shownTitle(labelText));
    if (shown == announcements.constEnd())
        return announcements.constBegin();
    ++shown;
    return shown == announcements.constEnd() ? announcements.constBegin() : shown;
}

} // namespace Announcements
