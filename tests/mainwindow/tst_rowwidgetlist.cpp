// Long lists keep a row widget only for the rows within reach of the view,
// whatever the list's length, and every row shows its own record.
#include "mainwindow/rowwidgetlist.h"

#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QtTest>

namespace {

const QSize RowSize(300, 30);

QVector<QVariant> numbers(int count, int from = 0)
{
    QVector<QVariant> result;
    for (int i = 0; i < count; ++i)
        result.append(from + i);
    return result;
}

// A row shows its record as the label text.
QWidget *makeRow(const QVariant &record, QWidget *parent)
{
    auto *row = new QLabel(record.toString(), parent);
    row->resize(RowSize);
    return row;
}

} // namespace

class TestRowWidgetList : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        list = std::make_unique<QListWidget>();
        list->resize(320, 310); // ten rows in view
        rows = new RowWidgetList(list.get(), RowSize, makeRow);
    }
    void cleanup() { list.reset(); }

    void onlyRowsWithinReachHaveWidgets_data();
    void onlyRowsWithinReachHaveWidgets();
    void editsKeepRowsAndRecordsTogether();
    void aHiddenListGetsItsRowsWhenShown();
    void longFillLetsTheEventLoopTurn_data();
    void longFillLetsTheEventLoopTurn();

private:
    // Every existing widget shows the record of the row it sits on.
    void verifyWidgetsMatchRecords()
    {
        int realised = 0;
        for (int row = 0; row < list->count(); ++row) {
            auto *label = qobject_cast<QLabel *>(list->itemWidget(list->item(row)));
            if (!label)
                continue;
            ++realised;
            QCOMPARE(label->text(), rows->record(row).toString());
        }
        QCOMPARE(rows->widgets().size(), realised);
    }
    int settle()
    {
        QTest::qWait(20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return list->viewport()->findChildren<QLabel *>().size();
    }

    std::unique_ptr<QListWidget> list;
    RowWidgetList *rows = nullptr;
};

void TestRowWidgetList::onlyRowsWithinReachHaveWidgets_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("fewer than a page") << 4;
    QTest::newRow("a few pages") << 45;
    QTest::newRow("a hundred thousand") << 100000;
}

void TestRowWidgetList::onlyRowsWithinReachHaveWidgets()
{
    QFETCH(int, count);
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list.get()));
    rows->setRecords(numbers(count));
    QCOMPARE(rows->count(), count);
    QCOMPARE(list->item(0)->sizeHint(), RowSize);
    // In view and a page either side, at most.
    const int reach = 4 * 11;
    QVERIFY(settle() <= reach);
    QVERIFY(rows->widgets().size() >= std::min(count, 10));
    QCOMPARE(qobject_cast<QLabel *>(rows->widgets().first())->text(), QStringLiteral("0"));
    verifyWidgetsMatchRecords();

    // To the end and back: the rows in view have their widgets, the others
    // gave theirs up.
    for (int value : { list->verticalScrollBar()->maximum(), 0 }) {
        list->verticalScrollBar()->setValue(value);
        QVERIFY(settle() <= reach);
        const QModelIndex top = list->indexAt(QPoint(1, 1));
        QVERIFY(top.isValid());
        for (int row = top.row(); row < std::min(count, top.row() + 10); ++row)
            QVERIFY(list->itemWidget(list->item(row)));
        verifyWidgetsMatchRecords();
    }
}

void TestRowWidgetList::editsKeepRowsAndRecordsTogether()
{
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list.get()));
    rows->setRecords(numbers(30));
    rows->removeRow(2);
    rows->removeRow(0);
    rows->appendRecord(100);
    rows->removeRow(99); // no such row: nothing happens
    settle();
    QCOMPARE(rows->count(), 29);
    QCOMPARE(rows->record(0).toInt(), 1);
    QCOMPARE(rows->record(1).toInt(), 3);
    QCOMPARE(rows->record(28).toInt(), 100);
    verifyWidgetsMatchRecords();
    QCOMPARE(qobject_cast<QLabel *>(rows->widget(28))->text(), QStringLiteral("100"));

    // A second set replaces the first; clearing leaves nothing behind.
    rows->setRecords(numbers(3, 500));
    QCOMPARE(settle(), 3);
    verifyWidgetsMatchRecords();
    rows->clear();
    QCOMPARE(settle(), 0);
    QCOMPARE(rows->count(), 0);
    QVERIFY(rows->widgets().isEmpty());
}

void TestRowWidgetList::aHiddenListGetsItsRowsWhenShown()
{
    // Filled before the list ever had its size, as a dialog filled while
    // hidden is.
    rows->setRecords(numbers(8));
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list.get()));
    settle();
    QCOMPARE(rows->widgets().size(), 8);
    verifyWidgetsMatchRecords();
}

void TestRowWidgetList::longFillLetsTheEventLoopTurn_data()
{
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<int>("finalCount");
    QTest::addColumn<int>("lastRecord");
    QTest::newRow("nothing") << "" << 100000 << 99999;
    QTest::newRow("an append lands last") << "append" << 100001 << -1;
    QTest::newRow("clear cuts it short") << "clear" << 0 << 0;
    QTest::newRow("a new set replaces it") << "set" << 3 << 502;
}

void TestRowWidgetList::longFillLetsTheEventLoopTurn()
{
    QFETCH(QString, meanwhile);
    QFETCH(int, finalCount);
    QFETCH(int, lastRecord);
    list->show();
    QVERIFY(QTest::qWaitForWindowExposed(list.get()));
    QSignalSpy finished(rows, &RowWidgetList::fillFinished);

    // A short list is complete on return.
    rows->fillRecords(numbers(4));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(rows->count(), 4);
    QVERIFY(!rows->isFilling());

    // A long one shows its first rows at once and the rest over later turns.
    rows->fillRecords(numbers(100000));
    QVERIFY(rows->isFilling());
    QVERIFY(rows->count() < 100000);
    QCOMPARE(qobject_cast<QLabel *>(rows->widgets().first())->text(), QStringLiteral("0"));
    int turns = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&] { ++turns; });
    tick.start(0);
    if (meanwhile == QLatin1String("append"))
        rows->appendRecord(-1);
    else if (meanwhile == QLatin1String("clear"))
        rows->clear();
    else if (meanwhile == QLatin1String("set"))
        rows->setRecords(numbers(3, 500));
    QTRY_VERIFY(!rows->isFilling());
    settle();
    QCOMPARE(finished.count(), 2);
    QCOMPARE(rows->count(), finalCount);
    if (finalCount > 0)
        QCOMPARE(rows->record(finalCount - 1).toInt(), lastRecord);
    if (finalCount >= 100000) {
        QVERIFY(turns > 1);
        for (int row = 0; row < 100000; ++row)
            QVERIFY(rows->record(row).toInt() == row);
    }
    verifyWidgetsMatchRecords();
}

QTEST_MAIN(TestRowWidgetList)
#include "tst_rowwidgetlist.moc"
