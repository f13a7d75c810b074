#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <Qt>

// Geometry rules of the frameless main window: where a point falls on the
// 5-pixel resize strips of the title bar, the pages and the bottom bar, which
// cursor each strip shows, and the window geometry a drag on a strip asks for.
namespace WindowFrame {

enum class Area { TitleBar, Page, BottomBar };

// Region codes: row and column of the strip, e.g. 11 top-left, 22 middle.
// 0 when the point lies in no region.
int hitRegion(Area area, const QSize &size, const QPoint &pos);

// Cursor shown while hovering a region of a normal window.
Qt::CursorShape cursorShape(Area area, int region);

// The window geometry that a drag on `region` to the global point `global`
// asks for, from the geometry `saved` at the press. Null when the region does
// not resize (the title bar's middle moves the window instead).
QRect resizedGeometry(Area area, int region, const QRect &saved, const QPoint &global);

// True when `geometry`'s size lies within the window's size limits.
bool fitsSizeLimits(const QRect &geometry, const QSize &minimum, const QSize &maximum);

// Top-left corner that centres a dialog of `size` over `window`.
QPoint centredPosition(const QRect &window, const QSize &size);

} // namespace WindowFrame
