#include "mainwindow/rowwidgetlist.h"

#include <QEvent>
#include <QListWidget>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>

namespace {
// Rows one slice of a fill adds before the event loop gets a turn: a few
// milliseconds of work, and few enough turns that laying out the list again
// after each costs little.
constexpr int FillSliceRows = 8192;
} // namespace

RowWidgetList::RowWidgetList(QListWidget *list, QSize rowSize, Factory factory)
    : QObject(list)
    , m_list(list)
    , m_rowSize(rowSize)
    , m_factory(std::move(factory))
    , m_fillTimer(new QTimer(this))
{
    m_fillTimer->setSingleShot(true);
    m_fillTimer->setInterval(0);
    connect(m_fillTimer, &QTimer::timeout, this, &RowWidgetList::addFillSlice);
    // Every row has the same size, so the view lays out a million rows as
    // quickly as ten.
    m_list->setUniformItemSizes(true);
    connect(m_list->verticalScrollBar(), &QScrollBar::valueChanged, this,
        &RowWidgetList::realiseRowsInReach);
    connect(m_list->verticalScrollBar(), &QScrollBar::rangeChanged, this,
        &RowWidgetList::realiseRowsInReach);
    // A list shown or resized without a change of its scroll range.
    m_list->viewport()->installEventFilter(this);
}

bool RowWidgetList::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list->viewport() && event->type() == QEvent::Resize)
        realiseRowsInReach();
    return QObject::eventFilter(watched, event);
}

QListWidgetItem *RowWidgetList::newItem(const QVariant &record) const
{
    auto *item = new QListWidgetItem;
    item->setSizeHint(m_rowSize);
    item->setData(Qt::UserRole, record);
    return item;
}

void RowWidgetList::setRecords(const QVector<QVariant> &records)
{
    clear();
    // Items join the list before any row has a widget: an item widget is
    // tracked by a persistent index, which every later insertion would move.
    for (const QVariant &record : records)
        m_list->addItem(newItem(record));
    realiseRowsInReach();
}

void RowWidgetList::fillRecords(QVector<QVariant> records)
{
    clear();
    m_fillRecords = std::move(records);
    m_fillNext = 0;
    m_filling = true;
    addFillSlice();
}

void RowWidgetList::addFillSlice()
{
    // One insertion for the whole slice: while rows have widgets, every
    // insertion lays the whole list out again to place them.
    const int first = m_list->count();
    const int size = std::min(FillSliceRows, m_fillRecords.size() - m_fillNext);
    QStringList labels;
    labels.reserve(size);
    for (int i = 0; i < size; ++i)
        labels.append(QString());
    m_list->insertItems(first, labels);
    for (int row = first; row < first + size; ++row) {
        QListWidgetItem *item = m_list->item(row);
        item->setSizeHint(m_rowSize);
        item->setData(Qt::UserRole, m_fillRecords.at(m_fillNext++));
    }
    realiseRowsInReach();
    if (m_fillNext < m_fillRecords.size())
        m_fillTimer->start();
    else
        endFill();
}

void RowWidgetList::endFill()
{
    if (!m_filling)
        return;
    m_filling = false;
    m_fillTimer->stop();
    m_fillRecords.clear();
    m_fillNext = 0;
    emit fillFinished();
}

void RowWidgetList::appendRecord(const QVariant &record)
{
    if (m_filling) {
        m_fillRecords.append(record);
        return;
    }
    m_list->addItem(newItem(record));
    realiseRowsInReach();
}

void RowWidgetList::removeRow(int row)
{
    QListWidgetItem *item = m_list->item(row);
    if (!item)
        return;
    m_realised.removeOne(item);
    if (QWidget *widget = m_list->itemWidget(item)) {
        m_list->removeItemWidget(item);
        widget->hide();
        widget->deleteLater();
    }
    delete item;
    realiseRowsInReach();
}

void RowWidgetList::clear()
{
    endFill();
    // Deleted later: a row's own button may have started what clears the list.
    for (QListWidgetItem *item : qAsConst(m_realised)) {
        if (QWidget *widget = m_list->itemWidget(item)) {
            m_list->removeItemWidget(item);
            widget->hide();
            widget->deleteLater();
        }
    }
    m_realised.clear();
    m_list->clear();
}

int RowWidgetList::count() const
{
    return m_list->count();
}

QVariant RowWidgetList::record(int row) const
{
    const QListWidgetItem *item = m_list->item(row);
    return item ? item->data(Qt::UserRole) : QVariant();
}

QWidget *RowWidgetList::widget(int row)
{
    QListWidgetItem *item = m_list->item(row);
    if (!item)
        return nullptr;
    if (QWidget *existing = m_list->itemWidget(item))
        return existing;
    QWidget *made = m_factory(item->data(Qt::UserRole), m_list->viewport());
    m_list->setItemWidget(item, made);
    m_realised.append(item);
    return made;
}

QList<QWidget *> RowWidgetList::widgets() const
{
    QList<QPair<int, QWidget *>> byRow;
    for (QListWidgetItem *item : m_realised)
        byRow.append({ m_list->row(item), m_list->itemWidget(item) });
    std::sort(
        byRow.begin(), byRow.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QList<QWidget *> result;
    for (const auto &entry : qAsConst(byRow))
        result.append(entry.second);
    return result;
}

void RowWidgetList::realiseRowsInReach()
{
    const int count = m_list->count();
    if (count == 0)
        return;
    // The first row in view follows from the scroll position alone (every
    // row has the same height): the view's own geometry lags behind until
    // its next layout, for instance right after a row was removed.
    const int offset = m_list->verticalScrollBar()->value();
    const int top = std::min(count - 1,
        m_list->verticalScrollMode() == QAbstractItemView::ScrollPerItem
            ? offset
            : offset / std::max(1, m_rowSize.height()));
    const int page = m_list->viewport()->height() / std::max(1, m_rowSize.height()) + 1;
    const int first = std::max(0, top - page);
    const int last = std::min(count - 1, top + 2 * page);

    for (auto it = m_realised.begin(); it != m_realised.end();) {
        const int row = m_list->row(*it);
        if (row >= first && row <= last) {
            ++it;
            continue;
        }
        if (QWidget *widget = m_list->itemWidget(*it)) {
            m_list->removeItemWidget(*it);
            widget->hide();
            widget->deleteLater();
        }
        it = m_realised.erase(it);
    }
    for (int row = first; row <= last; ++row)
        widget(row);
}
