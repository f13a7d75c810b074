// Times infoHashOfTorrentFile on a large generated torrent beside libtorrent's
// own load of the same file. Prints medians; asserts nothing about time. The
// anchor is lt::torrent_info read from the path, libtorrent's one way to the
// info-hash of a file; its load limits are raised so that a torrent this
// large loads at all, which changes none of the work done.
//
// usage: bench_infohash [FILES [RUNS]] | --smoke   (smoke: 10 000 files, 1 run)
#include "benchtools.h"
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

int main(int argc, char *argv[])
{
    const bool smoke = takeSmokeFlag(argc, argv);
    QCoreApplication app(argc, argv);
    const int fileCount = argc > 1 ? QByteArray(argv[1]).toInt() : smoke ? 10000 : 100000;
    const int runs = std::max(1, argc > 2 ? QByteArray(argv[2]).toInt() : smoke ? 1 : 11);

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

    QVector<double> ours;
    QVector<double> theirs;
    QString ourHash;
    std::string theirHash;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        ourHash = infoHashOfTorrentFile(path);
        ours.append(timer.nsecsElapsed() / 1e6);
        timer.restart();
        theirHash = libtorrentInfoHashOfFile(path.toStdString());
        theirs.append(timer.nsecsElapsed() / 1e6);
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
