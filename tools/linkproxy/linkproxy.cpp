#include "linkproxy.h"

#include <boost/asio.hpp>

#include <algorithm>
#include <deque>
#include <future>
#include <thread>
#include <vector>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

namespace {

// What one direction may hold before it stops reading, so that a capped link
// pushes back on its sender through TCP instead of buffering without end.
constexpr std::size_t MaxQueued = 256 * 1024;

// Spreads the bytes of one direction over time: sending n bytes takes
// n / rate of the link, whichever connection sends them.
struct Pacer
{
    double bytesPerSecond = 0;
    Clock::time_point next {};

    Clock::time_point reserve(Clock::time_point ready, std::size_t bytes)
    {
        if (bytesPerSecond <= 0)
            return ready;
        const Clock::time_point at = std::max(ready, next);
        next = at
            + std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(double(bytes) / bytesPerSecond));
        return at;
    }
};

class Session;

} // namespace

struct LinkProxy::State
{
    Link link;
    asio::io_context io;
    tcp::acceptor acceptor { io };
    std::vector<tcp::socket> held; // accepted while silent, never served
    std::vector<std::weak_ptr<Session>> sessions;
    std::thread thread;
    Pacer down;
    Pacer up;
    std::atomic<bool> silenced { false };
    std::atomic<std::uint64_t> bytesDown { 0 };
    std::atomic<std::uint64_t> bytesUp { 0 };
    std::uint16_t port = 0;

    // Small reads on a slow link, so that pacing stays smooth.
    std::size_t chunkSize() const
    {
        if (link.bytesPerSecond <= 0)
            return 64 * 1024;
        return std::clamp(
            std::size_t(link.bytesPerSecond / 100), std::size_t(1024), std::size_t(16 * 1024));
    }
    void accept();
};

namespace {

struct Chunk
{
    Clock::time_point due;
    Clock::time_point sendAt;
    bool paced = false;
    std::vector<char> bytes;
};

class Session : public std::enable_shared_from_this<Session>
{
public:
    Session(LinkProxy::State &state, tcp::socket client)
        : m_state(state)
        , m_client(std::move(client))
        , m_target(state.io)
        , m_toTarget { m_client, m_target, state.up, state.bytesUp, asio::steady_timer(state.io) }
        , m_toClient { m_target, m_client, state.down, state.bytesDown,
            asio::steady_timer(state.io) }
    {
    }

    void start()
    {
        error_code error;
        const tcp::endpoint target(
            asio::ip::make_address(m_state.link.targetHost, error), m_state.link.targetPort);
        if (error)
            return;
        m_target.async_connect(target, [self = shared_from_this()](const error_code &failed) {
            if (failed) {
                self->close();
                return;
            }
            error_code ignored;
            self->m_target.set_option(tcp::no_delay(true), ignored);
            self->read(self->m_toTarget);
            self->read(self->m_toClient);
        });
    }

    void close()
    {
        m_closed = true;
        error_code ignored;
        m_client.close(ignored);
        m_target.close(ignored);
        m_toTarget.timer.cancel();
        m_toClient.timer.cancel();
    }

private:
    struct Pipe
    {
        tcp::socket &from;
        tcp::socket &to;
        Pacer &pacer;
        std::atomic<std::uint64_t> &passed;
        asio::steady_timer timer;
        std::deque<Chunk> queue {};
        std::vector<char> buffer {};
        std::size_t queued = 0;
        bool reading = false;
        bool writing = false;
        bool ended = false; // the sender closed its side or failed
        bool done = false; // ended and everything passed on
    };

    void read(Pipe &pipe)
    {
        if (m_closed || pipe.reading || pipe.ended || pipe.queued >= MaxQueued)
            return;
        pipe.reading = true;
        pipe.buffer.resize(m_state.chunkSize());
        pipe.from.async_read_some(asio::buffer(pipe.buffer),
            [self = shared_from_this(), &pipe](const error_code &error, std::size_t size) {
                pipe.reading = false;
                if (error) {
                    pipe.ended = true;
                } else {
                    pipe.queue.push_back({ Clock::now() + self->m_state.link.delay, {}, false,
                        std::vector<char>(pipe.buffer.begin(), pipe.buffer.begin() + long(size)) });
                    pipe.queued += size;
                    self->read(pipe);
                }
                self->pump(pipe);
            });
    }

    void pump(Pipe &pipe)
    {
        if (m_closed || pipe.writing || m_state.silenced)
            return;
        if (pipe.queue.empty()) {
            if (pipe.ended && !pipe.done) {
                pipe.done = true;
                error_code ignored;
                pipe.to.shutdown(tcp::socket::shutdown_send, ignored);
                if (m_toTarget.done && m_toClient.done)
                    close();
            }
            return;
        }
        Chunk &chunk = pipe.queue.front();
        if (!chunk.paced) {
            chunk.sendAt = pipe.pacer.reserve(chunk.due, chunk.bytes.size());
            chunk.paced = true;
        }
        pipe.writing = true;
        if (chunk.sendAt <= Clock::now()) {
            write(pipe);
            return;
        }
        pipe.timer.expires_at(chunk.sendAt);
        pipe.timer.async_wait([self = shared_from_this(), &pipe](const error_code &error) {
            if (error) {
                pipe.writing = false;
                return;
            }
            self->write(pipe);
        });
    }

    void write(Pipe &pipe)
    {
        if (m_closed || m_state.silenced) {
            pipe.writing = false;
            return;
        }
        asio::async_write(pipe.to, asio::buffer(pipe.queue.front().bytes),
            [self = shared_from_this(), &pipe](const error_code &error, std::size_t size) {
                pipe.writing = false;
                if (error) {
                    self->close();
                    return;
                }
                pipe.passed += size;
                pipe.queued -= size;
                pipe.queue.pop_front();
                self->pump(pipe);
                self->read(pipe);
            });
    }

    LinkProxy::State &m_state;
    tcp::socket m_client;
    tcp::socket m_target;
    Pipe m_toTarget;
    Pipe m_toClient;
    bool m_closed = false;
};

} // namespace

void LinkProxy::State::accept()
{
    acceptor.async_accept([this](const error_code &error, tcp::socket socket) {
        if (error == asio::error::operation_aborted)
            return;
        if (!error) {
            error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            if (silenced) {
                held.push_back(std::move(socket));
            } else {
                auto session = std::make_shared<Session>(*this, std::move(socket));
                sessions.erase(std::remove_if(sessions.begin(), sessions.end(),
                                   [](const std::weak_ptr<Session> &s) { return s.expired(); }),
                    sessions.end());
                sessions.push_back(session);
                session->start();
            }
        }
        accept();
    });
}

LinkProxy::LinkProxy(const Link &link)
    : m_state(std::make_shared<State>())
{
    State &state = *m_state;
    state.link = link;
    state.down.bytesPerSecond = link.bytesPerSecond;
    state.up.bytesPerSecond = link.bytesPerSecond;
    error_code error;
    const tcp::endpoint at(asio::ip::make_address(link.listenHost, error), link.listenPort);
    if (!error)
        state.acceptor.open(at.protocol(), error);
    if (!error)
        state.acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        state.acceptor.bind(at, error);
    if (!error)
        state.acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error)
        return;
    state.port = state.acceptor.local_endpoint().port();
    state.accept();
    state.thread = std::thread([&state] { state.io.run(); });
}

LinkProxy::~LinkProxy()
{
    if (m_state->thread.joinable()) {
        m_state->io.stop();
        m_state->thread.join();
    }
}

void LinkProxy::reset()
{
    if (!m_state->thread.joinable())
        return;
    std::promise<void> done;
    asio::post(m_state->io, [&state = *m_state, &done] {
        for (const std::weak_ptr<Session> &weak : state.sessions)
            if (const std::shared_ptr<Session> session = weak.lock())
                session->close();
        state.sessions.clear();
        state.held.clear();
        state.silenced = false;
        state.bytesDown = 0;
        state.bytesUp = 0;
        state.down.next = {};
        state.up.next = {};
        done.set_value();
    });
    done.get_future().wait();
}

std::uint16_t LinkProxy::port() const
{
    return m_state->port;
}

std::string LinkProxy::address() const
{
    return m_state->link.listenHost + ":" + std::to_string(m_state->port);
}

void LinkProxy::silence()
{
    m_state->silenced = true;
}

std::uint64_t LinkProxy::bytesDown() const
{
    return m_state->bytesDown;
}

std::uint64_t LinkProxy::bytesUp() const
{
    return m_state->bytesUp;
}
