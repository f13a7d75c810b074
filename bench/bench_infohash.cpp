// Times infoHashOfTorrentFile on a large generated torrent beside libtorrent's
// own load of the same file. Prints medians; asserts nothing about time.
#include "resource/bencodereader.h"
#include "torrentmaker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int fileCount = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    const int runs = argc > 2 ? QByteArray(argv[2]).toInt() : 11;

    std::vector<std::pair<std::string, std::int64_t>> files;
    files.reserve(size_t(fileCount));
    for (int i = 0; i < fileCount; ++i) {
        char name[160];
        std::snprintf(name, sizeof name,
            "Season %02d/Episode %06d - a rather long descriptive title of it.mkv", i / 1000, i);
        files.emplace_back(name, 1000000 + (i * 7919) % 500000);
    }
    const MadeTorrent torrent = makeTorrent(files, 1 << 20);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("large.torrent"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(torrent.data.data(), qint64(torrent.data.size()))
            != qint64(torrent.data.size()))
        return 1;
    file.close();

    std::vector<double> ours;
    std::vector<double> theirs;
    QString ourHash;
    std::string theirHash;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        ourHash = infoHashOfTorrentFile(path);
        ours.push_back(timer.nsecsElapsed() / 1e6);
        timer.restart();
        theirHash = libtorrentInfoHashOfFile(path.toStdString());
        theirs.push_back(timer.nsecsElapsed() / 1e6);
    }

    QTextStream out(stdout);
    out << "torrent: " << fileCount << " files, " << torrent.data.size() / 1e6 << " MB\n";
    out << "hashes agree: " << (ourHash == QString::fromStdString(theirHash) ? "yes" : "NO")
        << "\n";
    out << "infoHashOfTorrentFile median of " << runs << ": " << median(ours) << " ms\n";
    out << "libtorrent torrent_info load median of " << runs << ": " << median(theirs) << " ms\n";
    out << "ratio: " << median(ours) / median(theirs) << "\n";
    return ourHash == QString::fromStdString(theirHash) ? 0 : 1;
}
