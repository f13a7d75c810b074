#include "mainwindow/dialog.h"

#include "platform/sessionplatform.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QWindow>

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

// The family palette (see dialog.qss).
const QColor kBody(26, 34, 45);
const QColor kTitleStrip(17, 28, 36);
const QColor kFrame(20, 112, 178);

} // namespace

Dialog::Dialog(QWidget *parent)
    : QDialog(parent, Qt::FramelessWindowHint)
{
    installSkin();
    // The family's font, inherited by every widget whose form names only a
    // family, so texts measure the same on every platform.
    QFont font(QStringLiteral("微软雅黑"));
    font.setPointSize(9);
    setFont(font);
    installEventFilter(this);
}

void Dialog::installSkin()
{
    static bool installed = false;
    if (installed || !qApp)
        return;
    QFile sheet(QStringLiteral(":/qss/dialog.qss"));
    if (!sheet.open(QIODevice::ReadOnly))
        return;
    installed = true;
    qApp->setStyleSheet(qApp->styleSheet() + QString::fromUtf8(sheet.readAll()));
}

void Dialog::setTitleStripHeight(int height)
{
    m_titleStripHeight = height;
    update();
}

void Dialog::setReturnAction(QLineEdit *input, QAbstractButton *action)
{
    connect(input, &QLineEdit::returnPressed, action, &QAbstractButton::click);
}

void Dialog::paintEvent(QPaintEvent *event)
{
    QDialog::paintEvent(event);
    QPainter painter(this);
    painter.fillRect(rect(), kBody);
    painter.fillRect(QRect(0, 0, width(), m_titleStripHeight), kTitleStrip);
    painter.setPen(kFrame);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void Dialog::showEvent(QShowEvent *event)
{
    // A dialog makes its first focusable button the default one, which then
    // takes Return away from the inputs and stays drawn as highlighted.
    for (QPushButton *button : findChildren<QPushButton *>()) {
        if (button->window() == this)
            button->setAutoDefault(false);
    }
    QDialog::showEvent(event);
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
        // A Wayland compositor ignores a window's own moves; it moves it.
        if (SessionPlatform::runsOnXWayland() && windowHandle()) {
            d.pressed = false;
            windowHandle()->startSystemMove();
            return true;
        }
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
