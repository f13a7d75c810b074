#include "captcha.h"

#include <QBuffer>
#include <QFont>
#include <QPainter>
#include <QRandomGenerator>
#include <QTransform>

namespace {

constexpr int Width = 120;
constexpr int Height = 40;
constexpr int GlyphSize = 32;

} // namespace

QString CaptchaRenderer::alphabet()
{
    // Letters and digits that are easy to tell apart (no 0/O, 1/I/L).
    return QStringLiteral("ABCDEFGHJKMNPQRSTUVWXYZ23456789");
}

CaptchaRenderer::CaptchaRenderer()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(26);
    font.setBold(true);
    for (const QChar c : alphabet()) {
        QImage glyph(GlyphSize, GlyphSize, QImage::Format_ARGB32_Premultiplied);
        glyph.fill(Qt::transparent);
        QPainter painter(&glyph);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(glyph.rect(), Qt::AlignCenter, QString(c));
        painter.end();
        m_glyphs.insert(c, glyph);
    }
}

QByteArray CaptchaRenderer::render(const QString &text) const
{
    QRandomGenerator random = QRandomGenerator::securelySeeded();
    QImage image(Width, Height, QImage::Format_RGB32);
    image.fill(QColor(235, 240, 245));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    for (int i = 0; i < 6; ++i) {
        painter.setPen(QPen(
            QColor(random.bounded(120, 220), random.bounded(120, 220), random.bounded(120, 220)),
            1.5));
        painter.drawLine(random.bounded(Width), random.bounded(Height), random.bounded(Width),
            random.bounded(Height));
    }
    const int step = text.isEmpty() ? 0 : (Width - 8) / text.size();
    for (int i = 0; i < text.size(); ++i) {
        QImage glyph = m_glyphs.value(text.at(i));
        if (glyph.isNull())
            continue;
        // Tint the white glyph with a dark random colour.
        QPainter tint(&glyph);
        tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
        tint.fillRect(glyph.rect(),
            QColor(random.bounded(20, 110), random.bounded(20, 110), random.bounded(20, 110)));
        tint.end();
        QTransform transform;
        transform.translate(4 + i * step + step / 2.0, Height / 2.0 + random.bounded(-3, 4));
        transform.rotate(random.bounded(-25, 26));
        painter.setTransform(transform);
        painter.drawImage(QPointF(-GlyphSize / 2.0, -GlyphSize / 2.0), glyph);
    }
    painter.resetTransform();
    for (int i = 0; i < 120; ++i)
        image.setPixelColor(random.bounded(Width), random.bounded(Height),
            QColor(random.bounded(256), random.bounded(256), random.bounded(256)));
    painter.end();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}
