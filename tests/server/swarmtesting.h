#pragma once

// Helpers of the swarm suites: generated payloads and their torrents, plain
// HTTP reads of the video host, and the client's own resolution of a swarm
// file.

#include "serverprocess.h"
#include "service/resourceendpoints.h"
#include "testdir.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>

inline QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

inline QString sha1Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

struct Reply
{
    int status = 0;
    QByteArray body;
    QByteArray contentRange;
};

inline Reply get(
    const QUrl &url, const QByteArray &cookie, const QByteArray &range = {}, int timeout = 60000)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setRawHeader("Cookie", cookie);
    if (!range.isEmpty())
        request.setRawHeader("Range", range);
    QNetworkReply *reply = manager.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    loop.exec();
    const Reply result { reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
        reply->readAll(), reply->rawHeader("Content-Range") };
    delete reply;
    return result;
}

// Writes `bytes` as NAME/NAME.mp4 under `dir` and makes its torrent,
// announcing to `tracker` when one is given; returns the torrent's path.
inline QString makePayload(const ScopedWorkingDirectory &dir, const QString &name,
    const QByteArray &bytes, const QString &tracker = {})
{
    const QString torrent = dir.filePath(name + QStringLiteral(".torrent"));
    const QString payload
        = dir.filePath(name + QStringLiteral("/") + name + QStringLiteral(".mp4"));
    bool ok = false;
    if (!writeFileBytes(payload, bytes))
        return {};
    ServerProcess::admin({ "make-torrent", torrent, payload }, &ok);
    if (!ok || tracker.isEmpty())
        return ok ? torrent : QString();
    // "announce" sorts before every key the torrent has, so it goes first.
    QFile file(torrent);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray bencoded = file.readAll();
    file.close();
    const QByteArray url = tracker.toUtf8();
    bencoded.insert(1, "8:announce" + QByteArray::number(url.size()) + ':' + url);
    return writeFileBytes(torrent, bencoded) ? torrent : QString();
}

// The info-hash and piece length of a torrent that make-torrent wrote (its
// info dictionary is its last key).
inline QString torrentInfoHash(const QString &torrent, qint64 *pieceLength = nullptr)
{
    QFile file(torrent);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bencoded = file.readAll();
    const int info = bencoded.indexOf("4:infod");
    if (info < 0)
        return {};
    if (pieceLength) {
        const QRegularExpressionMatch match
            = QRegularExpression(QStringLiteral("12:piece lengthi([0-9]+)e"))
                  .match(QString::fromLatin1(bencoded));
        *pieceLength = match.captured(1).toLongLong();
    }
    return sha1Hex(bencoded.mid(info + 6, bencoded.size() - info - 7));
}

// The one file of a swarm resource resolved as the client does, asking
// again while the service is still fetching the metadata.
inline QSharedPointer<VideoFileInfo> resolveSwarmFile(const QString &hash, int tries = 10)
{
    FileListResult list = getResourceFileList(hash);
    for (int i = 0; i < tries && list.message == QStringLiteral("资源正在获取中，请稍后再试"); ++i)
        list = getResourceFileList(hash);
    if (list.status != 1 || list.files.isEmpty()) {
        qWarning("file list: %d %s", list.status, qPrintable(list.message));
        return {};
    }
    const QSharedPointer<VideoFileInfo> info = list.files.first();
    if (getVideoFileHash(info).status != 1 || getVideoFileAddress(info, 0).status != 1)
        return {};
    return info;
}

inline QUrl swarmFileUrl(const ServerProcess &server, const VideoFileInfo &info)
{
    return QUrl(
        QStringLiteral("http://%1/ftn_handler/%2").arg(server.hostAddresses().first(), info.code));
}
