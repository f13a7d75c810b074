// Play click to onOpenSucceeded through the whole resolution pipeline (file
// hash call, address call, host list, probe, open) against tavrion-server on
// loopback, beside the bare engine's open of the same kind of address.
// Prints medians of 20 runs; asserts nothing about time. The anchor is the
// engine itself, opening an address the pipeline resolved: there is no
// setting to tune, the difference is the pipeline's own time.
//
// usage: bench_pipeline [DATA_DIR] | --smoke   (default: a quick demo library
//        made here; smoke: 2 runs)
#include "account/usersession.h"
#include "app/appsettings.h"
#include "benchtools.h"
#include "player/aplayercontrol.h"
#include "resource/playresolvedfile.h"
#include "resource/videofileresolver.h"
#include "serverprocess.h"
#include "service/resourceendpoints.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <clocale>

namespace {

int Runs = 20;

// Closes the file and waits until the engine is ready for the next one.
void closeFile(APlayerControl &player)
{
    if (player.state() == APlayerControl::Ready)
        return;
    QEventLoop loop;
    QObject::connect(&player, &APlayerControl::onStateChanged, &loop, [&](int, int newState) {
        if (newState == APlayerControl::Ready)
            loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    player.close();
    loop.exec();
}

bool openAndWait(APlayerControl &player, const QSharedPointer<VideoFileInfo> &file)
{
    QEventLoop loop;
    bool opened = false;
    QObject::connect(&player, &APlayerControl::onOpenSucceeded, &loop, [&] {
        opened = true;
        loop.quit();
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    player.open(file);
    loop.exec();
    return opened;
}

} // namespace

int main(int argc, char *argv[])
{
    if (takeSmokeFlag(argc, argv))
        Runs = 2;
    setBenchEnvironment();
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QTextStream out(stdout);

    QTemporaryDir scratch;
    QString data = app.arguments().value(1);
    if (data.isEmpty()) {
        data = scratch.filePath(QStringLiteral("library"));
        const int made = QProcess::execute(
            QStringLiteral(TAVRION_SOURCE_DIR) + QStringLiteral("/tools/make-demo-library"),
            { QStringLiteral("--quick"), QStringLiteral("--server"), ServerProcess::program(),
                data });
        if (made != 0)
            return 1;
    }
    const QString clip = demoResources(data).value(QStringLiteral("clip"));

    ServerProcess server;
    if (clip.isEmpty()
        || !server.start(data, { QStringLiteral("--host"), QStringLiteral("127.0.0.1:0") })) {
        out << "no demo library or the server did not start\n";
        return 1;
    }

    QDir::setCurrent(scratch.path());
    // The VIP demo account caches what it plays; keep that out of /tmp.
    qputenv("TMPDIR", scratch.path().toLocal8Bit());
    AppSettings::initialize(QStringLiteral("Config.ini"));
    AppSettings::instance()->setServiceBaseAddress(server.baseAddress());
    UserSession::instance()->login(
        QStringLiteral("demo@tavrion.test"), QStringLiteral("tavrion123"));

    APlayerControl player;
    player.initialize(0);

    const FileListResult list = getResourceFileList(clip);
    if (list.status != 1 || list.files.isEmpty()) {
        out << "file list call failed: " << list.message << "\n";
        return 1;
    }
    const QSharedPointer<VideoFileInfo> listed = list.files.first();

    // One run first, so that the host list is cached as in a running program.
    QVector<double> pipeline;
    QVector<double> bare;
    QVector<double> steps;
    for (int run = -1; run < Runs; ++run) {
        QWidget dialog;
        auto *messageLabel = new QLabel(&dialog);
        messageLabel->setObjectName(QStringLiteral("messageLabel"));
        const QSharedPointer<VideoFileInfo> file = freshRecord(listed);
        QElapsedTimer timer;
        timer.start();
        const bool resolved = VideoFileResolver::resolve(
            file, messageLabel, false, VideoFileResolver::ParseDialogPlay);
        const double resolvedElapsed = timer.nsecsElapsed() / 1e6;
        if (!resolved || !playResolvedFile(file, &dialog)) {
            out << "pipeline run failed: " << messageLabel->text() << "\n";
            return 1;
        }
        const double elapsed = timer.nsecsElapsed() / 1e6;
        closeFile(player);

        // The bare engine on a freshly issued address of the same host.
        const QSharedPointer<VideoFileInfo> again = freshRecord(listed);
        if (!VideoFileResolver::resolve(
                again, messageLabel, false, VideoFileResolver::ParseDialogPlay))
            return 1;
        timer.restart();
        if (!openAndWait(player, again)) {
            out << "bare open failed\n";
            return 1;
        }
        const double bareElapsed = timer.nsecsElapsed() / 1e6;
        closeFile(player);
        if (run >= 0) {
            pipeline.append(elapsed);
            steps.append(resolvedElapsed);
            bare.append(bareElapsed);
        }
    }

    // The steps one by one, for where the time goes.
    QVector<double> hashCalls;
    QVector<double> addressCalls;
    QVector<double> probes;
    for (int run = 0; run < Runs; ++run) {
        const QSharedPointer<VideoFileInfo> file = freshRecord(listed);
        QElapsedTimer timer;
        timer.start();
        const bool hashed = getVideoFileHash(file).status == 1;
        hashCalls.append(timer.nsecsElapsed() / 1e6);
        timer.restart();
        const bool addressed = hashed && getVideoFileAddress(file, 0).status == 1;
        addressCalls.append(timer.nsecsElapsed() / 1e6);
        const QString url = QStringLiteral("http://%1/ftn_handler/%2").arg(file->host, file->code);
        timer.restart();
        const bool probed
            = addressed && VideoFileResolver::probe(url, file->comCookie, file->effectiveSize());
        probes.append(timer.nsecsElapsed() / 1e6);
        if (!probed) {
            out << "step run failed: hash " << hashed << ", address " << addressed << "\n";
            return 1;
        }
    }

    const double pipelineMedian = median(pipeline);
    const double bareMedian = median(bare);
    out << "address: " << listed->name << " of " << clip << " on "
        << server.hostAddresses().value(0) << "\n";
    out << "play click to onOpenSucceeded, whole pipeline, median of " << Runs << ": "
        << pipelineMedian << " ms\n";
    out << "  of which the service calls and the probe: " << median(steps) << " ms\n";
    out << "    file hash call " << median(hashCalls) << " ms, address call "
        << median(addressCalls) << " ms, probe " << median(probes) << " ms\n";
    out << "bare engine open to onOpenSucceeded, same address, median of " << Runs << ": "
        << bareMedian << " ms\n";
    out << "pipeline overhead: " << pipelineMedian - bareMedian << " ms\n";
    return 0;
}
