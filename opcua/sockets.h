#pragma once

#include "opcua/eventloop.h"
#include "opcua/io.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

// TCP over the protocol's event loop: the client's stream, the server's listener, and the
// lookup of host names that runs beside the loop.
namespace opcua {

// An IP address and port in the form the socket calls take.
struct SocketAddress
{
    sockaddr_storage storage{};
    socklen_t length = 0;

    // "192.0.2.1" or "2001:db8::1"; an IPv4 address mapped into IPv6 gives its IPv4 form, so
    // a client of a dual-stack listener counts as its IPv4 address.
    std::string host() const;
    uint16_t port() const;
};

// Looks up a host's addresses on a thread of its own, so a slow name server never stalls the
// loop. An IP literal is answered without a thread. The answer comes on the loop's thread,
// unless the lookup was dropped first.
class HostLookup
{
public:
    using Done = std::function<void(std::vector<SocketAddress> addresses, std::string error)>;
    static std::unique_ptr<HostLookup> start(EventLoop& loop, const std::string& host,
                                             uint16_t port, Done done);
    ~HostLookup();

private:
    struct State;
    explicit HostLookup(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    std::shared_ptr<State> m_state;
};

// A Stream over a non-blocking TCP socket, used by the client (connectTo) and by the server
// (adopting a socket its listener accepted). Writes go to the socket at once; what it does
// not take is kept and sent as it drains.
class TcpStream : public Stream
{
public:
    // An unconnected stream; call connectTo.
    explicit TcpStream(EventLoop& loop);
    // Adopts a connected socket (takes ownership). No connected notification follows.
    TcpStream(EventLoop& loop, int fd, const SocketAddress& peer);
    ~TcpStream() override;

    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    // Starts connecting, trying each address of the host in turn; the connected or closed
    // handler tells the outcome. A name that does not resolve, or no address that accepts,
    // ends in closed(BadNotConnected, reason).
    void connectTo(const std::string& host, uint16_t port);

    void write(ByteView bytes) override;
    // What is queued (a final CLO, an ERR) still leaves: the socket is handed to the loop,
    // which sends the rest within kLinger, says goodbye and closes it.
    void close() override;
    bool isOpen() const override { return m_state == State::Open; }

    // "127.0.0.1:4840" of the peer, for logs; empty when not connected.
    std::string peerAddress() const;

    // How long a closed socket may still take to send what was queued.
    static constexpr std::chrono::milliseconds kLinger{5000};

private:
    enum class State { Idle, Resolving, Connecting, Open, Closed };

    // Whether a failure is reported at once (from the loop) or at its next pass (from a call).
    enum class Report { Now, Later };
    void tryNextAddress(Report report);
    void onConnecting(uint32_t events);
    void onEvents(uint32_t events);
    void readAll();
    bool flush();
    void watchFor(uint32_t events);
    void fail(StatusCode status, const std::string& reason);
    void failLater(StatusCode status, const std::string& reason);
    int detachSocket();
    void release();

    EventLoop& m_loop;
    State m_state = State::Idle;
    int m_fd = -1;
    WatchId m_watch = 0;
    uint32_t m_watching = 0;
    ByteBuffer m_out;
    size_t m_outStart = 0;
    std::unique_ptr<HostLookup> m_lookup;
    std::vector<SocketAddress> m_addresses;
    size_t m_nextAddress = 0;
    std::string m_lastError;
    SocketAddress m_peer;
    TimerId m_failTimer = 0;
};

// The factory of TcpStreams that start connecting at once.
StreamFactory tcpStreamFactory(EventLoop& loop);

// Accepts TCP connections on one address and hands each over as a TcpStream.
class TcpListener
{
public:
    using Accepted = std::function<void(std::unique_ptr<TcpStream> stream, SocketAddress peer)>;

    explicit TcpListener(EventLoop& loop) : m_loop(loop) {}
    ~TcpListener();

    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Listens on an IP address ("::" takes IPv4 clients too) or "localhost" (127.0.0.1);
    // port 0 lets the system pick one. False, with errorString(), when it cannot.
    bool listen(const std::string& host, uint16_t port, Accepted accepted);
    void close();
    uint16_t port() const { return m_port; }
    const std::string& errorString() const { return m_error; }

private:
    void acceptAll();

    EventLoop& m_loop;
    int m_fd = -1;
    WatchId m_watch = 0;
    TimerId m_resume = 0;
    uint16_t m_port = 0;
    std::string m_error;
    Accepted m_accepted;
};

} // namespace opcua
