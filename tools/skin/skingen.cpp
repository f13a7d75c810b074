// Draws the program's skin: every button image, slider handle and logo, as
// one set of flat line icons on the dark theme. Run through tools/skin/make-skin,
// which builds this file and writes the images under src/resources/.
//
// The dialogs' rules (palette, fonts, buttons, lists, the close button) are
// written once, at the head of src/resources/qss/dialog.qss. For images:
//  - every image lies under a folder named after its class and is named after
//    the button's object name with an upper-case first letter;
//  - image buttons get _Normal (glyph kGlyph), _Hover and _Pressed; buttons
//    that a dialog disables while it works (row buttons, tool buttons) also
//    get _Disabled (glyph kGlyphDisabled): button(..., Disabled::Yes);
//  - a dialog's "    关闭" button uses the family's :/Dialog/ClosePushButton_*
//    images; a class that must carry its own copy adds its folder to
//    kDialogsWithOwnCloseButton;
//  - message boxes show the family's marks, Dialog/MessageBox*.png, named in
//    dialog.qss, and no icons on their buttons;
//  - after a change run tools/skin/make-skin and commit the images and
//    src/resources/tavrion.qrc together.

#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

#include <cmath>
#include <functional>

namespace {

QString g_root;

// The palette of the dark theme.
const QColor kGlyph(196, 204, 212);
const QColor kGlyphHover(255, 255, 255);
const QColor kGlyphDisabled(78, 90, 102);
const QColor kAccent(29, 150, 232);
const QColor kAccentLight(86, 190, 245);
const QColor kAccentDark(20, 112, 178);
const QColor kDanger(226, 74, 74);
const QColor kDangerDark(184, 52, 52);
const QColor kHoverWash(255, 255, 255, 26);
const QColor kPressWash(0, 0, 0, 60);

using Draw = std::function<void(QPainter &, const QColor &)>;

// Paints into a transparent image of the given size at 4x and scales down, so
// thin strokes keep smooth edges at one-pixel sizes.
QImage render(QSize size, const std::function<void(QPainter &)> &paint)
{
    const int k = 4;
    QImage big(size * k, QImage::Format_ARGB32_Premultiplied);
    big.fill(Qt::transparent);
    {
        QPainter p(&big);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        p.scale(k, k);
        paint(p);
    }
    return big.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void save(const QString &path, const QImage &image)
{
    const QString full = g_root + QLatin1Char('/') + path;
    QDir().mkpath(QFileInfo(full).absolutePath());
    if (!image.save(full))
        qFatal("cannot write %s", qPrintable(full));
}

QPen line(const QColor &c, qreal width = 1.6)
{
    QPen pen(c, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

// A glyph drawn in a 24 x 24 box, centred and scaled into the image.
void glyph(QPainter &p, QSize size, qreal box, const Draw &draw, const QColor &c)
{
    p.save();
    p.translate((size.width() - box) / 2.0, (size.height() - box) / 2.0);
    p.scale(box / 24.0, box / 24.0);
    draw(p, c);
    p.restore();
}

// One still image of a glyph, for buttons whose states the program swaps.
void glyphImage(const QString &path, QSize size, qreal box, const Draw &draw, const QColor &c)
{
    save(path, render(size, [&](QPainter &p) { glyph(p, size, box, draw, c); }));
}

// The rounded background a button shows under the pointer; none when
// transparent.
void drawWash(QPainter &p, QSize size, const QColor &background, qreal radius)
{
    if (background.alpha() == 0)
        return;
    p.setPen(Qt::NoPen);
    p.setBrush(background);
    p.drawRoundedRect(QRectF(QPointF(0, 0), size).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
}

enum class Wash { None, Round, Danger };
enum class Disabled { No, Yes };

// Writes _Normal, _Hover and _Pressed (and _Disabled) images of one button.
void button(const QString &base, QSize size, qreal box, const Draw &draw, Wash wash = Wash::None,
    bool pressed = true, Disabled disabled = Disabled::No)
{
    struct State
    {
        const char *suffix;
        QColor colour;
        QColor background;
    };
    QList<State> states;
    if (wash == Wash::Danger) {
        states = { { "_Normal", kGlyph, Qt::transparent }, { "_Hover", kGlyphHover, kDanger },
            { "_Pressed", kGlyphHover, kDangerDark } };
    } else if (wash == Wash::Round) {
        states = { { "_Normal", kGlyph, Qt::transparent }, { "_Hover", kGlyphHover, kHoverWash },
            { "_Pressed", kAccentLight, kPressWash } };
    } else {
        states = { { "_Normal", kGlyph, Qt::transparent },
            { "_Hover", kAccentLight, Qt::transparent }, { "_Pressed", kAccent, Qt::transparent } };
    }
    if (!pressed)
        states.removeLast();
    if (disabled == Disabled::Yes)
        states.append({ "_Disabled", kGlyphDisabled, Qt::transparent });
    for (const State &s : states) {
        save(
            base + QLatin1String(s.suffix) + QStringLiteral(".png"), render(size, [&](QPainter &p) {
                drawWash(p, size, s.background, 4);
                glyph(p, size, box, draw, s.colour);
            }));
    }
}

// ---- glyphs (24 x 24 units) ----

// The question mark alone, without its ring.
void questionGlyphSign(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.setBrush(Qt::NoBrush);
    QPainterPath q;
    q.moveTo(9.2, 9.6);
    q.cubicTo(9.2, 7.6, 10.6, 6.8, 12.1, 6.8);
    q.cubicTo(13.8, 6.8, 14.9, 7.9, 14.9, 9.3);
    q.cubicTo(14.9, 11.2, 12.1, 11.5, 12.1, 13.6);
    p.drawPath(q);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QPointF(12.1, 16.9), 1.15, 1.15);
}

void questionGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(12, 12), 9, 9);
    questionGlyphSign(p, c);
}

void historyGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.setBrush(Qt::NoBrush);
    // An open clock face with an arrow at its gap: the play history.
    p.drawArc(QRectF(3, 3, 18, 18), 200 * 16, -320 * 16);
    QPainterPath arrow;
    arrow.moveTo(2.6, 9.0);
    arrow.lineTo(3.6, 13.2);
    arrow.lineTo(7.4, 11.4);
    p.drawPath(arrow);
    QPainterPath hands;
    hands.moveTo(12, 7.5);
    hands.lineTo(12, 12.3);
    hands.lineTo(15.2, 14.2);
    p.drawPath(hands);
}

void userGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(12, 8.4), 3.9, 3.9);
    QPainterPath body;
    body.moveTo(4.6, 20.2);
    body.cubicTo(4.6, 15.8, 8.0, 14.2, 12, 14.2);
    body.cubicTo(16.0, 14.2, 19.4, 15.8, 19.4, 20.2);
    p.drawPath(body);
}

QPainterPath pinPath()
{
    QPainterPath pin;
    pin.moveTo(9, 3.5);
    pin.lineTo(15, 3.5);
    pin.lineTo(14.2, 5.2);
    pin.lineTo(14.2, 10.2);
    pin.lineTo(17.6, 13.6);
    pin.lineTo(17.6, 15);
    pin.lineTo(6.4, 15);
    pin.lineTo(6.4, 13.6);
    pin.lineTo(9.8, 10.2);
    pin.lineTo(9.8, 5.2);
    pin.closeSubpath();
    return pin;
}

void pinGlyph(QPainter &p, const QColor &c, bool filled)
{
    p.setPen(line(c, 1.6));
    p.setBrush(filled ? QBrush(c) : QBrush(Qt::NoBrush));
    p.drawPath(pinPath());
    p.drawLine(QPointF(12, 15.5), QPointF(12, 21));
}

void minimizeGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.drawLine(QPointF(6, 12.5), QPointF(18, 12.5));
}

void maximizeGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(6.5, 6.5, 11, 11), 1.6, 1.6);
}

// Two overlapping windows: the maximise button's look while the window is
// maximised.
void restoreGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(5.5, 9.5, 9, 9), 1.4, 1.4);
    QPainterPath back;
    back.moveTo(9.5, 9.5);
    back.lineTo(9.5, 7);
    back.quadTo(9.5, 5.5, 11, 5.5);
    back.lineTo(17, 5.5);
    back.quadTo(18.5, 5.5, 18.5, 7);
    back.lineTo(18.5, 13);
    back.quadTo(18.5, 14.5, 17, 14.5);
    back.lineTo(14.5, 14.5);
    p.drawPath(back);
}

void closeGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.drawLine(QPointF(7, 7), QPointF(17, 17));
    p.drawLine(QPointF(17, 7), QPointF(7, 17));
}

void playGlyph(QPainter &p, const QColor &c)
{
    QPainterPath t;
    t.moveTo(6.5, 4.2);
    t.lineTo(19.5, 12);
    t.lineTo(6.5, 19.8);
    t.closeSubpath();
    p.setPen(line(c, 2.2));
    p.setBrush(c);
    p.drawPath(t);
}

void pauseGlyph(QPainter &p, const QColor &c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(QRectF(5.8, 4.2, 4.4, 15.6), 1.2, 1.2);
    p.drawRoundedRect(QRectF(13.8, 4.2, 4.4, 15.6), 1.2, 1.2);
}

void stopGlyph(QPainter &p, const QColor &c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(QRectF(3, 3, 18, 18), 3, 3);
}

void speakerGlyph(QPainter &p, const QColor &c)
{
    QPainterPath s;
    s.moveTo(3.5, 9.2);
    s.lineTo(7.2, 9.2);
    s.lineTo(12, 5);
    s.lineTo(12, 19);
    s.lineTo(7.2, 14.8);
    s.lineTo(3.5, 14.8);
    s.closeSubpath();
    p.setPen(line(c, 1.4));
    p.setBrush(c);
    p.drawPath(s);
}

void volumeGlyph(QPainter &p, const QColor &c)
{
    speakerGlyph(p, c);
    p.setPen(line(c, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(9.6, 8.4, 7.2, 7.2), -55 * 16, 110 * 16);
    p.drawArc(QRectF(7.6, 4.6, 14.6, 14.8), -55 * 16, 110 * 16);
}

void mutedGlyph(QPainter &p, const QColor &c)
{
    speakerGlyph(p, c);
    p.setPen(line(c, 1.7));
    p.drawLine(QPointF(15.2, 9.4), QPointF(20.4, 14.6));
    p.drawLine(QPointF(20.4, 9.4), QPointF(15.2, 14.6));
}

void downloadGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(12, 3.5), QPointF(12, 14.5));
    QPainterPath head;
    head.moveTo(7.5, 10.2);
    head.lineTo(12, 14.7);
    head.lineTo(16.5, 10.2);
    p.drawPath(head);
    QPainterPath tray;
    tray.moveTo(4, 15);
    tray.lineTo(4, 19.5);
    tray.lineTo(20, 19.5);
    tray.lineTo(20, 15);
    p.drawPath(tray);
}

QPainterPath starPath(QPointF centre, qreal outer, qreal inner)
{
    QPainterPath star;
    for (int i = 0; i < 10; ++i) {
        const qreal r = (i % 2 == 0) ? outer : inner;
        const qreal a = -M_PI / 2 + i * M_PI / 5;
        const QPointF pt(centre.x() + r * std::cos(a), centre.y() + r * std::sin(a));
        if (i == 0)
            star.moveTo(pt);
        else
            star.lineTo(pt);
    }
    star.closeSubpath();
    return star;
}

void starGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.setBrush(Qt::NoBrush);
    p.drawPath(starPath(QPointF(12, 12.8), 9.2, 4.2));
}

void linkGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.8));
    p.setBrush(Qt::NoBrush);
    p.save();
    p.translate(12, 12);
    p.rotate(-45);
    p.drawRoundedRect(QRectF(-10, -3.6, 10.6, 7.2), 3.6, 3.6);
    p.drawRoundedRect(QRectF(-0.6, -3.6, 10.6, 7.2), 3.6, 3.6);
    p.restore();
}

void fullScreenGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.8));
    p.setBrush(Qt::NoBrush);
    const qreal a = 4, b = 20, l = 5.5;
    QPainterPath path;
    path.moveTo(a, a + l);
    path.lineTo(a, a);
    path.lineTo(a + l, a);
    path.moveTo(b - l, a);
    path.lineTo(b, a);
    path.lineTo(b, a + l);
    path.moveTo(b, b - l);
    path.lineTo(b, b);
    path.lineTo(b - l, b);
    path.moveTo(a + l, b);
    path.lineTo(a, b);
    path.lineTo(a, b - l);
    p.drawPath(path);
}

void circledPlayGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
    QPainterPath t;
    t.moveTo(10, 8);
    t.lineTo(16, 12);
    t.lineTo(10, 16);
    t.closeSubpath();
    p.setPen(line(c, 1.2));
    p.setBrush(c);
    p.drawPath(t);
}

void reloadGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(4, 4, 16, 16), 60 * 16, 285 * 16);
    QPainterPath head;
    head.moveTo(15.6, 2.8);
    head.lineTo(16.4, 6.9);
    head.lineTo(12.4, 8.0);
    p.drawPath(head);
}

void trashGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(4.5, 6.5), QPointF(19.5, 6.5));
    p.drawLine(QPointF(9.5, 6.5), QPointF(10, 3.8));
    p.drawLine(QPointF(10, 3.8), QPointF(14, 3.8));
    p.drawLine(QPointF(14, 3.8), QPointF(14.5, 6.5));
    QPainterPath can;
    can.moveTo(6.5, 6.5);
    can.lineTo(7.5, 20);
    can.lineTo(16.5, 20);
    can.lineTo(17.5, 6.5);
    p.drawPath(can);
    p.drawLine(QPointF(10.2, 10), QPointF(10.4, 16.5));
    p.drawLine(QPointF(13.8, 10), QPointF(13.6, 16.5));
}

void copyGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(8.5, 8.5, 11.5, 11.5), 2, 2);
    QPainterPath back;
    back.moveTo(15.5, 5.5);
    back.lineTo(15.5, 5);
    back.quadTo(15.5, 4, 14.5, 4);
    back.lineTo(5, 4);
    back.quadTo(4, 4, 4, 5);
    back.lineTo(4, 14.5);
    back.quadTo(4, 15.5, 5, 15.5);
    back.lineTo(5.5, 15.5);
    p.drawPath(back);
}

void shuffleGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.setBrush(Qt::NoBrush);
    QPainterPath a;
    a.moveTo(3.5, 7);
    a.lineTo(7, 7);
    a.cubicTo(12, 7, 12, 17, 17, 17);
    a.lineTo(20, 17);
    QPainterPath b;
    b.moveTo(3.5, 17);
    b.lineTo(7, 17);
    b.cubicTo(12, 17, 12, 7, 17, 7);
    b.lineTo(20, 7);
    p.drawPath(a);
    p.drawPath(b);
    for (qreal y : { 7.0, 17.0 }) {
        QPainterPath head;
        head.moveTo(17.5, y - 3);
        head.lineTo(20.5, y);
        head.lineTo(17.5, y + 3);
        p.drawPath(head);
    }
}

void sweepGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.7));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(16.5, 3.5), QPointF(12.5, 11));
    QPainterPath brush;
    brush.moveTo(8, 10.5);
    brush.lineTo(17, 13.5);
    brush.lineTo(15, 20.5);
    brush.lineTo(4, 20.5);
    brush.closeSubpath();
    p.drawPath(brush);
    p.drawLine(QPointF(8.5, 20.5), QPointF(10, 16.5));
    p.drawLine(QPointF(12, 20.5), QPointF(13, 17.2));
}

void chevronGlyph(QPainter &p, const QColor &c, bool right)
{
    p.setPen(line(c, 2.0));
    p.setBrush(Qt::NoBrush);
    QPainterPath v;
    if (right) {
        v.moveTo(9.5, 5.5);
        v.lineTo(15.5, 12);
        v.lineTo(9.5, 18.5);
    } else {
        v.moveTo(14.5, 5.5);
        v.lineTo(8.5, 12);
        v.lineTo(14.5, 18.5);
    }
    p.drawPath(v);
}

// ---- the logo ----

// The emblem: a rounded blue tile with a white play mark and a film
// perforation edge, drawn into a square of side s at (x, y).
void emblem(QPainter &p, QRectF r)
{
    const qreal s = r.width();
    QLinearGradient fill(r.topLeft(), r.bottomRight());
    fill.setColorAt(0, QColor(78, 196, 248));
    fill.setColorAt(0.55, kAccent);
    fill.setColorAt(1, QColor(22, 86, 170));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(r, s * 0.24, s * 0.24);

    // Soft sheen on the upper half.
    QLinearGradient sheen(r.topLeft(), QPointF(r.left(), r.center().y()));
    sheen.setColorAt(0, QColor(255, 255, 255, 70));
    sheen.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(sheen);
    p.drawRoundedRect(QRectF(r.left(), r.top(), s, s * 0.55), s * 0.24, s * 0.24);

    // Film perforations along the left and right edges.
    p.setBrush(QColor(255, 255, 255, 60));
    const qreal hole = s * 0.065;
    for (int i = 0; i < 4; ++i) {
        const qreal y = r.top() + s * (0.26 + i * 0.16);
        p.drawRoundedRect(QRectF(r.left() + s * 0.08, y, hole, hole * 1.1), hole * 0.3, hole * 0.3);
        p.drawRoundedRect(
            QRectF(r.right() - s * 0.08 - hole, y, hole, hole * 1.1), hole * 0.3, hole * 0.3);
    }

    // The play mark, slightly right of centre so it looks balanced.
    QPainterPath play;
    const QPointF c = r.center() + QPointF(s * 0.04, 0);
    play.moveTo(c + QPointF(-s * 0.15, -s * 0.21));
    play.lineTo(c + QPointF(s * 0.22, 0));
    play.lineTo(c + QPointF(-s * 0.15, s * 0.21));
    play.closeSubpath();
    QPen rounded(Qt::white, s * 0.06);
    rounded.setJoinStyle(Qt::RoundJoin);
    p.setPen(rounded);
    p.setBrush(Qt::white);
    p.drawPath(play);
}

QImage logoImage(int side)
{
    return render(QSize(side, side), [&](QPainter &p) {
        emblem(p, QRectF(side * 0.04, side * 0.04, side * 0.92, side * 0.92));
    });
}

void writeIcon(const QString &path)
{
    // One large image; the platform scales it for the task bar and title.
    save(path, logoImage(256));
}

// The program's icon for the desktop, at the usual sizes of the icon theme,
// in the theme's folder layout under `folder`.
void writeDesktopIcons(const QString &folder)
{
    for (const int side : { 16, 24, 32, 48, 64, 128, 256 }) {
        const QString path
            = QStringLiteral("%1/hicolor/%2x%2/apps/org.tavrion.Tavrion.png").arg(folder).arg(side);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!logoImage(side).save(path))
            qFatal("cannot write %s", qPrintable(path));
    }
}

void drawWordmark(QPainter &p, QSizeF size)
{
    QFont latin(QStringLiteral("Noto Sans"));
    latin.setPixelSize(31);
    latin.setWeight(QFont::Bold);
    latin.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    QFont han(QStringLiteral("Noto Sans CJK SC"));
    han.setPixelSize(27);
    han.setWeight(QFont::Medium);
    han.setLetterSpacing(QFont::AbsoluteSpacing, 3);

    const QString name = QStringLiteral("Tavrion");
    const QString sub = QStringLiteral("影音");
    const qreal gap = 12;
    const qreal nameWidth = QFontMetricsF(latin).horizontalAdvance(name);
    const qreal subWidth = QFontMetricsF(han).horizontalAdvance(sub);
    const qreal x0 = (size.width() - nameWidth - gap - subWidth) / 2;
    const qreal baseline = 32;

    p.setFont(latin);
    p.setPen(QColor(236, 240, 244));
    p.drawText(QPointF(x0, baseline), name);
    p.setFont(han);
    p.setPen(kAccentLight);
    p.drawText(QPointF(x0 + nameWidth + gap, baseline - 1), sub);
}

void drawOpenUrlButton(
    QPainter &p, QSizeF size, const QColor &top, const QColor &bottom, const QColor &text)
{
    const QRectF r = QRectF(QPointF(0, 0), size).adjusted(1, 1, -1, -1);
    QLinearGradient fill(r.topLeft(), r.bottomLeft());
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);

    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(17);
    font.setWeight(QFont::Medium);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    const QString label = QStringLiteral("打开URL，开始播放");
    const qreal textWidth = QFontMetricsF(font).horizontalAdvance(label);
    const qreal iconSide = 22, gap = 10;
    const qreal x0 = (size.width() - iconSide - gap - textWidth) / 2;

    p.save();
    p.translate(x0, (size.height() - iconSide) / 2);
    p.scale(iconSide / 24.0, iconSide / 24.0);
    linkGlyph(p, text);
    p.restore();

    p.setFont(font);
    p.setPen(text);
    p.drawText(QRectF(x0 + iconSide + gap, 0, textWidth + 4, size.height()),
        Qt::AlignLeft | Qt::AlignVCenter, label);
}

void sliderHandle(const QString &path, int side)
{
    save(path, render(QSize(side, side), [&](QPainter &p) {
        const QPointF c(side / 2.0, side / 2.0);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 70));
        p.drawEllipse(c + QPointF(0, 0.5), side / 2.0 - 0.3, side / 2.0 - 0.3);
        p.setBrush(Qt::white);
        p.drawEllipse(c, side / 2.0 - 1, side / 2.0 - 1);
        p.setBrush(kAccent);
        p.drawEllipse(c, side / 4.2, side / 4.2);
    }));
}

// A text button background for the dialogs: glyph at the left, the button's
// own text follows it. Closing washes red under the pointer, other actions grey.
void labelledButton(const QString &base, QSize size, const Draw &draw, Wash wash = Wash::Danger)
{
    const bool danger = wash == Wash::Danger;
    const QList<QPair<const char *, QPair<QColor, QColor>>> states
        = { { "_Normal", { kGlyph, Qt::transparent } },
              { "_Hover", { kGlyphHover, danger ? kDanger : kHoverWash } },
              { "_Pressed", { kGlyphHover, danger ? kDangerDark : kPressWash } } };
    for (const auto &s : states) {
        save(base + QLatin1String(s.first) + QStringLiteral(".png"), render(size, [&](QPainter &p) {
            drawWash(p, size, s.second.second, 3);
            const qreal side = size.height() - 8;
            p.save();
            p.translate(7, 4);
            p.scale(side / 24.0, side / 24.0);
            draw(p, s.second.first);
            p.restore();
        }));
    }
}

void mainWindow()
{
    const QString t = QStringLiteral("MainWindow/TitleBar/");
    const QSize titleButton(28, 28);
    button(t + QStringLiteral("OpenNewbieTutorialPushButton"), titleButton, 20, questionGlyph,
        Wash::Round);
    button(t + QStringLiteral("OpenPlayRecordDialogPushButton"), titleButton, 20, historyGlyph,
        Wash::Round);
    button(t + QStringLiteral("OpenUserAccountDialogPushButton"), titleButton, 20, userGlyph,
        Wash::Round);
    button(t + QStringLiteral("MinimizePushButton"), titleButton, 20, minimizeGlyph, Wash::Round);
    button(t + QStringLiteral("MaximizePushButton"), titleButton, 20, maximizeGlyph, Wash::Round);
    button(t + QStringLiteral("RestorePushButton"), titleButton, 20, restoreGlyph, Wash::Round);
    button(t + QStringLiteral("ClosePushButton"), titleButton, 20, closeGlyph, Wash::Danger);
    glyphImage(
        t + QStringLiteral("ToggleTopmostPushButton_No.png"), titleButton, 20,
        [](QPainter &q, const QColor &c) { pinGlyph(q, c, false); }, kGlyph);
    save(t + QStringLiteral("ToggleTopmostPushButton_Yes.png"),
        render(titleButton, [&](QPainter &p) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(29, 150, 232, 50));
            p.drawRoundedRect(QRectF(0.5, 0.5, 27, 27), 4, 4);
            glyph(
                p, titleButton, 20, [](QPainter &q, const QColor &c) { pinGlyph(q, c, true); },
                kAccentLight);
        }));

    const QString b = QStringLiteral("MainWindow/BottomBar/");
    button(b + QStringLiteral("StartPlayPushButton"), QSize(16, 19), 16, playGlyph);
    button(b + QStringLiteral("PausePlayPushButton"), QSize(16, 19), 16, pauseGlyph);
    button(b + QStringLiteral("StopPlayPushButton"), QSize(11, 11), 11, stopGlyph);
    for (const auto &[name, draw] :
        { std::pair<const char *, Draw> { "OpenDownloadDialogPushButton", downloadGlyph },
            { "OpenCollectDialogPushButton", starGlyph }, { "OpenURLPushButton", linkGlyph },
            { "FullScreenPushButton", fullScreenGlyph } })
        button(b + QLatin1String(name), QSize(20, 20), 20, draw);
    const QSize mute(20, 20);
    glyphImage(b + QStringLiteral("ToggleMutePushButton_Off.png"), mute, 20, volumeGlyph, kGlyph);
    glyphImage(b + QStringLiteral("ToggleMutePushButton_On.png"), mute, 20, mutedGlyph, kGlyph);
    button(b + QStringLiteral("ToggleMutePushButton"), mute, 20, volumeGlyph);
    sliderHandle(b + QStringLiteral("PlayProgressSliderHandle.png"), 14);
    sliderHandle(b + QStringLiteral("VolumeControlSliderHandle.png"), 12);

    const QString m = QStringLiteral("MainWindow/MainPage/");
    save(m + QStringLiteral("Logo.png"), render(QSize(180, 165), [&](QPainter &p) {
        // A faint halo behind the emblem.
        QRadialGradient halo(QPointF(90, 82), 88);
        halo.setColorAt(0, QColor(29, 150, 232, 60));
        halo.setColorAt(1, QColor(29, 150, 232, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(halo);
        p.drawEllipse(QPointF(90, 82), 88, 82);
        emblem(p, QRectF(35, 27, 110, 110));
    }));
    save(m + QStringLiteral("Tavrion.png"),
        render(QSize(292, 41), [&](QPainter &p) { drawWordmark(p, QSizeF(292, 41)); }));
    const QSizeF wide(450, 47);
    struct UrlButtonState
    {
        const char *suffix;
        QColor top, bottom, text;
    };
    for (const UrlButtonState &s :
        { UrlButtonState { "_Normal", QColor(36, 160, 240), QColor(24, 128, 206), Qt::white },
            { "_Hover", QColor(70, 184, 250), QColor(36, 150, 226), Qt::white },
            { "_Pressed", QColor(20, 112, 178), QColor(18, 100, 160), QColor(220, 236, 248) } })
        save(m + QStringLiteral("MainPageOpenURLPushButton") + QLatin1String(s.suffix)
                + QStringLiteral(".png"),
            render(wide.toSize(),
                [&](QPainter &p) { drawOpenUrlButton(p, wide, s.top, s.bottom, s.text); }));

    const QString menu = QStringLiteral("MainWindow/Menu/");
    save(menu + QStringLiteral("CheckMark.png"), render(QSize(14, 14), [&](QPainter &p) {
        p.setPen(line(kAccentLight, 1.8));
        p.setBrush(Qt::NoBrush);
        QPainterPath tick;
        tick.moveTo(2.5, 7.5);
        tick.lineTo(5.8, 10.6);
        tick.lineTo(11.5, 3.8);
        p.drawPath(tick);
    }));
    save(menu + QStringLiteral("SubmenuArrow.png"), render(QSize(8, 12), [&](QPainter &p) {
        p.setPen(line(kGlyph, 1.5));
        QPainterPath v;
        v.moveTo(2.5, 2.5);
        v.lineTo(6, 6);
        v.lineTo(2.5, 9.5);
        p.drawPath(v);
    }));

    writeIcon(QStringLiteral("MainWindow/Resources/Logo.ico"));
}

// Dialogs whose close button names its own image folder; the others use the
// family's images under Dialog/.
const char *const kDialogsWithOwnCloseButton[] = { "BTResourceParseDialog",
    "BTResourceDownloadDialog", "BTResourcePlayRecordDialog", "BTResourceCollectDialog" };

void dialogs()
{
    writeIcon(QStringLiteral("Resources/Logo.ico"));
    writeIcon(QStringLiteral("BTResourceParseDialog/Resources/Logo.ico"));
    const QSize close(64, 23);
    labelledButton(QStringLiteral("Dialog/ClosePushButton"), close, closeGlyph);
    for (const char *folder : kDialogsWithOwnCloseButton)
        labelledButton(
            QLatin1String(folder) + QStringLiteral("/ClosePushButton"), close, closeGlyph);

    const QString row = QStringLiteral("BTResourceParseResultListItemWidget/");
    const QSize small(17, 17);
    for (const auto &[name, draw] :
        { std::pair<const char *, Draw> { "PlayPushButton", circledPlayGlyph },
            { "DownloadPushButton", downloadGlyph }, { "ReloadPushButton", reloadGlyph } })
        button(row + QLatin1String(name), small, 17, draw, Wash::None, true, Disabled::Yes);

    // Dialogs of the library and the notices share the same set.
    const QSize tool(28, 28);
    const QString collect = QStringLiteral("BTResourceCollectDialog/");
    button(collect + QStringLiteral("CollectCurrentPlayingResourcePushButton"), tool, 20, starGlyph,
        Wash::Round);
    button(
        collect + QStringLiteral("FlushCollectListPushButton"), tool, 20, reloadGlyph, Wash::Round);
    const QString collectRow = QStringLiteral("BTResourceCollectListItemWidget/");
    button(collectRow + QStringLiteral("CopyURLPushButton"), small, 17, copyGlyph);
    button(collectRow + QStringLiteral("DeletePushButton"), small, 17, trashGlyph);
    button(collectRow + QStringLiteral("PlayPushButton"), small, 17, circledPlayGlyph, Wash::None,
        true, Disabled::Yes);

    const QString record = QStringLiteral("BTResourcePlayRecordDialog/");
    button(record + QStringLiteral("RandomPlayPushButton"), tool, 20, shuffleGlyph, Wash::Round,
        true, Disabled::Yes);
    button(
        record + QStringLiteral("FlushRecordListPushButton"), tool, 20, reloadGlyph, Wash::Round);
    button(record + QStringLiteral("ClearRecordListPushButton"), tool, 20, sweepGlyph, Wash::Round);
    const QString recordRow = QStringLiteral("BTResourcePlayRecordListItemWidget/");
    button(recordRow + QStringLiteral("PlayPushButton"), small, 17, circledPlayGlyph, Wash::None,
        true, Disabled::Yes);
    button(recordRow + QStringLiteral("DeletePushButton"), small, 17, trashGlyph);

    button(QStringLiteral("BTResourceDownloadListItemWidget/DeletePushButton"), small, 17,
        trashGlyph, Wash::None, true, Disabled::Yes);

    button(QStringLiteral("ClosePushButton"), tool, 20, closeGlyph, Wash::Danger);
    button(
        QStringLiteral("NextPagePushButton"), QSize(30, 30), 24,
        [](QPainter &p, const QColor &c) { chevronGlyph(p, c, true); }, Wash::Round, false);
    button(
        QStringLiteral("PreviousPagePushButton"), QSize(30, 30), 24,
        [](QPainter &p, const QColor &c) { chevronGlyph(p, c, false); }, Wash::Round, false);
}

// An arrow pointing the way a subtitle moves: 0 up, 90 right, 180 down,
// 270 left.
void arrowGlyph(QPainter &p, const QColor &c, qreal angle)
{
    p.save();
    p.translate(12, 12);
    p.rotate(angle);
    p.translate(-12, -12);
    p.setPen(line(c, 2.0));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(12, 18.5), QPointF(12, 6));
    QPainterPath head;
    head.moveTo(6.5, 11);
    head.lineTo(12, 5.5);
    head.lineTo(17.5, 11);
    p.drawPath(head);
    p.restore();
}

// A subtitle strip: a screen with two lines of text at its foot.
void captionGlyph(QPainter &p, const QColor &c)
{
    p.setPen(line(c, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3.5, 5, 17, 14), 2, 2);
    p.drawLine(QPointF(7, 13), QPointF(17, 13));
    p.drawLine(QPointF(9, 16), QPointF(15, 16));
}

// The settings and subtitle dialogs.
void preferences()
{
    const QString settings = QStringLiteral("SettingsDialog/");
    save(settings + QStringLiteral("CheckBoxIndicator_Checked.png"),
        render(QSize(14, 14), [](QPainter &p) {
            p.setPen(line(Qt::white, 1.8));
            QPainterPath tick;
            tick.moveTo(3, 7.2);
            tick.lineTo(5.8, 10);
            tick.lineTo(11, 4);
            p.drawPath(tick);
        }));

    const QString subtitle = QStringLiteral("SubtitleSettingDialog/");
    const QList<QPair<const char *, qreal>> arrows
        = { { "SubtitleMoveUpPushButton", 0 }, { "SubtitleMoveRightPushButton", 90 },
              { "SubtitleMoveDownPushButton", 180 }, { "SubtitleMoveLeftPushButton", 270 } };
    for (const auto &arrow : arrows) {
        const qreal angle = arrow.second;
        button(
            subtitle + QLatin1String(arrow.first), QSize(30, 30), 22,
            [angle](QPainter &p, const QColor &c) { arrowGlyph(p, c, angle); }, Wash::Round);
    }
    glyphImage(
        subtitle + QStringLiteral("WordLabel.png"), QSize(30, 30), 22, captionGlyph, kAccentLight);
    save(subtitle + QStringLiteral("ComboBoxArrow.png"), render(QSize(10, 6), [](QPainter &p) {
        p.setPen(line(kGlyph, 1.4));
        QPainterPath v;
        v.moveTo(1.5, 1.2);
        v.lineTo(5, 4.8);
        v.lineTo(8.5, 1.2);
        p.drawPath(v);
    }));
}

// The account dialog's return button; its close button is the family's.
// The marks of message boxes: a disc in the mark's colour with a white sign,
// drawn at 32 x 32 like the platform's.
enum class Mark { Information, Question, Warning, Critical };

void messageBoxIcon(const QString &path, Mark mark)
{
    const QSize size(32, 32);
    save(path, render(size, [&](QPainter &p) {
        const QColor colour = mark == Mark::Warning ? QColor(232, 160, 32)
            : mark == Mark::Critical                ? kDanger
                                                    : kAccent;
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        if (mark == Mark::Warning) {
            QPainterPath triangle;
            triangle.moveTo(16, 3);
            triangle.lineTo(30, 28);
            triangle.lineTo(2, 28);
            triangle.closeSubpath();
            p.setPen(QPen(colour, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawPath(triangle);
        } else {
            p.drawEllipse(QPointF(16, 16), 14, 14);
        }
        const QColor sign(255, 255, 255);
        p.setBrush(sign);
        switch (mark) {
        case Mark::Information:
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(16, 9.5), 2, 2);
            p.setPen(line(sign, 3.2));
            p.drawLine(QPointF(16, 14.5), QPointF(16, 23.5));
            break;
        case Mark::Question:
            p.translate(16 - 12 * 1.5, 16 - 12 * 1.5);
            p.scale(1.5, 1.5);
            questionGlyphSign(p, sign);
            break;
        case Mark::Warning:
            p.setPen(line(sign, 3.2));
            p.drawLine(QPointF(16, 11), QPointF(16, 19));
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(16, 24), 1.8, 1.8);
            break;
        case Mark::Critical:
            p.setPen(line(sign, 3.2));
            p.drawLine(QPointF(11, 11), QPointF(21, 21));
            p.drawLine(QPointF(21, 11), QPointF(11, 21));
            break;
        }
    }));
}

void messageBoxes()
{
    messageBoxIcon(QStringLiteral("Dialog/MessageBoxInformation.png"), Mark::Information);
    messageBoxIcon(QStringLiteral("Dialog/MessageBoxQuestion.png"), Mark::Question);
    messageBoxIcon(QStringLiteral("Dialog/MessageBoxWarning.png"), Mark::Warning);
    messageBoxIcon(QStringLiteral("Dialog/MessageBoxCritical.png"), Mark::Critical);
}

void userAccountDialog()
{
    labelledButton(
        QStringLiteral("UserAccountDialog/ReturnPushButton"), QSize(64, 23),
        [](QPainter &p, const QColor &c) { chevronGlyph(p, c, false); }, Wash::Round);
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        QTextStream(stderr) << "usage: skingen <resources folder> [<desktop icons folder>]\n";
        return 2;
    }
    g_root = QString::fromLocal8Bit(argv[1]);
    mainWindow();
    dialogs();
    preferences();
    userAccountDialog();
    messageBoxes();
    if (argc == 3)
        writeDesktopIcons(QString::fromLocal8Bit(argv[2]));
    return 0;
}
