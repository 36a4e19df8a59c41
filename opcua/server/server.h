#pragma once

#include "opcua/io.h"
#include "opcua/server/addressspace.h"
#include "opcua/server/serversecurity.h"
#include "opcua/server/subscription.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace opcua {

class EventLoop;
class TcpListener;

// What the server offers and how far it lets clients go.
struct ServerSettings
{
    std::string applicationUri = "urn:servo-panel:server";
    std::string productUri = "urn:servo-panel";
    std::string applicationName = "servo-panel OPC UA server";

    // UA-TCP: the largest chunk received and sent, the largest message and chunk count
    // received. What is sent follows the client's Hello.
    uint32_t receiveBufferSize = 65536;
    uint32_t sendBufferSize = 65536;
    uint32_t maxMessageSize = 4 * 1024 * 1024;
    uint32_t maxChunkCount = 256;
    // Connections served at once. When all are taken, the oldest connection without an
    // activated session is closed to make room for a new one; only when every connection has
    // one is the newcomer refused (BadTcpServerTooBusy).
    size_t maxConnections = 100;
    // What one client address (IP address, any port) may hold of the server-wide limits, so
    // that one client cannot take what the others need. At its connection limit the oldest
    // connection of that address without an activated session makes room, as above.
    size_t maxConnectionsPerAddress = 20;
    size_t maxSessionsPerAddress = 10;
    size_t maxSubscriptionsPerAddress = 50;
    size_t maxMonitoredItemsPerAddress = 10000;

    // How long a peer may keep a connection without getting anywhere: together with the
    // eviction above, an idle or hostile peer cannot hold a place for long. Each ends the
    // connection with an ERR (BadTimeout).
    // From connecting to the Hello, and from the Hello to the OpenSecureChannel request.
    std::chrono::milliseconds helloTimeout{5000};
    std::chrono::milliseconds openTimeout{5000};
    // Input left unfinished (part of a chunk, or the first chunks of a message) must complete
    // a message within this time; each message that completes starts it again.
    std::chrono::milliseconds messageTimeout{10000};

    // Secure channel token lifetimes the server grants (ms); 0 requested gets the default. A
    // channel whose token is not renewed within its lifetime and a quarter is closed, so the
    // cap bounds how long a silent channel lasts; renewing every few minutes costs nothing.
    uint32_t minTokenLifetimeMs = 1000;
    uint32_t maxTokenLifetimeMs = 600000;
    uint32_t defaultTokenLifetimeMs = 600000;

    // Sessions at once. When all are taken (on the server or for the client's address), the
    // oldest session never activated is dropped to make room, then the activated session whose
    // channel has been gone longest, beyond the resume grace; only when none is left to drop is
    // CreateSession refused (BadTooManySessions). Subscriptions and monitored items make room
    // the same way, from sessions without a channel.
    size_t maxSessions = 50;
    // How long an activated session whose channel has gone is kept from being dropped to make
    // room, so that a client that reconnects can resume it.
    std::chrono::milliseconds resumeGrace{10000};
    // A session not activated this long after CreateSession is dropped.
    std::chrono::milliseconds activationTimeout{15000};
    // Session timeouts the server grants (ms); 0 requested gets the maximum. The cap bounds how
    // long the session of a client that vanished holds its place.
    double minSessionTimeoutMs = 100;
    double maxSessionTimeoutMs = 600000;

    size_t maxSubscriptionsPerSession = 20;
    // Subscriptions and monitored items on the whole server; more are refused with
    // BadTooManySubscriptions and BadTooManyMonitoredItems. Each subscription also takes at
    // most subscriptions.maxMonitoredItems items.
    size_t maxSubscriptions = 200;
    size_t maxMonitoredItems = 50000;
    // Publish requests a session may keep queued; one more answers the oldest with
    // BadTooManyPublishRequests.
    size_t maxPublishRequestsPerSession = 20;
    // Operations in one Read, Write, Browse ... request.
    size_t maxOperationsPerRequest = 10000;
    size_t maxBrowseContinuationPoints = 16;
    // References one Browse returns per node before it hands out a continuation point.
    uint32_t maxReferencesPerNode = 1000;

    // Guessing made slow: after a refused activation from an address, that address's next
    // activation is answered no sooner than this delay, which doubles with each further refusal
    // up to the cap; other addresses are not delayed, and the right password is only ever
    // delayed, never refused. An address's refusals are forgotten after a quiet spell.
    std::chrono::milliseconds failedActivationDelay{100};
    std::chrono::milliseconds maxFailedActivationDelay{1000};
    std::chrono::milliseconds failedActivationMemory{60000};
    // Secured OpenSecureChannel requests cost the server private-key operations: each address
    // may send this many a second on average, in bursts of up to secureOpenBurst; more are
    // refused with an ERR (BadTcpServerTooBusy) before any private-key work.
    double secureOpensPerSecond = 10.0;
    double secureOpenBurst = 20.0;

    SubscriptionLimits subscriptions;
    ServerSecurity security;
};

// Where a client connects from: the IP address its limits are kept by, and the port, for logs.
struct PeerAddress
{
    std::string host;
    uint16_t port = 0;
    // "192.0.2.1:50000" or "[2001:db8::1]:50000"; "-" when not known.
    std::string text() const;
};

struct ServerCore;

// An OPC UA server over UA-TCP, on the thread that creates it, with the endpoints its security
// settings offer.
//
// It serves the address space it is given (which must outlive it) to any number of
// connections: the secure channel (issue, renew, close), discovery (GetEndpoints,
// FindServers), anonymous sessions, Read, Write, Browse, BrowseNext,
// TranslateBrowsePathsToNodeIds, subscriptions with data-change monitored items, Publish and
// Republish. Anything malformed gets an OPC UA error — a ServiceFault or Bad result when the
// request can still be answered, else an ERR message and the end of that connection — and
// never disturbs the other connections.
//
// The clock gives time and timers (the EventLoop when running, a ManualClock in tests).
// Streams come from the listener (listen) or from the caller (attach), so the protocol can be
// driven without sockets.
class Server
{
public:
    Server(AddressSpace& space, Clock& clock, ServerSettings settings = {});
    ~Server();

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens on host (an IP address or "localhost") and port, on the loop's sockets; port 0
    // lets the system pick one. False, with errorString(), when it cannot.
    bool listen(EventLoop& loop, const std::string& host, uint16_t port);
    // The port listened on; 0 when not listening.
    uint16_t port() const;
    // "opc.tcp://host:port" of the listener.
    std::string endpointUrl() const;
    std::string errorString() const { return m_error; }
    // Stops listening and drops every connection and session.
    void close();

    // Serves a stream that is already connected to a client. The server owns it from now on.
    // At the connection limit the oldest connection without an activated session is closed to
    // make room; when every connection has one, the stream gets an ERR (BadTcpServerTooBusy)
    // and is closed.
    // `peer` is where the client connects from; streams of the same host share its limits.
    void attach(std::unique_ptr<Stream> stream, PeerAddress peer = {});

    size_t connectionCount() const;
    size_t sessionCount() const;
    size_t subscriptionCount() const;
    const ServerSettings& settings() const;
    AddressSpace& addressSpace();

private:
    std::unique_ptr<ServerCore> m_core;
    std::unique_ptr<TcpListener> m_listener;
    std::string m_host;
    std::string m_error;
};

} // namespace opcua
