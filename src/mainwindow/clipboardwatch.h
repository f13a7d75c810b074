#pragma once

#include <QString>

// The clipboard monitor's memory: which clipboard text it looked at last,
// and whether a newly seen text names a resource (an info-hash of 40
// hexadecimal digits, or "appdata_" and 32 of them, anywhere in the text).
class ClipboardWatch
{
public:
    // True when the text differs from the last one looked at and names a
    // resource. A new text is remembered either way, so each text is
    // searched once however long it stays on the clipboard. An empty text
    // is not remembered.
    bool isNewResourceText(const QString &text);

    // The first resource id in the text (an info-hash before an "appdata_"
    // id), or an empty text. One linear pass: texts of many megabytes are
    // checked without a noticeable pause.
    static QString resourceIdIn(const QString &text);

private:
    QString m_lastSeen;
};
