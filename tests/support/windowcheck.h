#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QStringList>

class QWidget;

// WCAG contrast ratio of two opaque colours, 1 to 21.
double contrastRatio(const QColor &a, const QColor &b);

// The window with the window manager's frame, as the screen shows it; the
// window alone while the frame's extents are not known yet (Qt may report
// a frame smaller than the window then).
QRect shownFrame(QWidget *window);

// What a user finds wrong in `window` as the screen shows it in `shot` (the
// screen's pixels over the window's frame geometry): texts that do not fit
// their widget or lie under another widget, texts fainter than 4.5:1 against
// their ground, image buttons that show no image, a frame too narrow for its
// title, a title that is not a plain line of words. One line per fault, each
// naming the widget. `titleFixed`: the title's words are given elsewhere, so
// only its form is checked.
QStringList windowFaults(QWidget *window, const QImage &shot, bool titleFixed = false);
