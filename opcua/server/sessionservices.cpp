#include "opcua/server/servicecall.h"
#include "opcua/server/session.h"

#include <QRandomGenerator>
#include <algorithm>

namespace opcua {

namespace {

Guid randomGuid()
{
    Guid g;
    auto* random = QRandomGenerator::system();
    g.data1 = random->generate();
    g.data2 = uint16_t(random->generate());
    g.data3 = uint16_t(random->generate());
    for (auto& b : g.data4)
        b = uint8_t(random->bounded(256));
    return g;
}

// Anonymous only: an absent token, or an AnonymousIdentityToken with our policy id.
bool isAnonymous(const ExtensionObject& identity)
{
    if (identity.isNull())
        return true;
    std::optional<AnonymousIdentityToken> anonymous;
    try {
        anonymous = unpackBody<AnonymousIdentityToken>(identity);
    } catch (const DecodeError&) {
        return false;
    }
    return anonymous &&
           (anonymous->policyId.isEmpty() || anonymous->policyId.str() == kAnonymousPolicyId);
}

} // namespace

void serveCreateSession(const ServiceCall& call, const CreateSessionRequest& request)
{
    ServerCore& core = call.core;
    const ServerSettings& settings = core.settings;
    if (!core.admitSession()) {
        ++core.counters.rejectedSessions;
        return call.fault(status::BadTooManySessions);
    }
    double timeout = request.requestedSessionTimeout;
    if (!(timeout > 0.0))
        timeout = settings.maxSessionTimeoutMs; // 0 and NaN: the longest offered
    timeout = std::clamp(timeout, settings.minSessionTimeoutMs, settings.maxSessionTimeoutMs);
    const NodeId token(1, randomGuid());
    auto session = std::make_unique<ServerSession>(core, core.nextSessionNumber++, token, timeout,
                                                   request.sessionName);
    session->connectionId = call.connection.id();
    session->touch();
    const NodeId sessionId = session->sessionId;
    core.sessions.emplace(token, std::move(session));
    ++core.counters.cumulatedSessions;

    auto response = call.answer<CreateSessionResponse>();
    response.sessionId = sessionId;
    response.authenticationToken = token;
    response.revisedSessionTimeout = timeout;
    response.serverNonce = randomBytes(32);
    response.serverEndpoints = describeEndpoints(call, request.endpointUrl);
    response.maxRequestMessageSize = settings.maxMessageSize;
    call.reply(response);
}

void serveActivateSession(const ServiceCall& call, const ActivateSessionRequest& request)
{
    auto it = call.core.sessions.find(call.header.authenticationToken);
    if (it == call.core.sessions.end())
        return call.fault(status::BadSessionIdInvalid);
    if (!isAnonymous(request.userIdentityToken))
        return call.fault(status::BadIdentityTokenInvalid);
    // Activation on another channel moves the session there.
    it->second->activate(call.connection);
    auto response = call.answer<ActivateSessionResponse>();
    response.serverNonce = randomBytes(32);
    call.reply(response);
}

void serveCloseSession(const ServiceCall& call, const CloseSessionRequest&)
{
    auto it = call.core.sessions.find(call.header.authenticationToken);
    if (it == call.core.sessions.end())
        return call.fault(status::BadSessionIdInvalid);
    if (it->second->connectionId != call.connection.id())
        return call.fault(status::BadSecureChannelIdInvalid);
    call.core.closeSession(*it->second, status::BadSessionClosed);
    call.reply(call.answer<CloseSessionResponse>());
}

} // namespace opcua
