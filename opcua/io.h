#pragma once

#include "opcua/types.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The seams between the protocol logic and the outside world: a byte stream and a clock with
// timers. The protocol code takes them through its constructors, so tests drive it with fakes
// of their own, without sockets and without sleeping.
namespace opcua {

// A bidirectional byte stream. Event-driven: writes never block; what arrives, and the end of
// the stream, are announced through the handlers, on the thread that owns the stream.
//
// A handler may call write() or close() on the stream. It must not destroy the stream itself;
// an owner that wants to drop a stream from inside a handler defers that (with
// Clock::start(0ms, ...)).
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

// Makes a stream to a host and port, so a client can be handed fake streams in tests.
using StreamFactory =
    std::function<std::unique_ptr<Stream>(const std::string& host, uint16_t port)>;

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

} // namespace opcua
