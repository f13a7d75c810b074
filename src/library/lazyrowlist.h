#pragma once

#include <QObject>
#include <QPersistentModelIndex>
#include <QSize>
#include <QVector>

#include <functional>

class QListWidget;
class QListWidgetItem;
class QWidget;

// Gives the items of a list widget their row widgets only while they are in
// view. Every item widget set on a list view makes the view lay out all the
// others again, so a widget per item makes a long list quadratic to build
// (minutes for a few thousand rows). Items alone are cheap; with widgets only
// on the rows on screen, building is linear in the length of the list and
// scrolling costs the same at any length.
//
// The list's items all have the row size; the factory makes the widget of
// one item, parentless, and the list takes it over.
class LazyRowList : public QObject
{
    Q_OBJECT

public:
    using Factory = std::function<QWidget *(QListWidgetItem *item)>;

    LazyRowList(QListWidget *list, QSize rowSize, Factory factory);

    // Appends an item of the row size carrying the value under Qt::UserRole.
    QListWidgetItem *append(const QVariant &value);
    // Makes the widgets of the rows in view and drops those of the others.
    void refresh();
    // The row widgets that exist now, top to bottom.
    QList<QWidget *> rowWidgets() const;
    // The widget of an item, scrolled into view first.
    QWidget *rowWidget(QListWidgetItem *item);

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QListWidget *m_list;
    QSize m_rowSize;
    Factory m_factory;
    QVector<QPersistentModelIndex> m_shown;
};

class QLabel;

// Shows a record's name in a row, as text and tool tip, exactly as stored:
// names come from the service or the user and are never read as markup.
void setRowName(QLabel *label, const QString &name);
