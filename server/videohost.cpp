#include "videohost.h"

#include "httpengine.h"
#include "store.h"
#include "swarm.h"

#include <QString>
#include <QStringList>

#include <memory>

#include <sys/stat.h>

namespace {

bool carriesCookie(const std::string &header, const QString &expected)
{
    const QStringList pairs = QString::fromStdString(header).split(QLatin1Char(';'));
    for (const QString &pair : pairs) {
        if (pair.trimmed() == expected)
            return true;
    }
    return false;
}

bool holdsWhole(const OpenFile &opened, std::int64_t size)
{
    struct stat status;
    return fstat(opened.fd(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == size;
}

const char *contentType(const QString &name)
{
    const QString lower = name.toLower();
    if (lower.endsWith(QLatin1String(".mp4")) || lower.endsWith(QLatin1String(".m4v")))
        return "video/mp4";
    if (lower.endsWith(QLatin1String(".mkv")))
        return "video/x-matroska";
    if (lower.endsWith(QLatin1String(".webm")))
        return "video/webm";
    if (lower.endsWith(QLatin1String(".srt")) || lower.endsWith(QLatin1String(".ass")))
        return "text/plain";
    return "application/octet-stream";
}

} // namespace

VideoHost::VideoHost(Store &store, HostMode mode, int slowMilliseconds)
    : m_store(store)
    , m_mode(mode)
    , m_slowMilliseconds(slowMilliseconds)
{
}

bool VideoHost::handleQuickly(const HttpRequest &request, HttpResponse &response)
{
    const std::optional<CodeTarget> target
        = m_store.cachedCodeTarget(QString::fromStdString(request.capture));
    if (!target)
        return false;
    answer(request, response, target->file, target->cookie);
    return true;
}

void VideoHost::handle(const HttpRequest &request, HttpResponse &response)
{
    const std::optional<CodeTarget> target
        = m_store.codeTarget(QString::fromStdString(request.capture));
    if (!target) {
        response.status = 404;
        response.setContent("unknown or expired code\n", "text/plain");
        return;
    }
    answer(request, response, target->file, target->cookie);
}

void VideoHost::answer(const HttpRequest &request, HttpResponse &response, const FileRecord &file,
    const QString &cookie)
{
    if (!carriesCookie(request.header("Cookie"), cookie)) {
        response.status = 403;
        response.setContent("forbidden\n", "text/plain");
        return;
    }
    const bool swarm = !file.swarmId.isEmpty();
    std::shared_ptr<OpenFile> opened;
    if (!swarm)
        opened = std::make_shared<OpenFile>(m_store.absolutePath(file.path).toStdString());
    if (swarm ? !m_swarm || m_localOnly
              : opened->fd() < 0 || (m_localOnly && !holdsWhole(*opened, file.size))) {
        response.status = 404;
        response.setContent("file missing\n", "text/plain");
        return;
    }

    std::int64_t size = file.size;
    if (m_mode == HostMode::Wrong && size > 0)
        size -= 1;
    if (m_mode == HostMode::Slow)
        response.delay = std::chrono::milliseconds(m_slowMilliseconds);

    bool partial = false;
    const std::optional<ByteRange> range = resolveRange(request.header("Range"), size, &partial);
    response.setHeader("Accept-Ranges", "bytes");
    if (!range) {
        response.status = 416;
        response.setHeader("Content-Range", "bytes */" + std::to_string(size));
        response.setContent("range not satisfiable\n", "text/plain");
        return;
    }
    response.status = partial ? 206 : 200;
    if (partial)
        response.setHeader("Content-Range",
            "bytes " + std::to_string(range->first) + "-" + std::to_string(range->last) + "/"
                + std::to_string(size));
    response.contentType = contentType(file.name);
    const std::int64_t length = range->last - range->first + 1;
    if (length == 0)
        return;
    if (swarm) {
        response.source = m_swarm->open(file);
        if (!response.source) {
            response = HttpResponse();
            response.status = 503;
            response.setContent("service stopping\n", "text/plain");
            return;
        }
    } else {
        response.file = std::move(opened);
    }
    response.fileOffset = range->first;
    response.fileLength = length;
}
