#pragma once

#include "opcua/types.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

class QTcpSocket;
class QTimer;
class QObject;

// The seams between the protocol logic and the outside world: a byte stream and a clock with
// timers. The protocol code takes them through its constructors, so tests drive it with fakes
// of their own, without sockets and without sleeping.
namespace opcua {

// A bidirectional byte stream. Event-driven: writes never block; what arrives, and the end of
// the stream, are announced through the handlers, on the thread that owns the stream.
//
// A handler may call write() or close() on the stream. It must not destroy the stream itself;
// an owner that wants to drop a stream from inside a handler defers that (e.g. with
// QTimer::singleShot(0, ...) or Clock::start(0ms, ...)).
class Stream
{
public:
    struct Handlers
    {
        std::function<void()> connected;        // the stream is open (after connectTo)
        std::function<void(ByteView)> received; // bytes arrived, in order
        // The stream ended without close() being called: the peer closed (BadConnectionClosed)
        // or an error occurred (BadCommunicationError, BadNotConnected ...). Called once.
        std::function<void(StatusCode, const std::string&)> closed;
    };

    virtual ~Stream() = default;

    void setHandlers(Handlers handlers) { m_handlers = std::move(handlers); }

    // Queues bytes for sending. Ignored once the stream is closed.
    virtual void write(ByteView bytes) = 0;
    // Closes the stream. The closed handler is not called for a close this side asked for.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

protected:
    void notifyConnected();
    void notifyReceived(ByteView bytes);
    void notifyClosed(StatusCode status, const std::string& reason);

private:
    Handlers m_handlers;
};

// A Stream over a QTcpSocket, used by the client (connectTo) and by the server (adopting a
// socket its QTcpServer accepted).
class TcpStream : public Stream
{
public:
    // An unconnected stream; call connectTo.
    TcpStream();
    // Adopts an already connected socket (takes ownership). No connected notification follows.
    explicit TcpStream(QTcpSocket* socket);
    ~TcpStream() override;

    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    // Starts connecting; the connected or closed handler tells the outcome. A failed lookup or
    // a refused connection ends in closed(BadNotConnected, reason).
    void connectTo(const std::string& host, uint16_t port);

    void write(ByteView bytes) override;
    void close() override;
    bool isOpen() const override;

    // "127.0.0.1:4840" of the peer, for logs; empty when not connected.
    std::string peerAddress() const;

    // How long the socket of a destroyed stream may still take to send what was queued.
    static constexpr std::chrono::milliseconds kLinger{5000};

private:
    void attach();

    QTcpSocket* m_socket = nullptr;
    bool m_closing = false;
};

// Makes a stream to a host and port, so a client can be handed fake streams in tests.
using StreamFactory =
    std::function<std::unique_ptr<Stream>(const std::string& host, uint16_t port)>;
// The factory of TcpStreams that starts connecting at once.
StreamFactory tcpStreamFactory();

using TimerId = uint64_t;

// Monotonic time and single-shot timers, on the thread that owns the clock.
class Clock
{
public:
    virtual ~Clock() = default;

    // Monotonic milliseconds from an arbitrary origin.
    virtual std::chrono::milliseconds now() const = 0;
    // Wall-clock time for request and response headers.
    virtual DateTime utcNow() const { return DateTime::now(); }

    // Calls callback once, `delay` from now (negative counts as 0), from the event loop,
    // never from inside start(). Ids are never 0 and never reused.
    virtual TimerId start(std::chrono::milliseconds delay, std::function<void()> callback) = 0;
    // Stops a timer that has not fired; does nothing for an id that fired or is unknown.
    virtual void cancel(TimerId id) = 0;
};
using TimerService = Clock;

// The real clock: QElapsedTimer for time and QTimers for callbacks. Pending timers are
// cancelled when the clock is destroyed.
class QtClock : public Clock
{
public:
    QtClock();
    ~QtClock() override;

    std::chrono::milliseconds now() const override;
    TimerId start(std::chrono::milliseconds delay, std::function<void()> callback) override;
    void cancel(TimerId id) override;
    size_t pendingTimers() const { return m_timers.size(); }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::map<TimerId, QTimer*> m_timers;
    TimerId m_nextId = 1;
};

} // namespace opcua
