#include "opcua/security/crypto.h"
#include "opcua/security/sessioncrypto.h"
#include "opcua/server/servicecall.h"
#include "opcua/server/session.h"
#include "text/printable.h"

#include <algorithm>
#include <cstring>

namespace opcua {

namespace {

// What a client sends as its nonce may be no shorter than this.
constexpr size_t kSessionNonceLength = 32;
// A session is closed after this many refused activations.
constexpr int kMaxFailedActivations = 3;

Guid randomGuid()
{
    const ByteBuffer bytes = security::randomBytes(16);
    Guid g;
    std::memcpy(&g.data1, bytes.data(), sizeof g.data1);
    std::memcpy(&g.data2, bytes.data() + 4, sizeof g.data2);
    std::memcpy(&g.data3, bytes.data() + 6, sizeof g.data3);
    std::copy(bytes.begin() + 8, bytes.end(), g.data4.begin());
    return g;
}

// On a secured channel the session's client must be the channel's: same certificate, an
// application URI the certificate names and a nonce long enough to sign.
StatusCode checkSessionClient(const ChannelSecurity& channel, const CreateSessionRequest& request)
{
    if (channel.policy->isNone())
        return status::Good;
    if (request.clientNonce.size() < kSessionNonceLength)
        return status::BadNonceInvalid;
    if (!leadsWith(request.clientCertificate, *channel.peerCertificate))
        return status::BadCertificateInvalid;
    return pki::verifyApplicationUri(*channel.peerCertificate,
                                     request.clientDescription.applicationUri.str())
        .status;
}

bool sameSecurity(const ChannelSecurity& a, const ChannelSecurity& b)
{
    return a.policy == b.policy && a.mode == b.mode && a.peerCertificate == b.peerCertificate;
}

// The client proves it holds its certificate's key by signing our certificate and last nonce.
StatusCode checkClientSignature(const ServerSession& session, const ServerSecurity& settings,
                                const SignatureData& signature)
{
    const ChannelSecurity& channel = session.channel;
    if (channel.policy->isNone())
        return status::Good;
    try {
        security::checkSessionSignature(*channel.policy, channel.peerCertificate->publicKey(),
                                        settings.certificate->der(), session.serverNonce,
                                        signature);
    } catch (const Error& e) {
        return e.status();
    }
    return status::Good;
}

ServerSession& addSession(const ServiceCall& call, const CreateSessionRequest& request,
                          double timeout)
{
    ServerCore& core = call.core;
    const NodeId token(1, randomGuid());
    auto session = std::make_unique<ServerSession>(core, core.nextSessionNumber++, token, timeout,
                                                   request.sessionName);
    session->connectionId = call.connection.id();
    session->peer = call.connection.peer();
    session->channel = call.connection.channelSecurity();
    session->serverNonce = security::randomBytes(kSessionNonceLength);
    session->touch();
    ++core.counters.cumulatedSessions;
    logEvent(LogLevel::Info, session->peer,
             "session " + toString(session->sessionId) +
                 " created: " + text::quoted(request.sessionName.str()));
    return core.addSession(std::move(session));
}

// Who a user identity token says the client is, for the log.
std::string userOf(const ExtensionObject& token)
{
    try {
        if (const auto userName = unpackBody<UserNameIdentityToken>(token))
            return "user " + text::quoted(userName->userName.str());
    } catch (const DecodeError&) {
        return "an unreadable identity token";
    }
    return "anonymous";
}

// Activates the session when the client proves who it is. A refusal delays the next
// activation from the client's address.
void activate(const ServiceCall& call, const ActivateSessionRequest& request)
{
    ServerSession* found = call.core.session(call.header.authenticationToken);
    if (!found)
        return call.fault(status::BadSessionIdInvalid);
    ServerSession& session = *found;
    const ServerSecurity& settings = call.core.settings.security;
    const PeerAddress& peer = call.connection.peer();
    // A session moves to another channel only with the client and security it was made with.
    StatusCode verdict = status::BadSecurityChecksFailed;
    if (sameSecurity(session.channel, call.connection.channelSecurity()))
        verdict = checkClientSignature(session, settings, request.clientSignature);
    if (verdict.isGood())
        verdict = checkUserIdentity(settings, *session.channel.policy, request.userIdentityToken,
                                    session.serverNonce);
    const std::string user = userOf(request.userIdentityToken);
    if (!verdict.isGood()) {
        logEvent(LogLevel::Warning, peer,
                 "login failed: " + user + ", session " + toString(session.sessionId) + ": " +
                     statusName(verdict));
        call.core.guard.activationRefused(peer.host);
        // Each guess at a password must then cost a new session, which the session limits bound.
        if (++session.failedActivations >= kMaxFailedActivations)
            call.core.closeSession(session, status::BadSessionClosed);
        return call.fault(verdict);
    }
    // Activation on another channel moves the session there.
    session.activate(call.connection);
    session.serverNonce = security::randomBytes(kSessionNonceLength);
    logEvent(LogLevel::Info, peer,
             "session " + toString(session.sessionId) + " activated: " + user);
    auto response = call.answer<ActivateSessionResponse>();
    response.serverNonce = ByteString(session.serverNonce);
    call.reply(response);
}

} // namespace

void serveCreateSession(const ServiceCall& call, const CreateSessionRequest& request)
{
    ServerCore& core = call.core;
    const ServerSettings& settings = core.settings;
    if (!core.makeRoom(Holding::Session, call.connection.peer())) {
        ++core.counters.rejectedSessions;
        return call.fault(status::BadTooManySessions);
    }
    const ChannelSecurity& channel = call.connection.channelSecurity();
    StatusCode verdict = status::BadSecurityPolicyRejected;
    if (settings.security.offers(*channel.policy, channel.mode))
        verdict = checkSessionClient(channel, request);
    if (!verdict.isGood()) {
        ++core.counters.rejectedSessions;
        return call.fault(verdict);
    }
    double timeout = request.requestedSessionTimeout;
    if (!(timeout > 0.0))
        timeout = settings.maxSessionTimeoutMs; // 0 and NaN: the longest offered
    timeout = std::clamp(timeout, settings.minSessionTimeoutMs, settings.maxSessionTimeoutMs);
    const ServerSession& session = addSession(call, request, timeout);

    auto response = call.answer<CreateSessionResponse>();
    response.sessionId = session.sessionId;
    response.authenticationToken = session.token;
    response.revisedSessionTimeout = timeout;
    response.serverNonce = ByteString(session.serverNonce);
    if (settings.security.certificate)
        response.serverCertificate = ByteString(settings.security.certificate->der());
    if (!channel.policy->isNone())
        response.serverSignature =
            security::sessionSignature(*channel.policy, channel.ownKey->get(),
                                       channel.peerCertificate->der(), request.clientNonce.bytes());
    response.serverEndpoints = describeEndpoints(call, request.endpointUrl);
    response.maxRequestMessageSize = settings.maxMessageSize;
    call.reply(response);
}

// Activations from one address are answered in turn, so that refusals can slow its guessing.
void serveActivateSession(const ServiceCall& call, const ActivateSessionRequest& request)
{
    ServerSession* session = call.core.session(call.header.authenticationToken);
    if (!session)
        return call.fault(status::BadSessionIdInvalid);
    if (session->activationWaiting)
        return call.fault(status::BadTooManyOperations);
    session->activationWaiting = true;
    ServerCore& core = call.core;
    core.guard.whenTurnComes(
        call.connection.peer().host,
        [&core, connectionId = call.connection.id(), requestId = call.requestId, request] {
            if (ServerSession* waiting = core.session(request.requestHeader.authenticationToken))
                waiting->activationWaiting = false;
            if (ServerConnection* connection = core.connection(connectionId))
                activate({core, *connection, requestId, request.requestHeader, core.clock.utcNow()},
                         request);
        });
}

void serveCloseSession(const ServiceCall& call, const CloseSessionRequest&)
{
    StatusCode failure;
    ServerSession* session =
        call.core.boundSession(call.header.authenticationToken, call.connection.id(), failure);
    if (!session)
        return call.fault(failure);
    logEvent(LogLevel::Info, call.connection.peer(),
             "session " + toString(session->sessionId) + " closed by its client");
    call.core.closeSession(*session, status::BadSessionClosed);
    call.reply(call.answer<CloseSessionResponse>());
}

} // namespace opcua
