#include "videohost.h"

#include "store.h"

#include <QString>
#include <QStringList>

#include <httplib.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t ChunkSize = 1024 * 1024;

bool parseNumber(const std::string &text, std::int64_t *value)
{
    if (text.empty() || text.size() > 18)
        return false;
    std::int64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

bool carriesCookie(const std::string &header, const QString &expected)
{
    const QStringList pairs = QString::fromStdString(header).split(QLatin1Char(';'));
    for (const QString &pair : pairs) {
        if (pair.trimmed() == expected)
            return true;
    }
    return false;
}

// An open file that closes with its last reader.
struct OpenFile
{
    explicit OpenFile(const QString &path)
        : fd(::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC))
    {
    }
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    int fd;
};

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

std::optional<ByteRange> resolveRange(const std::string &header, std::int64_t size, bool *partial)
{
    *partial = false;
    if (header.empty())
        return size > 0 ? std::optional<ByteRange>({ 0, size - 1 }) : ByteRange { 0, -1 };
    const std::string prefix = "bytes=";
    if (header.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    const std::string rangeText = header.substr(prefix.size());
    // Several ranges would need a multipart answer; players never ask for one.
    if (rangeText.find(',') != std::string::npos)
        return std::nullopt;
    const std::string::size_type dash = rangeText.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    const std::string from = rangeText.substr(0, dash);
    const std::string to = rangeText.substr(dash + 1);
    ByteRange range;
    if (from.empty()) {
        std::int64_t suffix = 0;
        if (!parseNumber(to, &suffix) || suffix == 0 || size == 0)
            return std::nullopt;
        range.first = suffix >= size ? 0 : size - suffix;
        range.last = size - 1;
    } else {
        if (!parseNumber(from, &range.first) || range.first >= size)
            return std::nullopt;
        range.last = size - 1;
        if (!to.empty()) {
            std::int64_t last = 0;
            if (!parseNumber(to, &last) || last < range.first)
                return std::nullopt;
            range.last = std::min(last, size - 1);
        }
    }
    *partial = true;
    return range;
}

VideoHost::VideoHost(Store &store, HostMode mode, int slowMilliseconds)
    : m_store(store)
    , m_mode(mode)
    , m_slowMilliseconds(slowMilliseconds)
{
}

void VideoHost::handle(const httplib::Request &request, httplib::Response &response)
{
    // The library's own range handling would be applied on top of ours and
    // advertises wrong lengths for ranges past the end; this handler answers
    // ranges itself. The request object is the server's own non-const copy.
    const_cast<httplib::Request &>(request).ranges.clear();

    const QString code = QString::fromStdString(request.matches[1].str());
    const auto target = m_store.codeTarget(code);
    if (!target) {
        response.status = 404;
        response.set_content("unknown or expired code\n", "text/plain");
        return;
    }
    const FileRecord &file = target->first;
    if (!carriesCookie(request.get_header_value("Cookie"), target->second)) {
        response.status = 403;
        response.set_content("forbidden\n", "text/plain");
        return;
    }
    auto opened = std::make_shared<OpenFile>(m_store.absolutePath(file.path));
    if (opened->fd < 0) {
        response.status = 404;
        response.set_content("file missing\n", "text/plain");
        return;
    }

    std::int64_t size = file.size;
    if (m_mode == HostMode::Wrong && size > 0)
        size -= 1;
    if (m_mode == HostMode::Slow)
        std::this_thread::sleep_for(std::chrono::milliseconds(m_slowMilliseconds));

    bool partial = false;
    const std::optional<ByteRange> range
        = resolveRange(request.get_header_value("Range"), size, &partial);
    response.set_header("Accept-Ranges", "bytes");
    if (!range) {
        response.status = 416;
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        response.set_content("range not satisfiable\n", "text/plain");
        return;
    }
    const std::int64_t length = range->last - range->first + 1;
    response.status = partial ? 206 : 200;
    if (partial)
        response.set_header("Content-Range",
            "bytes " + std::to_string(range->first) + "-" + std::to_string(range->last) + "/"
                + std::to_string(size));
    if (length == 0) {
        response.set_content("", contentType(file.name));
        return;
    }
    const std::int64_t first = range->first;
    response.set_content_provider(std::size_t(length), contentType(file.name),
        [opened, first, buffer = std::make_shared<std::vector<char>>(ChunkSize)](
            std::size_t offset, std::size_t want, httplib::DataSink &sink) {
            const ssize_t got = ::pread(opened->fd, buffer->data(), std::min(want, ChunkSize),
                off_t(first + std::int64_t(offset)));
            if (got <= 0)
                return false;
            return sink.write(buffer->data(), std::size_t(got));
        });
}
