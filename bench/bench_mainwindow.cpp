// Start-up time and idle load of the main window. Run it on an X display
// with a window manager: tests/support/run-xvfb build/bench/bench_mainwindow.
//
// Start-up: the bench starts a copy of itself that goes through the
// program's own start (application object, main window, show) and reports
// the monotonic time at which the window is first exposed; the figure is
// that time minus the moment the bench started the process, so it includes
// loading the libraries. Idle load: the real tavrion runs with nothing open,
// and its CPU time is read from /proc over an idle minute. No service
// answers, so the login page opens modally during the start, as for a user
// who is not logged in; the copy closes it unanswered once it shows. There
// is no anchor to tune: both figures stand on their own.
//
// usage: bench_mainwindow [IDLE_SECONDS] | --smoke   (smoke: one start, 2 s idle)

#include "app/application.h"
#include "benchtools.h"
#include "guitest.h"
#include "mainwindow/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QWindow>

#include <algorithm>
#include <ctime>
#include <unistd.h>

namespace {

qint64 monotonicMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// utime + stime of a process, in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // The fields after the command name, which may hold blanks.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

void writeConfig(const QString &folder)
{
    QFile config(QDir(folder).filePath(QStringLiteral("Config.ini")));
    config.open(QIODevice::WriteOnly);
    config.write("[Application]\nFirstLaunched=0\n[Service]\nBaseAddress=http://127.0.0.1:9\n");
}

class ExposeWatch : public QObject
{
public:
    bool exposed = false;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!exposed && event->type() == QEvent::Expose
            && static_cast<QWindow *>(watched)->isExposed()) {
            exposed = true;
            QTextStream(stdout) << "exposed " << monotonicMs() << "\n";
            QCoreApplication::exit(0);
        }
        return false;
    }
};

// The program's start up to the first exposure of the main window. The
// window is exposed while its start-up steps still run inside show(), so the
// watch is on its native window before show() is called.
int child(int argc, char **argv)
{
    Application app(argc, argv);
    MainWindow window;
    ExposeWatch watch;
    window.winId();
    window.windowHandle()->installEventFilter(&watch);
    ModalCloser closer;
    window.show();
    return watch.exposed ? 0 : app.exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--child")
        return child(argc, argv);

    const bool smoke = takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const int runs = smoke ? 1 : 7;
    QList<qint64> times;
    for (int run = 0; run < runs; ++run) {
        QTemporaryDir work;
        writeConfig(work.path());
        QProcess copy;
        copy.setWorkingDirectory(work.path());
        const qint64 started = monotonicMs();
        copy.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--child") });
        copy.waitForFinished(30000);
        const QByteArray answer = copy.readAllStandardOutput().trimmed();
        if (!answer.startsWith("exposed ")) {
            out << "run " << run + 1 << ": no window\n";
            continue;
        }
        times << answer.mid(8).toLongLong() - started;
        out << "start -> window shown, run " << run + 1 << ": " << times.last() << " ms\n";
        out.flush();
    }
    if (!times.isEmpty()) {
        std::sort(times.begin(), times.end());
        out << "start -> window shown: median " << times.at(times.size() / 2) << " ms, best "
            << times.first() << " ms\n";
    }

    if (times.size() < runs)
        return 1;

    const int idleSeconds = argc > 1 ? QByteArray(argv[1]).toInt() : smoke ? 2 : 60;
    QTemporaryDir work;
    writeConfig(work.path());
    QProcess tavrion;
    tavrion.setWorkingDirectory(work.path());
    // A runtime folder of its own: a copy running elsewhere on the machine
    // would otherwise make this one a second instance.
    const QString runtime = work.filePath(QStringLiteral("run"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    tavrion.setProcessEnvironment(environment);
    tavrion.start(QStringLiteral(TAVRION_PROGRAM), QStringList());
    if (!tavrion.waitForStarted()) {
        out << "cannot start tavrion\n";
        return 1;
    }
    QThread::sleep(smoke ? 1 : 5); // start-up work settles
    const qint64 before = cpuTicks(tavrion.processId());
    const qint64 from = monotonicMs();
    QThread::sleep(idleSeconds);
    const qint64 after = cpuTicks(tavrion.processId());
    const double seconds = (monotonicMs() - from) / 1000.0;
    const double cpu = double(after - before) / sysconf(_SC_CLK_TCK);
    out << "idle over " << seconds << " s: " << cpu
        << " s of CPU = " << QString::number(100.0 * cpu / seconds, 'f', 3) << " % of a core\n";
    tavrion.kill();
    tavrion.waitForFinished();
    return before >= 0 && after >= before ? 0 : 1;
}
