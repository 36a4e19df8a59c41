#include "opcua/server/connection.h"

#include "opcua/securitymode.h"
#include "opcua/server/servercore.h"

#include <algorithm>

namespace opcua {

using std::chrono::milliseconds;

ServerConnection::ServerConnection(ServerCore& core, uint64_t id, std::unique_ptr<Stream> stream,
                                   PeerAddress peer)
    : m_core(core), m_id(id), m_peer(std::move(peer)), m_stream(std::move(stream)),
      m_channel(std::max<uint32_t>(core.settings.receiveBufferSize, kMinBufferSize),
                [this](const AsymmetricSecurityHeader& header) { return acceptChannel(header); }),
      m_unfinishedDeadline(core.clock, [this] {
          closeWithError(status::BadTimeout, "a message was left unfinished");
      })
{
    Stream::Handlers handlers;
    handlers.received = [this](ByteView bytes) { received(bytes); };
    handlers.closed = [this](StatusCode, const std::string&) { shutDown(); };
    m_stream->setHandlers(std::move(handlers));
    armHandshakeTimer(m_core.settings.helloTimeout);
}

ServerConnection::~ServerConnection()
{
    for (TimerId timer : {m_handshakeTimer, m_tokenTimer}) {
        if (timer)
            m_core.clock.cancel(timer);
    }
    m_stream->setHandlers({});
    if (m_stream->isOpen())
        m_stream->close();
}

void ServerConnection::shutDown()
{
    if (m_state == ConnectionState::Closed)
        return;
    if (m_state == ConnectionState::Open)
        logEvent(LogLevel::Info, m_peer,
                 "channel " + std::to_string(m_channel.channelId()) + " closed");
    m_state = ConnectionState::Closed;
    if (m_stream->isOpen())
        m_stream->close();
    m_core.dropConnection(m_id);
}

void ServerConnection::closeWithError(StatusCode status, const std::string& reason)
{
    if (m_state == ConnectionState::Closed)
        return;
    if (!m_closeReported)
        logEvent(LogLevel::Info, m_peer,
                 "connection closed with " + statusName(status) + ": " + reason);
    if (m_stream->isOpen()) {
        ErrorMessage error;
        error.error = status;
        if (m_core.hasActivatedSession(m_id))
            error.reason = String(reason.substr(0, kMaxErrorReasonLength));
        m_stream->write(encodeError(error));
    }
    shutDown();
}

void ServerConnection::received(ByteView bytes)
{
    if (m_state == ConnectionState::Closed)
        return;
    try {
        m_channel.feed(bytes);
        bool completedAny = false;
        while (m_state != ConnectionState::Closed) {
            auto input = m_channel.next();
            if (!input)
                break;
            completedAny = true;
            if (const auto* chunk = std::get_if<RawChunk>(&*input))
                handleHandshake(*chunk);
            else
                handleMessage(std::get<AssembledMessage>(*input));
        }
        watchUnfinishedInput(completedAny);
    } catch (const Error& e) {
        closeWithError(e.status(), e.what());
    } catch (const std::exception& e) {
        closeWithError(status::BadInternalError, e.what());
    }
}

// Secured channels cost private-key work before anything about the peer is known, so their
// rate is bounded per address before that work starts.
ChannelSecurity ServerConnection::acceptChannel(const AsymmetricSecurityHeader& header)
{
    const bool secured = header.securityPolicyUri.str() != kSecurityPolicyNone;
    if (secured && !m_core.guard.allowSecureOpen(m_peer.host)) {
        if (const uint64_t refused = m_core.guard.refusedOpensToReport(m_peer.host))
            logEvent(LogLevel::Warning, m_peer,
                     "rate limit: " + std::to_string(refused) +
                         " secured channel opens refused since the last report");
        m_closeReported = true;
        throw ChannelError(status::BadTcpServerTooBusy,
                           "too many secured channels opened from this address");
    }
    return opcua::acceptChannel(m_core.settings.security, header);
}

void ServerConnection::handleHandshake(const RawChunk& chunk)
{
    switch (chunk.header.type) {
    case MessageType::Hello:
        if (m_state != ConnectionState::AwaitingHello)
            throw ChannelError(status::BadTcpMessageTypeInvalid, "a second Hello");
        handleHello(chunk);
        return;
    case MessageType::Acknowledge:
    case MessageType::Error:
    case MessageType::ReverseHello:
    case MessageType::OpenSecureChannel:
    case MessageType::Message:
    case MessageType::CloseSecureChannel:
        break;
    }
    throw ChannelError(status::BadTcpMessageTypeInvalid,
                       std::string(messageTypeName(chunk.header.type)) +
                           " is not sent to a server");
}

void ServerConnection::handleHello(const RawChunk& chunk)
{
    const HelloMessage hello = decodeHello(chunk.bytes);
    TransportLimits wishes;
    wishes.receiveBufferSize = m_core.settings.receiveBufferSize;
    wishes.sendBufferSize = m_core.settings.sendBufferSize;
    wishes.maxMessageSize = m_core.settings.maxMessageSize;
    wishes.maxChunkCount = m_core.settings.maxChunkCount;
    const AcknowledgeMessage ack = negotiate(hello, wishes);
    // What this side sends is bounded by what the client said it receives.
    m_channel.setLimits(serverLimits(hello, ack));
    m_endpointUrl = hello.endpointUrl.str();
    m_state = ConnectionState::AwaitingOpen;
    armHandshakeTimer(m_core.settings.openTimeout);
    m_stream->write(encodeAcknowledge(ack));
}

void ServerConnection::handleMessage(const AssembledMessage& message)
{
    if (message.aborted)
        return; // the client gave the request up; there is nothing to answer
    switch (message.type) {
    case MessageType::OpenSecureChannel:
        handleOpen(message);
        return;
    case MessageType::CloseSecureChannel:
        shutDown();
        return;
    case MessageType::Message:
        handleRequest(message);
        return;
    case MessageType::Hello:
    case MessageType::Acknowledge:
    case MessageType::Error:
    case MessageType::ReverseHello:
        break;
    }
    throw ChannelError(status::BadTcpMessageTypeInvalid, "unexpected message type");
}

void ServerConnection::handleOpen(const AssembledMessage& message)
{
    ServiceMessage decoded = decodeServiceMessage(message.body);
    auto* request = std::get_if<OpenSecureChannelRequest>(&decoded);
    if (!request)
        throw ChannelError(status::BadTcpMessageTypeInvalid,
                           "an OPN chunk must carry OpenSecureChannel");
    const bool issue = request->requestType == SecurityTokenRequestType::Issue;
    if (issue && m_state != ConnectionState::AwaitingOpen)
        throw ChannelError(status::BadTcpSecureChannelUnknown, "the channel is open already");
    if (!issue && request->requestType != SecurityTokenRequestType::Renew)
        throw ChannelError(status::BadRequestTypeInvalid, "unknown token request type");
    if (!issue && m_state != ConnectionState::Open)
        throw ChannelError(status::BadTcpSecureChannelUnknown, "no channel to renew");

    const ServerSettings& settings = m_core.settings;
    uint32_t lifetime = request->requestedLifetime == 0 ? settings.defaultTokenLifetimeMs
                                                        : request->requestedLifetime;
    lifetime = std::clamp(lifetime, settings.minTokenLifetimeMs, settings.maxTokenLifetimeMs);
    if (!settings.security.opens(*m_channel.security().policy, request->securityMode))
        throw ChannelError(status::BadSecurityModeRejected,
                           "security mode " + std::to_string(int(request->securityMode)) +
                               " is not offered with " +
                               std::string(m_channel.security().policy->name));
    m_channel.setSecurityMode(request->securityMode);
    const ByteString serverNonce = m_channel.newNonce();
    const TokenNonces nonces{request->clientNonce.bytes(), serverNonce.bytes()};
    const uint32_t token = m_core.newTokenId();
    if (issue)
        m_channel.open(m_core.newChannelId(), token, nonces);
    else
        m_channel.renew(token, nonces);
    if (issue)
        logEvent(LogLevel::Info, m_peer,
                 "channel " + std::to_string(m_channel.channelId()) +
                     " opened: " + std::string(m_channel.security().policy->name) + ", " +
                     std::string(securityModeName(request->securityMode)));
    m_state = ConnectionState::Open;
    if (m_handshakeTimer) {
        m_core.clock.cancel(m_handshakeTimer);
        m_handshakeTimer = 0;
    }
    armTokenTimer(lifetime);

    OpenSecureChannelResponse response;
    response.responseHeader.timestamp = m_core.clock.utcNow();
    response.responseHeader.requestHandle = request->requestHeader.requestHandle;
    response.securityToken.channelId = m_channel.channelId();
    response.securityToken.tokenId = token;
    response.securityToken.createdAt = m_core.clock.utcNow();
    response.securityToken.revisedLifetime = lifetime;
    response.serverNonce = serverNonce;
    send(message.requestId, response, MessageType::OpenSecureChannel);
}

void ServerConnection::armHandshakeTimer(milliseconds delay)
{
    if (m_handshakeTimer)
        m_core.clock.cancel(m_handshakeTimer);
    m_handshakeTimer = m_core.clock.start(delay, [this] {
        m_handshakeTimer = 0;
        handshakeTimedOut();
    });
}

void ServerConnection::handshakeTimedOut()
{
    switch (m_state) {
    case ConnectionState::AwaitingHello:
        closeWithError(status::BadTimeout, "no Hello received in time");
        return;
    case ConnectionState::AwaitingOpen:
        closeWithError(status::BadTimeout, "no OpenSecureChannel request received in time");
        return;
    case ConnectionState::Open:
    case ConnectionState::Closed:
        return;
    }
}

// A peer that leaves part of a chunk or of a message unsent holds buffers and its place: the
// deadline starts when input is left unfinished and starts again with each message that
// completes, so only a peer that stalls is cut, not one sending large messages back to back.
void ServerConnection::watchUnfinishedInput(bool completedAny)
{
    const bool unfinished = m_channel.hasUnfinishedInput();
    if (!unfinished)
        m_unfinishedDeadline.cancel();
    else if (!m_unfinishedInput || completedAny)
        m_unfinishedDeadline.restart(m_core.settings.messageTimeout);
    m_unfinishedInput = unfinished;
}

// A token not renewed within its lifetime (plus the customary quarter) ends the channel.
void ServerConnection::armTokenTimer(uint32_t lifetimeMs)
{
    if (m_tokenTimer)
        m_core.clock.cancel(m_tokenTimer);
    m_tokenTimer = m_core.clock.start(milliseconds(int64_t(lifetimeMs) * 5 / 4), [this] {
        m_tokenTimer = 0;
        closeWithError(status::BadSecureChannelClosed, "the security token expired");
    });
}

void ServerConnection::handleRequest(const AssembledMessage& message)
{
    const auto prefix = peekRequestHeader(message.body);
    if (!prefix)
        throw DecodeError(status::BadDecodingError, "the request header does not decode");
    ServiceMessage request;
    try {
        request = decodeServiceMessage(message.body);
    } catch (const DecodeError& e) {
        // Also UnsupportedServiceError: BadServiceUnsupported.
        sendFault(message.requestId, prefix->requestHeader.requestHandle, e.status());
        return;
    }
    if (!requestHeaderOf(request)) {
        sendFault(message.requestId, prefix->requestHeader.requestHandle,
                  status::BadServiceUnsupported);
        return;
    }
    if (std::holds_alternative<OpenSecureChannelRequest>(request) ||
        std::holds_alternative<CloseSecureChannelRequest>(request)) {
        throw ChannelError(status::BadTcpMessageTypeInvalid,
                           "channel requests belong in OPN and CLO chunks");
    }
    m_core.dispatch(*this, message.requestId, request);
}

void ServerConnection::send(uint32_t requestId, const ServiceMessage& response, MessageType type)
{
    if (m_state == ConnectionState::Closed || !m_stream->isOpen())
        return;
    try {
        m_channel.send(*m_stream, type, requestId, response);
    } catch (const ChannelError& e) {
        const ResponseHeader* header = responseHeaderOf(response);
        if (std::holds_alternative<ServiceFault>(response) || !header)
            closeWithError(e.status(), e.what());
        else
            sendFault(requestId, header->requestHandle, e.status());
    } catch (const Error& e) {
        closeWithError(e.status(), e.what());
    } catch (const std::exception& e) {
        closeWithError(status::BadInternalError, e.what());
    }
}

void ServerConnection::sendFault(uint32_t requestId, uint32_t requestHandle, StatusCode status)
{
    ServiceFault fault;
    fault.responseHeader.timestamp = m_core.clock.utcNow();
    fault.responseHeader.requestHandle = requestHandle;
    fault.responseHeader.serviceResult = status;
    ++m_core.counters.rejectedRequests;
    send(requestId, fault);
}

} // namespace opcua
