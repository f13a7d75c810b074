#pragma once

#include <QByteArray>
#include <QString>

// Draws sign-up captcha pictures with libgd and FreeType, so the service
// needs no GUI library. One renderer serves every thread: libgd's font cache
// is set up for concurrent use while the renderer lives.
class CaptchaRenderer
{
public:
    // Throws std::runtime_error when the captcha font cannot be loaded.
    CaptchaRenderer();
    ~CaptchaRenderer();
    CaptchaRenderer(const CaptchaRenderer &) = delete;
    CaptchaRenderer &operator=(const CaptchaRenderer &) = delete;

    static QString alphabet();
    // A PNG showing the text's characters, slightly rotated, over noise.
    QByteArray render(const QString &text) const;
};
