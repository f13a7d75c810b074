// A TCP relay on loopback that behaves like a distant, slow link between its
// clients and one target: every byte is held `delay` before it is passed on
// (in each direction), each direction is paced to `bytesPerSecond` shared by
// all connections of the relay, and silence() makes the far side stop
// answering at once, as a peer that left without closing its sockets
// (connections stay open, nothing passes, new ones are accepted and starved).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class LinkProxy
{
public:
    struct Link
    {
        std::string listenHost = "127.0.0.1";
        std::uint16_t listenPort = 0; // 0: a free port
        std::string targetHost = "127.0.0.1";
        std::uint16_t targetPort = 0;
        std::chrono::milliseconds delay { 0 };
        double bytesPerSecond = 0; // 0: no cap
    };

    // Listens at once and relays on a thread of its own; port() is 0 when
    // the listening address could not be taken.
    explicit LinkProxy(const Link &link);
    ~LinkProxy();
    LinkProxy(const LinkProxy &) = delete;
    LinkProxy &operator=(const LinkProxy &) = delete;

    std::uint16_t port() const;
    std::string address() const; // "host:port"
    void silence();
    // Closes every connection and makes the link pass bytes again, with the
    // counters at zero.
    void reset();
    // Bytes passed on from the target to the clients, and the other way.
    std::uint64_t bytesDown() const;
    std::uint64_t bytesUp() const;

    struct State; // the relay's sockets and thread, shared with its connections

private:
    std::shared_ptr<State> m_state;
};
