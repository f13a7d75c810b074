#include "mainwindow/dialog.h"

#include "platform/sessionplatform.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
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

// Room the window manager's title bar takes beside the title: the window
// icon, three buttons and the margins of a common theme.
const int kTitleBarDecoration = 150;

// Readies each message box as it shows, before it lays itself out. Boxes
// size themselves to their text; a short text under a longer title left the
// window manager too little room and the title ended in "...", so the
// buttons' row gets the width the title needs. The buttons lose the
// platform's icons: family buttons carry text only.
class MessageBoxFitter : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Show)
            return false;
        auto *box = qobject_cast<QMessageBox *>(watched);
        auto *buttons = box ? box->findChild<QDialogButtonBox *>() : nullptr;
        if (!buttons)
            return false;
        for (QAbstractButton *button : buttons->buttons())
            button->setIcon(QIcon());
        QFont font = box->font();
        font.setBold(true);
        const QMargins margins = box->layout() ? box->layout()->contentsMargins() : QMargins();
        const int needed = QFontMetrics(font).horizontalAdvance(box->windowTitle())
            + kTitleBarDecoration - margins.left() - margins.right();
        buttons->setMinimumWidth(qMax(buttons->minimumWidth(), needed));
        return false;
    }
};

QString runFileDialog(QWidget *over, QFileDialog &dialog)
{
    dialog.setWindowModality(Qt::ApplicationModal);
    if (over) {
        QWidget *owner = over->window();
        // Native windows of both, so the dialog can be tied to its owner.
        dialog.winId();
        if (owner->windowHandle())
            dialog.windowHandle()->setTransientParent(owner->windowHandle());
        dialog.move(owner->frameGeometry().center() - dialog.rect().center());
    }
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

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
    qApp->installEventFilter(new MessageBoxFitter(qApp));
}

QString Dialog::openFileName(
    QWidget *over, const QString &caption, const QString &folder, const QString &filter)
{
    QFileDialog dialog(nullptr, caption, folder, filter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    return runFileDialog(over, dialog);
}

QString Dialog::existingDirectory(QWidget *over, const QString &caption, const QString &folder)
{
    QFileDialog dialog(nullptr, caption, folder);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    return runFileDialog(over, dialog);
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
