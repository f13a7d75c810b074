#include "videohost.h"

#include "hostnodes.h"
#include "httpengine.h"
#include "requestchecks.h"
#include "store.h"
#include "swarm.h"

#include <QCryptographicHash>
#include <QHash>
#include <QString>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    constexpr auto ForgottenAfter = std::chrono::seconds(10);
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
    // Files not asked for in a while are let go, so that the space of one
    // removed from the library is freed.
    for (auto entry = held.begin(); entry != held.end();)
        entry = now - entry->checked > ForgottenAfter ? held.erase(entry) : std::next(entry);
    if (held.size() >= MostHeld)
        held.clear();
    held.insert(relative, Held { file, now });
    return file;
}

// The SHA-1 of what the descriptor holds now, in lowercase hex.
QString hashOf(int fd)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    std::vector<char> buffer(1 << 20);
    for (off_t offset = 0;;) {
        const ssize_t got = pread(fd, buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return {};
        if (got == 0)
            break;
        hash.addData(buffer.data(), int(got));
        offset += got;
    }
    return QString::fromLatin1(hash.result().toHex());
}

const char *contentType(const QString &name)
{
    // The suffix is lowered into a small array and compared there: this runs
    // for every range a player asks for.
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    char suffix[6] = {};
    if (dot < 0 || name.size() - dot > int(sizeof suffix))
        return "application/octet-stream";
    for (int i = dot + 1; i < name.size(); ++i) {
        const char16_t c = name.at(i).unicode();
        if (c >= 0x80)
            return "application/octet-stream";
        suffix[i - dot - 1] = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    const std::string_view lowered(suffix);
    if (lowered == "mp4" || lowered == "m4v")
        return "video/mp4";
    if (lowered == "mkv")
        return "video/x-matroska";
    if (lowered == "webm")
        return "video/webm";
    if (lowered == "srt" || lowered == "ass")
        return "text/plain";
    return "application/octet-stream";
}

// "bytes first-last/size" of a partial answer.
std::string contentRange(std::int64_t first, std::int64_t last, std::int64_t size)
{
    std::string text;
    text.reserve(64);
    text += "bytes ";
    char number[24];
    const auto append = [&](std::int64_t value) {
        text.append(number, std::to_chars(number, number + sizeof number, value).ptr);
    };
    append(first);
    text += '-';
    append(last);
    text += '/';
    append(size);
    return text;
}

} // namespace

VideoHost::VideoHost(Store &store, HostMode mode, int slowMilliseconds)
    : m_store(store)
    , m_mode(mode)
    , m_slowMilliseconds(slowMilliseconds)
{
}

// The capture is letters and digits only, so Latin-1 reads it as UTF-8 would.
// The key is built in a string each thread keeps, which saves an allocation
// per request.
bool VideoHost::handleQuickly(const HttpRequest &request, HttpResponse &response)
{
    thread_local QString code;
    code.resize(int(request.capture.size()));
    QChar *at = code.data();
    for (const char c : request.capture)
        *at++ = QLatin1Char(c);
    const std::shared_ptr<const CodeTarget> target = m_store.cachedCodeTarget(code);
    if (!target)
        return false;
    return answer(request, response, target->file, target->cookie, false);
}

void VideoHost::handle(const HttpRequest &request, HttpResponse &response)
{
    const std::shared_ptr<const CodeTarget> target
        = m_store.codeTarget(QString::fromStdString(request.capture));
    if (!target) {
        response.status = 404;
        response.setContent("unknown or expired code\n", "text/plain");
        return;
    }
    answer(request, response, target->file, target->cookie, true);
}

VideoHost::Copy VideoHost::checkCopy(const OpenFile &opened, const FileRecord &file, bool mayBlock)
{
    struct stat status;
    if (fstat(opened.fd(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size != file.size)
        return Copy::Missing;
    const QString path = m_store.absolutePath(file.path);
    if (!m_copies->confined(path)) {
        fprintf(stderr, "tavrion-server: refused %s: its real path leaves the library folder\n",
            qPrintable(path));
        return Copy::Missing;
    }
    const CopyStamp stamp = stampOf(status);
    switch (m_copies->state(file.id, stamp)) {
    case LocalCopies::State::Recorded:
        return Copy::Good;
    case LocalCopies::State::Refused:
        return Copy::Missing;
    case LocalCopies::State::Changed:
        break;
    }
    // Changed since the node found it: served again only once its bytes
    // are known to be the library's, which takes reading it all.
    if (!mayBlock)
        return Copy::Unchecked;
    const bool same = !file.jxhash.isEmpty() && hashOf(opened.fd()) == file.jxhash;
    m_copies->checked(file.id, stamp, same);
    if (!same)
        fprintf(stderr, "tavrion-server: refused %s: changed, and no longer the library's file\n",
            qPrintable(path));
    return same ? Copy::Good : Copy::Missing;
}

bool VideoHost::answer(const HttpRequest &request, HttpResponse &response, const FileRecord &file,
    const QString &cookie, bool mayBlock)
{
    if (!carriesCookie(request.header("Cookie"), cookie)) {
        response.status = 403;
        response.setContent("forbidden\n", "text/plain");
        return true;
    }
    const bool swarm = !file.swarmId.isEmpty();
    std::shared_ptr<OpenFile> opened;
    if (!swarm)
        opened = openLibraryFile(m_store, file.path);
    Copy copy = Copy::Good;
    if (swarm ? !m_swarm : opened->fd() < 0)
        copy = Copy::Missing;
    else if (m_copies && !swarm)
        copy = checkCopy(*opened, file, mayBlock);
    if (copy == Copy::Unchecked)
        return false;
    if (copy == Copy::Missing) {
        response.status = 404;
        response.setContent("file missing\n", "text/plain");
        return true;
    }

    std::int64_t size = file.size;
    if (m_mode == HostMode::Wrong && size > 0)
        size -= 1;
    if (m_mode == HostMode::Slow)
        response.delay = std::chrono::milliseconds(m_slowMilliseconds);

    bool partial = false;
    const std::optional<ByteRange> range = resolveRange(request.header("Range"), size, &partial);
    response.headers.reserve(2);
    response.setHeader("Accept-Ranges", "bytes");
    if (!range) {
        response.status = 416;
        response.setHeader("Content-Range", "bytes */" + std::to_string(size));
        response.setContent("range not satisfiable\n", "text/plain");
        return true;
    }
    response.status = partial ? 206 : 200;
    if (partial)
        response.setHeader("Content-Range", contentRange(range->first, range->last, size));
    response.contentType = contentType(file.name);
    const std::int64_t length = range->last - range->first + 1;
    if (length == 0)
        return true;
    if (swarm) {
        response.source = m_swarm->open(file);
        if (!response.source) {
            response = HttpResponse();
            response.status = 503;
            response.setContent("service stopping\n", "text/plain");
            return true;
        }
    } else {
        response.file = std::move(opened);
    }
    response.fileOffset = range->first;
    response.fileLength = length;
    return true;
}
