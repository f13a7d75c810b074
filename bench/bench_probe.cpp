// The address probe of a loopback video host in fresh processes: each run
// starts a new copy of this program that probes twice, either cold or after
// another network access manager made a request first, as the program's
// start-up calls to the service do.
//
// The anchor is another build of this program named on the command line;
// without one only this build is measured.
//
// usage: bench_probe [RUNS [ANCHOR]] | --smoke   (default 15 runs; smoke: 1 run)
#include "benchtools.h"
#include "mediaserver.h"
#include "resource/videofileresolver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <clocale>
#include <cstdio>

namespace {

// Child: two probes of url; prints "<first ms> <passed> <second ms> <passed>".
int probeTwice(const QString &url, quint64 size, bool afterRequest)
{
    if (afterRequest) {
        QNetworkAccessManager manager;
        QNetworkRequest request { QUrl(url) };
        request.setRawHeader("Range", "bytes=0-0");
        QNetworkReply *reply = manager.get(request);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    QString line;
    for (int probe = 0; probe < 2; ++probe) {
        QElapsedTimer timer;
        timer.start();
        const bool passed = VideoFileResolver::probe(url, QStringLiteral("k=v"), size);
        line += QStringLiteral("%1 %2 ").arg(timer.nsecsElapsed() / 1e6).arg(int(passed));
    }
    std::printf("%s\n", qPrintable(line.trimmed()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool smoke = takeSmokeFlag(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--child"))
        return probeTwice(
            args.value(2), args.value(3).toULongLong(), args.value(4) == QLatin1String("warm"));

    const int runs = smoke ? 1 : qMax(1, args.value(1, QStringLiteral("15")).toInt());
    QTemporaryDir scratch;
    const QString path = scratch.filePath(QStringLiteral("video.bin"));
    const qint64 size = 64 * 1024 * 1024;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(QByteArray(size, 'v'));
    }
    MediaServer server(path);
    if (!server.start())
        return 1;

    // Children of this program, and of the program named as the anchor (a
    // build of this benchmark from other sources) when one is given.
    QStringList programs { app.applicationFilePath() };
    if (!args.value(2).isEmpty())
        programs << args.value(2);
    struct Series
    {
        QString program;
        bool afterRequest;
        QVector<double> first;
        QVector<double> second;
        int failures = 0;
    };
    QVector<Series> series;
    for (const QString &program : programs) {
        series.append({ program, false, {}, {} });
        series.append({ program, true, {}, {} });
    }
    for (int run = 0; run < runs; ++run) {
        for (int turn = 0; turn < series.size(); ++turn) {
            Series &one = series[(run + turn) % series.size()];
            QProcess child;
            child.start(one.program,
                { QStringLiteral("--child"), server.url(), QString::number(size),
                    one.afterRequest ? QStringLiteral("warm") : QStringLiteral("cold") });
            child.waitForFinished(30000);
            const QStringList fields
                = QString::fromUtf8(child.readAllStandardOutput()).simplified().split(' ');
            if (fields.size() != 4) {
                std::fprintf(stderr, "run %d: child failed\n", run);
                ++one.failures;
                continue;
            }
            one.first << fields.at(0).toDouble();
            one.second << fields.at(2).toDouble();
            one.failures += fields.at(1) != QLatin1String("1");
            one.failures += fields.at(3) != QLatin1String("1");
        }
    }
    std::printf("probe of a %lld MiB file on a loopback host, medians of %d fresh processes each\n",
        size >> 20, runs);
    for (const Series &one : series) {
        std::printf("%s, %s (%d probes failed):\n", qPrintable(one.program),
            one.afterRequest ? "after another manager's request" : "cold process", one.failures);
        std::printf("  first probe   %8.1f ms\n", median(one.first));
        std::printf("  second probe  %8.1f ms\n", median(one.second));
    }
    const bool failed = std::any_of(
        series.begin(), series.end(), [](const Series &one) { return one.failures > 0; });
    return failed ? 1 : 0;
}
