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
    auto it = core.sessions.find(call.header.authenticationToken);
    if (it == core.sessions.end()) {
        failure = status::BadSessionIdInvalid;
        return nullptr;
    }
    ServerSession& session = *it->second;
    if (session.connectionId != call.connection.id()) {
        failure = status::BadSecureChannelIdInvalid;
        return nullptr;
    }
    if (!session.activated) {
        failure = status::BadSessionNotActivated;
        return nullptr;
    }
    session.touch();
    return &session;
}

} // namespace

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
    auto it = connections.find(id);
    if (it == connections.end() || it->second->state() == ConnectionState::Closed)
        return nullptr;
    return it->second.get();
}

void ServerCore::dropConnection(uint64_t id)
{
    // Called from the connection's own handlers: it goes once they have returned.
    defer([this, id] { connections.erase(id); });
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
    return std::any_of(sessions.begin(), sessions.end(), [&](const auto& entry) {
        return entry.second->activated && entry.second->connectionId == connectionId;
    });
}

// Connections are numbered as they come, so the first match is the oldest.
bool ServerCore::admitConnection()
{
    if (connectionCount() < settings.maxConnections)
        return true;
    for (auto& [id, connection] : connections) {
        if (connection->state() != ConnectionState::Closed && !hasActivatedSession(id)) {
            connection->closeWithError(status::BadTcpServerTooBusy,
                                       "closed to make room for a new connection");
            return true;
        }
    }
    return false;
}

// Sessions are numbered as they come, so the lowest number is the oldest.
bool ServerCore::admitSession()
{
    if (sessions.size() < settings.maxSessions)
        return true;
    ServerSession* oldest = nullptr;
    for (auto& [token, session] : sessions) {
        if (!session->activated && (!oldest || session->number < oldest->number))
            oldest = session.get();
    }
    if (!oldest)
        return false;
    closeSession(*oldest, status::BadSessionClosed);
    return true;
}

void ServerCore::closeSession(ServerSession& session, StatusCode reason)
{
    session.answerQueued(reason);
    // Sessions close from a request or from their own timeout timer, never from inside a
    // subscription, so they can go at once.
    const NodeId token = session.token;
    sessions.erase(token);
}

size_t ServerCore::connectionCount() const
{
    return size_t(std::count_if(connections.begin(), connections.end(), [](const auto& c) {
        return c.second->state() != ConnectionState::Closed;
    }));
}

size_t ServerCore::subscriptionCount() const
{
    size_t n = 0;
    for (const auto& [token, session] : sessions)
        n += session->subscriptions.size();
    return n;
}

size_t ServerCore::monitoredItemCount() const
{
    size_t n = 0;
    for (const auto& [token, session] : sessions) {
        for (const auto& [id, subscription] : session->subscriptions)
            n += subscription->monitoredItemCount();
    }
    return n;
}

std::array<uint32_t, 12> ServerCore::diagnosticsSummary() const
{
    return {0,
            uint32_t(sessions.size()),
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
