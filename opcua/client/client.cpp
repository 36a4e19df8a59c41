#include "opcua/client/client.h"

#include "opcua/nodeid.h"
#include "opcua/security/crypto.h"
#include "text/printable.h"

#include <QLoggingCategory>
#include <QString>
#include <algorithm>
#include <array>
#include <cmath>

Q_LOGGING_CATEGORY(lcClient, "servo.opcua.client")

namespace opcua {

namespace {

using std::chrono::milliseconds;

// A session's subscription outlives this long without publish requests, whatever the interval.
constexpr milliseconds kSubscriptionLifetime{10000};
// The nonce length servers expect in CreateSession, even without security.
constexpr size_t kNonceLength = 32;
// The longest keep-alive period the client plans its timers with, whatever the server granted.
constexpr milliseconds kMaxKeepAlivePeriod = std::chrono::hours(24);

// The most notification messages Republish recovers after an outage. A server keeps only a few
// for retransmission; the bound stops one that answers every Republish.
constexpr int kMaxRepublished = 100;

// Statuses that say the server no longer has the session: the next channel needs a new one.
constexpr std::array kSessionGoneStatuses{
    status::BadSessionIdInvalid,
    status::BadSessionClosed,
    status::BadSessionNotActivated,
};

// Statuses by which a server refuses this client's certificate when a secured channel opens.
constexpr std::array kCertificateRefusedStatuses{
    status::BadSecurityChecksFailed,
    status::BadCertificateUntrusted,
};

// Statuses by which a server refuses the user name or password of an activation.
constexpr std::array kPasswordRefusedStatuses{
    status::BadUserAccessDenied,
    status::BadIdentityTokenRejected,
};

// Statuses that say the session or the channel is gone: nothing more can be sent on them.
constexpr std::array kFatalStatuses{
    status::BadSessionIdInvalid,
    status::BadSessionClosed,
    status::BadSessionNotActivated,
    status::BadSecureChannelIdInvalid,
    status::BadSecureChannelClosed,
    status::BadSecureChannelTokenUnknown,
    status::BadTcpSecureChannelUnknown,
    status::BadServerHalted,
    status::BadShutdown,
    status::BadCommunicationError,
    status::BadConnectionClosed,
    status::BadNotConnected,
    status::BadServerNotConnected,
    status::BadSequenceNumberInvalid,
};

template <size_t N> bool isOneOf(const std::array<StatusCode, N>& statuses, StatusCode status)
{
    return std::any_of(statuses.begin(), statuses.end(),
                       [status](StatusCode listed) { return status.sameCode(listed); });
}

// Sequence numbers of notification messages skip 0 when they wrap.
uint32_t nextSequence(uint32_t sequenceNumber)
{
    return sequenceNumber == UINT32_MAX ? 1 : sequenceNumber + 1;
}

// Data types of namespace 0 that are not built-in but always encode as one.
struct DerivedType
{
    uint32_t id;
    BuiltinType builtin;
};
constexpr std::array kDerivedTypes{
    DerivedType{ids::Enumeration, BuiltinType::Int32},
    DerivedType{ids::IntegerId, BuiltinType::UInt32},
    DerivedType{ids::Counter, BuiltinType::UInt32},
    DerivedType{ids::Duration, BuiltinType::Double},
    DerivedType{ids::UtcTime, BuiltinType::DateTime},
    DerivedType{ids::LocaleId, BuiltinType::String},
};

// The built-in type a DataType node id names, or nullopt for abstract and structured types.
// i=24 is the abstract BaseDataType, not the Variant encoding that shares its number.
std::optional<BuiltinType> builtinTypeOf(const NodeId& dataType)
{
    if (dataType.namespaceIndex != 0 || dataType.identifierType() != IdentifierType::Numeric)
        return std::nullopt;
    const uint32_t id = dataType.numeric();
    if (id >= 1 && id <= 25 && id != ids::BaseDataType)
        return BuiltinType(id);
    for (const auto& derived : kDerivedTypes) {
        if (derived.id == id)
            return derived.builtin;
    }
    return std::nullopt;
}

// The application URI of the server whose endpoints these are; empty when none names it.
String applicationUriOf(const std::vector<EndpointDescription>& endpoints)
{
    for (const auto& endpoint : endpoints) {
        if (!endpoint.server.applicationUri.isEmpty())
            return endpoint.server.applicationUri;
    }
    return String();
}

// The policy id of the anonymous identity token the server offers without security.
String anonymousPolicyOf(const std::vector<EndpointDescription>& endpoints)
{
    for (const auto& endpoint : endpoints) {
        if (endpoint.securityMode != MessageSecurityMode::None)
            continue;
        for (const auto& token : endpoint.userIdentityTokens) {
            if (token.tokenType == UserTokenType::Anonymous)
                return token.policyId;
        }
    }
    return String("anonymous");
}

// How long the server may stay silent: its revised publishing interval times its keep-alive
// count. Both are the server's numbers and may be anything (NaN, infinite, negative, huge); the
// period is kept between 0 and kMaxKeepAlivePeriod so that the timers built on it stay in range.
milliseconds keepAlivePeriodOf(double publishingIntervalMs, uint32_t keepAliveCount)
{
    const double period = std::ceil(publishingIntervalMs * double(keepAliveCount));
    if (!(period > 0.0))
        return milliseconds(0);
    return milliseconds(int64_t(std::min(period, double(kMaxKeepAlivePeriod.count()))));
}

StatusCode serviceResultOf(const ServiceMessage& message)
{
    const ResponseHeader* header = responseHeaderOf(message);
    return header ? header->serviceResult : status::Good;
}

std::string describeStatus(StatusCode status)
{
    return statusName(status);
}

} // namespace

std::string_view Client::stateName(State state)
{
    switch (state) {
    case State::Stopped:
        return "stopped";
    case State::Connecting:
        return "connecting";
    case State::Handshaking:
        return "handshaking";
    case State::OpeningChannel:
        return "opening channel";
    case State::Discovering:
        return "discovering endpoints";
    case State::CreatingSession:
        return "creating session";
    case State::ActivatingSession:
        return "activating session";
    case State::ResumingSession:
        return "resuming session";
    case State::ReadingNamespaces:
        return "reading namespaces";
    case State::CreatingSubscription:
        return "creating subscription";
    case State::Republishing:
        return "republishing";
    case State::Running:
        return "running";
    case State::Closing:
        return "closing";
    case State::WaitingToReconnect:
        return "waiting to reconnect";
    }
    return "unknown";
}

Client::Client(ClientSettings settings, StreamFactory streams, Clock& clock, Listener& listener,
               ReconnectBackoff::Random random)
    : m_settings(std::move(settings)), m_streams(std::move(streams)), m_clock(clock),
      m_listener(listener), m_backoff(std::move(random)),
      m_channel(ChannelSide::Client, m_settings.receiveBufferSize)
{}

Client::~Client()
{
    cancelTimer(m_reconnectTimer);
    cancelTimer(m_retireTimer);
    if (m_stream && m_stream->isOpen() && m_channel.isOpen() && !m_authenticationToken.isNull()) {
        // Nothing waits for answers here: the server is told the session and the channel end,
        // and cleans up after itself if the words never reach it.
        try {
            CloseSessionRequest close;
            close.requestHeader.authenticationToken = m_authenticationToken;
            close.requestHeader.timestamp = m_clock.utcNow();
            close.requestHeader.requestHandle = m_nextRequestHandle++;
            sendMessage(MessageType::Message, close, m_nextRequestId++);
        } catch (const std::exception&) {
            // The link is being dropped anyway.
        }
    }
    sendCloseChannel();
    tearDown();
    cancelTimer(m_retireTimer);
}

int Client::addItem(ExpandedNodeId node)
{
    Item item;
    item.node = std::move(node);
    m_items.push_back(std::move(item));
    if (m_state == State::Running)
        bindItems();
    return int(m_items.size()) - 1;
}

void Client::start()
{
    if (m_state != State::Stopped)
        return;
    m_outageReported = false;
    m_everRunning = false;
    m_backoff.reset();
    m_refusedPassword.reset();
    setState(State::WaitingToReconnect);
    m_reconnectTimer = m_clock.start(milliseconds(0), [this] {
        m_reconnectTimer = 0;
        connect();
    });
}

void Client::stop()
{
    switch (m_state) {
    case State::Stopped:
    case State::Closing:
        return;
    case State::Running:
    case State::ReadingNamespaces:
    case State::CreatingSubscription:
    case State::Republishing:
        break;
    case State::Connecting:
    case State::Handshaking:
    case State::OpeningChannel:
    case State::Discovering:
    case State::CreatingSession:
    case State::ActivatingSession:
    case State::ResumingSession:
    case State::WaitingToReconnect:
        // A session kept for the next channel is left to time out on the server.
        finishClose();
        return;
    }
    setState(State::Closing);
    cancelTimer(m_keepAliveTimer);
    if (m_subscriptionId == 0) {
        closeSession();
        return;
    }
    DeleteSubscriptionsRequest request;
    request.subscriptionIds = {m_subscriptionId};
    send(
        std::move(request), [this](ServiceMessage&) { closeSession(); },
        [this](StatusCode, const std::string&) { closeSession(); }, m_settings.requestTimeout);
}

void Client::closeSession()
{
    if (m_state != State::Closing)
        return;
    CloseSessionRequest request;
    request.deleteSubscriptions = true;
    send(
        std::move(request), [this](ServiceMessage&) { finishClose(); },
        [this](StatusCode, const std::string&) { finishClose(); }, m_settings.requestTimeout);
}

void Client::finishClose()
{
    cancelTimer(m_reconnectTimer);
    sendCloseChannel();
    auto failures = tearDown();
    m_secured.reset();
    forgetSession();
    setState(State::Stopped);
    for (auto& failure : failures)
        failure(status::BadConnectionClosed, "the client stopped");
}

std::optional<BuiltinType> Client::itemType(int item) const
{
    if (item < 0 || item >= int(m_items.size()))
        return std::nullopt;
    const Item& it = m_items[size_t(item)];
    if (it.dataType) {
        if (auto declared = builtinTypeOf(*it.dataType))
            return declared;
    }
    return it.valueType;
}

std::optional<NodeId> Client::itemDataType(int item) const
{
    if (item < 0 || item >= int(m_items.size()))
        return std::nullopt;
    return m_items[size_t(item)].dataType;
}

bool Client::write(int item, Variant value, const WriteDone& done)
{
    if (m_state != State::Running || item < 0 || item >= int(m_items.size()) ||
        m_items[size_t(item)].state != ItemState::Monitored)
        return false;
    WriteRequest request;
    WriteValue target;
    target.nodeId = m_items[size_t(item)].resolved;
    target.attributeId = uint32_t(AttributeId::Value);
    target.value.value = std::move(value);
    request.nodesToWrite.push_back(std::move(target));
    auto onOk = [done](WriteResponse& response) {
        const StatusCode result =
            response.results.size() == 1 ? response.results[0] : status::BadUnknownResponse;
        if (done)
            done(result, result.isBad() ? describeStatus(result) : std::string());
    };
    auto onFailure = [done](StatusCode status, const std::string& reason) {
        if (done)
            done(status, reason);
    };
    send(std::move(request), expect<WriteResponse>(onOk, onFailure), onFailure,
         m_settings.requestTimeout, RequestKind::Write);
    return true;
}

void Client::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    const std::string_view name = stateName(state);
    qCInfo(lcClient).noquote() << QStringLiteral("%1: %2").arg(
        QString::fromStdString(m_settings.endpoint.url),
        QString::fromUtf8(name.data(), qsizetype(name.size())));
    m_listener.stateChanged(state);
}

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
            "the server sent an error: " + describeStatus(error.error) +
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
        qCDebug(lcClient) << "ignoring an answer to unknown request" << message.requestId;
        return;
    }
    Pending pending = std::move(it->second);
    m_pending.erase(it);
    m_clock.cancel(pending.timer);

    if (message.aborted) {
        pending.onFailure(message.abortError,
                          "the server abandoned its answer to " + pending.service + ": " +
                              describeStatus(message.abortError) +
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
        lose(result, pending.service + " was answered with " + describeStatus(result));
}

template <class Response, class OnOk>
Client::ResponseHandler Client::expect(OnOk onOk, FailureHandler onFailure)
{
    return [onOk = std::move(onOk), onFailure = std::move(onFailure)](ServiceMessage& message) {
        if (const auto* fault = std::get_if<ServiceFault>(&message)) {
            const StatusCode status = fault->responseHeader.serviceResult;
            onFailure(status.isBad() ? status : StatusCode(status::BadUnknownResponse),
                      "the server answered with a fault: " + describeStatus(status));
            return;
        }
        auto* response = std::get_if<Response>(&message);
        if (!response) {
            onFailure(status::BadUnknownResponse,
                      "the server answered with a " + std::string(serviceName(message)));
            return;
        }
        if (response->responseHeader.serviceResult.isBad()) {
            onFailure(response->responseHeader.serviceResult,
                      describeStatus(response->responseHeader.serviceResult));
            return;
        }
        onOk(*response);
    };
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
        qCDebug(lcClient) << "secure channel" << m_token.channelId << "renewed, token"
                          << m_token.tokenId << "for" << m_token.revisedLifetime << "ms";
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

// Once, so that the operator has the thumbprint to compare when trusting it on a server.
void Client::logOwnCertificate()
{
    if (m_ownCertificateLogged)
        return;
    m_ownCertificateLogged = true;
    const pki::OwnCertificate& own = m_secured->certificates.own;
    qCInfo(lcClient).noquote() << QStringLiteral("this client's certificate is %1, thumbprint %2")
                                      .arg(QString::fromStdString(own.certificateFile.string()),
                                           QString::fromStdString(own.certificate.thumbprintHex()));
}

pki::ApplicationIdentity Client::applicationIdentity() const
{
    pki::ApplicationIdentity identity;
    identity.applicationName = m_settings.applicationName.str();
    identity.applicationUri = m_settings.applicationUri.str();
    identity.hostName = pki::localHostName();
    return identity;
}

void Client::startSession()
{
    if (m_authenticationToken.isNull())
        createSession();
    else
        resumeSession();
}

void Client::createSession()
{
    setState(State::CreatingSession);
    CreateSessionRequest request;
    request.clientDescription.applicationUri = m_settings.applicationUri;
    request.clientDescription.productUri = m_settings.productUri;
    request.clientDescription.applicationName.text = m_settings.applicationName;
    request.clientDescription.applicationType = ApplicationType::Client;
    request.serverUri = m_serverUri;
    request.endpointUrl = String(m_settings.endpoint.url);
    request.sessionName = m_settings.sessionName;
    request.clientNonce = ByteString(security::randomBytes(kNonceLength));
    m_sessionNonce = request.clientNonce;
    if (m_secured) {
        request.clientCertificate = ByteString(m_secured->certificates.own.certificate.der());
        request.serverUri = m_secured->endpoint.server.applicationUri;
    }
    request.requestedSessionTimeout = m_settings.requestedSessionTimeoutMs;
    request.maxResponseMessageSize = m_settings.maxMessageSize;
    auto onFailure = [this](StatusCode status, const std::string& reason) {
        lose(status, "CreateSession failed: " + reason);
    };
    send(std::move(request),
         expect<CreateSessionResponse>(
             [this](CreateSessionResponse& response) { onSessionCreated(response); }, onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::onSessionCreated(const CreateSessionResponse& created)
{
    if (m_secured) {
        try {
            checkCreatedSession(*m_secured, created, m_sessionNonce.bytes(), m_settings.security);
        } catch (const Error& error) {
            lose(error.status(), "CreateSession: " + std::string(error.what()));
            return;
        }
    }
    ++m_stats.sessionsCreated;
    m_authenticationToken = created.authenticationToken;
    m_serverNonce = created.serverNonce;
    m_serverUri = applicationUriOf(created.serverEndpoints);
    m_anonymousPolicyId = anonymousPolicyOf(created.serverEndpoints);
    auto onFailure = [this](StatusCode status, const std::string& reason) {
        lose(status, "ActivateSession failed: " + reason);
    };
    activateSession(State::ActivatingSession,
                    expect<ActivateSessionResponse>(
                        [this](ActivateSessionResponse&) { readNamespaces(); }, onFailure),
                    onFailure, RequestKind::Internal);
}

void Client::activateSession(State state, ResponseHandler onResponse, FailureHandler onFailure,
                             RequestKind kind)
{
    setState(state);
    ActivateSessionRequest request;
    try {
        fillIdentity(request);
    } catch (const Error& error) {
        lose(error.status(), error.what());
        return;
    }
    auto keepNonce = [this, onResponse = std::move(onResponse)](ServiceMessage& message) {
        if (const auto* activated = std::get_if<ActivateSessionResponse>(&message))
            m_serverNonce = activated->serverNonce;
        onResponse(message);
    };
    send(std::move(request), std::move(keepNonce), std::move(onFailure), m_settings.requestTimeout,
         kind);
}

// Without discovery the session is anonymous and unsigned, with the token policy the server
// named when the session was created. The password file is read at each activation, so that
// a corrected one counts at the next attempt.
void Client::fillIdentity(ActivateSessionRequest& request)
{
    if (!m_secured) {
        request.userIdentityToken = packBody(AnonymousIdentityToken{m_anonymousPolicyId});
        return;
    }
    UserIdentity user{m_settings.security.userName, {}};
    if (!user.userName.empty()) {
        if (!m_settings.security.password)
            throw Error(status::BadConfigurationError,
                        "no password is configured for user \"" + user.userName + "\"");
        user.password = m_settings.security.password();
        m_sentPassword = passwordDigest(user.password);
    }
    authenticate(request, *m_secured, user, m_serverNonce.bytes());
}

// The session moves to the new channel with the same token. Any refusal by the server leads to
// a new session: retrying one it will not resume would lock the panel out.
void Client::resumeSession()
{
    auto onResumed = [this](ActivateSessionResponse&) {
        ++m_stats.sessionsResumed;
        if (m_namespaces.empty())
            readNamespaces();
        else
            subscribe();
    };
    auto onRefused = [this](StatusCode, const std::string& reason) { onResumeRefused(reason); };
    auto onNoAnswer = [this](StatusCode status, const std::string& reason) {
        lose(status, "resuming the session failed: " + reason);
    };
    activateSession(State::ResumingSession, expect<ActivateSessionResponse>(onResumed, onRefused),
                    onNoAnswer, RequestKind::Resume);
}

void Client::onResumeRefused(const std::string& reason)
{
    qCInfo(lcClient).noquote()
        << QStringLiteral("the server would not resume the session (%1); abandoning it for a new "
                          "one")
               .arg(QString::fromStdString(reason));
    forgetSession();
    createSession();
}

void Client::readNamespaces()
{
    setState(State::ReadingNamespaces);
    ReadRequest request;
    request.timestampsToReturn = TimestampsToReturn::Neither;
    ReadValueId namespaces;
    namespaces.nodeId = NodeId(0, ids::Server_NamespaceArray);
    namespaces.attributeId = uint32_t(AttributeId::Value);
    request.nodesToRead.push_back(namespaces);
    auto onFailure = [this](StatusCode status, const std::string& reason) {
        lose(status, "reading the namespace array failed: " + reason);
    };
    send(std::move(request),
         expect<ReadResponse>(
             [this](ReadResponse& response) {
                 m_namespaces.clear();
                 if (response.results.size() == 1 && response.results[0].value &&
                     !response.results[0].statusOrGood().isBad()) {
                     if (const auto* uris = response.results[0].value->elements<String>()) {
                         for (const auto& uri : *uris)
                             m_namespaces.push_back(uri.str());
                     }
                 }
                 subscribe();
             },
             onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::subscribe()
{
    if (m_subscriptionId == 0)
        createSubscription();
    else
        republish(nextSequence(m_lastSequence), kMaxRepublished);
}

void Client::createSubscription()
{
    setState(State::CreatingSubscription);
    const double interval = std::max(m_settings.publishingIntervalMs, 1.0);
    const auto keepAlive = uint32_t(
        std::clamp(std::ceil(double(m_settings.keepAlivePeriod.count()) / interval), 1.0, 10000.0));
    const auto lifetime = uint32_t(std::max(
        double(keepAlive) * 3, std::ceil(double(kSubscriptionLifetime.count()) / interval)));
    CreateSubscriptionRequest request;
    request.requestedPublishingInterval = m_settings.publishingIntervalMs;
    request.requestedMaxKeepAliveCount = keepAlive;
    request.requestedLifetimeCount = lifetime;
    request.maxNotificationsPerPublish = 0;
    request.publishingEnabled = true;
    auto onFailure = [this](StatusCode status, const std::string& reason) {
        lose(status, "CreateSubscription failed: " + reason);
    };
    send(std::move(request),
         expect<CreateSubscriptionResponse>(
             [this](CreateSubscriptionResponse& response) { onSubscriptionCreated(response); },
             onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::onSubscriptionCreated(const CreateSubscriptionResponse& response)
{
    ++m_stats.subscriptionsCreated;
    m_subscriptionId = response.subscriptionId;
    m_publishingInterval = response.revisedPublishingInterval;
    m_keepAliveCount = std::max<uint32_t>(response.revisedMaxKeepAliveCount, 1);
    m_publishTarget = std::max(m_settings.publishRequests, 1);
    m_lastSequence = 0;
    enterRunning();
}

// Asks for the notification messages after the last one delivered, one at a time and in order,
// before any Publish: a newer value must not arrive ahead of an older one.
void Client::republish(uint32_t sequenceNumber, int budget)
{
    if (budget == 0) {
        enterRunning();
        return;
    }
    setState(State::Republishing);
    RepublishRequest request;
    request.subscriptionId = m_subscriptionId;
    request.retransmitSequenceNumber = sequenceNumber;
    send(
        std::move(request),
        [this, sequenceNumber, budget](ServiceMessage& message) {
            onRepublished(sequenceNumber, budget, message);
        },
        [this](StatusCode status, const std::string& reason) {
            lose(status, "Republish failed: " + reason);
        },
        m_settings.requestTimeout, RequestKind::Resume);
}

void Client::onRepublished(uint32_t sequenceNumber, int budget, ServiceMessage& message)
{
    if (m_state != State::Republishing)
        return;
    const StatusCode result = serviceResultOf(message);
    auto* response = std::get_if<RepublishResponse>(&message);
    if (result.sameCode(status::BadSubscriptionIdInvalid) ||
        result.sameCode(status::BadNoSubscription)) {
        // The session outlived its subscription; the items are monitored anew.
        forgetSubscription();
        createSubscription();
        return;
    }
    if (isFatal(result)) {
        lose(result, "Republish was answered with " + describeStatus(result));
        return;
    }
    // BadMessageNotAvailable ends the catch-up, and so does any other refusal: what is missing
    // then stays missing, and the next change of each item brings its value.
    if (result.isBad() || !response ||
        response->notificationMessage.sequenceNumber != sequenceNumber) {
        enterRunning();
        return;
    }
    ++m_stats.republished;
    m_lastSequence = sequenceNumber;
    m_acks.push_back({m_subscriptionId, sequenceNumber});
    const uint64_t generation = m_generation;
    deliver(response->notificationMessage);
    if (generation == m_generation)
        republish(nextSequence(sequenceNumber), budget - 1);
}

void Client::enterRunning()
{
    m_backoff.reset();
    m_outageReported = false;
    m_everRunning = true;
    qCInfo(lcClient).noquote()
        << QStringLiteral("connected to %1: subscription %2, publishing every %3 ms, keep-alive "
                          "every %4 intervals")
               .arg(QString::fromStdString(m_settings.endpoint.url))
               .arg(m_subscriptionId)
               .arg(m_publishingInterval)
               .arg(m_keepAliveCount);
    setState(State::Running);
    restartKeepAliveTimer();
    bindItems();
    topUpPublish();
}

void Client::bindItems()
{
    std::vector<int> toRead;
    for (int i = 0; i < int(m_items.size()); ++i) {
        Item& item = m_items[size_t(i)];
        if (item.state != ItemState::Unbound)
            continue;
        try {
            item.resolved = resolve(item.node, m_namespaces);
        } catch (const NodeIdError& error) {
            rejectItem(i, error.status(), error.what());
            continue;
        }
        item.state = ItemState::Binding;
        toRead.push_back(i);
    }
    if (toRead.empty())
        return;

    ReadRequest request;
    request.timestampsToReturn = TimestampsToReturn::Neither;
    for (int i : toRead) {
        ReadValueId id;
        id.nodeId = m_items[size_t(i)].resolved;
        id.attributeId = uint32_t(AttributeId::DataType);
        request.nodesToRead.push_back(std::move(id));
    }
    auto onFailure = [this, toRead](StatusCode status, const std::string& reason) {
        for (int i : toRead)
            rejectItem(i, status, "reading its data type failed: " + reason);
    };
    send(std::move(request),
         expect<ReadResponse>(
             [this, toRead](ReadResponse& response) { onItemTypesRead(toRead, response); },
             onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::onItemTypesRead(const std::vector<int>& items, const ReadResponse& response)
{
    if (response.results.size() != items.size()) {
        for (int i : items)
            rejectItem(i, status::BadUnknownResponse,
                       "the server's Read answer has " + std::to_string(response.results.size()) +
                           " results for " + std::to_string(items.size()) + " items");
        return;
    }
    std::vector<int> toMonitor;
    for (size_t k = 0; k < items.size(); ++k) {
        const int i = items[k];
        const DataValue& result = response.results[k];
        const StatusCode status = result.statusOrGood();
        if (status.isBad()) {
            rejectItem(i, status, "reading its data type: " + describeStatus(status));
            continue;
        }
        Item& item = m_items[size_t(i)];
        item.dataType.reset();
        if (result.value) {
            if (auto dataType = result.value->scalar<NodeId>())
                item.dataType = *dataType;
        }
        toMonitor.push_back(i);
    }
    if (!toMonitor.empty())
        monitorItems(toMonitor);
}

void Client::monitorItems(const std::vector<int>& items)
{
    CreateMonitoredItemsRequest request;
    request.subscriptionId = m_subscriptionId;
    request.timestampsToReturn = m_settings.monitoredTimestamps;
    for (int i : items) {
        MonitoredItemCreateRequest create;
        create.itemToMonitor.nodeId = m_items[size_t(i)].resolved;
        create.itemToMonitor.attributeId = uint32_t(AttributeId::Value);
        create.monitoringMode = MonitoringMode::Reporting;
        create.requestedParameters.clientHandle = uint32_t(i);
        create.requestedParameters.samplingInterval = m_settings.samplingIntervalMs;
        create.requestedParameters.queueSize = 1;
        create.requestedParameters.discardOldest = true;
        request.itemsToCreate.push_back(std::move(create));
    }
    auto onFailure = [this, items](StatusCode status, const std::string& reason) {
        for (int i : items)
            rejectItem(i, status, "CreateMonitoredItems failed: " + reason);
    };
    send(std::move(request),
         expect<CreateMonitoredItemsResponse>(
             [this, items](CreateMonitoredItemsResponse& response) {
                 onItemsMonitored(items, response);
             },
             onFailure),
         onFailure, m_settings.requestTimeout);
}

void Client::onItemsMonitored(const std::vector<int>& items,
                              const CreateMonitoredItemsResponse& response)
{
    if (response.results.size() != items.size()) {
        for (int i : items)
            rejectItem(i, status::BadUnknownResponse,
                       "the server's CreateMonitoredItems answer does not match the request");
        return;
    }
    for (size_t k = 0; k < items.size(); ++k) {
        const int i = items[k];
        const auto& result = response.results[k];
        if (result.statusCode.isBad()) {
            rejectItem(i, result.statusCode,
                       "the server would not monitor it: " + describeStatus(result.statusCode));
            continue;
        }
        Item& item = m_items[size_t(i)];
        if (item.state == ItemState::Binding)
            item.state = ItemState::Monitored;
        item.monitoredItemId = result.monitoredItemId;
    }
}

void Client::rejectItem(int item, StatusCode status, const std::string& reason)
{
    Item& it = m_items[size_t(item)];
    if (it.state == ItemState::Rejected)
        return;
    it.state = ItemState::Rejected;
    qCWarning(lcClient).noquote() << QStringLiteral("item %1: %2")
                                         .arg(QString::fromStdString(toString(it.node)),
                                              QString::fromStdString(reason));
    m_listener.itemRejected(item, status, reason);
}

void Client::topUpPublish()
{
    const milliseconds period = keepAlivePeriodOf(m_publishingInterval, m_keepAliveCount);
    // The server holds each request until it has something to say; the last one in the queue
    // waits for all before it.
    const milliseconds timeout =
        period * (m_publishTarget + 1) + m_settings.keepAliveMargin + m_settings.requestTimeout;
    while (m_state == State::Running && m_publishOutstanding < m_publishTarget) {
        PublishRequest request;
        request.subscriptionAcknowledgements = std::move(m_acks);
        m_acks.clear();
        ++m_publishOutstanding;
        send(
            std::move(request),
            [this](ServiceMessage& response) {
                --m_publishOutstanding;
                onPublishResponse(response);
            },
            [this](StatusCode status, const std::string& reason) {
                --m_publishOutstanding;
                onPublishFailure(status, reason);
            },
            timeout, RequestKind::Publish);
    }
}

void Client::onPublishResponse(ServiceMessage& message)
{
    if (m_state != State::Running)
        return;
    if (const auto* fault = std::get_if<ServiceFault>(&message)) {
        onPublishFailure(fault->responseHeader.serviceResult, "the server answered with a fault");
        return;
    }
    auto* response = std::get_if<PublishResponse>(&message);
    if (!response) {
        lose(status::BadUnknownResponse,
             "Publish was answered with a " + std::string(serviceName(message)));
        return;
    }
    if (response->responseHeader.serviceResult.isBad()) {
        onPublishFailure(response->responseHeader.serviceResult, "");
        return;
    }
    ++m_stats.publishResponses;
    restartKeepAliveTimer();
    if (response->subscriptionId == m_subscriptionId) {
        if (response->notificationMessage.notificationData.empty()) {
            ++m_stats.keepAlives;
        } else {
            m_lastSequence = response->notificationMessage.sequenceNumber;
            m_acks.push_back({m_subscriptionId, m_lastSequence});
            const uint64_t generation = m_generation;
            deliver(response->notificationMessage);
            if (generation != m_generation)
                return;
        }
    }
    topUpPublish();
}

void Client::onPublishFailure(StatusCode status, const std::string& reason)
{
    if (m_state != State::Running)
        return;
    if (status.sameCode(status::BadTooManyPublishRequests)) {
        // The server keeps fewer requests than asked; the ones it holds are enough.
        const int target = std::max(1, m_publishOutstanding);
        if (target < m_publishTarget) {
            qCInfo(lcClient) << "the server holds at most" << target
                             << "publish requests; keeping that many outstanding";
            m_publishTarget = target;
        }
        topUpPublish();
        return;
    }
    if (status.sameCode(status::BadTimeout) || status.sameCode(status::BadRequestTimeout)) {
        // The server let one request expire after its timeout hint; send another.
        topUpPublish();
        return;
    }
    lose(status, "Publish failed: " + describeStatus(status) +
                     (reason.empty() ? std::string() : " (" + reason + ")"));
}

void Client::deliver(const NotificationMessage& message)
{
    const uint64_t generation = m_generation;
    for (const auto& notification : message.notificationData) {
        if (const auto* dataChange = std::get_if<DataChangeNotification>(&notification)) {
            for (const auto& item : dataChange->monitoredItems) {
                if (item.clientHandle >= m_items.size())
                    continue;
                Item& it = m_items[item.clientHandle];
                if (it.state != ItemState::Monitored && it.state != ItemState::Binding)
                    continue;
                if (item.value.value && !item.value.value->isEmpty())
                    it.valueType = item.value.value->type();
                ++m_stats.notifications;
                m_listener.itemChanged(int(item.clientHandle), item.value);
                if (generation != m_generation)
                    return;
            }
        } else if (const auto* statusChange =
                       std::get_if<StatusChangeNotification>(&notification)) {
            if (statusChange->status.isBad()) {
                forgetSubscription();
                lose(statusChange->status,
                     "the server ended the subscription: " + describeStatus(statusChange->status));
                return;
            }
        }
    }
}

void Client::restartKeepAliveTimer()
{
    cancelTimer(m_keepAliveTimer);
    const milliseconds period = keepAlivePeriodOf(m_publishingInterval, m_keepAliveCount);
    const milliseconds deadline = period + std::max(m_settings.keepAliveMargin, period / 2);
    m_keepAliveTimer = m_clock.start(deadline, [this, deadline] {
        m_keepAliveTimer = 0;
        lose(status::BadTimeout, "no data and no keep-alive from the server within " +
                                     std::to_string(deadline.count()) + " ms");
    });
}

void Client::lose(StatusCode status, const std::string& lossReason)
{
    switch (m_state) {
    case State::Stopped:
    case State::WaitingToReconnect:
        return;
    case State::Closing:
        finishClose();
        return;
    case State::Connecting:
    case State::Handshaking:
    case State::OpeningChannel:
    case State::Discovering:
    case State::CreatingSession:
    case State::ActivatingSession:
    case State::ResumingSession:
    case State::ReadingNamespaces:
    case State::CreatingSubscription:
    case State::Republishing:
    case State::Running:
        break;
    }
    std::string reason = lossReason;
    noteRefusal(status, reason);
    // A session never activated cannot move to another channel.
    if (isOneOf(kSessionGoneStatuses, status) || m_state == State::ActivatingSession)
        forgetSession();
    const bool wasConnected = m_everRunning;
    auto failures = tearDown();
    m_secured.reset();
    const bool report = !m_outageReported;
    m_outageReported = true;
    m_everRunning = false;
    const milliseconds delay = m_backoff.nextDelay();
    const QString what = QString::fromStdString(reason);
    const QString code = QString::fromStdString(describeStatus(status));
    if (report) {
        qCWarning(lcClient).noquote()
            << QStringLiteral("connection to %1 %2: %3 (%4); next attempt in %5 ms")
                   .arg(QString::fromStdString(m_settings.endpoint.url),
                        wasConnected ? QStringLiteral("lost") : QStringLiteral("failed"), what,
                        code)
                   .arg(delay.count());
    } else {
        qCInfo(lcClient).noquote() << QStringLiteral("attempt %1 failed: %2 (%3); next in %4 ms")
                                          .arg(m_backoff.attempts())
                                          .arg(what, code)
                                          .arg(delay.count());
    }
    setState(State::WaitingToReconnect);
    m_reconnectTimer = m_clock.start(delay, [this] {
        m_reconnectTimer = 0;
        reconnect();
    });
    for (auto& failure : failures)
        failure(status::BadConnectionClosed, "the connection was lost before the answer came");
    if (report) {
        ++m_stats.outages;
        m_listener.connectionLost(status, reason, wasConnected);
    } else {
        m_listener.attemptFailed(status, reason);
    }
}

// What the operator needs to act on a refusal: the server refusing this client's certificate
// when the secured channel opens is told as a failed security check naming the certificate,
// whatever code the server gave; a refused password is remembered, and not sent again.
void Client::noteRefusal(StatusCode& status, std::string& reason)
{
    if (m_state == State::OpeningChannel && m_secured &&
        isOneOf(kCertificateRefusedStatuses, status)) {
        const pki::OwnCertificate& own = m_secured->certificates.own;
        status = status::BadSecurityChecksFailed;
        reason += "; the server refused this client's certificate " + own.certificateFile.string() +
                  " (thumbprint " + own.certificate.thumbprintHex() +
                  "): it must be trusted on the server";
    }
    if (m_state == State::ActivatingSession && m_sentPassword &&
        isOneOf(kPasswordRefusedStatuses, status)) {
        m_refusedPassword = m_sentPassword;
        reason +=
            "; the same password is not sent again: the next attempt waits until the password "
            "file holds another one";
    }
}

// A password the server refused is not sent again: a server that locks an account after a few
// failures would lock the operator out. It is read again at each step of the backoff, and the
// client connects once it has changed, or can no longer be read, which that attempt reports.
void Client::reconnect()
{
    if (m_refusedPassword && !passwordChanged()) {
        m_reconnectTimer = m_clock.start(m_backoff.nextDelay(), [this] {
            m_reconnectTimer = 0;
            reconnect();
        });
        return;
    }
    m_refusedPassword.reset();
    connect();
}

bool Client::passwordChanged() const
{
    try {
        return passwordDigest(m_settings.security.password()) != *m_refusedPassword;
    } catch (const Error&) {
        return true;
    }
}

std::vector<Client::FailureHandler> Client::tearDown()
{
    ++m_generation;
    cancelTimer(m_phaseTimer);
    cancelTimer(m_renewTimer);
    cancelTimer(m_keepAliveTimer);
    std::vector<FailureHandler> failures;
    for (auto& [id, pending] : m_pending) {
        m_clock.cancel(pending.timer);
        // Only writes have someone outside waiting; the connect sequence and the item binding
        // start over with the next connection.
        if (pending.kind == RequestKind::Write && pending.onFailure)
            failures.push_back(std::move(pending.onFailure));
    }
    m_pending.clear();
    retireStream();
    m_channel = ChannelEndpoint(ChannelSide::Client, m_settings.receiveBufferSize);
    m_token = ChannelSecurityToken{};
    m_renewing = false;
    m_publishOutstanding = 0;
    // Items bound in the kept subscription stay so; the others are tried again.
    for (auto& item : m_items) {
        if (item.state != ItemState::Monitored)
            item.state = ItemState::Unbound;
    }
    return failures;
}

void Client::forgetSession()
{
    m_authenticationToken = NodeId();
    m_sessionNonce = ByteString();
    m_serverNonce = ByteString();
    m_namespaces.clear();
    forgetSubscription();
}

void Client::forgetSubscription()
{
    m_subscriptionId = 0;
    m_publishingInterval = 0;
    m_keepAliveCount = 0;
    m_lastSequence = 0;
    m_acks.clear();
    for (auto& item : m_items) {
        item.state = ItemState::Unbound;
        item.dataType.reset();
        item.valueType.reset();
        item.monitoredItemId = 0;
    }
}

void Client::cancelTimer(TimerId& id)
{
    if (id != 0)
        m_clock.cancel(id);
    id = 0;
}

void Client::retireStream()
{
    if (!m_stream)
        return;
    m_stream->close();
    m_retired.push_back(std::move(m_stream));
    // The stream may be the one whose handler is running now; it is dropped from the event
    // loop instead.
    if (m_retireTimer == 0) {
        m_retireTimer = m_clock.start(milliseconds(0), [this] {
            m_retireTimer = 0;
            m_retired.clear();
        });
    }
}

bool Client::isFatal(StatusCode status) const
{
    return isOneOf(kFatalStatuses, status);
}

} // namespace opcua
