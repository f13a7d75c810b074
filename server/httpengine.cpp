#include "httpengine.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/rfc7230.hpp>

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// Header names are ASCII: lowered without the locale's tolower.
char lowered(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return lowered(x) == lowered(y);
    });
}

std::string_view view(beast::string_view text)
{
    return { text.data(), text.size() };
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes %XX escapes of a path into `decoded`; a malformed escape stays as
// it is.
void decodePath(std::string_view path, std::string &decoded)
{
    decoded.clear();
    if (path.find('%') == std::string_view::npos) {
        decoded.append(path);
        return;
    }
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && hexValue(path[i + 1]) >= 0
            && hexValue(path[i + 2]) >= 0) {
            decoded += char(hexValue(path[i + 1]) * 16 + hexValue(path[i + 2]));
            i += 2;
        } else {
            decoded += path[i];
        }
    }
}

// A loopback address, also in its IPv4-mapped IPv6 form (a dual-stack
// listener's view of 127.0.0.1).
bool onThisMachine(const boost::asio::ip::address &address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6())
            .is_loopback();
    return address.is_loopback();
}

// Empties a string; one grown large by an unusual request gives its memory
// back, so that a connection waiting between requests stays small.
void clearSmall(std::string &text)
{
    if (text.capacity() > 1024)
        std::string().swap(text);
    else
        text.clear();
}

// Copies text into a string that mostly has the room already (cheaper than
// assign, which allows for overlap).
void setText(std::string &target, beast::string_view text)
{
    target.clear();
    target.append(text.data(), text.size());
}

// Parses a request straight into the connection's HttpRequest, whose strings
// keep their capacity from one request to the next: a keep-alive connection
// then parses without allocating.
class RequestParser : public http::basic_parser<true>
{
public:
    explicit RequestParser(HttpRequest &request)
        : m_request(request)
    {
        clearSmall(m_request.method);
        clearSmall(m_request.target);
        clearSmall(m_request.path);
        clearSmall(m_request.body);
        clearSmall(m_request.capture);
        m_request.peer.clear();
        m_request.arrived = {};
        m_request.parkExpired = false;
        for (const auto &[name, value] : m_request.headers) {
            if (name.capacity() > 1024 || value.capacity() > 1024) {
                m_request.headers.clear();
                break;
            }
        }
    }

    bool head() const { return m_verb == http::verb::head; }
    bool http10() const { return m_version < 11; }
    bool expectsContinue() const { return m_expectsContinue; }
    // Read from the first Connection header, as HTTP/1.0 and 1.1 differ.
    bool keepAlive() const { return m_version < 11 ? m_connectionKeepAlive : !m_connectionClose; }

private:
    void on_request_impl(http::verb method, beast::string_view methodText,
        beast::string_view target, int version, boost::system::error_code &) override
    {
        m_verb = method;
        m_version = version;
        setText(m_request.method, methodText);
        setText(m_request.target, target);
        const std::string_view text = view(target);
        decodePath(text.substr(0, text.find('?')), m_request.path);
    }
    void on_response_impl(int, beast::string_view, int, boost::system::error_code &) override { }
    void on_field_impl(http::field field, beast::string_view name, beast::string_view value,
        boost::system::error_code &) override
    {
        auto &headers = m_request.headers;
        if (m_fields < headers.size()) {
            setText(headers[m_fields].first, name);
            setText(headers[m_fields].second, value);
        } else {
            headers.emplace_back(std::string(view(name)), std::string(view(value)));
        }
        ++m_fields;
        if (field == http::field::expect && !m_sawExpect) {
            m_sawExpect = true;
            m_expectsContinue = equalsIgnoringCase(view(value), "100-continue");
        }
        if (field == http::field::connection && !m_sawConnection) {
            m_sawConnection = true;
            http::token_list tokens { value };
            m_connectionClose = tokens.exists("close");
            m_connectionKeepAlive = tokens.exists("keep-alive");
        }
    }
    void on_header_impl(boost::system::error_code &) override
    {
        m_request.headers.resize(m_fields);
    }
    void on_body_init_impl(
        const boost::optional<std::uint64_t> &length, boost::system::error_code &) override
    {
        if (length)
            m_request.body.reserve(std::size_t(*length));
    }
    std::size_t on_body_impl(beast::string_view body, boost::system::error_code &) override
    {
        m_request.body.append(body.data(), body.size());
        return body.size();
    }
    void on_chunk_header_impl(
        std::uint64_t, beast::string_view, boost::system::error_code &) override
    {
    }
    std::size_t on_chunk_body_impl(
        std::uint64_t, beast::string_view body, boost::system::error_code &) override
    {
        m_request.body.append(body.data(), body.size());
        return body.size();
    }
    void on_finish_impl(boost::system::error_code &) override { }

    HttpRequest &m_request;
    std::size_t m_fields = 0;
    http::verb m_verb = http::verb::unknown;
    int m_version = 11;
    bool m_sawExpect = false;
    bool m_expectsContinue = false;
    bool m_sawConnection = false;
    bool m_connectionClose = false;
    bool m_connectionKeepAlive = false;
};

} // namespace

const std::string &HttpRequest::header(std::string_view name) const
{
    static const std::string absent;
    for (const auto &[key, value] : headers) {
        if (equalsIgnoringCase(key, name))
            return value;
    }
    return absent;
}

OpenFile::OpenFile(const std::string &path)
    : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
{
}

OpenFile::~OpenFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void HttpResponse::setHeader(std::string name, std::string value)
{
    headers.emplace_back(std::move(name), std::move(value));
}

void HttpResponse::clear()
{
    status = 200;
    headers.clear();
    clearSmall(body);
    clearSmall(contentType);
    file.reset();
    fileOffset = 0;
    fileLength = 0;
    source.reset();
    delay = std::chrono::milliseconds(0);
    park = nullptr;
    parkLimit = std::chrono::milliseconds(0);
}

void HttpResponse::setContent(std::string content, std::string type)
{
    body = std::move(content);
    contentType = std::move(type);
}

const char *httpReason(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Payload Too Large";
    case 416:
        return "Range Not Satisfiable";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Unknown";
    }
}

struct HttpEngine::Impl
{
    explicit Impl(const HttpLimits &limits)
        : limits(limits)
    {
        const int count = limits.ioThreads > 0
            ? limits.ioThreads
            : std::max(1, int(std::thread::hardware_concurrency()));
        for (int i = 0; i < count; ++i)
            contexts.push_back(std::make_unique<asio::io_context>(1));
    }

    // Counts connections per remote address; false when one more is too many.
    bool admit(const std::string &peer)
    {
        std::lock_guard guard(countMutex);
        int &count = perAddress[peer];
        if (count >= limits.maxPerAddress || total >= limits.maxConnections) {
            if (count == 0)
                perAddress.erase(peer);
            return false;
        }
        ++count;
        ++total;
        return true;
    }
    void release(const std::string &peer)
    {
        std::lock_guard guard(countMutex);
        const auto found = perAddress.find(peer);
        if (found != perAddress.end() && --found->second <= 0)
            perAddress.erase(found);
        --total;
    }

    struct Listener
    {
        Listener(asio::io_context &io, HttpHandler *handler)
            : acceptor(io)
            , retry(io)
            , handler(handler)
        {
        }
        tcp::acceptor acceptor;
        asio::steady_timer retry;
        HttpHandler *handler;
    };
    void accept(Listener &listener);

    const HttpLimits limits;
    const std::string keepAliveText = "timeout="
        + std::to_string(
            std::chrono::duration_cast<std::chrono::seconds>(limits.idleLimit).count());
    // Declared before the I/O context: connections still queued in it when
    // it goes release their counts here.
    std::mutex countMutex;
    std::unordered_map<std::string, int> perAddress;
    int total = 0;

    // One I/O context per I/O thread: a connection's handlers all run on the
    // thread of its context, so they need no strand and take no lock shared
    // with the other threads. Listeners run on the first.
    std::vector<std::unique_ptr<asio::io_context>> contexts;
    std::size_t nextContext = 0;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::unique_ptr<asio::thread_pool> workers;
    std::vector<std::thread> threads;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::atomic<bool> stopping { false };
    // Replies of at least LongBody bytes being sent now, on all threads.
    std::atomic<int> longBodies { 0 };
    bool started = false;
};

namespace {

using Clock = std::chrono::milliseconds;

// A reply this long counts as a stream when choosing how to send it.
constexpr std::int64_t LongBody = 1024 * 1024;
// The buffer a lone stream is copied through: it stays in the first-level
// cache between the read and the send.
constexpr std::size_t CopyBytes = 32 * 1024;

class Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(HttpEngine::Impl &engine, tcp::socket socket, HttpHandler *handler, std::string peer,
        bool localPeer)
        : m_engine(engine)
        , m_socket(std::move(socket))
        , m_timer(m_socket.get_executor())
        , m_handler(handler)
        , m_peer(std::move(peer))
        , m_localPeer(localPeer)
    {
    }
    ~Connection()
    {
        endLongBody();
        m_engine.release(m_peer);
    }

    void start()
    {
        asio::dispatch(m_socket.get_executor(), [self = shared_from_this()] {
            boost::system::error_code ignored;
            self->m_socket.set_option(tcp::no_delay(true), ignored);
            self->m_socket.native_non_blocking(true, ignored);
            self->awaitRequest();
        });
    }

private:
    const HttpLimits &limits() const { return m_engine.limits; }

    // What happens when the connection's deadline passes.
    enum class Due { Nothing, Close, Respond, ParkExpired };

    // One timer wait at a time, for the earliest deadline set since it began:
    // a later deadline (the next request's) costs no timer operation, and a
    // wait that ends before the deadline simply waits again.
    void schedule(Clock after, Due what)
    {
        m_due = what;
        ++m_dueGeneration;
        m_deadline = std::chrono::steady_clock::now() + after;
        if (m_timerWaiting && m_timerExpiry <= m_deadline)
            return;
        waitForDeadline();
    }
    void waitForDeadline()
    {
        m_timerWaiting = true;
        m_timerExpiry = m_deadline;
        m_timer.expires_at(m_deadline);
        m_timer.async_wait(
            [self = shared_from_this(), generation = ++m_waitGeneration](
                const boost::system::error_code &error) { self->timerFired(error, generation); });
    }
    void timerFired(const boost::system::error_code &error, std::uint64_t generation)
    {
        // A wait replaced by a sooner one.
        if (generation != m_waitGeneration)
            return;
        m_timerWaiting = false;
        if (error || m_due == Due::Nothing)
            return;
        if (std::chrono::steady_clock::now() < m_deadline)
            return waitForDeadline();
        const Due due = m_due;
        disarm();
        switch (due) {
        case Due::Close:
            return close();
        case Due::Respond:
            return respond();
        case Due::ParkExpired:
            m_request.parkExpired = true;
            return runHandler();
        case Due::Nothing:
            return;
        }
    }

    // Closes the connection when the time runs out before disarm() or the
    // next arm().
    void arm(Clock limit) { schedule(limit, Due::Close); }
    void disarm()
    {
        m_due = Due::Nothing;
        ++m_dueGeneration;
    }

    void close()
    {
        endLongBody();
        disarm();
        m_timer.cancel();
        ++m_wakeGeneration;
        boost::system::error_code ignored;
        m_socket.shutdown(tcp::socket::shutdown_both, ignored);
        m_socket.close(ignored);
    }

    // Between requests the connection holds no buffer, only the idle limit:
    // the next request's first bytes are read into the connection's own
    // small array and parsed there; only what is left over (a header still
    // incomplete, a body, a pipelined request) moves into the buffer. A read
    // (unlike a bare readiness wait) is queued without re-arming the socket
    // in epoll, which saves a system call per request.
    void awaitRequest()
    {
        if (m_engine.stopping)
            return close();
        if (m_buffer.size() > 0)
            return readHeader();
        m_buffer.shrink_to_fit();
        arm(limits().idleLimit);
        m_socket.async_read_some(asio::buffer(m_drain),
            [self = shared_from_this()](const boost::system::error_code &error, std::size_t got) {
                if (error)
                    return self->close();
                self->readHeader(std::string_view(self->m_drain, got));
            });
    }

    // The whole header has to arrive within the header deadline, however
    // slowly its bytes trickle in.
    // `arrived`: bytes just read into the small array, with the buffer empty.
    void readHeader(std::string_view arrived = {})
    {
        m_parser.emplace(m_request);
        m_parser->header_limit(std::uint32_t(limits().maxHeaderBytes));
        m_parser->body_limit(limits().maxBodyBytes);
        arm(limits().headerDeadline);
        // Mostly the whole header is here already: parsed at once, without
        // the composed read operation.
        boost::system::error_code error;
        if (arrived.empty()) {
            m_buffer.consume(m_parser->put(m_buffer.data(), error));
        } else {
            arrived.remove_prefix(
                m_parser->put(asio::buffer(arrived.data(), arrived.size()), error));
            if (!arrived.empty()) {
                const auto room = m_buffer.prepare(arrived.size());
                std::memcpy(room.data(), arrived.data(), arrived.size());
                m_buffer.commit(arrived.size());
            }
        }
        if (error != http::error::need_more)
            return headerRead(error);
        http::async_read_header(m_socket, m_buffer, *m_parser,
            [self = shared_from_this()](
                const boost::system::error_code &error, std::size_t) { self->headerRead(error); });
    }

    void headerRead(const boost::system::error_code &error)
    {
        if (error == http::error::header_limit)
            return refuse(431);
        // The parser checks a declared length against the body limit itself.
        if (error == http::error::body_limit)
            return refuse(413);
        if (error == http::error::end_of_stream || error == asio::error::eof
            || error == asio::error::operation_aborted || error == asio::error::connection_reset
            || error == asio::error::bad_descriptor)
            return close();
        if (error)
            return refuse(400);
        const auto length = m_parser->content_length();
        if (length && *length > limits().maxBodyBytes)
            return refuse(413);
        if (m_parser->is_done())
            return dispatchRequest();
        if (m_parser->expectsContinue()) {
            static const std::string proceed = "HTTP/1.1 100 Continue\r\n\r\n";
            arm(limits().writeStall);
            asio::async_write(m_socket, asio::buffer(proceed),
                [self = shared_from_this()](const boost::system::error_code &error, std::size_t) {
                    if (error)
                        return self->close();
                    self->readBody();
                });
            return;
        }
        readBody();
    }

    void readBody()
    {
        arm(limits().bodyDeadline);
        http::async_read(m_socket, m_buffer, *m_parser,
            [self = shared_from_this()](const boost::system::error_code &error, std::size_t) {
                if (error == http::error::body_limit)
                    return self->refuse(413);
                if (error)
                    return self->close();
                self->dispatchRequest();
            });
    }

    void takeRequest()
    {
        m_head = m_parser->head();
        if (m_head)
            m_request.method = "GET";
        m_request.peer = m_peer;
        m_request.arrived = std::chrono::steady_clock::now();
        m_keepAlive = m_parser->keepAlive();
        m_http10 = m_parser->http10();
    }

    void dispatchRequest()
    {
        disarm();
        takeRequest();
        if (m_handler->handleQuickly(m_request, m_response))
            return respond();
        runHandler();
    }

    void runHandler()
    {
        m_response = HttpResponse();
        asio::post(*m_engine.workers, [self = shared_from_this()] {
            try {
                self->m_handler->handle(self->m_request, self->m_response);
            } catch (const std::exception &error) {
                fprintf(stderr, "tavrion-server: %s\n", error.what());
                self->m_response = HttpResponse();
                self->m_response.status = 500;
                self->m_handler->completeError(self->m_request, self->m_response);
            }
            asio::post(self->m_socket.get_executor(), [self] { self->respond(); });
        });
    }

    // Answers an error the engine found itself and closes afterwards; the
    // rest of the request is read and dropped for a while so the client
    // sees the answer rather than a reset.
    void refuse(int status)
    {
        disarm();
        // The handler sees the request line, if one was read, and nothing
        // else.
        m_request.headers.clear();
        m_request.body.clear();
        m_request.capture.clear();
        m_request.peer.clear();
        m_response = HttpResponse();
        m_response.status = status;
        m_handler->completeError(m_request, m_response);
        m_keepAlive = false;
        m_linger = true;
        m_head = false;
        respond();
    }

    // The handler waits for something (data from elsewhere): the request is
    // handled again when it comes or when the limit passes.
    void park()
    {
        const std::function<void(std::function<void()>)> wait = std::move(m_response.park);
        const Clock limit = m_response.parkLimit;
        m_response = HttpResponse();
        schedule(limit, Due::ParkExpired);
        std::weak_ptr<Connection> weak = shared_from_this();
        wait([weak, generation = m_dueGeneration] {
            if (const auto self = weak.lock())
                asio::post(self->m_socket.get_executor(), [self, generation] {
                    if (generation != self->m_dueGeneration)
                        return;
                    self->disarm();
                    self->runHandler();
                });
        });
    }

    // A wake function for a body source: sending goes on when it is called,
    // unless the reply moved on meanwhile.
    std::function<void()> waker()
    {
        std::weak_ptr<Connection> weak = shared_from_this();
        return [weak, generation = ++m_wakeGeneration] {
            if (const auto self = weak.lock())
                asio::post(self->m_socket.get_executor(), [self, generation] {
                    if (generation == self->m_wakeGeneration)
                        self->sendFile();
                });
        };
    }

    void respond()
    {
        if (m_response.park)
            return park();
        if (m_response.delay.count() > 0) {
            const Clock delay = m_response.delay;
            m_response.delay = Clock(0);
            return schedule(delay, Due::Respond);
        }
        if (m_engine.stopping)
            m_keepAlive = false;
        const HttpResponse &response = m_response;
        const bool fromFile = response.file || response.source;
        const std::int64_t length
            = fromFile ? response.fileLength : std::int64_t(response.body.size());
        // Header lines go out sorted by name, as the first version of the
        // service sent them.
        char lengthText[24];
        const auto lengthEnd
            = std::to_chars(lengthText, lengthText + sizeof lengthText, length).ptr;
        std::vector<std::pair<std::string_view, std::string_view>> &lines = m_headLines;
        lines.clear();
        for (const auto &[name, value] : response.headers)
            lines.emplace_back(name, value);
        if (!response.contentType.empty())
            lines.emplace_back("Content-Type", response.contentType);
        lines.emplace_back("Content-Length", std::string_view(lengthText, lengthEnd - lengthText));
        if (!m_keepAlive)
            lines.emplace_back("Connection", "close");
        else
            lines.emplace_back("Keep-Alive", m_engine.keepAliveText);
        if (m_keepAlive && m_http10)
            lines.emplace_back("Connection", "keep-alive");
        // A handful of lines: an insertion sort, stable and without the
        // temporary buffer std::stable_sort allocates.
        const auto before = [](std::string_view a, std::string_view b) {
            return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                [](char x, char y) { return lowered(x) < lowered(y); });
        };
        for (std::size_t i = 1; i < lines.size(); ++i) {
            const auto line = lines[i];
            std::size_t j = i;
            for (; j > 0 && before(line.first, lines[j - 1].first); --j)
                lines[j] = lines[j - 1];
            lines[j] = line;
        }
        char statusText[8];
        const auto statusEnd
            = std::to_chars(statusText, statusText + sizeof statusText, response.status).ptr;
        // The header is sized first and then copied in, into a string that
        // keeps its capacity from one reply to the next.
        const std::string_view reason = httpReason(response.status);
        std::size_t size = 9 + std::size_t(statusEnd - statusText) + 1 + reason.size() + 2 + 2;
        for (const auto &[name, value] : lines)
            size += name.size() + 2 + value.size() + 2;
        std::string &head = m_headText;
        head.resize(size);
        char *at = head.data();
        const auto put = [&at](std::string_view text) {
            std::memcpy(at, text.data(), text.size());
            at += text.size();
        };
        put("HTTP/1.1 ");
        put(std::string_view(statusText, std::size_t(statusEnd - statusText)));
        put(" ");
        put(reason);
        put("\r\n");
        for (const auto &[name, value] : lines) {
            put(name);
            put(": ");
            put(value);
            put("\r\n");
        }
        put("\r\n");

        m_fileOffset = response.fileOffset;
        m_fileRemaining = m_head || !fromFile ? 0 : response.fileLength;
        if (m_fileRemaining >= LongBody && !m_longBody) {
            m_longBody = true;
            ++m_engine.longBodies;
        }
        const std::string_view body
            = m_head || fromFile ? std::string_view() : std::string_view(response.body);

        // Most replies fit the socket's buffer and are written at once,
        // without an asynchronous operation. (Holding the header back for
        // the file's first bytes, MSG_MORE or TCP_CORK, costs far more in
        // the kernel than the extra segment.)
        iovec parts[2]
            = { { head.data(), head.size() }, { const_cast<char *>(body.data()), body.size() } };
        msghdr message {};
        message.msg_iov = parts;
        message.msg_iovlen = body.empty() ? 1 : 2;
        ssize_t sent = 0;
        do
            sent = ::sendmsg(m_socket.native_handle(), &message, MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return close();
        const std::size_t written = sent > 0 ? std::size_t(sent) : 0;
        if (written == head.size() + body.size())
            return sendFile();
        std::vector<asio::const_buffer> rest;
        if (written < head.size()) {
            rest.push_back(asio::buffer(head) + written);
            rest.push_back(asio::buffer(body.data(), body.size()));
        } else {
            rest.push_back(asio::buffer(body.data(), body.size()) + (written - head.size()));
        }
        arm(limits().writeStall);
        asio::async_write(m_socket, rest,
            [self = shared_from_this()](const boost::system::error_code &error, std::size_t) {
                if (error)
                    return self->close();
                self->sendFile();
            });
    }

    // Streams the file part from the page cache to the socket, one bounded
    // step at a time; a reader that does not read holds no thread and no
    // buffer, only the stall limit. A body source is asked how much is ready
    // first; while nothing is, the connection waits for its wake call.
    void sendFile()
    {
        std::int64_t budget = limits().fileStep;
        while (m_fileRemaining > 0) {
            if (budget <= 0) {
                // Let the other connections of this thread have their turn.
                arm(limits().writeStall);
                asio::post(
                    m_socket.get_executor(), [self = shared_from_this()] { self->sendFile(); });
                return;
            }
            std::size_t want = std::size_t(std::min(m_fileRemaining, budget));
            int fd = -1;
            if (BodySource *source = m_response.source.get()) {
                const std::int64_t ready
                    = source->available(m_fileOffset, std::int64_t(want), waker());
                if (ready < 0)
                    return close();
                if (ready == 0)
                    return arm(source->waitLimit());
                want = std::min(want, std::size_t(ready));
                fd = source->fd();
            } else {
                fd = m_response.file->fd();
            }
            ssize_t sent = 0;
            std::size_t tried = want;
            // A reader on this machine copies sendfile's bytes out of the
            // page cache itself, slowly, while the sender's loopback transmit
            // work grows: a single local stream goes faster, for less of the
            // service's time, when this thread copies through a small buffer.
            // Over a network, and for many streams sharing the cores,
            // sendfile's lesser work wins.
            if (m_copyBegin < m_copyEnd
                || (m_localPeer && m_longBody && m_engine.longBodies.load() == 1)) {
                sent = sendCopied(fd, want, &tried);
            } else {
                off_t offset = off_t(m_fileOffset);
                sent = ::sendfile(m_socket.native_handle(), fd, &offset, want);
            }
            if (sent > 0) {
                m_fileOffset += sent;
                m_fileRemaining -= sent;
                budget -= sent;
                // A short write means the socket's buffer is full: trying
                // again now would only fail.
                if (std::size_t(sent) == tried || m_fileRemaining == 0)
                    continue;
            } else if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent > 0 || (sent < 0 && errno == EAGAIN)) {
                arm(limits().writeStall);
                m_socket.async_wait(tcp::socket::wait_write,
                    [self = shared_from_this()](const boost::system::error_code &error) {
                        if (error)
                            return self->close();
                        self->sendFile();
                    });
                return;
            }
            // A write error, or the file became shorter than announced: the
            // length cannot be kept, so the connection ends.
            return close();
        }
        finish();
    }

    // Sends up to `want` bytes from m_fileOffset through the copy buffer,
    // which holds the bytes read but not yet sent; returns what send() does,
    // or 0 when the file ends early. *tried: how many bytes send() was given.
    ssize_t sendCopied(int fd, std::size_t want, std::size_t *tried)
    {
        if (!m_copy)
            m_copy = std::make_unique<char[]>(CopyBytes);
        if (m_copyBegin == m_copyEnd) {
            ssize_t got = 0;
            do
                got = ::pread(fd, m_copy.get(), std::min(want, CopyBytes), off_t(m_fileOffset));
            while (got < 0 && errno == EINTR);
            if (got <= 0)
                return got;
            m_copyBegin = 0;
            m_copyEnd = std::size_t(got);
        }
        *tried = std::min(want, m_copyEnd - m_copyBegin);
        const ssize_t sent
            = ::send(m_socket.native_handle(), m_copy.get() + m_copyBegin, *tried, MSG_NOSIGNAL);
        if (sent > 0)
            m_copyBegin += std::size_t(sent);
        return sent;
    }

    // The reply's stream is over: it no longer counts, and its buffer goes.
    void endLongBody()
    {
        if (m_longBody) {
            m_longBody = false;
            --m_engine.longBodies;
        }
        m_copy.reset();
        m_copyBegin = 0;
        m_copyEnd = 0;
    }

    void finish()
    {
        endLongBody();
        disarm();
        ++m_wakeGeneration;
        m_response.clear();
        m_parser.reset();
        if (m_keepAlive)
            return awaitRequest();
        boost::system::error_code ignored;
        m_socket.shutdown(tcp::socket::shutdown_send, ignored);
        if (!m_linger)
            return close();
        m_buffer.consume(m_buffer.size());
        m_buffer.shrink_to_fit();
        arm(Clock(2000));
        drain();
    }

    void drain()
    {
        m_socket.async_read_some(asio::buffer(m_drain),
            [self = shared_from_this()](const boost::system::error_code &error, std::size_t) {
                if (error)
                    return self->close();
                self->drain();
            });
    }

    HttpEngine::Impl &m_engine;
    tcp::socket m_socket;
    asio::steady_timer m_timer;
    bool m_timerWaiting = false;
    std::chrono::steady_clock::time_point m_timerExpiry;
    std::uint64_t m_waitGeneration = 0;
    Due m_due = Due::Nothing;
    std::chrono::steady_clock::time_point m_deadline;
    std::uint64_t m_dueGeneration = 0;
    std::uint64_t m_wakeGeneration = 0;
    HttpHandler *m_handler;
    std::string m_peer;
    bool m_localPeer;
    beast::flat_buffer m_buffer;
    std::optional<RequestParser> m_parser;
    HttpRequest m_request;
    HttpResponse m_response;
    std::string m_headText;
    std::vector<std::pair<std::string_view, std::string_view>> m_headLines;
    std::int64_t m_fileOffset = 0;
    std::int64_t m_fileRemaining = 0;
    bool m_head = false;
    bool m_keepAlive = true;
    bool m_http10 = false;
    bool m_linger = false;
    char m_drain[4096];
    bool m_longBody = false;
    std::unique_ptr<char[]> m_copy;
    std::size_t m_copyBegin = 0;
    std::size_t m_copyEnd = 0;
};

} // namespace

void HttpEngine::Impl::accept(Listener &listener)
{
    asio::io_context &context = *contexts[nextContext++ % contexts.size()];
    listener.acceptor.async_accept(
        context, [this, &listener](const boost::system::error_code &error, tcp::socket socket) {
            if (error == asio::error::operation_aborted || stopping)
                return;
            if (error) {
                // Out of descriptors, most likely: wait rather than spin.
                listener.retry.expires_after(std::chrono::milliseconds(100));
                listener.retry.async_wait([this, &listener](const boost::system::error_code &e) {
                    if (!e)
                        accept(listener);
                });
                return;
            }
            boost::system::error_code ignored;
            const asio::ip::address address = socket.remote_endpoint(ignored).address();
            const std::string peer = address.to_string();
            if (admit(peer))
                std::make_shared<Connection>(
                    *this, std::move(socket), listener.handler, peer, onThisMachine(address))
                    ->start();
            else
                socket.close(ignored);
            accept(listener);
        });
}

HttpEngine::HttpEngine(const HttpLimits &limits)
    : d(std::make_unique<Impl>(limits))
{
}

HttpEngine::~HttpEngine()
{
    stop();
}

int HttpEngine::listen(const std::string &host, int port, HttpHandler *handler, std::string *error)
{
    auto listener = std::make_unique<Impl::Listener>(*d->contexts.front(), handler);
    boost::system::error_code code;
    const asio::ip::address address = asio::ip::make_address(host, code);
    if (code) {
        *error = code.message();
        return -1;
    }
    const tcp::endpoint endpoint(address, std::uint16_t(port));
    listener->acceptor.open(endpoint.protocol(), code);
    if (!code)
        listener->acceptor.set_option(tcp::acceptor::reuse_address(true), code);
    if (!code)
        listener->acceptor.bind(endpoint, code);
    if (!code)
        listener->acceptor.listen(d->limits.backlog, code);
    if (code) {
        *error = code.message();
        return -1;
    }
    const int bound = listener->acceptor.local_endpoint().port();
    d->listeners.push_back(std::move(listener));
    return bound;
}

int HttpEngine::threadCount() const
{
    return int(d->contexts.size()) + d->limits.workerThreads;
}

void HttpEngine::start()
{
    if (d->started)
        return;
    d->started = true;
    d->workers = std::make_unique<asio::thread_pool>(std::size_t(d->limits.workerThreads));
    for (auto &context : d->contexts)
        d->work.push_back(asio::make_work_guard(*context));
    for (auto &listener : d->listeners)
        d->accept(*listener);
    for (auto &context : d->contexts)
        d->threads.emplace_back([io = context.get()] { io->run(); });
}

void HttpEngine::stop()
{
    if (!d->started || d->stopping.exchange(true))
        return;
    asio::post(*d->contexts.front(), [this] {
        for (auto &listener : d->listeners) {
            boost::system::error_code ignored;
            listener->acceptor.close(ignored);
            listener->retry.cancel();
        }
    });
    d->work.clear();
    // Requests in the middle of their database work finish; what they post
    // back is dropped with the I/O contexts.
    d->workers->join();
    for (auto &context : d->contexts)
        context->stop();
    for (std::thread &thread : d->threads)
        thread.join();
    d->threads.clear();
}
