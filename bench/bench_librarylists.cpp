// Opening the play record dialog on a record file of N records: the time
// from construction until the first paint is done, as a user waits for it.
// Beside it, the same rows with a widget set on every item at once (the
// plain QListWidget way), which is what the dialog avoids. Medians of
// interleaved runs; offscreen platform. The anchor is given its best
// settings: uniform item sizes, and no repaints while it fills.
//
// usage: bench_librarylists [--smoke]   (smoke: 0 and 1 000 records, one run)
#include "app/startup.h"
#include "benchtools.h"
#include "library/btresourceplayrecorddialog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSaveFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

void writeRecords(int count)
{
    QJsonArray records;
    for (int i = 0; i < count; ++i)
        records.append(QJsonObject { { "resource_hash", QStringLiteral("%1").arg(i, 40, 16) },
            { "resource_index", i }, { "file_hash", "" },
            { "file_name", QStringLiteral("第%1集 一个常见长度的文件名.mkv").arg(i) } });
    QSaveFile file(QStringLiteral("PlayRecord.dat"));
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(records).toJson());
    file.commit();
}

// Processor time of this process: on a shared machine the wall time also
// counts the other processes' turns.
double cpuMs()
{
    return double(std::clock()) * 1000.0 / CLOCKS_PER_SEC;
}

double dialogMs(double *cpu = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    const double cpuStart = cpuMs();
    {
        BTResourcePlayRecordDialog dialog;
        dialog.show();
        QCoreApplication::processEvents();
    }
    if (cpu)
        *cpu = cpuMs() - cpuStart;
    return double(timer.nsecsElapsed()) / 1e6;
}

// Every item gets its row widget (a label and two buttons) right away.
double eagerMs(int count)
{
    QElapsedTimer timer;
    timer.start();
    {
        QWidget window;
        window.resize(831, 466);
        QListWidget list(&window);
        list.setGeometry(10, 70, 811, 391);
        list.setUniformItemSizes(true);
        window.show();
        list.setUpdatesEnabled(false);
        for (int i = 0; i < count; ++i) {
            auto *row = new QWidget;
            row->setFixedSize(790, 31);
            (new QLabel(QStringLiteral("第%1集").arg(i), row))->setGeometry(10, 7, 721, 17);
            (new QPushButton(row))->setGeometry(745, 7, 17, 17);
            (new QPushButton(row))->setGeometry(770, 7, 17, 17);
            auto *item = new QListWidgetItem(&list);
            item->setSizeHint(row->size());
            list.setItemWidget(item, row);
        }
        list.setUpdatesEnabled(true);
        QCoreApplication::processEvents();
    }
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    const bool smoke = takeSmokeFlag(argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Startup::initResources();
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());

    // Fonts, images and style sheets load on the first showing only.
    writeRecords(100);
    dialogMs();
    eagerMs(100);

    std::printf("%8s %10s %10s %10s %8s\n", "rows", "dialog ms", "cpu ms", "eager ms", "ratio");
    const QList<int> counts
        = smoke ? QList<int> { 0, 1000 } : QList<int> { 0, 100, 1000, 2000, 10000, 100000 };
    for (int count : counts) {
        writeRecords(count);
        // The eager way grows with the square of the rows: measured up to
        // 2 000 only.
        const bool withEager = count > 0 && count <= 2000;
        const int runs = smoke ? 1 : count >= 100000 ? 3 : 5;
        QVector<double> dialog, cpu, eager;
        for (int run = 0; run < runs; ++run) {
            double processor = 0;
            dialog.append(dialogMs(&processor));
            cpu.append(processor);
            if (withEager && (count <= 1000 || run < 1))
                eager.append(eagerMs(count));
        }
        if (eager.isEmpty())
            std::printf(
                "%8d %10.1f %10.1f %10s %8s\n", count, median(dialog), median(cpu), "-", "-");
        else
            std::printf("%8d %10.1f %10.1f %10.1f %8.2f\n", count, median(dialog), median(cpu),
                median(eager), median(eager) / median(dialog));
        std::fflush(stdout);
        if (!(median(dialog) > 0) || (withEager && !(median(eager) > 0)))
            return 1;
    }
    return 0;
}
