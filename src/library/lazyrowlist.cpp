#include "library/lazyrowlist.h"

#include <QEvent>
#include <QLabel>
#include <QListWidget>
#include <QScrollBar>

#include <algorithm>

LazyRowList::LazyRowList(QListWidget *list, QSize rowSize, Factory factory)
    : QObject(list)
    , m_list(list)
    , m_rowSize(rowSize)
    , m_factory(std::move(factory))
{
    m_list->setUniformItemSizes(true);
    m_list->viewport()->installEventFilter(this);
    connect(m_list->verticalScrollBar(), &QScrollBar::valueChanged, this, &LazyRowList::refresh);
    connect(m_list->verticalScrollBar(), &QScrollBar::rangeChanged, this, &LazyRowList::refresh);
    // Removing rows brings others into view.
    connect(m_list->model(), &QAbstractItemModel::rowsRemoved, this, &LazyRowList::refresh);
}

QListWidgetItem *LazyRowList::append(const QVariant &value)
{
    auto *item = new QListWidgetItem(m_list);
    item->setSizeHint(m_rowSize);
    item->setData(Qt::UserRole, value);
    return item;
}

void LazyRowList::refresh()
{
    const int count = m_list->count();
    // Every row has the same height, so the first row in view follows from
    // the scroll position alone, whether or not the view has laid out yet.
    const int offset = m_list->verticalScrollBar()->value();
    const int first = m_list->verticalScrollMode() == QAbstractItemView::ScrollPerItem
        ? offset
        : offset / std::max(1, m_rowSize.height());
    const int visible = m_list->viewport()->height() / std::max(1, m_rowSize.height()) + 2;
    const int last = std::min(count, first + visible) - 1;

    QVector<QPersistentModelIndex> kept;
    for (const QPersistentModelIndex &index : qAsConst(m_shown)) {
        if (!index.isValid())
            continue;
        if (index.row() < first || index.row() > last)
            m_list->setIndexWidget(index, nullptr);
        else
            kept.append(index);
    }
    m_shown = kept;

    for (int row = std::max(0, first); row <= last; ++row) {
        QListWidgetItem *item = m_list->item(row);
        if (m_list->itemWidget(item))
            continue;
        QWidget *widget = m_factory(item);
        if (!widget)
            continue;
        m_list->setItemWidget(item, widget);
        m_shown.append(QPersistentModelIndex(m_list->model()->index(row, 0)));
    }
}

QList<QWidget *> LazyRowList::rowWidgets() const
{
    QVector<QPersistentModelIndex> shown = m_shown;
    std::sort(shown.begin(), shown.end(),
        [](const QPersistentModelIndex &a, const QPersistentModelIndex &b) {
            return a.row() < b.row();
        });
    QList<QWidget *> widgets;
    for (const QPersistentModelIndex &index : qAsConst(shown)) {
        if (QWidget *widget = index.isValid() ? m_list->indexWidget(index) : nullptr)
            widgets.append(widget);
    }
    return widgets;
}

QWidget *LazyRowList::rowWidget(QListWidgetItem *item)
{
    m_list->scrollToItem(item);
    refresh();
    return m_list->itemWidget(item);
}

bool LazyRowList::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list->viewport() && event->type() == QEvent::Resize)
        refresh();
    return QObject::eventFilter(watched, event);
}

void setRowName(QLabel *label, const QString &name)
{
    label->setTextFormat(Qt::PlainText);
    label->setText(name);
    // A tool tip that looks like markup is drawn as markup; escaped inside a
    // paragraph it always shows the name itself.
    label->setToolTip(QStringLiteral("<p>") + name.toHtmlEscaped() + QStringLiteral("</p>"));
}
