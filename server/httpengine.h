#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One HTTP request as the handlers see it.
struct HttpRequest
{
    std::string method; // "HEAD" is passed on as "GET"
    std::string target; // as sent, query included
    std::string path; // percent-decoded, without the query
    std::string body;
    std::string peer; // remote address
    std::vector<std::pair<std::string, std::string>> headers;
    std::string capture; // the path part a route's pattern captured
    std::chrono::steady_clock::time_point arrived; // when its header was read
    bool parkExpired = false; // handled again because its park limit passed

    // The first value of a header, compared without case; empty when absent.
    const std::string &header(std::string_view name) const;
};

// A read-only file descriptor shared by the replies that stream from it.
class OpenFile
{
public:
    explicit OpenFile(const std::string &path);
    ~OpenFile();
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// A body whose bytes become ready over time in a file (one being
// downloaded): the connection sends what is ready and waits, holding no
// thread, until more is.
class BodySource
{
public:
    virtual ~BodySource() = default;
    // How many bytes from this file offset (at most `wanted`) can be sent
    // now. 0: none yet, and `wake` is called once, from any thread, when
    // more may be. Negative: none ever will be; the connection ends.
    virtual std::int64_t available(
        std::int64_t offset, std::int64_t wanted, std::function<void()> wake)
        = 0;
    // The file the ready bytes are sent from; valid once available() was
    // positive.
    virtual int fd() const = 0;
    // How long the reply may wait for bytes before the connection ends.
    virtual std::chrono::milliseconds waitLimit() const = 0;
};

struct HttpResponse
{
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string contentType;
    // A body streamed from a file instead of `body`.
    std::shared_ptr<OpenFile> file;
    std::int64_t fileOffset = 0;
    std::int64_t fileLength = 0;
    // A file still being filled: sent from fileOffset like `file`, as its
    // bytes become ready.
    std::shared_ptr<BodySource> source;
    // Held back this long before it is sent (without holding a thread).
    std::chrono::milliseconds delay { 0 };
    // Set by handle() instead of an answer: the request waits, holding no
    // thread, until `park` calls the wake function it is given (from any
    // thread) or parkLimit passes, and is then handled again.
    std::function<void(std::function<void()> wake)> park;
    std::chrono::milliseconds parkLimit { 0 };

    void setHeader(std::string name, std::string value);
    // Back to a fresh response, keeping the memory of the header list and
    // of a short body and type for the connection's next reply.
    void clear();
    void setContent(std::string content, std::string type);
    bool hasContent() const { return !body.empty() || !contentType.empty() || file || source; }
};

// Answers requests of one listener.
class HttpHandler
{
public:
    virtual ~HttpHandler() = default;
    // Called on an I/O thread: answers when that needs no blocking work
    // (no database, no password hashing) and returns true; false sends the
    // request to the worker threads and handle().
    virtual bool handleQuickly(HttpRequest &, HttpResponse &) { return false; }
    virtual void handle(HttpRequest &request, HttpResponse &response) = 0;
    // Fills in the body of an error the engine answers itself (400, 413,
    // 431); the status is set. Called on an I/O thread.
    virtual void completeError(const HttpRequest &, HttpResponse &) { }
};

struct HttpLimits
{
    int ioThreads = 0; // 0: one per core
    int workerThreads = 4; // blocking work: SQLite, password hashing
    int backlog = 4096;
    std::chrono::milliseconds headerDeadline { 10000 }; // from the request's first byte
    std::chrono::milliseconds bodyDeadline { 30000 };
    std::chrono::milliseconds idleLimit { 60000 }; // waiting for a request
    std::chrono::milliseconds writeStall { 90000 }; // a reply that makes no progress
    int maxPerAddress = 256;
    int maxConnections = 16000;
    // The client's file-hash call is a GET that carries the file's name: a
    // favourite's name of 2000 characters is up to 18 000 bytes once escaped.
    std::size_t maxHeaderBytes = 32 * 1024;
    std::size_t maxBodyBytes = 64 * 1024;
    std::int64_t fileStep = 2 * 1024 * 1024; // bytes sent from a file before other connections go
};

// An event-driven HTTP/1.1 server: a few I/O threads run every connection;
// handlers that block run on a separate small pool.
class HttpEngine
{
public:
    explicit HttpEngine(const HttpLimits &limits);
    ~HttpEngine();
    HttpEngine(const HttpEngine &) = delete;
    HttpEngine &operator=(const HttpEngine &) = delete;

    // Binds a listener; port 0 picks a free one. Returns the bound port or -1
    // with *error set. The handler must outlive the engine's run.
    int listen(const std::string &host, int port, HttpHandler *handler, std::string *error);
    void start();
    // Closes the listeners and every connection, then joins the threads.
    void stop();

    // Threads the engine runs (I/O and workers).
    int threadCount() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

// The standard reason phrase of a status ("OK", "Partial Content", ...).
const char *httpReason(int status);
