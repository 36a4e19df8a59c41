#pragma once

#include "opcua/types.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTcpSocket;
class QTimer;
class QObject;

// The seams between the protocol logic and the outside world: a byte stream and a clock with
// timers. The protocol code takes them through its constructors, so tests drive it with
// FakeStream and ManualClock, without sockets and without sleeping.
namespace opcua {

// A bidirectional byte stream. Event-driven: writes never block; what arrives, and the end of
// the stream, are announced through the handlers, on the thread that owns the stream.
//
// A handler may call write() or close() on the stream. It must not destroy the stream itself;
// an owner that wants to drop a stream from inside a handler defers that (e.g. with
// QTimer::singleShot(0, ...) or ManualClock::start(0ms, ...)).
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

private:
    void attach();

    QTcpSocket* m_socket = nullptr;
    bool m_closing = false;
};

// A Stream for tests: records what is written and lets the test deliver bytes, close it from
// the peer's side, or announce the connection.
class FakeStream : public Stream
{
public:
    explicit FakeStream(bool open = true) : m_open(open) {}

    void write(ByteView bytes) override;
    void close() override
    {
        m_open = false;
        m_closedLocally = true;
    }
    bool isOpen() const override { return m_open; }

    // The test side: what the code under test wrote, and events from the "peer".
    const std::vector<ByteBuffer>& written() const { return m_written; }
    ByteBuffer takeWritten(); // every written byte, concatenated, and forget them
    void clearWritten() { m_written.clear(); }
    bool closedLocally() const { return m_closedLocally; }
    void acceptConnection();      // opens the stream and calls connected
    void deliver(ByteView bytes); // calls received
    void peerClose(StatusCode status = status::BadConnectionClosed,
                   const std::string& reason = "closed by peer"); // closes and calls closed

private:
    std::vector<ByteBuffer> m_written;
    bool m_open;
    bool m_closedLocally = false;
};

// Makes a stream to a host and port, so a client can be handed FakeStreams in tests.
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

// A clock that moves only when the test says so. advance() fires every timer that falls due,
// in order of due time (and of start for equal times), setting now() to each due time as it
// fires; callbacks may start and cancel timers, and those falling within the advance fire too.
// utcNow() is a fixed start time plus now().
class ManualClock : public Clock
{
public:
    explicit ManualClock(DateTime utcStart = DateTime::fromUnixMilliseconds(1700000000000))
        : m_utcStart(utcStart)
    {}

    std::chrono::milliseconds now() const override { return m_now; }
    DateTime utcNow() const override;
    TimerId start(std::chrono::milliseconds delay, std::function<void()> callback) override;
    void cancel(TimerId id) override;

    void advance(std::chrono::milliseconds step);
    // Fires the timers due now (delay 0), without moving time.
    void runDue() { advance(std::chrono::milliseconds(0)); }
    size_t pendingTimers() const { return m_timers.size(); }
    // Time until the next timer, or nullopt when none is pending.
    std::optional<std::chrono::milliseconds> nextDue() const;

private:
    struct Timer
    {
        std::chrono::milliseconds due;
        std::function<void()> callback;
    };

    std::chrono::milliseconds m_now{0};
    DateTime m_utcStart;
    std::map<TimerId, Timer> m_timers;
    TimerId m_nextId = 1;
};

} // namespace opcua
