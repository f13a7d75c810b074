#include "mainwindow/windowframe.h"

#include <array>

namespace WindowFrame {

namespace {

const int kStrip = 5;

struct Region
{
    int code;
    QRect rect;
};

std::array<Region, 6> regions(Area area, int w, int h)
{
    switch (area) {
    case Area::TitleBar:
        return { { { 11, QRect(0, 0, kStrip, kStrip) },
            { 12, QRect(kStrip, 0, w - 2 * kStrip, kStrip) },
            { 13, QRect(w - kStrip, 0, kStrip, kStrip) },
            { 21, QRect(0, kStrip, kStrip, h - kStrip) },
            { 22, QRect(kStrip, kStrip, w - 2 * kStrip, h - kStrip) },
            { 23, QRect(w - kStrip, kStrip, kStrip, h - kStrip) } } };
    case Area::Page:
        return { { { 11, QRect(0, 0, kStrip, h) }, { 12, QRect(kStrip, 0, w - 2 * kStrip, h) },
            { 13, QRect(w - kStrip, 0, kStrip, h) }, { 0, QRect() }, { 0, QRect() },
            { 0, QRect() } } };
    case Area::BottomBar:
        break;
    }
    return { { { 11, QRect(0, 0, kStrip, h - kStrip) },
        { 12, QRect(kStrip, 0, w - 2 * kStrip, h - kStrip) },
        { 13, QRect(w - kStrip, 0, kStrip, h - kStrip) },
        { 21, QRect(0, h - kStrip, kStrip, kStrip) },
        { 22, QRect(kStrip, h - kStrip, w - 2 * kStrip, kStrip) },
        { 23, QRect(w - kStrip, h - kStrip, kStrip, kStrip) } } };
}

} // namespace

int hitRegion(Area area, const QSize &size, const QPoint &pos)
{
    for (const Region &r : regions(area, size.width(), size.height())) {
        if (r.code != 0 && r.rect.contains(pos))
            return r.code;
    }
    return 0;
}

Qt::CursorShape cursorShape(Area area, int region)
{
    switch (area) {
    case Area::TitleBar:
        switch (region) {
        case 11:
            return Qt::SizeFDiagCursor;
        case 12:
            return Qt::SizeVerCursor;
        case 13:
            return Qt::SizeBDiagCursor;
        case 21:
        case 23:
            return Qt::SizeHorCursor;
        default:
            return Qt::ArrowCursor;
        }
    case Area::Page:
        return (region == 11 || region == 13) ? Qt::SizeHorCursor : Qt::ArrowCursor;
    case Area::BottomBar:
        switch (region) {
        case 11:
        case 13:
            return Qt::SizeHorCursor;
        case 21:
            return Qt::SizeBDiagCursor;
        case 22:
            return Qt::SizeVerCursor;
        case 23:
            return Qt::SizeFDiagCursor;
        default:
            return Qt::ArrowCursor;
        }
    }
    return Qt::ArrowCursor;
}

QRect resizedGeometry(Area area, int region, const QRect &s, const QPoint &g)
{
    const int gx = g.x();
    const int gy = g.y();
    const QRect leftEdge(gx, s.y(), s.right() - gx, s.height());
    const QRect rightEdge(s.x(), s.y(), gx - s.x(), s.height());
    switch (area) {
    case Area::TitleBar:
        switch (region) {
        case 11:
            return QRect(gx, gy, s.right() - gx, s.bottom() - gy);
        case 12:
            return QRect(s.x(), gy, s.width(), s.bottom() - gy);
        case 13:
            return QRect(s.x(), gy, gx - s.x(), s.bottom() - gy);
        case 21:
            return leftEdge;
        case 23:
            return rightEdge;
        default:
            return QRect();
        }
    case Area::Page:
        if (region == 11)
            return leftEdge;
        if (region == 13)
            return rightEdge;
        return QRect();
    case Area::BottomBar:
        switch (region) {
        case 11:
            return leftEdge;
        case 13:
            return rightEdge;
        case 21:
            return QRect(gx, s.y(), s.right() - gx, gy - s.y());
        case 22:
            return QRect(s.x(), s.y(), s.width(), gy - s.y());
        case 23:
            return QRect(s.x(), s.y(), gx - s.x(), gy - s.y());
        default:
            return QRect();
        }
    }
    return QRect();
}

bool fitsSizeLimits(const QRect &geometry, const QSize &minimum, const QSize &maximum)
{
    return geometry.width() >= minimum.width() && geometry.width() <= maximum.width()
        && geometry.height() >= minimum.height() && geometry.height() <= maximum.height();
}

QPoint centredPosition(const QRect &window, const QSize &size)
{
    return QPoint(window.x() + (window.width() - size.width()) / 2,
        window.y() + (window.height() - size.height()) / 2);
}

} // namespace WindowFrame
