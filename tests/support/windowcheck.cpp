#include "windowcheck.h"

#include "guitest.h"

#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QComboBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>

#include <cmath>

namespace {

// Room the window manager's title bar needs beside the title: the window
// icon, three buttons and the margins of a common theme.
const int kTitleBarDecoration = 150;
const double kMinimumContrast = 4.5;

double luminance(const QColor &colour)
{
    const auto channel = [](int value) {
        const double s = value / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.red()) + 0.7152 * channel(colour.green())
        + 0.0722 * channel(colour.blue());
}

// A text as its widget lays it out: the room it gets and how it sits there.
struct LaidText
{
    QString text;
    QRect room; // widget coordinates
    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
    bool wrap = false;
    bool scrolls = false; // longer texts scroll in the widget by design
};

// A button's or buddy label's text as drawn: "&N" shows as an underlined N.
QString withoutMnemonic(const QString &text)
{
    QString shown;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('&') && i + 1 < text.size())
            ++i;
        shown += text.at(i);
    }
    return shown;
}

bool laidText(QWidget *widget, LaidText *laid)
{
    QStyle *style = widget->style();
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        if (!label->pixmap(Qt::ReturnByValue).isNull() || label->text().isEmpty())
            return false;
        laid->text = shownText(label->text(), label->textFormat());
        if (label->buddy())
            laid->text = withoutMnemonic(laid->text);
        const int m = label->margin();
        laid->room = label->contentsRect().adjusted(m, m, -m, -m);
        laid->alignment = label->alignment();
        laid->wrap = label->wordWrap();
    } else if (auto *button = qobject_cast<QPushButton *>(widget)) {
        if (button->text().trimmed().isEmpty())
            return false;
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        option.icon = button->icon();
        option.iconSize = button->iconSize();
        if (button->isFlat())
            option.features |= QStyleOptionButton::Flat;
        laid->text = withoutMnemonic(button->text());
        laid->room = style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        if (!option.icon.isNull())
            laid->room.adjust(option.iconSize.width() + 4, 0, 0, 0);
        laid->alignment = Qt::AlignCenter;
    } else if (qobject_cast<QCheckBox *>(widget) || qobject_cast<QRadioButton *>(widget)) {
        auto *button = static_cast<QAbstractButton *>(widget);
        if (button->text().isEmpty())
            return false;
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        laid->text = withoutMnemonic(button->text());
        laid->room = style->subElementRect(qobject_cast<QCheckBox *>(widget)
                ? QStyle::SE_CheckBoxContents
                : QStyle::SE_RadioButtonContents,
            &option, button);
    } else if (auto *edit = qobject_cast<QLineEdit *>(widget)) {
        if (edit->text().isEmpty() || edit->echoMode() != QLineEdit::Normal)
            return false;
        laid->text = edit->text();
        laid->room
            = edit->contentsRect().marginsRemoved(edit->textMargins()).adjusted(2, 1, -2, -1);
        laid->alignment = edit->alignment();
        laid->scrolls = true;
    } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        if (combo->currentText().isEmpty() || combo->isEditable())
            return false;
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.currentText = combo->currentText();
        laid->text = combo->currentText();
        laid->room = style->subControlRect(
            QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
    } else {
        return false;
    }
    // A row of underscores is a drawn separator, not a text.
    return !laid->text.trimmed().isEmpty()
        && laid->text.trimmed() != QString(laid->text.trimmed().size(), QLatin1Char('_'));
}

// The part of `widget` its ancestors let show, in window coordinates; sets
// `scrolled` when a scroll area's viewport hides some of it.
QRect visibleRect(QWidget *widget, bool *scrolled)
{
    QWidget *window = widget->window();
    QRect clip(widget->mapTo(window, QPoint(0, 0)), widget->size());
    *scrolled = false;
    for (QWidget *w = widget->parentWidget(); w && w != window; w = w->parentWidget()) {
        const QRect area(w->mapTo(window, QPoint(0, 0)), w->size());
        if (!area.contains(clip) && qobject_cast<QAbstractScrollArea *>(w->parentWidget())
            && static_cast<QAbstractScrollArea *>(w->parentWidget())->viewport() == w)
            *scrolled = true;
        clip &= area;
    }
    return clip;
}

// True when `upper` is painted after (over) `lower` in the same window.
bool paintsOver(QWidget *upper, QWidget *lower)
{
    if (upper->isAncestorOf(lower) || lower->isAncestorOf(upper))
        return false;
    QWidget *a = upper;
    while (a->parentWidget() && !a->parentWidget()->isAncestorOf(lower))
        a = a->parentWidget();
    QWidget *b = lower;
    while (b->parentWidget() != a->parentWidget())
        b = b->parentWidget();
    const QObjectList &siblings = a->parentWidget()->children();
    return siblings.indexOf(a) > siblings.indexOf(b);
}

QString nameOf(QWidget *widget)
{
    QString name = widget->objectName();
    if (name.isEmpty() || name.startsWith(QLatin1String("qt_")))
        name = QString::fromLatin1(widget->metaObject()->className());
    return name;
}

// Hands every pixel of `area` in `image` to `visit`, as an opaque colour.
template <class Visit> void eachPixel(const QImage &image, const QRect &area, Visit visit)
{
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x)
            visit(image.pixel(x, y) | 0xff000000);
    }
}

// The commonest colour of `area` in `image`: the ground a text lies on.
QColor groundOf(const QImage &image, const QRect &area)
{
    QHash<QRgb, int> counts;
    QRgb best = 0;
    int bestCount = 0;
    eachPixel(image, area, [&](QRgb rgb) {
        const int count = ++counts[rgb];
        if (count > bestCount) {
            bestCount = count;
            best = rgb;
        }
    });
    return QColor::fromRgb(best);
}

// The text's colour: its most contrasting pixel against the ground (the
// middle of a stroke reaches the full colour).
double textContrast(const QImage &image, const QRect &area)
{
    const QColor ground = groundOf(image, area);
    double best = 1.0;
    eachPixel(image, area,
        [&](QRgb rgb) { best = qMax(best, contrastRatio(QColor::fromRgb(rgb), ground)); });
    return best;
}

// Share of pixels in `area` that differ visibly from its commonest colour.
double drawnShare(const QImage &image, const QRect &area)
{
    const QRgb ground = groundOf(image, area).rgb();
    int drawn = 0;
    eachPixel(image, area, [&](QRgb c) {
        if (qMax(qMax(qAbs(qRed(c) - qRed(ground)), qAbs(qGreen(c) - qGreen(ground))),
                qAbs(qBlue(c) - qBlue(ground)))
            > 40)
            ++drawn;
    });
    return area.isEmpty() ? 0.0 : double(drawn) / (area.width() * area.height());
}

// The size a text needs in its widget's font: its advance (or wrapped
// width) and the height of its ink.
QSize neededSize(const QFontMetrics &metrics, const LaidText &laid)
{
    const QRect ink = metrics.tightBoundingRect(laid.text);
    if (!laid.wrap)
        return QSize(metrics.horizontalAdvance(laid.text), ink.height());
    const QRect wrapped
        = metrics.boundingRect(QRect(0, 0, laid.room.width(), 100000), Qt::TextWordWrap, laid.text);
    return QSize(wrapped.width(), wrapped.height() - (metrics.height() - ink.height()));
}

// Where the text's glyphs land, in window coordinates.
QRect glyphRect(QWidget *widget, const LaidText &laid)
{
    const QFontMetrics metrics(widget->font());
    const QRect ink = metrics.tightBoundingRect(laid.text);
    const QSize needed = neededSize(metrics, laid);
    const int lineHeight = needed.height() + metrics.height() - ink.height();
    const QRect line = QStyle::alignedRect(Qt::LeftToRight, laid.alignment,
        QSize(qMin(needed.width(), laid.room.width()), lineHeight), laid.room);
    const QRect glyphs(
        line.left(), line.top() + metrics.ascent() + ink.top(), line.width(), needed.height());
    return glyphs.translated(widget->mapTo(widget->window(), QPoint(0, 0)));
}

// The side ("top", "bottom", "left", "right") on which text glyphs meant to
// cover `glyphs` are cut off at the edge of the shown `area`; empty when no
// ink touches such an edge.
QString inkOnEdge(const QImage &image, const QRect &area, const QRect &glyphs)
{
    if (area.isEmpty())
        return QStringLiteral("whole");
    const QColor ground = groundOf(image, area);
    const auto inked = [&](const QRect &edge) {
        bool any = false;
        eachPixel(image, edge,
            [&](QRgb rgb) { any = any || contrastRatio(QColor::fromRgb(rgb), ground) >= 2.0; });
        return any;
    };
    if (glyphs.top() < area.top() && inked(QRect(area.topLeft(), QSize(area.width(), 1))))
        return QStringLiteral("top");
    if (glyphs.bottom() > area.bottom() && inked(QRect(area.bottomLeft(), QSize(area.width(), 1))))
        return QStringLiteral("bottom");
    if (glyphs.left() < area.left() && inked(QRect(area.topLeft(), QSize(1, area.height()))))
        return QStringLiteral("left");
    if (glyphs.right() > area.right() && inked(QRect(area.topRight(), QSize(1, area.height()))))
        return QStringLiteral("right");
    return QString();
}

// What `widget` paints over what lies below it: a label without a ground of
// its own paints only its text.
QRect paintedRect(QWidget *widget)
{
    bool scrolled = false;
    const QRect shown = visibleRect(widget, &scrolled);
    LaidText laid;
    auto *label = qobject_cast<QLabel *>(widget);
    if (label && !label->autoFillBackground() && laidText(widget, &laid))
        return glyphRect(widget, laid) & shown;
    if (label && !label->autoFillBackground() && label->pixmap(Qt::ReturnByValue).isNull())
        return QRect();
    return shown;
}

void checkText(QWidget *widget, const LaidText &laid, const QImage &shot, const QPoint &origin,
    const QList<QWidget *> &shown, QStringList *faults)
{
    bool scrolled = false;
    const QRect clip = visibleRect(widget, &scrolled);
    if (scrolled || clip.isEmpty())
        return;
    const QString name = nameOf(widget);
    const QString quoted = QLatin1Char('"') + laid.text + QLatin1Char('"');

    const QSize needed = neededSize(QFontMetrics(widget->font()), laid);
    if ((!laid.scrolls && needed.width() > laid.room.width())
        || needed.height() > laid.room.height()) {
        faults->append(QStringLiteral("%1: %2 needs %3 x %4, has %5 x %6")
                           .arg(name, quoted)
                           .arg(needed.width())
                           .arg(needed.height())
                           .arg(laid.room.width())
                           .arg(laid.room.height()));
        return;
    }
    const QRect glyphs = glyphRect(widget, laid);
    if (!clip.contains(glyphs)) {
        // The estimate may be a pixel off: the text is cut where its ink
        // reaches an edge of what shows.
        const QRect area = (glyphs & clip).translated(origin) & shot.rect();
        const QString side = inkOnEdge(shot, area, glyphs.translated(origin));
        if (!side.isEmpty()) {
            faults->append(QStringLiteral("%1: %2 is cut at its %3").arg(name, quoted, side));
            return;
        }
    }
    for (QWidget *other : shown) {
        if (other != widget && paintsOver(other, widget) && paintedRect(other).intersects(glyphs)) {
            faults->append(QStringLiteral("%1: %2 lies under %3").arg(name, quoted, nameOf(other)));
            return;
        }
    }
    if (!widget->isEnabled())
        return;
    const double contrast = textContrast(shot, glyphs.translated(origin) & shot.rect());
    if (contrast < kMinimumContrast)
        faults->append(
            QStringLiteral("%1: %2 has contrast %3:1").arg(name, quoted).arg(contrast, 0, 'f', 2));
}

} // namespace

double contrastRatio(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

QRect shownFrame(QWidget *window)
{
    const QRect frame = window->frameGeometry();
    return frame.contains(window->geometry()) ? frame : window->geometry();
}

QStringList windowFaults(QWidget *window, const QImage &shot, bool titleFixed)
{
    QStringList faults;
    const QString title = window->windowTitle();
    if (title.contains(QLatin1Char('\n')) || title.contains(QLatin1Char('\r')))
        faults.append(QStringLiteral("title holds a line break"));
    if (title.contains(QRegularExpression(QStringLiteral("[{};]|url\\("))))
        faults.append(QStringLiteral("title holds style text"));
    if (!titleFixed) {
        if (title.isEmpty())
            faults.append(QStringLiteral("no title: the window manager shows the file name"));
        if (title.contains(QRegularExpression(QStringLiteral("[A-Z]\\w*(Dialog|Widget|Window)"))))
            faults.append(QStringLiteral("title \"%1\" is a class name").arg(title));
    }
    const QRect frame = shownFrame(window);
    const bool framed = frame.size() != window->size();
    if (framed && !title.contains(QLatin1Char('\n'))) {
        QFont font = window->font();
        font.setBold(true);
        const int needed = QFontMetrics(font).horizontalAdvance(title) + kTitleBarDecoration;
        if (frame.width() < needed)
            faults.append(QStringLiteral("frame %1 wide, its title \"%2\" needs %3")
                              .arg(frame.width())
                              .arg(title)
                              .arg(needed));
    }

    const QPoint origin = window->geometry().topLeft() - frame.topLeft();
    QList<QWidget *> shown;
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        if (widget->isVisible() && widget->window() == window)
            shown.append(widget);
    }
    for (QWidget *widget : shown) {
        LaidText laid;
        if (laidText(widget, &laid)) {
            checkText(widget, laid, shot, origin, shown, &faults);
            continue;
        }
        auto *button = qobject_cast<QAbstractButton *>(widget);
        if (!button || !button->text().trimmed().isEmpty())
            continue;
        bool scrolled = false;
        const QRect clip = visibleRect(button, &scrolled);
        if (scrolled || clip.width() < 6 || clip.height() < 6)
            continue;
        // A flat light square is a button's bare ground: its image is missing.
        const QRect inside = clip.adjusted(2, 2, -2, -2).translated(origin) & shot.rect();
        if (drawnShare(shot, inside) < 0.03 && luminance(groundOf(shot, inside)) > 0.7)
            faults.append(QStringLiteral("%1: image button shows no image").arg(nameOf(button)));
    }
    return faults;
}
