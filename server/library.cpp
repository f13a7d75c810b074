#include "library.h"

#include "passwords.h"
#include "store.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <libtorrent/create_torrent.hpp>
#include <libtorrent/torrent_info.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

QString contentHash(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}

// Puts a payload file into the library: a hard link when source and library
// share a file system, else a copy.
bool placeFile(const QString &source, const QString &target)
{
    QDir().mkpath(QFileInfo(target).absolutePath());
    std::error_code error;
    std::filesystem::create_hard_link(source.toStdString(), target.toStdString(), error);
    if (!error)
        return true;
    return QFile::copy(source, target);
}

struct PendingFile
{
    FileRecord record;
    QString source;
};

AddResult store(Store &store, const QString &id, const QString &kind, const QString &name,
    QVector<PendingFile> files)
{
    AddResult result;
    result.id = id;
    // Nothing of a failed add stays behind in the library.
    const auto discard = [&store, &id] {
        QDir(store.absolutePath(QStringLiteral("library/") + id)).removeRecursively();
    };
    const QString base = QStringLiteral("library/") + id + QLatin1Char('/');
    QVector<FileRecord> records;
    for (PendingFile &pending : files) {
        pending.record.path = base + pending.record.path;
        const QString target = store.absolutePath(pending.record.path);
        QFile::remove(target);
        if (!placeFile(pending.source, target)) {
            result.error = QStringLiteral("cannot place %1 in the library").arg(pending.source);
            discard();
            return result;
        }
        pending.record.jxhash = contentHash(target);
        if (pending.record.jxhash.isEmpty()) {
            result.error = QStringLiteral("cannot read %1").arg(target);
            discard();
            return result;
        }
        records.append(pending.record);
    }
    store.addResource(id, kind, name, records);
    result.ok = true;
    return result;
}

} // namespace

QString normaliseResourceId(const QString &id)
{
    static const QRegularExpression infoHash(QStringLiteral("^[0-9a-fA-F]{40}$"));
    static const QRegularExpression appdata(QStringLiteral("^appdata_([0-9a-fA-F]{32})$"));
    if (infoHash.match(id).hasMatch())
        return id.toLower();
    const QRegularExpressionMatch match = appdata.match(id);
    if (match.hasMatch())
        return QStringLiteral("appdata_") + match.captured(1).toLower();
    return {};
}

bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\'))
        || path.contains(QChar(0)))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    return std::none_of(parts.begin(), parts.end(), [](const QString &part) {
        return part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..");
    });
}

AddResult addTorrentResource(Store &store, const QString &torrentPath, const QString &payloadDir)
{
    AddResult result;
    lt::error_code error;
    const lt::torrent_info torrent(torrentPath.toStdString(), error);
    if (error) {
        result.error = QStringLiteral("cannot read %1: %2")
                           .arg(torrentPath, QString::fromStdString(error.message()));
        return result;
    }
    if (!torrent.info_hashes().has_v1()) {
        result.error = QStringLiteral("%1 has no v1 info-hash").arg(torrentPath);
        return result;
    }
    std::ostringstream hex;
    hex << torrent.info_hashes().v1;
    result.id = QString::fromStdString(hex.str()).toLower();
    if (store.resourceExists(result.id)) {
        result.error = QStringLiteral("resource %1 is already in the library").arg(result.id);
        return result;
    }

    const lt::file_storage &storage = torrent.files();
    const QString topName = QString::fromStdString(storage.name());
    QVector<PendingFile> files;
    for (const lt::file_index_t index : storage.file_range()) {
        if (storage.pad_file_at(index))
            continue;
        const QString path = QString::fromStdString(storage.file_path(index));
        if (!isSafeRelativePath(path)) {
            result.error = QStringLiteral("unsafe file name in torrent: %1").arg(path);
            return result;
        }
        // The payload folder may be the torrent's parent folder or, for a
        // multi-file torrent, its top folder itself.
        QString source = QDir(payloadDir).filePath(path);
        const QString prefix = topName + QLatin1Char('/');
        if (!QFileInfo(source).isFile() && path.startsWith(prefix))
            source = QDir(payloadDir).filePath(path.mid(prefix.size()));
        const QFileInfo info(source);
        const std::int64_t size = storage.file_size(index);
        if (!info.isFile() || info.size() != size) {
            result.error = QStringLiteral("payload file %1 is missing or not %2 bytes")
                               .arg(source)
                               .arg(size);
            return result;
        }
        PendingFile pending;
        pending.record.index = static_cast<int>(index);
        // Names are shown without the torrent's own top folder.
        pending.record.name
            = storage.num_files() > 1 && path.startsWith(prefix) ? path.mid(prefix.size()) : path;
        pending.record.size = size;
        pending.record.path = path;
        pending.source = info.absoluteFilePath();
        files.append(pending);
    }
    if (files.isEmpty()) {
        result.error = QStringLiteral("%1 lists no files").arg(torrentPath);
        return result;
    }
    const QString target
        = store.absolutePath(QStringLiteral("library/") + result.id + QStringLiteral(".torrent"));
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile::remove(target);
    if (!QFile::copy(torrentPath, target)) {
        result.error = QStringLiteral("cannot copy %1 into the library").arg(torrentPath);
        return result;
    }
    return ::store(store, result.id, QStringLiteral("torrent"), topName, files);
}

AddResult addFolderResource(Store &store, const QString &folder)
{
    AddResult result;
    const QDir root(QFileInfo(folder).absoluteFilePath());
    if (!QFileInfo(folder).isDir()) {
        result.error = QStringLiteral("no folder %1").arg(folder);
        return result;
    }
    QStringList paths;
    QDirIterator it(root.path(), QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(root.relativeFilePath(it.next()));
    std::sort(paths.begin(), paths.end());
    if (paths.isEmpty()) {
        result.error = QStringLiteral("%1 holds no files").arg(folder);
        return result;
    }
    QVector<PendingFile> files;
    for (const QString &path : paths) {
        if (!isSafeRelativePath(path))
            continue;
        PendingFile pending;
        pending.record.index = files.size();
        pending.record.name = path;
        pending.record.size = QFileInfo(root.filePath(path)).size();
        pending.record.path = path;
        pending.source = root.absoluteFilePath(path);
        files.append(pending);
    }
    const QString id = QStringLiteral("appdata_") + randomHex(16);
    return ::store(store, id, QStringLiteral("folder"), root.dirName(), files);
}

QString makeTorrent(const QString &path, const QString &outputPath)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("no file or folder %1").arg(path);
    lt::file_storage storage;
    lt::add_files(storage, info.absoluteFilePath().toStdString());
    if (storage.num_files() == 0)
        return QStringLiteral("%1 holds no files").arg(path);
    lt::create_torrent torrent(storage, 0, lt::create_torrent::v1_only);
    lt::error_code error;
    lt::set_piece_hashes(torrent, info.absolutePath().toStdString(), error);
    if (error)
        return QString::fromStdString(error.message());
    std::vector<char> bytes;
    lt::bencode(std::back_inserter(bytes), torrent.generate());
    QFile out(outputPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || out.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()))
        return QStringLiteral("cannot write %1").arg(outputPath);
    return {};
}
