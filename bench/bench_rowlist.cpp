// Listing long file lists in the parse dialog. For 1 000, 10 000 and 100 000
// files: the whole parse (service reply over loopback HTTP, reading it, rows,
// first paint of the list), the rows alone (RowWidgetList on a bare list,
// first paint included, all at once and filled over several turns of the
// event loop), the longest pause of the event loop during the parse and the
// fill, a scroll through the whole list, and the memory the parse added.
// Anchor: the same row widgets made for every row (one item widget each) at
// 1 000 and 2 000 rows, given its best settings (uniform item sizes, no
// repaints while it fills). Each figure is measured in a fresh process,
// rounds interleaved; medians of 3 rounds.
//
// usage: bench_rowlist            (runs everything, prints the table)
//        bench_rowlist --smoke    (1 000 rows of each kind, one round)
//        bench_rowlist KIND COUNT (one measurement; used by the above)
#include "app/appsettings.h"
#include "benchtools.h"
#include "mainwindow/rowwidgetlist.h"
#include "resource/btresourceparsedialog.h"
#include "resource/btresourceparseresultlistitemwidget.h"
#include "testdir.h"
#include "testhttpserver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QTextStream>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int Rounds = 3;

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    statm.open(QIODevice::ReadOnly);
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toDouble() * 4096 / (1 << 20);
}

QByteArray fileListReply(int count)
{
    QByteArray body = R"({"statu":1,"msg":"","datas":[)";
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            body += ',';
        body += R"({"index":)" + QByteArray::number(i) + R"(,"name":"第)" + QByteArray::number(i)
            + R"(集 Some.Series.S01E)" + QByteArray::number(i) + R"(.1080p.mkv","file_size":)"
            + QByteArray::number(734265344 + i) + '}';
    }
    return body + "]}";
}

QVector<QVariant> records(int count)
{
    QVector<QVariant> result;
    for (int i = 0; i < count; ++i) {
        auto info = QSharedPointer<VideoFileInfo>::create();
        info->index = uint(i);
        info->name = QStringLiteral("第%1集 Some.Series.S01E%1.1080p.mkv").arg(i);
        info->fileSize = 734265344 + quint64(i);
        result.append(QVariant::fromValue(info));
    }
    return result;
}

QWidget *makeRow(const QVariant &record, QWidget *parent)
{
    return new BTResourceParseResultListItemWidget(
        record.value<QSharedPointer<VideoFileInfo>>(), parent);
}

// Prints "name value" lines for one measurement.
int measure(const QString &kind, int count)
{
    QTextStream out(stdout);
    ScopedWorkingDirectory dir;
    AppSettings::initialize(QStringLiteral("Config.ini"));

    if (kind == QLatin1String("parse")) {
        TestHttpServer service;
        service.start();
        const QByteArray reply = fileListReply(count);
        service.setHandler([&](const TestHttpRequest &) { return TestHttpAnswer::json(reply); });
        AppSettings::instance()->setServiceBaseAddress(service.baseAddress());
        BTResourceParseDialog dialog;
        dialog.show();
        QApplication::processEvents();
        auto *list = dialog.findChild<QListWidget *>(QStringLiteral("parseResultListWidget"));
        dialog.findChild<QLineEdit *>(QStringLiteral("resourceLineEdit"))
            ->setText(QStringLiteral("0123456789abcdef0123456789abcdef01234567"));
        const double before = residentMiB();
        QElapsedTimer clock;
        StallWatch stalls;
        clock.start();
        dialog.findChild<QPushButton *>(QStringLiteral("parsePushButton"))->click();
        list->grab();
        QApplication::processEvents();
        out << "parse_ms " << clock.nsecsElapsed() / 1e6 << "\n";
        out << "stall_ms " << stalls.longestMs() << "\n";
        out << "rss_mib " << residentMiB() - before << "\n";
        if (list->count() != count)
            qFatal("listed %d rows of %d", list->count(), count);

        // Page by page to the end, as a user holding Page Down would.
        QScrollBar *bar = list->verticalScrollBar();
        const int pages = std::max(1, bar->maximum() / std::max(1, bar->pageStep()));
        const int step = std::max(1, bar->maximum() / std::min(pages, 200));
        int shown = 0;
        clock.restart();
        for (int value = 0; value <= bar->maximum(); value += step, ++shown) {
            bar->setValue(value);
            list->grab();
            // Released rows go at the next turn of the program's event loop,
            // which this loop stands in for.
            QApplication::processEvents();
            QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        out << "scroll_page_ms " << clock.nsecsElapsed() / 1e6 / std::max(1, shown) << "\n";
        return 0;
    }

    QListWidget list;
    list.resize(811, 361);
    list.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list.show();
    QApplication::processEvents();
    const QVector<QVariant> rows = records(count);
    QElapsedTimer clock;
    clock.start();
    if (kind == QLatin1String("rows")) {
        RowWidgetList lazy(&list, QSize(790, 31), makeRow);
        lazy.setRecords(rows);
        list.grab();
        out << "rows_ms " << clock.nsecsElapsed() / 1e6 << "\n";
    } else if (kind == QLatin1String("fill")) {
        RowWidgetList lazy(&list, QSize(790, 31), makeRow);
        StallWatch stalls;
        clock.restart();
        lazy.fillRecords(rows);
        list.grab();
        while (lazy.isFilling())
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
        out << "rows_ms " << clock.nsecsElapsed() / 1e6 << "\n";
        out << "stall_ms " << stalls.longestMs() << "\n";
    } else {
        // Anchor: a row widget set on every item.
        list.setUniformItemSizes(true);
        list.setUpdatesEnabled(false);
        for (const QVariant &record : rows) {
            QWidget *row = makeRow(record, nullptr);
            auto *item = new QListWidgetItem(&list);
            item->setSizeHint(row->size());
            list.setItemWidget(item, row);
        }
        list.setUpdatesEnabled(true);
        list.grab();
        out << "rows_ms " << clock.nsecsElapsed() / 1e6 << "\n";
    }
    return 0;
}

QMap<QString, double> runOne(const QString &kind, int count)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), { kind, QString::number(count) });
    child.waitForFinished(-1);
    QMap<QString, double> figures;
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return figures;
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2)
            figures.insert(QString::fromLatin1(parts.at(0)), parts.at(1).toDouble());
    }
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    const bool smoke = takeSmokeFlag(argc, argv);
    QApplication app(argc, argv);
    if (argc == 3)
        return measure(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]).toInt());

    const QList<QPair<QString, int>> cases = smoke
        ? QList<QPair<QString, int>> { { "eager", 1000 }, { "rows", 1000 }, { "fill", 1000 },
              { "parse", 1000 } }
        : QList<QPair<QString, int>> { { "eager", 1000 }, { "eager", 2000 }, { "rows", 1000 },
              { "rows", 10000 }, { "rows", 100000 }, { "fill", 100000 }, { "parse", 1000 },
              { "parse", 10000 }, { "parse", 100000 } };
    const int rounds = smoke ? 1 : Rounds;
    QTextStream out(stdout);
    QMap<QPair<QString, int>, QMap<QString, QVector<double>>> results;
    bool failed = false;
    for (int round = 0; round < rounds; ++round) {
        for (const auto &c : cases) {
            const QMap<QString, double> figures = runOne(c.first, c.second);
            if (!figures.contains(QStringLiteral("rows_ms"))
                && !figures.contains(QStringLiteral("parse_ms"))) {
                out << c.first << " " << c.second << ": no figure\n";
                failed = true;
            }
            for (auto it = figures.begin(); it != figures.end(); ++it)
                results[c][it.key()].append(it.value());
        }
    }

    out << "kind    rows     figure          median   rows/s\n";
    for (const auto &c : cases) {
        const auto &figures = results.value(c);
        for (auto it = figures.begin(); it != figures.end(); ++it) {
            const double value = median(it.value());
            out << qSetFieldWidth(8) << Qt::left << c.first << c.second << qSetFieldWidth(16)
                << it.key() << qSetFieldWidth(9) << value;
            if (it.key() == QLatin1String("parse_ms") || it.key() == QLatin1String("rows_ms"))
                out << qSetFieldWidth(0) << qRound(c.second / (value / 1000));
            out << qSetFieldWidth(0) << "\n";
        }
    }
    return failed ? 1 : 0;
}
