#include "captcha.h"

#include <QRandomGenerator>

#include <cmath>
#include <memory>
#include <stdexcept>

#include <gd.h>

namespace {

constexpr int Width = 120;
constexpr int Height = 40;
constexpr double GlyphPixels = 26;
// Found through fontconfig; the service package depends on the font.
const char FontPattern[] = "DejaVu Sans:bold";
constexpr double Pi = 3.14159265358979323846;

struct ImageDeleter
{
    void operator()(gdImage *image) const { gdImageDestroy(image); }
};

// Draws one character centred on (x, y), turned by `degrees` (positive turns
// it anticlockwise); without an image it only measures. Returns libgd's
// error, or nullptr.
const char *drawGlyph(
    gdImage *image, int colour, const QByteArray &utf8, double x, double y, double degrees)
{
    gdFTStringExtra extra {};
    // 72 dots per inch make the point size a pixel size.
    extra.flags = gdFTEX_FONTCONFIG | gdFTEX_RESOLUTION;
    extra.hdpi = 72;
    extra.vdpi = 72;
    int box[8];
    // The unturned bounds give the offset of the glyph's centre from the
    // baseline origin that libgd turns around.
    if (const char *error = gdImageStringFTEx(
            nullptr, box, colour, FontPattern, GlyphPixels, 0, 0, 0, utf8.constData(), &extra))
        return error;
    if (!image)
        return nullptr;
    const double cx = (box[0] + box[2]) / 2.0;
    const double cy = (box[1] + box[5]) / 2.0;
    const double angle = degrees * Pi / 180;
    const double turnedX = cx * std::cos(angle) + cy * std::sin(angle);
    const double turnedY = -cx * std::sin(angle) + cy * std::cos(angle);
    return gdImageStringFTEx(image, box, colour, FontPattern, GlyphPixels, angle,
        int(std::lround(x - turnedX)), int(std::lround(y - turnedY)), utf8.constData(), &extra);
}

} // namespace

QString CaptchaRenderer::alphabet()
{
    // Letters and digits that are easy to tell apart (no 0/O, 1/I/L).
    return QStringLiteral("ABCDEFGHJKMNPQRSTUVWXYZ23456789");
}

CaptchaRenderer::CaptchaRenderer()
{
    gdFontCacheSetup();
    if (const char *error = drawGlyph(nullptr, 0, QByteArrayLiteral("W"), 0, 0, 0)) {
        gdFontCacheShutdown();
        throw std::runtime_error(std::string("captcha font \"") + FontPattern + "\": " + error);
    }
}

CaptchaRenderer::~CaptchaRenderer()
{
    gdFontCacheShutdown();
}

QByteArray CaptchaRenderer::render(const QString &text) const
{
    QRandomGenerator random = QRandomGenerator::securelySeeded();
    const auto shade = [&random](int low, int high) {
        return gdTrueColor(
            random.bounded(low, high), random.bounded(low, high), random.bounded(low, high));
    };
    const std::unique_ptr<gdImage, ImageDeleter> image(gdImageCreateTrueColor(Width, Height));
    if (!image)
        return {};
    gdImageFilledRectangle(image.get(), 0, 0, Width - 1, Height - 1, gdTrueColor(235, 240, 245));
    // Light strokes under the text, two pixels wide.
    gdImageSetThickness(image.get(), 2);
    for (int i = 0; i < 6; ++i)
        gdImageLine(image.get(), random.bounded(Width), random.bounded(Height),
            random.bounded(Width), random.bounded(Height), shade(120, 220));
    gdImageSetThickness(image.get(), 1);
    const int step = text.isEmpty() ? 0 : (Width - 8) / int(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (!alphabet().contains(text.at(i)))
            continue;
        drawGlyph(image.get(), shade(20, 110), QString(text.at(i)).toUtf8(),
            4 + i * step + step / 2.0, Height / 2.0 + random.bounded(-3, 4),
            random.bounded(-25, 26));
    }
    for (int i = 0; i < 120; ++i)
        gdImageSetPixel(image.get(), random.bounded(Width), random.bounded(Height), shade(0, 256));
    int size = 0;
    void *png = gdImagePngPtr(image.get(), &size);
    if (!png)
        return {};
    const QByteArray bytes(static_cast<const char *>(png), size);
    gdFree(png);
    return bytes;
}
