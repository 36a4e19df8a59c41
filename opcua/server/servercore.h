#pragma once

#include "opcua/io.h"
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

    // Whether a new connection can be served: there is a free place, or the oldest connection
    // without an activated session was closed to make one.
    bool admitConnection();
    // The connection with this id, or nullptr when it is gone or closed.
    ServerConnection* connection(uint64_t id);
    // Drops a connection once the handlers running now have returned.
    void dropConnection(uint64_t id);
    // Whether a new session can be created: there is a free place, or the oldest session never
    // activated was dropped to make one.
    bool admitSession();
    // Answers the session's queued publish requests with `reason` and forgets the session.
    void closeSession(ServerSession& session, StatusCode reason);
    size_t connectionCount() const;
    size_t subscriptionCount() const;
    size_t monitoredItemCount() const;
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
    uint64_t nextConnectionId = 1;
    uint32_t nextSessionNumber = 1;
    uint32_t nextSubscriptionId = 1;
    std::map<uint64_t, std::unique_ptr<ServerConnection>> connections;
    // By authentication token. Declared after the connections so that sessions go first.
    std::map<NodeId, std::unique_ptr<ServerSession>> sessions;

private:
    void addCapabilities();
    void addDiagnostics();
    void removeDiagnostics();
    void runDeferred();
    bool hasActivatedSession(uint64_t connectionId) const;

    std::vector<std::function<void()>> m_deferred;
    TimerId m_deferTimer = 0;
    uint32_t m_nextChannelId = 1;
    uint32_t m_nextTokenId = 1;
};

} // namespace opcua
