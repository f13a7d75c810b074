#include "videohost.h"

#include "httpengine.h"
#include "store.h"
#include "swarm.h"

#include <QHash>
#include <QString>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string_view>

#include <sys/stat.h>

namespace {

bool carriesCookie(std::string_view header, const QString &expected)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!header.empty()) {
        const std::size_t end = std::min(header.find(';'), header.size());
        std::string_view pair = header.substr(0, end);
        while (!pair.empty() && blank(pair.front()))
            pair.remove_prefix(1);
        while (!pair.empty() && blank(pair.back()))
            pair.remove_suffix(1);
        if (QLatin1String(pair.data(), int(pair.size())) == expected)
            return true;
        header.remove_prefix(std::min(end + 1, header.size()));
    }
    return false;
}

// Library files stay open between requests, per thread, as a busy player
// asks for many small ranges of one file. An open file is trusted for a
// second; then the path is looked at again, and a file removed or replaced
// there is dropped or opened anew.
std::shared_ptr<OpenFile> openLibraryFile(const Store &store, const QString &relative)
{
    struct Held
    {
        std::shared_ptr<OpenFile> file;
        std::chrono::steady_clock::time_point checked;
    };
    constexpr auto TrustedFor = std::chrono::seconds(1);
    constexpr int MostHeld = 64;
    thread_local QHash<QString, Held> held;
    const auto now = std::chrono::steady_clock::now();
    const auto found = held.find(relative);
    if (found != held.end() && now - found->checked < TrustedFor)
        return found->file;

    const std::string path = store.absolutePath(relative).toStdString();
    if (found != held.end()) {
        struct stat atPath, opened;
        if (stat(path.c_str(), &atPath) == 0 && fstat(found->file->fd(), &opened) == 0
            && atPath.st_dev == opened.st_dev && atPath.st_ino == opened.st_ino) {
            found->checked = now;
            return found->file;
        }
        held.erase(found);
    }
    auto file = std::make_shared<OpenFile>(path);
    if (file->fd() < 0)
        return file;
    if (held.size() >= MostHeld)
        held.clear();
    held.insert(relative, Held { file, now });
    return file;
}

bool holdsWhole(const OpenFile &opened, std::int64_t size)
{
    struct stat status;
    return fstat(opened.fd(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == size;
}

const char *contentType(const QString &name)
{
    const auto endsWith = [&name](const char *suffix) {
        return name.endsWith(QLatin1String(suffix), Qt::CaseInsensitive);
    };
    if (endsWith(".mp4") || endsWith(".m4v"))
        return "video/mp4";
    if (endsWith(".mkv"))
        return "video/x-matroska";
    if (endsWith(".webm"))
        return "video/webm";
    if (endsWith(".srt") || endsWith(".ass"))
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
        opened = openLibraryFile(m_store, file.path);
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
    if (partial) {
        char text[80];
        const int written = std::snprintf(text, sizeof text, "bytes %lld-%lld/%lld",
            static_cast<long long>(range->first), static_cast<long long>(range->last),
            static_cast<long long>(size));
        response.setHeader("Content-Range", std::string(text, std::size_t(written)));
    }
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
