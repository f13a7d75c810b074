#pragma once

#include <QObject>
#include <QSize>
#include <QVariant>
#include <QVector>

#include <functional>

class QListWidget;
class QTimer;
class QListWidgetItem;
class QWidget;

// Shows a list of any length as one widget per row in a QListWidget while
// keeping only the rows in view (and a page either side) as real widgets.
//
// Every row is a QListWidgetItem that carries its record (a QVariant) and the
// row's size hint; the row's widget is made by the factory when the row
// scrolls into reach and deleted when it leaves it. Building a list thus costs
// one light item per row, and scrolling costs the same whatever the length.
//
// Rows are added, removed and read only through this object; widgets() gives
// the row widgets that exist now, so state that every row shows (buttons
// disabled during a run, say) must also be applied by the factory.
class RowWidgetList : public QObject
{
    Q_OBJECT

public:
    // Makes the widget of one row from its record, as a child of `parent`
    // (the list's viewport, so the row inherits the dialog's font and style
    // from the start); the list takes it over.
    using Factory = std::function<QWidget *(const QVariant &record, QWidget *parent)>;

    RowWidgetList(QListWidget *list, QSize rowSize, Factory factory);

    // Replaces every row.
    void setRecords(const QVector<QVariant> &records);
    // Replaces every row as setRecords does, but adds a long list a slice at
    // a time and lets the event loop turn between slices, so that the window
    // keeps responding while a hundred thousand rows go in. Rows in view
    // appear with the first slice; a list that fits one slice is complete on
    // return. fillFinished follows once every row is in, or when clear or
    // setRecords cut the fill short.
    void fillRecords(QVector<QVariant> records);
    bool isFilling() const { return m_filling; }
    // Appended after the rows a fill still holds back.
    void appendRecord(const QVariant &record);
    void removeRow(int row);
    void clear();

    int count() const;
    QVariant record(int row) const;
    // The row's widget, made now if the row has none.
    QWidget *widget(int row);
    // The row widgets that exist now, top to bottom.
    QList<QWidget *> widgets() const;

    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    void fillFinished();

private:
    void addFillSlice();
    void endFill();
    void realiseRowsInReach();
    QListWidgetItem *newItem(const QVariant &record) const;

    QListWidget *m_list;
    QSize m_rowSize;
    Factory m_factory;
    // Rows that have a widget, as the items that carry them.
    QList<QListWidgetItem *> m_realised;
    // The rows a fill has still to add, from m_fillNext on.
    QVector<QVariant> m_fillRecords;
    int m_fillNext = 0;
    bool m_filling = false;
    QTimer *m_fillTimer;
};
