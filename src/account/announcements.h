#pragma once

#include <QMap>
#include <QString>

// The announcements of the title bar: one link at a time, in title order.
// The label's own text records which one is on show.
namespace Announcements {

// Rich text of the label for one announcement. Title and link are escaped,
// so text from the service is shown as it is, never read as markup.
QString labelText(const QString &link, const QString &title);

// The title the label text shows: everything between the first ">" and the
// last "</a>", unescaped. Empty when the text holds no link.
QString shownTitle(const QString &labelText);

// The announcement to show after the one in labelText: the next title in
// order, or the first one after the last one or when the label shows none
// of them. The map must not be empty.
QMap<QString, QString>::const_iterator next(
    const QMap<QString, QString> &announcements, const QString &labelText);

} // namespace Announcements
