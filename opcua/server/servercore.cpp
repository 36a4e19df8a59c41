#include "opcua/server/servercore.h"

#include "opcua/server/connection.h"
#include "opcua/server/servicecall.h"
#include "opcua/server/session.h"

#include <algorithm>

namespace opcua {

namespace {

// Whether a service runs inside an activated session. Discovery and the session services work
// without one, or before it is activated.
enum class SessionUse {
    None,      // the service finds or makes its session itself, if it needs one
    Activated, // the request must name an activated session of this connection
};

struct ServiceRoute
{
    uint32_t request; // the request's binary encoding id
    SessionUse session;
    void (*serve)(const ServiceCall& call, const ServiceMessage& request);
};

template <class Request, void (*Serve)(const ServiceCall&, const Request&)>
constexpr ServiceRoute route(SessionUse session)
{
    return {Request::kBinaryEncodingId, session,
            [](const ServiceCall& call, const ServiceMessage& request) {
                Serve(call, std::get<Request>(request));
            }};
}

constexpr ServiceRoute kRoutes[] = {
    route<GetEndpointsRequest, serveGetEndpoints>(SessionUse::None),
    route<FindServersRequest, serveFindServers>(SessionUse::None),
    route<CreateSessionRequest, serveCreateSession>(SessionUse::None),
    route<ActivateSessionRequest, serveActivateSession>(SessionUse::None),
    route<CloseSessionRequest, serveCloseSession>(SessionUse::None),
    route<ReadRequest, serveRead>(SessionUse::Activated),
    route<WriteRequest, serveWrite>(SessionUse::Activated),
    route<BrowseRequest, serveBrowse>(SessionUse::Activated),
    route<BrowseNextRequest, serveBrowseNext>(SessionUse::Activated),
    route<TranslateBrowsePathsToNodeIdsRequest, serveTranslateBrowsePaths>(SessionUse::Activated),
    route<CreateSubscriptionRequest, serveCreateSubscription>(SessionUse::Activated),
    route<ModifySubscriptionRequest, serveModifySubscription>(SessionUse::Activated),
    route<DeleteSubscriptionsRequest, serveDeleteSubscriptions>(SessionUse::Activated),
    route<SetPublishingModeRequest, serveSetPublishingMode>(SessionUse::Activated),
    route<CreateMonitoredItemsRequest, serveCreateMonitoredItems>(SessionUse::Activated),
    route<DeleteMonitoredItemsRequest, serveDeleteMonitoredItems>(SessionUse::Activated),
    route<PublishRequest, servePublish>(SessionUse::Activated),
    route<RepublishRequest, serveRepublish>(SessionUse::Activated),
};

// The activated session the request names on this connection, or the status saying why
// there is none. Every request served in a session touches it.
ServerSession* activatedSession(ServerCore& core, const ServiceCall& call, StatusCode& failure)
{
    ServerSession* session =
        core.boundSession(call.header.authenticationToken, call.connection.id(), failure);
    if (!session)
        return nullptr;
    if (!session->activated) {
        failure = status::BadSessionNotActivated;
        return nullptr;
    }
    session->touch();
    return session;
}

// The counts of each thing clients hold, and the limits on them.
struct HoldingLimit
{
    Holding what;
    const char* name;
    size_t ServerSettings::*onServer;
    size_t ServerSettings::*perAddress;
};

constexpr HoldingLimit kHoldingLimits[] = {
    {Holding::Session, "sessions", &ServerSettings::maxSessions,
     &ServerSettings::maxSessionsPerAddress},
    {Holding::Subscription, "subscriptions", &ServerSettings::maxSubscriptions,
     &ServerSettings::maxSubscriptionsPerAddress},
    {Holding::MonitoredItem, "monitored items", &ServerSettings::maxMonitoredItems,
     &ServerSettings::maxMonitoredItemsPerAddress},
};

const HoldingLimit& limitOf(Holding what)
{
    return *std::find_if(std::begin(kHoldingLimits), std::end(kHoldingLimits),
                         [&](const HoldingLimit& l) { return l.what == what; });
}

size_t heldBy(const ServerSession& session, Holding what)
{
    switch (what) {
    case Holding::Session:
        return 1;
    case Holding::Subscription:
        return session.subscriptions.size();
    case Holding::MonitoredItem:
        break;
    }
    size_t items = 0;
    for (const auto& [id, subscription] : session.subscriptions)
        items += subscription->monitoredItemCount();
    return items;
}

} // namespace

void logEvent(LogLevel level, const PeerAddress& peer, const std::string& what)
{
    static constexpr LogCategory lcServer("servo.opcua.server");
    // The log makes the line printable, what the peer put into it included.
    if (lcServer.enabled(level))
        lcServer.write(level, peer.text() + ": " + what);
}

ServerCore::ServerCore(AddressSpace& space, Clock& clock, ServerSettings settings)
    : space(space), clock(clock), settings(std::move(settings)), endpointUrl("opc.tcp://:0")
{
    addCapabilities();
    addDiagnostics();
}

ServerCore::~ServerCore()
{
    removeDiagnostics();
    if (m_deferTimer)
        clock.cancel(m_deferTimer);
}

void ServerCore::dispatch(ServerConnection& connection, uint32_t requestId,
                          const ServiceMessage& request)
{
    ServiceCall call{*this, connection, requestId, *requestHeaderOf(request), clock.utcNow()};
    const uint32_t encodingId = encodingIdOf(request);
    const auto* route =
        std::find_if(std::begin(kRoutes), std::end(kRoutes),
                     [&](const ServiceRoute& r) { return r.request == encodingId; });
    if (route == std::end(kRoutes))
        return call.fault(status::BadServiceUnsupported);
    if (route->session == SessionUse::Activated) {
        StatusCode failure;
        call.session = activatedSession(*this, call, failure);
        if (!call.session)
            return call.fault(failure);
    }
    route->serve(call, request);
}

ServerConnection* ServerCore::connection(uint64_t id)
{
    auto it = m_connections.find(id);
    if (it == m_connections.end() || it->second->state() == ConnectionState::Closed)
        return nullptr;
    return it->second.get();
}

void ServerCore::addConnection(std::unique_ptr<ServerConnection> connection)
{
    const uint64_t id = connection->id();
    m_connections.emplace(id, std::move(connection));
}

ServerSession* ServerCore::session(const NodeId& token)
{
    auto it = m_sessions.find(token);
    return it == m_sessions.end() ? nullptr : it->second.get();
}

ServerSession* ServerCore::boundSession(const NodeId& token, uint64_t connectionId,
                                        StatusCode& failure)
{
    ServerSession* found = session(token);
    if (!found)
        failure = status::BadSessionIdInvalid;
    else if (found->connectionId != connectionId)
        failure = status::BadSecureChannelIdInvalid;
    else
        return found;
    return nullptr;
}

ServerSession& ServerCore::addSession(std::unique_ptr<ServerSession> session)
{
    const NodeId token = session->token;
    return *m_sessions.emplace(token, std::move(session)).first->second;
}

void ServerCore::clear()
{
    m_sessions.clear();
    m_connections.clear();
}

void ServerCore::dropConnection(uint64_t id)
{
    for (auto& [token, session] : m_sessions) {
        if (session->activated && session->connectionId == id && !session->channelLostAt)
            session->channelLostAt = clock.now();
    }
    // Called from the connection's own handlers: it goes once they have returned.
    defer([this, id] { m_connections.erase(id); });
}

void ServerCore::defer(std::function<void()> job)
{
    m_deferred.push_back(std::move(job));
    if (!m_deferTimer)
        m_deferTimer = clock.start(std::chrono::milliseconds(0), [this] { runDeferred(); });
}

void ServerCore::runDeferred()
{
    m_deferTimer = 0;
    const std::vector<std::function<void()>> jobs = std::move(m_deferred);
    m_deferred.clear();
    for (const auto& job : jobs)
        job();
}

bool ServerCore::hasActivatedSession(uint64_t connectionId) const
{
    return std::any_of(m_sessions.begin(), m_sessions.end(), [&](const auto& entry) {
        return entry.second->activated && entry.second->connectionId == connectionId;
    });
}

// Connections are numbered as they come, so the first match is the oldest. At its address's
// limit a newcomer can only take the place of a connection from the same address.
bool ServerCore::admitConnection(const PeerAddress& peer)
{
    const auto fromPeer = [&](const ServerConnection& c) { return c.peer().host == peer.host; };
    size_t ofAddress = 0;
    for (const auto& [id, connection] : m_connections)
        ofAddress += connection->state() != ConnectionState::Closed && fromPeer(*connection);
    const bool addressFull = ofAddress >= settings.maxConnectionsPerAddress;
    if (!addressFull && connectionCount() < settings.maxConnections)
        return true;
    for (auto& [id, connection] : m_connections) {
        if (connection->state() != ConnectionState::Closed && !hasActivatedSession(id) &&
            (!addressFull || fromPeer(*connection))) {
            connection->closeWithError(status::BadTcpServerTooBusy,
                                       "closed to make room for a new connection");
            return true;
        }
    }
    logEvent(LogLevel::Warning, peer,
             std::string("limit: ") + (addressFull ? "this address holds" : "the server holds") +
                 " as many connections as it may");
    return false;
}

size_t ServerCore::held(Holding what, const std::string* host) const
{
    size_t n = 0;
    for (const auto& [token, session] : m_sessions) {
        if (!host || session->peer.host == *host)
            n += heldBy(*session, what);
    }
    return n;
}

// A new session may take the place of one never activated; anything may take the place of an
// activated session whose client has been gone longer than the resume grace.
ServerSession* ServerCore::sessionToDrop(Holding what, const std::string* host) const
{
    ServerSession* unactivated = nullptr;
    ServerSession* abandoned = nullptr;
    const auto now = clock.now();
    for (const auto& [token, session] : m_sessions) {
        if (host && session->peer.host != *host)
            continue;
        if (!session->activated) {
            if (what == Holding::Session && (!unactivated || session->number < unactivated->number))
                unactivated = session.get();
        } else if (session->channelLostAt &&
                   now - *session->channelLostAt >= settings.resumeGrace &&
                   heldBy(*session, what) > 0 &&
                   (!abandoned || *session->channelLostAt < *abandoned->channelLostAt)) {
            abandoned = session.get();
        }
    }
    return unactivated ? unactivated : abandoned;
}

bool ServerCore::makeRoom(Holding what, const PeerAddress& peer, size_t wanted)
{
    const HoldingLimit& limit = limitOf(what);
    for (;;) {
        const bool addressFull = held(what, &peer.host) + wanted > settings.*limit.perAddress;
        const bool serverFull = held(what, nullptr) + wanted > settings.*limit.onServer;
        if (!addressFull && !serverFull)
            return true;
        ServerSession* victim = sessionToDrop(what, addressFull ? &peer.host : nullptr);
        if (!victim) {
            logEvent(LogLevel::Warning, peer,
                     std::string("limit: ") +
                         (addressFull ? "this address holds" : "the server holds") + " as many " +
                         limit.name + " as it may");
            return false;
        }
        logEvent(LogLevel::Info, victim->peer,
                 "session " + toString(victim->sessionId) + " closed to make room for " +
                     limit.name + (victim->activated ? ": its client left" : ": never activated"));
        closeSession(*victim, status::BadSessionClosed);
    }
}

void ServerCore::closeSession(ServerSession& session, StatusCode reason)
{
    session.answerQueued(reason);
    // Sessions close from a request or from their own timeout timer, never from inside a
    // subscription, so they can go at once.
    const NodeId token = session.token;
    m_sessions.erase(token);
}

size_t ServerCore::connectionCount() const
{
    return size_t(std::count_if(m_connections.begin(), m_connections.end(), [](const auto& c) {
        return c.second->state() != ConnectionState::Closed;
    }));
}

size_t ServerCore::sessionCount() const
{
    return m_sessions.size();
}

size_t ServerCore::subscriptionCount() const
{
    size_t n = 0;
    for (const auto& [token, session] : m_sessions)
        n += session->subscriptions.size();
    return n;
}

std::array<uint32_t, 12> ServerCore::diagnosticsSummary() const
{
    return {0,
            uint32_t(m_sessions.size()),
            counters.cumulatedSessions,
            0,
            counters.rejectedSessions,
            counters.sessionTimeouts,
            0,
            uint32_t(subscriptionCount()),
            counters.cumulatedSubscriptions,
            0,
            0,
            counters.rejectedRequests};
}

uint32_t ServerCore::newChannelId()
{
    const uint32_t id = m_nextChannelId++;
    if (m_nextChannelId == 0)
        m_nextChannelId = 1;
    return id;
}

uint32_t ServerCore::newTokenId()
{
    const uint32_t id = m_nextTokenId++;
    if (m_nextTokenId == 0)
        m_nextTokenId = 1;
    return id;
}

} // namespace opcua
