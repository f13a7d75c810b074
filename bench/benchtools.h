// Small measuring helpers shared by the benchmarks.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QSharedPointer>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

// Runs the benchmark, and every thread and process it starts later, at nice
// -10 in the ordinary class when it may (as root): ahead of neighbours'
// ordinary work on a shared machine. Started in a real-time class (`chrt`),
// it leaves that class first: there load generators and servers that keep
// the cores busy starve the kernel's ordinary threads (softirq processing),
// and tail latencies measure those stalls. Call it before any thread starts.
inline void takeMeasuringPriority()
{
    const sched_param ordinary {};
    const int policy = sched_getscheduler(0);
    if (policy == SCHED_FIFO || policy == SCHED_RR)
        sched_setscheduler(0, SCHED_OTHER, &ordinary);
    if (sched_getscheduler(0) == SCHED_OTHER && setpriority(PRIO_PROCESS, 0, -10) == 0)
        std::printf("the benchmark and what it starts run at nice -10 in the ordinary class\n");
}

// The middle value; the mean of the two middle ones for an even count, 0 for none.
inline double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return (values.at((n - 1) / 2) + values.at(n / 2)) / 2;
}

// Keeps the longest gap between two turns of the event loop, the one still
// open when it is read included.
class StallWatch : public QObject
{
public:
    StallWatch()
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this,
            [this] { m_longest = std::max(m_longest, m_clock.restart()); });
        m_clock.start();
        m_timer.start();
    }
    qint64 longestMs() const { return std::max(m_longest, m_clock.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
};

// CPU seconds, threads and resident memory of the processes `roots` and their
// direct children (nginx's workers, PostgreSQL's backends).
struct ProcessUse
{
    double cpuSeconds = 0;
    int threads = 0;
    qint64 rssKiB = 0;
};

inline ProcessUse processUse(const std::vector<qint64> &roots)
{
    ProcessUse use;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    DIR *proc = opendir("/proc");
    if (!proc)
        return use;
    while (dirent *entry = readdir(proc)) {
        const qint64 pid = QByteArray(entry->d_name).toLongLong();
        if (pid <= 0)
            continue;
        QFile statFile(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!statFile.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = statFile.readAll();
        // Fields after the command name, which may hold blanks: state is 3rd.
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 20)
            continue;
        const qint64 parent = fields.at(1).toLongLong();
        if (std::none_of(roots.begin(), roots.end(),
                [pid, parent](qint64 root) { return pid == root || parent == root; }))
            continue;
        use.cpuSeconds += (fields.at(11).toDouble() + fields.at(12).toDouble()) / ticks;
        use.threads += fields.at(17).toInt();
        QFile statusFile(QStringLiteral("/proc/%1/status").arg(pid));
        if (statusFile.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : statusFile.readAll().split('\n')) {
                if (line.startsWith("VmRSS:"))
                    use.rssKiB += line.mid(6).trimmed().split(' ').value(0).toLongLong();
            }
        }
    }
    closedir(proc);
    return use;
}

// Offscreen Qt and the build folder this bench was built in, unless the
// caller chose others.
inline void setBenchEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef TAVRION_BUILD_DIR
    if (qEnvironmentVariableIsEmpty("TAVRION_BUILD_DIR"))
        qputenv("TAVRION_BUILD_DIR", TAVRION_BUILD_DIR);
#endif
}

// True when the arguments hold `--smoke`: one short round on the same code
// paths, failing when a figure cannot be taken. The flag is taken out of
// argv so that positional arguments keep their places.
inline bool takeSmokeFlag(int &argc, char **argv)
{
    bool found = false;
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && qstrcmp(argv[i], "--smoke") == 0)
            found = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;
    return found;
}

// The anchor configuration to compare against: runs every candidate `tries`
// times, in turns, and returns the index of the one with the lowest median
// figure. `run(i)` measures candidate i; a negative figure is a failed try
// and a candidate with any failed try is not kept. -1 when none works.
template <class Run> int bestCandidate(int count, int tries, Run run, QVector<double> *medians)
{
    QVector<QVector<double>> figures(count);
    QVector<bool> failed(count, false);
    for (int turn = 0; turn < tries; ++turn) {
        for (int i = 0; i < count; ++i) {
            const int candidate = (i + turn) % count;
            if (failed.at(candidate))
                continue;
            const double figure = run(candidate);
            if (figure < 0)
                failed[candidate] = true;
            else
                figures[candidate].append(figure);
        }
    }
    int best = -1;
    medians->clear();
    for (int i = 0; i < count; ++i) {
        medians->append(failed.at(i) ? -1 : median(figures.at(i)));
        if (!failed.at(i) && (best < 0 || medians->at(i) < medians->at(best)))
            best = i;
    }
    return best;
}

// A new record of a listed file that carries only what the file list gave, so
// that every resolution starts from scratch as on a first click.
template <class File> QSharedPointer<File> freshRecord(const QSharedPointer<File> &listed)
{
    auto file = QSharedPointer<File>::create();
    file->hash = listed->hash;
    file->index = listed->index;
    file->name = listed->name;
    file->fileSize = listed->fileSize;
    return file;
}
