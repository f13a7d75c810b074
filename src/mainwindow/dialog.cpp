#include "mainwindow/dialog.h"

#include <QMouseEvent>

namespace {

// Only one dialog can be dragged at a time, so all of them share one drag.
struct DialogDrag
{
    bool pressed = false;
    QPoint pressPoint;
    QRect geometry;
};

DialogDrag &drag()
{
    static DialogDrag state;
    return state;
}

} // namespace

Dialog::Dialog(QWidget *parent)
    : QDialog(parent, Qt::FramelessWindowHint)
{
    installEventFilter(this);
}

bool Dialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != this)
        return QDialog::eventFilter(watched, event);

    DialogDrag &d = drag();
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() != Qt::LeftButton)
            break;
        d.pressed = true;
        d.pressPoint = mouse->globalPos();
        d.geometry = geometry();
        return true;
    }
    case QEvent::MouseMove:
        if (!d.pressed)
            break;
        move(
            d.geometry.topLeft() + (static_cast<QMouseEvent *>(event)->globalPos() - d.pressPoint));
        return true;
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent *>(event)->button() != Qt::LeftButton)
            break;
        d.pressed = false;
        return true;
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}
