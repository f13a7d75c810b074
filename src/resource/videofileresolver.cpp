#include "resource/videofileresolver.h"

#include "app/appsettings.h"
#include "common/atomicsave.h"
#include "service/resourceendpoints.h"

#include <QDate>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

const QString DomainListFileName = QStringLiteral("VideoFileURLDomains.dat");

QString playableAddress(const QString &host, const QString &code)
{
    return QStringLiteral("http://%1/ftn_handler/%2").arg(host, code);
}

// Replaces the disk copy of the host list in one step; a failed write leaves
// the previous list in place.
void writeDomainListFile(const QStringList &domains)
{
    QByteArray content;
    for (const QString &domain : domains)
        content += domain.toUtf8() + '\n';
    saveFileAtomically(DomainListFileName, content);
}

} // namespace

void showMessage(QObject *messageLabel, const QString &text)
{
    if (messageLabel)
        messageLabel->setProperty("text", text);
}

VideoFileResolver::Options VideoFileResolver::options(EntryPoint entryPoint)
{
    switch (entryPoint) {
    case ParseDialogPlay:
        return { false, false, false };
    case ParseDialogDownload:
        return { false, true, true };
    case PlayRecordDialogPlay:
        return { true, false, false };
    case FavouritesDialogPlay:
        return { true, true, false };
    }
    return { false, false, false };
}

QStringList &VideoFileResolver::domainList(EntryPoint entryPoint)
{
    static QStringList lists[FavouritesDialogPlay + 1];
    return lists[entryPoint];
}

QStringList VideoFileResolver::cachedDomainList(EntryPoint entryPoint)
{
    return domainList(entryPoint);
}

void VideoFileResolver::clearCachedDomainLists()
{
    for (int entryPoint = ParseDialogPlay; entryPoint <= FavouritesDialogPlay; ++entryPoint)
        domainList(EntryPoint(entryPoint)).clear();
}

void VideoFileResolver::loadDomainList(QStringList &list)
{
    AppSettings *settings = AppSettings::instance();
    const QDate today = QDate::currentDate();
    const bool refreshDue = settings->videoFileURLDomainListLastRequestDate() != today
        || !QFile::exists(DomainListFileName);
    if (refreshDue) {
        // The date goes first: a failing service is asked at most once a day
        // while the disk copy exists.
        settings->setVideoFileURLDomainListLastRequestDate(today);
        const DomainListResult result = getVideoDomainList();
        if (result.status == 1) {
            list = result.domains;
            writeDomainListFile(list);
        }
        return;
    }
    QFile file(DomainListFileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QTextStream stream(&file);
    while (!stream.atEnd())
        list.append(stream.readLine());
}

bool VideoFileResolver::probe(const QString &url, const QString &cookie, quint64 expectedSize)
{
    // A manager of its own: the service client's cookie and User-Agent must
    // not reach the video hosts.
    auto manager = std::make_unique<QNetworkAccessManager>();
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setRawHeader("Cookie", cookie.toUtf8());
    QNetworkReply *reply = manager->get(request);

    QEventLoop loop;
    // The first of the three events decides; later ones in the same pass of
    // the event loop must not overwrite its verdict.
    bool decided = false;
    int code = 0;
    auto decide = [&](int value) {
        if (decided)
            return;
        decided = true;
        code = value;
        loop.quit();
    };
    QObject::connect(reply, &QNetworkReply::finished, &loop, [&] { decide(0); });
    QObject::connect(
        reply, &QNetworkReply::downloadProgress, &loop,
        [&](qint64 received, qint64) {
            if (received > ProbeThreshold)
                decide(int(ProbeThreshold));
        },
        Qt::DirectConnection);
    // Qt reports progress at most every 100 ms, and only when more bytes
    // arrive: a host that sends the first bytes in one burst and then pauses
    // would never be seen past the threshold. Nothing reads the reply, so
    // what it holds is all that arrived.
    QObject::connect(
        reply, &QNetworkReply::readyRead, &loop,
        [&] {
            if (reply->bytesAvailable() > ProbeThreshold)
                decide(int(ProbeThreshold));
        },
        Qt::DirectConnection);
    QTimer::singleShot(ProbeTimeout, &loop, [&] { decide(0); });
    loop.exec();

    const bool passed = code == ProbeThreshold
        && reply->header(QNetworkRequest::ContentLengthHeader) == QVariant(expectedSize);
    // Deleting the manager deletes the reply and drops the transfer.
    return passed;
}

bool VideoFileResolver::resolve(const QSharedPointer<VideoFileInfo> &fileInfo,
    QObject *messageLabel, bool reload, EntryPoint entryPoint)
{
    const QPointer<QObject> label(messageLabel);
    const Options settings = options(entryPoint);

    if (settings.sizeFromFileList) {
        showMessage(label, QStringLiteral("正在解析BT资源..."));
        const FileListResult list = getResourceFileList(fileInfo->hash);
        if (!label)
            return false;
        if (list.status != 1) {
            showMessage(label, list.message);
            return false;
        }
        for (const QSharedPointer<VideoFileInfo> &listed : list.files) {
            if (listed->hash == fileInfo->hash && listed->index == fileInfo->index) {
                fileInfo->fileSize = listed->fileSize;
                break;
            }
        }
    }

    showMessage(label, QStringLiteral("正在解析视频文件hash值..."));
    const ServerResult hashResult = getVideoFileHash(fileInfo);
    if (!label)
        return false;
    if (hashResult.status != 1) {
        showMessage(label, hashResult.message);
        return false;
    }

    showMessage(label, QStringLiteral("正在解析视频文件地址..."));
    const ServerResult addressResult = getVideoFileAddress(fileInfo, reload ? 1 : 0);
    if (!label)
        return false;
    if (addressResult.status != 1) {
        showMessage(label, addressResult.message);
        return false;
    }

    showMessage(label, QStringLiteral("正在筛选视频文件地址..."));
    QStringList &domains = domainList(entryPoint);
    if (domains.isEmpty()) {
        loadDomainList(domains);
        if (!label)
            return false;
    }

    if (settings.hostFirst)
        domains.prepend(fileInfo->host);
    // A copy: the list may grow by a nested run of the same entry point while
    // a probe waits.
    const QStringList candidates = domains;
    bool passed = false;
    for (const QString &candidate : candidates) {
        fileInfo->url = playableAddress(candidate, fileInfo->code);
        passed = probe(fileInfo->url, fileInfo->comCookie, fileInfo->effectiveSize());
        if (!label)
            return false;
        if (passed)
            break;
    }

    if (!passed) {
        if (settings.probeRequired) {
            showMessage(label, QStringLiteral("筛选视频文件播放地址失败！"));
            return false;
        }
        fileInfo->url = playableAddress(fileInfo->host, fileInfo->code);
        return true;
    }
    if (settings.probeRequired)
        showMessage(label,
            QStringLiteral("筛选视频文件播放地址成功，等待播放；如果长时间无法播放，请重试！"));
    return true;
}
