#include "opcua/client/clientinternal.h"
#include "text/printable.h"

namespace opcua {

using std::chrono::milliseconds;

void Client::connect()
{
    ++m_stats.connectAttempts;
    ++m_generation;
    m_serverCertificateChanged = false;
    const uint64_t generation = m_generation;
    setState(State::Connecting);
    try {
        m_channel = ChannelEndpoint(ChannelSide::Client, m_settings.receiveBufferSize,
                                    m_secured ? channelSecurityFor(*m_secured) : ChannelSecurity{});
    } catch (const Error& error) {
        lose(error.status(), error.what());
        return;
    }
    m_stream = m_streams ? m_streams(m_settings.endpoint.host, m_settings.endpoint.port) : nullptr;
    if (!m_stream) {
        lose(status::BadNotConnected, "no stream could be made");
        return;
    }
    Stream::Handlers handlers;
    handlers.connected = [this, generation] {
        if (generation == m_generation)
            onConnected();
    };
    handlers.received = [this, generation](ByteView bytes) {
        if (generation == m_generation)
            onReceived(bytes);
    };
    handlers.closed = [this, generation](StatusCode status, const std::string& reason) {
        if (generation == m_generation)
            lose(status, "the connection closed: " + reason);
    };
    m_stream->setHandlers(std::move(handlers));
    m_phaseTimer = m_clock.start(m_settings.requestTimeout, [this] {
        m_phaseTimer = 0;
        lose(status::BadTimeout, "no answer to the connection within " +
                                     std::to_string(m_settings.requestTimeout.count()) + " ms");
    });
}

void Client::onConnected()
{
    if (m_state != State::Connecting)
        return;
    setState(State::Handshaking);
    sendHello();
}

void Client::sendHello()
{
    m_hello = HelloMessage{};
    m_hello.protocolVersion = kProtocolVersion;
    m_hello.receiveBufferSize = m_settings.receiveBufferSize;
    m_hello.sendBufferSize = m_settings.sendBufferSize;
    m_hello.maxMessageSize = m_settings.maxMessageSize;
    m_hello.maxChunkCount = m_settings.maxChunkCount;
    m_hello.endpointUrl = String(m_settings.endpoint.url);
    const ByteBuffer bytes = encodeHello(m_hello);
    m_stream->write(bytes);
}

void Client::onReceived(ByteView bytes)
{
    const uint64_t generation = m_generation;
    try {
        m_channel.feed(bytes);
        while (generation == m_generation) {
            auto input = m_channel.next();
            if (!input)
                break;
            if (const auto* chunk = std::get_if<RawChunk>(&*input))
                onHandshake(*chunk);
            else
                onMessage(std::get<AssembledMessage>(std::move(*input)));
        }
    } catch (const Error& error) {
        if (generation == m_generation)
            lose(error.status(), error.what());
    } catch (const std::exception& error) {
        if (generation == m_generation)
            lose(status::BadInternalError, error.what());
    }
}

void Client::onHandshake(const RawChunk& chunk)
{
    switch (chunk.header.type) {
    case MessageType::Acknowledge:
        break;
    case MessageType::Error: {
        const ErrorMessage error = decodeError(chunk.bytes);
        throw ChannelError(
            failureStatus(error.error),
            "the server sent an error: " + statusName(error.error) +
                (error.reason.isEmpty() ? "" : " (" + text::printable(error.reason.str()) + ")"));
    }
    case MessageType::Hello:
    case MessageType::ReverseHello:
    case MessageType::OpenSecureChannel:
    case MessageType::Message:
    case MessageType::CloseSecureChannel:
        throw ChannelError(status::BadTcpMessageTypeInvalid,
                           "the server sent " + std::string(messageTypeName(chunk.header.type)));
    }
    if (m_state != State::Handshaking)
        throw ChannelError(status::BadTcpMessageTypeInvalid,
                           "an Acknowledge arrived outside the handshake");
    m_channel.setLimits(clientLimits(m_hello, decodeAcknowledge(chunk.bytes)));
    cancelTimer(m_phaseTimer);
    openChannel(SecurityTokenRequestType::Issue);
}

void Client::onMessage(AssembledMessage message)
{
    if (message.type == MessageType::CloseSecureChannel)
        throw ChannelError(status::BadSecureChannelClosed, "the server closed the secure channel");
    auto it = m_pending.find(message.requestId);
    if (it == m_pending.end()) {
        lcClient.debug("ignoring an answer to unknown request " +
                       std::to_string(message.requestId));
        return;
    }
    Pending pending = std::move(it->second);
    m_pending.erase(it);
    m_clock.cancel(pending.timer);

    if (message.aborted) {
        pending.onFailure(message.abortError,
                          "the server abandoned its answer to " + pending.service + ": " +
                              statusName(message.abortError) +
                              (message.abortReason.isEmpty()
                                   ? ""
                                   : " (" + text::printable(message.abortReason.str()) + ")"));
        return;
    }
    ServiceMessage response;
    try {
        response = decodeServiceMessage(message.body);
    } catch (const UnsupportedServiceError& error) {
        pending.onFailure(status::BadUnknownResponse, error.what());
        return;
    }
    const StatusCode result = serviceResultOf(response);
    const uint64_t generation = m_generation;
    pending.onResponse(response);
    if (generation == m_generation && pending.kind != RequestKind::Resume && isFatal(result))
        lose(result, pending.service + " was answered with " + statusName(result));
}

void Client::send(ServiceMessage request, ResponseHandler onResponse, FailureHandler onFailure,
                  milliseconds timeout, RequestKind kind)
{
    const bool isOpen = std::holds_alternative<OpenSecureChannelRequest>(request);
    RequestHeader* header = requestHeaderOf(request);
    header->authenticationToken = isOpen ? NodeId() : m_authenticationToken;
    header->timestamp = m_clock.utcNow();
    header->requestHandle = m_nextRequestHandle++;
    header->timeoutHint = uint32_t(std::clamp<milliseconds::rep>(timeout.count(), 0, UINT32_MAX));
    const uint32_t requestId = m_nextRequestId++;

    Pending pending;
    pending.kind = kind;
    pending.service = std::string(serviceName(request));
    pending.onResponse = std::move(onResponse);
    pending.onFailure = std::move(onFailure);
    pending.timer = m_clock.start(timeout, [this, requestId, timeout] {
        auto it = m_pending.find(requestId);
        if (it == m_pending.end())
            return;
        Pending expired = std::move(it->second);
        m_pending.erase(it);
        const std::string reason = "no answer to " + expired.service + " within " +
                                   std::to_string(timeout.count()) + " ms";
        if (expired.kind == RequestKind::Publish) {
            // Publish answers are the heartbeat of the link; one that never comes means the
            // server is gone.
            lose(status::BadTimeout, reason);
            return;
        }
        expired.onFailure(status::BadTimeout, reason);
    });
    auto [it, inserted] = m_pending.emplace(requestId, std::move(pending));
    (void)inserted;

    try {
        sendMessage(isOpen ? MessageType::OpenSecureChannel : MessageType::Message, request,
                    requestId);
    } catch (const Error& error) {
        // Too large to send, or not encodable: that request fails, the link stays.
        m_clock.cancel(it->second.timer);
        auto failure = std::move(it->second.onFailure);
        m_pending.erase(it);
        const StatusCode status = error.status();
        const std::string reason = error.what();
        m_clock.start(milliseconds(0), [failure, status, reason] { failure(status, reason); });
    }
}

void Client::sendCloseChannel()
{
    if (!m_stream || !m_stream->isOpen() || !m_channel.isOpen())
        return;
    try {
        CloseSecureChannelRequest bye;
        bye.requestHeader.timestamp = m_clock.utcNow();
        sendMessage(MessageType::CloseSecureChannel, bye, m_nextRequestId++);
    } catch (const std::exception&) {
        // The channel closes with the stream anyway.
    }
}

void Client::sendMessage(MessageType type, const ServiceMessage& request, uint32_t requestId)
{
    m_channel.send(*m_stream, type, requestId, request);
}

void Client::openChannel(SecurityTokenRequestType type)
{
    if (type == SecurityTokenRequestType::Issue)
        setState(State::OpeningChannel);
    else
        m_renewing = true;
    OpenSecureChannelRequest request;
    request.clientProtocolVersion = kProtocolVersion;
    request.requestType = type;
    request.securityMode = m_channel.security().mode;
    m_channelNonce = m_channel.newNonce();
    request.clientNonce = m_channelNonce;
    request.requestedLifetime = m_settings.requestedTokenLifetimeMs;
    auto onFailure = [this, type](StatusCode status, const std::string& reason) {
        lose(status, std::string(type == SecurityTokenRequestType::Issue ? "opening" : "renewing") +
                         " the secure channel failed: " + reason);
    };
    send(std::move(request),
         expect<OpenSecureChannelResponse>(
             [this, type](OpenSecureChannelResponse& response) { onChannelOpened(response, type); },
             onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::onChannelOpened(const OpenSecureChannelResponse& response,
                             SecurityTokenRequestType type)
{
    if (type == SecurityTokenRequestType::Renew &&
        response.securityToken.channelId != m_token.channelId) {
        lose(status::BadSecureChannelIdInvalid, "the renewed token names another channel");
        return;
    }
    m_token = response.securityToken;
    const TokenNonces nonces{m_channelNonce.bytes(), response.serverNonce.bytes()};
    if (type == SecurityTokenRequestType::Renew)
        m_channel.renew(m_token.tokenId, nonces);
    else
        m_channel.open(m_token.channelId, m_token.tokenId, nonces);
    cancelTimer(m_renewTimer);
    if (m_token.revisedLifetime > 0) {
        // Renewing at three quarters of the lifetime leaves a quarter for the answer.
        const milliseconds due(uint64_t(m_token.revisedLifetime) * 3 / 4);
        m_renewTimer = m_clock.start(due, [this] {
            m_renewTimer = 0;
            if (m_channel.isOpen() && m_state != State::Closing)
                openChannel(SecurityTokenRequestType::Renew);
        });
    }
    if (type == SecurityTokenRequestType::Renew) {
        m_renewing = false;
        ++m_stats.channelRenewals;
        if (lcClient.enabled(LogLevel::Debug))
            lcClient.debug("secure channel " + std::to_string(m_token.channelId) +
                           " renewed, token " + std::to_string(m_token.tokenId) + " for " +
                           std::to_string(m_token.revisedLifetime) + " ms");
        return;
    }
    ++m_stats.channelsOpened;
    if (needsDiscovery() && !m_secured)
        discoverEndpoints();
    else
        startSession();
}

bool Client::needsDiscovery() const
{
    return m_settings.security.mode != MessageSecurityMode::None ||
           !m_settings.security.userName.empty();
}

void Client::discoverEndpoints()
{
    setState(State::Discovering);
    GetEndpointsRequest request;
    request.endpointUrl = String(m_settings.endpoint.url);
    auto onFailure = [this](StatusCode status, const std::string& reason) {
        lose(status, "GetEndpoints failed: " + reason);
    };
    send(
        std::move(request),
        expect<GetEndpointsResponse>(
            [this](GetEndpointsResponse& response) { onEndpoints(response.endpoints); }, onFailure),
        onFailure, m_settings.requestTimeout);
}

void Client::onEndpoints(const std::vector<EndpointDescription>& endpoints)
{
    try {
        const EndpointDescription& chosen = chooseEndpoint(endpoints, m_settings.security);
        const pki::PkiFolder folder(m_settings.security.pkiFolder);
        m_secured = SecuredEndpoint{
            chosen, connectionCertificates(chosen, folder, applicationIdentity(), m_clock)};
        logOwnCertificate();
    } catch (const ServerCertificateChanged& error) {
        m_serverCertificateChanged = true;
        lose(error.status(), error.what());
        return;
    } catch (const Error& error) {
        lose(error.status(), error.what());
        return;
    }
    // The secured channel needs a connection of its own; this one has done its part.
    sendCloseChannel();
    tearDown();
    m_reconnectTimer = m_clock.start(milliseconds(0), [this] {
        m_reconnectTimer = 0;
        connect();
    });
}

} // namespace opcua
