#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QString>

// Draws sign-up captcha pictures. The glyphs are rendered once, on the thread
// that owns the font system; pictures are then composed from those images on
// any thread, since painting on a QImage needs no fonts.
class CaptchaRenderer
{
public:
    CaptchaRenderer();

    static QString alphabet();
    // A PNG showing the text's characters, slightly rotated, over noise.
    QByteArray render(const QString &text) const;

private:
    QHash<QChar, QImage> m_glyphs;
};
