#pragma once

#include "opcua/io.h"
#include "opcua/log.h"
#include "opcua/server/addressguard.h"
#include "opcua/server/addressspace.h"
#include "opcua/server/server.h"
#include "opcua/services.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace opcua {

class ServerConnection;
struct ServerSession;

// What the diagnostics summary counts besides the current sessions and subscriptions.
struct ServerCounters
{
    uint32_t cumulatedSessions = 0;
    uint32_t rejectedSessions = 0;
    uint32_t sessionTimeouts = 0;
    uint32_t cumulatedSubscriptions = 0;
    uint32_t rejectedRequests = 0;
};

// Writes one line of the server's log about an event of the client at `peer`:
// "192.0.2.1:50000: <what>". Text from the peer in `what` is made printable here.
void logEvent(LogLevel level, const PeerAddress& peer, const std::string& what);

// What clients hold that the server limits, on the whole server and per client address.
enum class Holding {
    Session,
    Subscription,
    MonitoredItem,
};

// What the parts of a server share: the address space, the clock and the settings, the
// connections and sessions, and the counters. Connections, sessions and services reach each
// other through it; Server puts it on the network.
struct ServerCore
{
    // Adds the server's capabilities and diagnostics to the address space. The diagnostics
    // read the core; they read nothing once it is gone.
    ServerCore(AddressSpace& space, Clock& clock, ServerSettings settings);
    ~ServerCore();

    ServerCore(const ServerCore&) = delete;
    ServerCore& operator=(const ServerCore&) = delete;

    // Serves a request that arrived on `connection`: routes it to its service, inside its
    // session when the service needs one, and answers a request no service takes with a
    // ServiceFault.
    void dispatch(ServerConnection& connection, uint32_t requestId, const ServiceMessage& request);

    // Runs `job` once the handlers running now have returned; never after the core is gone.
    void defer(std::function<void()> job);

    // Whether a new connection from `peer` can be served: there is a free place for its address
    // and on the server, or the oldest connection without an activated session (of that address
    // when the address is at its limit) was closed to make one.
    bool admitConnection(const PeerAddress& peer);
    // The connection with this id, or nullptr when it is gone or closed.
    ServerConnection* connection(uint64_t id);
    // Serves a connection admitted by admitConnection.
    void addConnection(std::unique_ptr<ServerConnection> connection);
    // The session with this authentication token, or nullptr.
    ServerSession* session(const NodeId& token);
    // The session with this token when it is bound to the connection `connectionId`, else
    // nullptr with the status saying why: BadSessionIdInvalid or BadSecureChannelIdInvalid.
    ServerSession* boundSession(const NodeId& token, uint64_t connectionId, StatusCode& failure);
    ServerSession& addSession(std::unique_ptr<ServerSession> session);
    // Forgets every session and connection, sessions first, without a word to their clients.
    void clear();
    // Drops a connection once the handlers running now have returned.
    void dropConnection(uint64_t id);
    // Whether `wanted` more of `what` fit for a client at `peer`, on the server and for its
    // address. When they do not, sessions are closed to make room, oldest first: for a new
    // session those never activated, then for all three the activated sessions whose channel
    // has been gone longer than the resume grace; taken from the client's own address when that
    // is at its limit. False, and logged, when there is still no room.
    bool makeRoom(Holding what, const PeerAddress& peer, size_t wanted = 1);
    // How many of `what` the sessions of `host` hold; all sessions' when host is null.
    size_t held(Holding what, const std::string* host) const;
    // Whether the connection carries an activated session: its peer is a known client.
    bool hasActivatedSession(uint64_t connectionId) const;
    // Answers the session's queued publish requests with `reason` and forgets the session.
    void closeSession(ServerSession& session, StatusCode reason);
    size_t connectionCount() const;
    size_t sessionCount() const;
    size_t subscriptionCount() const;
    std::array<uint32_t, 12> diagnosticsSummary() const;

    // Ids for a new secure channel and a new token; never 0.
    uint32_t newChannelId();
    uint32_t newTokenId();

    AddressSpace& space;
    Clock& clock;
    const ServerSettings settings;
    // "opc.tcp://host:port" of the listener, for clients that name no endpoint.
    std::string endpointUrl;
    ServerCounters counters;
    AddressGuard guard{clock, settings};
    uint64_t nextConnectionId = 1;
    uint32_t nextSessionNumber = 1;
    uint32_t nextSubscriptionId = 1;

private:
    void addCapabilities();
    void addDiagnostics();
    void removeDiagnostics();
    void runDeferred();
    ServerSession* sessionToDrop(Holding what, const std::string* host) const;

    std::map<uint64_t, std::unique_ptr<ServerConnection>> m_connections;
    // By authentication token. Declared after the connections so that sessions go first.
    std::map<NodeId, std::unique_ptr<ServerSession>> m_sessions;
    std::vector<std::function<void()>> m_deferred;
    TimerId m_deferTimer = 0;
    uint32_t m_nextChannelId = 1;
    uint32_t m_nextTokenId = 1;
};

} // namespace opcua
