// One large file from tavrion-server's video host over loopback, fetched by
// curl, by DownloadJob (which flushes its file at every read) and by a bare
// QNetworkAccessManager loop that writes without flushing, interleaved in
// turns, each into a file on the same disk. Prints the median throughput of each, the
// job's ratio to curl, the job's RSS growth during the transfer and the
// number of reads (= flushes) per transfer. Asserts nothing.
//
// curl runs with its quickest settings here: a warm-up fetches the file with
// the defaults, with --no-buffer and with --no-buffer --raw, in turns, and
// keeps the fastest.
//
// usage: bench_download [SIZE_MIB] [RUNS] [DEST] | --smoke   (smoke: 32 MiB, 1 run)
//   default 1024 MiB, 5 runs, the downloads written beside the served file
//   in a scratch folder under the current directory; DEST puts them elsewhere
//   (a tmpfs such as /dev/shm takes the disk out of the figure).
#include "app/appsettings.h"
#include "benchtools.h"
#include "library/downloadjob.h"
#include "serverprocess.h"
#include "service/resourceendpoints.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return 0;
}

bool writeTestFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (qint64 written = 0; written < size; written += block.size()) {
        for (int i = 0; i < block.size(); i += 4) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            memcpy(block.data() + i, &x, 4);
        }
        if (file.write(block.constData(), qMin<qint64>(block.size(), size - written)) < 0)
            return false;
    }
    return true;
}

// A fresh address of the file: the service's codes are short-lived.
QSharedPointer<VideoFileInfo> resolveAddress(const QSharedPointer<VideoFileInfo> &listed)
{
    auto file = QSharedPointer<VideoFileInfo>::create(*listed);
    if (getVideoFileHash(file).status != 1 || getVideoFileAddress(file, 0).status != 1)
        return {};
    file->url = QStringLiteral("http://%1/ftn_handler/%2").arg(file->host, file->code);
    return file;
}

struct Transfer
{
    double seconds = 0;
    qint64 bytes = 0;
    qint64 rssGrowth = 0;
    int reads = 0;
};

// Samples the RSS while a transfer runs and keeps the largest growth.
class RssWatch
{
public:
    RssWatch()
        : m_base(residentBytes())
    {
        QObject::connect(&m_timer, &QTimer::timeout,
            [this] { m_peak = qMax(m_peak, residentBytes() - m_base); });
        m_timer.start(20);
    }
    qint64 growth() { return qMax(m_peak, residentBytes() - m_base); }

private:
    qint64 m_base;
    qint64 m_peak = 0;
    QTimer m_timer;
};

// Settings curl is tried with.
const QList<QStringList> CurlSettings = {
    {},
    { QStringLiteral("--no-buffer") },
    { QStringLiteral("--no-buffer"), QStringLiteral("--raw") },
};

QString settingsText(const QStringList &settings)
{
    return settings.isEmpty() ? QStringLiteral("(defaults)") : settings.join(QLatin1Char(' '));
}

Transfer withCurl(
    const QSharedPointer<VideoFileInfo> &file, const QString &out, const QStringList &settings)
{
    Transfer t;
    if (!file)
        return t;
    QProcess curl;
    QElapsedTimer timer;
    timer.start();
    curl.start(QStringLiteral("curl"),
        QStringList { QStringLiteral("-s"), QStringLiteral("-o"), out, QStringLiteral("-H"),
            QStringLiteral("Cookie: ") + file->comCookie, file->url }
            + settings);
    curl.waitForFinished(-1);
    t.seconds = timer.nsecsElapsed() / 1e9;
    t.bytes = QFileInfo(out).size();
    return t;
}

Transfer withJob(const QSharedPointer<VideoFileInfo> &file, const QString &folder)
{
    Transfer t;
    if (!file)
        return t;
    DownloadJob job(file);
    QEventLoop loop;
    QObject::connect(&job, &DownloadJob::finished, &loop, &QEventLoop::quit);
    QObject::connect(&job, &DownloadJob::progressed, [&t] { ++t.reads; });
    RssWatch rss;
    QElapsedTimer timer;
    timer.start();
    job.start(folder);
    if (job.state() == DownloadJob::State::Running)
        loop.exec();
    t.seconds = timer.nsecsElapsed() / 1e9;
    t.rssGrowth = rss.growth();
    t.bytes = job.state() == DownloadJob::State::Finished ? job.bytesWritten() : 0;
    return t;
}

// The same request and reads, written without a flush per read.
Transfer withBareLoop(const QSharedPointer<VideoFileInfo> &file, const QString &out)
{
    Transfer t;
    QFile output(out);
    if (!file || !output.open(QIODevice::WriteOnly))
        return t;
    QNetworkAccessManager manager;
    QNetworkRequest request(QUrl(file->url));
    request.setRawHeader("Cookie", file->comCookie.toUtf8());
    QEventLoop loop;
    RssWatch rss;
    QElapsedTimer timer;
    timer.start();
    QNetworkReply *reply = manager.get(request);
    reply->setReadBufferSize(DownloadJob::ReadBufferBytes);
    QObject::connect(reply, &QNetworkReply::readyRead, [&] {
        t.bytes += output.write(reply->readAll());
        ++t.reads;
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    t.bytes += output.write(reply->readAll());
    output.close();
    t.seconds = timer.nsecsElapsed() / 1e9;
    t.rssGrowth = rss.growth();
    delete reply;
    return t;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("TAVRION_BUILD_DIR"))
        qputenv("TAVRION_BUILD_DIR", TAVRION_BUILD_DIR);
    const bool smoke = takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const qint64 size
        = qint64(app.arguments().value(1, QString::fromLatin1(smoke ? "32" : "1024")).toInt())
        << 20;
    const int runs = smoke ? 1 : app.arguments().value(2, QStringLiteral("5")).toInt();

    // Everything on the disk of the build folder, not in a RAM-backed /tmp.
    QTemporaryDir scratch(QDir::currentPath() + QStringLiteral("/bench_download.XXXXXX"));
    const QString media = scratch.filePath(QStringLiteral("media"));
    const QString data = scratch.filePath(QStringLiteral("data"));
    QTemporaryDir destination(
        app.arguments().value(3, scratch.path()) + QStringLiteral("/downloads.XXXXXX"));
    const QString downloads = destination.path();
    QDir().mkpath(media);
    QDir().mkpath(downloads);
    out << "writing a " << (size >> 20) << " MiB file..." << Qt::endl;
    if (!writeTestFile(media + QStringLiteral("/big.bin"), size))
        return 1;
    const QString id = ServerProcess::admin(
        { QStringLiteral("add-folder"), QStringLiteral("--data"), data, media })
                           .trimmed()
                           .section(QLatin1Char('\n'), -1);
    ServerProcess server;
    if (!server.start(data, { QStringLiteral("--host"), QStringLiteral("127.0.0.1:0") })) {
        out << "the server did not start: " << server.errorOutput() << Qt::endl;
        return 1;
    }

    QDir::setCurrent(scratch.path());
    AppSettings::initialize(QStringLiteral("Config.ini"));
    AppSettings::instance()->setServiceBaseAddress(server.baseAddress());
    const FileListResult list = getResourceFileList(id);
    if (list.status != 1 || list.files.isEmpty()) {
        out << "file list call failed for " << id << ": " << list.message << Qt::endl;
        return 1;
    }

    const QString curlOut = downloads + QStringLiteral("/curl.bin");
    QVector<double> trial;
    const int best = bestCandidate(
        CurlSettings.size(), smoke ? 1 : 2,
        [&](int i) {
            const Transfer c
                = withCurl(resolveAddress(list.files.first()), curlOut, CurlSettings.at(i));
            QFile::remove(curlOut);
            return c.bytes == size ? c.seconds : -1.0;
        },
        &trial);
    for (int i = 0; i < CurlSettings.size(); ++i)
        out << "warm-up curl " << settingsText(CurlSettings.at(i)) << ": "
            << (trial.at(i) > 0 ? size / 1e6 / trial.at(i) : 0.0) << " MB/s" << Qt::endl;
    if (best < 0) {
        out << "curl did not fetch the file" << Qt::endl;
        return 1;
    }
    const QStringList curlSettings = CurlSettings.at(best);
    out << "curl runs with: " << settingsText(curlSettings) << Qt::endl;

    QVector<double> curlRate, jobRate, bareRate, ratio, bareRatio, rss, bareRss, reads;
    for (int run = 0; run < runs; ++run) {
        const QString bareOut = downloads + QStringLiteral("/bare.bin");
        QSharedPointer<VideoFileInfo> file = resolveAddress(list.files.first());
        if (!file) {
            out << "address call failed" << Qt::endl;
            return 1;
        }
        // The three take turns at going first, so that none always meets
        // the disk just after another one's file was deleted.
        Transfer c, j, b;
        for (int turn = 0; turn < 3; ++turn) {
            switch ((run + turn) % 3) {
            case 0:
                c = withCurl(file, curlOut, curlSettings);
                QFile::remove(curlOut);
                break;
            case 1:
                j = withJob(resolveAddress(list.files.first()), downloads);
                QFile::remove(downloads + QStringLiteral("/big.bin"));
                break;
            default:
                b = withBareLoop(resolveAddress(list.files.first()), bareOut);
                QFile::remove(bareOut);
            }
        }
        if (c.bytes != size || j.bytes != size || b.bytes != size) {
            out << "a transfer came short: curl " << c.bytes << ", job " << j.bytes << ", bare "
                << b.bytes << Qt::endl;
            return 1;
        }
        const double mb = size / 1e6;
        curlRate << mb / c.seconds;
        jobRate << mb / j.seconds;
        bareRate << mb / b.seconds;
        ratio << c.seconds / j.seconds;
        bareRatio << c.seconds / b.seconds;
        rss << j.rssGrowth / 1e6;
        bareRss << b.rssGrowth / 1e6;
        reads << j.reads;
        out << "run " << run + 1 << ": curl " << mb / c.seconds << " MB/s, job " << mb / j.seconds
            << " MB/s (RSS +" << j.rssGrowth / 1e6 << " MB, " << j.reads << " reads), bare "
            << mb / b.seconds << " MB/s (RSS +" << b.rssGrowth / 1e6 << " MB)" << Qt::endl;
    }
    out << "\n"
        << (size >> 20) << " MiB over loopback into " << downloads << ", median of " << runs
        << ":\n";
    out << "  curl " << settingsText(curlSettings) << ": " << median(curlRate) << " MB/s\n";
    out << "  DownloadJob (flush/read):  " << median(jobRate) << " MB/s, ratio to curl "
        << median(ratio) << ", RSS growth " << median(rss) << " MB (max "
        << *std::max_element(rss.begin(), rss.end()) << " MB)\n";
    out << "  bare loop (no flush):      " << median(bareRate) << " MB/s, ratio to curl "
        << median(bareRatio) << ", RSS growth " << median(bareRss) << " MB\n";
    out << "  reads (= flushes) per transfer: " << median(reads) << ", "
        << size / qMax(1.0, median(reads)) / 1024 << " KiB per read\n";
    return 0;
}
