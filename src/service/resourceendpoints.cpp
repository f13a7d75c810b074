#include "service/resourceendpoints.h"

#include "service/servicecall.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace {

const QString route = QStringLiteral("r=www/default/pc");
const QString platform = QStringLiteral("_s=pc");

QVariantMap dataObject(const QVariantMap &envelope)
{
    return envelope.value(QStringLiteral("data")).toMap();
}

QVariantList listOf(const QVariantMap &envelope, const QString &key)
{
    return envelope.value(key).toList();
}

} // namespace

FileListResult getResourceFileList(const QString &hash)
{
    FileListResult result;
    const QStringList parameters = { route, QStringLiteral("do=getNewHashFileList"),
        QStringLiteral("hash=") + hash, platform };
    // A resource may hold a hundred thousand files: megabytes of reply.
    runServiceCallReadAside(result, ServiceMethod::Get, parameters, true, ServiceMessage::Read,
        [&](const QJsonObject &envelope) {
            const QJsonArray datas = envelope.value(QStringLiteral("datas")).toArray();
            result.files.reserve(datas.size());
            for (const QJsonValue &element : datas) {
                const QJsonObject file = element.toObject();
                auto info = QSharedPointer<VideoFileInfo>::create();
                info->hash = hash;
                info->index = replyUInt(file.value(QStringLiteral("index")).toVariant());
                info->name = replyText(file.value(QStringLiteral("name")).toVariant());
                info->fileSize = replyUInt64(file.value(QStringLiteral("file_size")).toVariant());
                result.files.append(info);
            }
            std::stable_sort(result.files.begin(), result.files.end(),
                [](const auto &a, const auto &b) { return a->index < b->index; });
        });
    return result;
}

ServerResult getVideoFileHash(const QSharedPointer<VideoFileInfo> &info)
{
    ServerResult result;
    const QStringList parameters
        = { route, QStringLiteral("cs0=lixian_qq"), QStringLiteral("hash=") + info->hash,
              QStringLiteral("index=") + QString::number(info->index),
              QStringLiteral("name=") + info->name, QStringLiteral("_mac=") + macAddressText(),
              platform };
    runServiceCall(result, ServiceMethod::Get, parameters, true, ServiceMessage::Read,
        [&](const QVariantMap &envelope) {
            const QVariantMap data = dataObject(envelope);
            if (data.contains(QStringLiteral("hash")) && data.contains(QStringLiteral("index"))
                && data.contains(QStringLiteral("size"))) {
                info->remapped = true;
                info->remappedHash = replyText(data.value(QStringLiteral("hash")));
                info->remappedIndex = replyUInt(data.value(QStringLiteral("index")));
                info->remappedSize = replyUInt64(data.value(QStringLiteral("size")));
            }
            info->jxhash = replyText(data.value(QStringLiteral("jxhash")));
        });
    return result;
}

ServerResult getVideoFileAddress(const QSharedPointer<VideoFileInfo> &info, int reload)
{
    ServerResult result;
    const QStringList parameters = { route, QStringLiteral("cs0=qqlixian_gethttp"),
        QStringLiteral("hash=") + info->effectiveHash(),
        QStringLiteral("index=") + QString::number(info->effectiveIndex()),
        QStringLiteral("jxhash=") + info->jxhash,
        QStringLiteral("size=") + QString::number(info->effectiveSize()),
        QStringLiteral("netType=dianxin"), QStringLiteral("reload=") + QString::number(reload),
        QStringLiteral("_mac=") + macAddressText(), platform };
    runServiceCall(result, ServiceMethod::Get, parameters, true, ServiceMessage::Read,
        [&](const QVariantMap &envelope) {
            const QVariantMap data = dataObject(envelope);
            info->code = replyText(data.value(QStringLiteral("code")));
            info->comCookie = replyText(data.value(QStringLiteral("com_cookie")));
            info->host = replyText(data.value(QStringLiteral("field")));
        });
    return result;
}

DomainListResult getVideoDomainList()
{
    DomainListResult result;
    const QStringList parameters
        = { route, QStringLiteral("do=getConfig"), QStringLiteral("cfg=video_domain"), platform };
    runServiceCall(result, ServiceMethod::Get, parameters, true, ServiceMessage::Ignore,
        [&](const QVariantMap &envelope) {
            const QVariantList data = listOf(envelope, QStringLiteral("data"));
            for (const QVariant &domain : data)
                result.domains.append(replyText(domain));
        });
    return result;
}

FileListResult getCollectList()
{
    FileListResult result;
    const QStringList parameters = { route, QStringLiteral("do=fav"), QStringLiteral("method=get"),
        QStringLiteral("persize=100"), QStringLiteral("page=1"), platform };
    runServiceCall(result, ServiceMethod::Get, parameters, true, ServiceMessage::Read,
        [&](const QVariantMap &envelope) {
            const QVariantList datas = listOf(envelope, QStringLiteral("datas"));
            for (const QVariant &element : datas) {
                const QVariantMap favourite = element.toMap();
                auto info = QSharedPointer<VideoFileInfo>::create();
                info->hash = replyText(favourite.value(QStringLiteral("hash")));
                info->index = replyUInt(favourite.value(QStringLiteral("index")));
                info->name = replyText(favourite.value(QStringLiteral("name")));
                info->favouriteId = replyUInt(favourite.value(QStringLiteral("id")));
                result.files.append(info);
            }
        });
    return result;
}

ServerResult addCollect(const QString &hash, uint index, const QString &name)
{
    ServerResult result;
    const QStringList parameters = { route, QStringLiteral("do=fav"), QStringLiteral("method=add"),
        QStringLiteral("hash=") + hash, QStringLiteral("index=") + QString::number(index),
        QStringLiteral("name=") + name, platform };
    runServiceCall(result, ServiceMethod::Post, parameters, true, ServiceMessage::Read, noPayload);
    return result;
}

ServerResult deleteCollect(uint id)
{
    ServerResult result;
    const QStringList parameters = { route, QStringLiteral("do=fav"), QStringLiteral("method=del"),
        QStringLiteral("id=") + QString::number(id), platform };
    runServiceCall(result, ServiceMethod::Get, parameters, true, ServiceMessage::Read, noPayload);
    return result;
}

ServerResult reportResource(const QString &name, const QString &desc)
{
    ServerResult result;
    const QStringList parameters
        = { route, QStringLiteral("do=report"), QStringLiteral("method=add"),
              QStringLiteral("name=") + name, QStringLiteral("desc=") + desc, platform };
    runServiceCall(result, ServiceMethod::Post, parameters, true, ServiceMessage::Read, noPayload);
    return result;
}
