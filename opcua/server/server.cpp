#include "opcua/server/server.h"

#include "opcua/channelendpoint.h"
#include "opcua/nodeid.h"
#include "opcua/securechannel.h"
#include "opcua/tcp.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cmath>
#include <deque>

namespace opcua {

using std::chrono::milliseconds;

namespace {

constexpr std::string_view kAnonymousPolicyId = "anonymous";

ByteString randomBytes(size_t n)
{
    ByteBuffer bytes(n);
    for (auto& b : bytes)
        b = uint8_t(QRandomGenerator::system()->bounded(256));
    return ByteString(std::move(bytes));
}

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

template <class... F> struct Overload : F...
{
    using F::operator()...;
};
template <class... F> Overload(F...) -> Overload<F...>;

} // namespace

// ---------------------------------------------------------------------------------------------
// One client connection: UA-TCP handshake, the secure channel on it, and the chunks.

enum class ConnectionState {
    AwaitingHello, // connected; nothing but HEL is accepted
    AwaitingOpen,  // HEL answered; the channel must be opened next
    Open,          // channel open; service requests flow
    Closed,        // closed or failed; waiting to be dropped
};

struct ServerConnection
{
    ServerConnection(Server& server, uint64_t id, std::unique_ptr<Stream> stream);
    ~ServerConnection();

    void received(ByteView bytes);
    void handleHandshake(const RawChunk& chunk);
    void handleHello(const RawChunk& chunk);
    void handleMessage(const AssembledMessage& message);
    void handleOpen(const AssembledMessage& message);
    void armTokenTimer(uint32_t lifetimeMs);
    void handleRequest(const AssembledMessage& message);
    void send(uint32_t requestId, const ServiceMessage& response,
              MessageType type = MessageType::Message);
    void sendFault(uint32_t requestId, uint32_t requestHandle, StatusCode status);
    void fail(StatusCode status, const std::string& reason);
    void shutDown();
    bool isOpen() const { return state == ConnectionState::Open && stream->isOpen(); }

    Server& server;
    uint64_t id;
    std::unique_ptr<Stream> stream;
    ConnectionState state = ConnectionState::AwaitingHello;
    ChannelEndpoint channel;
    std::string endpointUrl;
    TimerId helloTimer = 0;
    TimerId tokenTimer = 0;
};

// ---------------------------------------------------------------------------------------------
// One session: its subscriptions, the client's queued Publish requests, continuation points.

struct ServerSession final : PublishSink
{
    struct QueuedPublish
    {
        uint64_t connectionId;
        uint32_t requestId;
        uint32_t requestHandle;
        std::vector<StatusCode> acknowledgementResults;
        std::optional<milliseconds> deadline; // from the request's timeout hint
    };

    ServerSession(Server& server, NodeId sessionId, NodeId token, double timeoutMs, String name)
        : server(server), sessionId(std::move(sessionId)), token(std::move(token)),
          timeoutMs(timeoutMs), name(std::move(name))
    {}
    ~ServerSession() override;

    void touch();
    void armTimeout(milliseconds delay);
    void queuePublish(ServerConnection& connection, uint32_t requestId,
                      const PublishRequest& request);
    void serviceLateSubscriptions();
    void answerQueued(StatusCode status);
    void armPublishTimeout();
    void publishTimedOut();

    bool hasPublishRequest() override;
    bool sendPublishResponse(PublishResponse response) override;
    void subscriptionExpired(uint32_t subscriptionId) override;

    Server& server;
    NodeId sessionId;
    NodeId token;
    double timeoutMs;
    String name;
    uint64_t connectionId = 0;
    bool activated = false;
    TimerId timeoutTimer = 0;
    milliseconds lastUsed{0};
    std::map<uint32_t, std::unique_ptr<Subscription>> subscriptions;
    std::deque<QueuedPublish> publishQueue;
    TimerId publishTimer = 0;
    milliseconds publishTimerAt{0};
    std::map<ByteString, std::vector<ReferenceDescription>> continuationPoints;
};

// ---------------------------------------------------------------------------------------------
// ServerConnection

ServerConnection::ServerConnection(Server& server, uint64_t id, std::unique_ptr<Stream> s)
    : server(server), id(id), stream(std::move(s)),
      channel(ChannelSide::Server,
              std::max<uint32_t>(server.m_settings.receiveBufferSize, kMinBufferSize))
{
    Stream::Handlers handlers;
    handlers.received = [this](ByteView bytes) { received(bytes); };
    handlers.closed = [this](StatusCode, const std::string&) { shutDown(); };
    stream->setHandlers(std::move(handlers));
    helloTimer = server.m_clock.start(server.m_settings.helloTimeout, [this] {
        helloTimer = 0;
        if (state == ConnectionState::AwaitingHello)
            fail(status::BadTimeout, "no Hello received in time");
    });
}

ServerConnection::~ServerConnection()
{
    for (TimerId t : {helloTimer, tokenTimer}) {
        if (t)
            server.m_clock.cancel(t);
    }
    if (stream) {
        stream->setHandlers({});
        if (stream->isOpen())
            stream->close();
    }
}

void ServerConnection::shutDown()
{
    if (state == ConnectionState::Closed)
        return;
    state = ConnectionState::Closed;
    if (stream->isOpen())
        stream->close();
    server.dropConnection(id);
}

void ServerConnection::fail(StatusCode status, const std::string& reason)
{
    if (state == ConnectionState::Closed)
        return;
    if (stream->isOpen()) {
        ErrorMessage error;
        error.error = status;
        error.reason = String(reason.substr(0, kMaxErrorReasonLength));
        const ByteBuffer bytes = encodeError(error);
        stream->write(bytes);
    }
    shutDown();
}

void ServerConnection::received(ByteView bytes)
{
    if (state == ConnectionState::Closed)
        return;
    try {
        channel.feed(bytes);
        while (state != ConnectionState::Closed) {
            auto input = channel.next();
            if (!input)
                break;
            if (const auto* chunk = std::get_if<RawChunk>(&*input))
                handleHandshake(*chunk);
            else
                handleMessage(std::get<AssembledMessage>(*input));
        }
    } catch (const Error& e) {
        fail(e.status(), e.what());
    } catch (const std::exception& e) {
        fail(status::BadInternalError, e.what());
    }
}

void ServerConnection::handleHandshake(const RawChunk& chunk)
{
    switch (chunk.header.type) {
    case MessageType::Hello:
        if (state != ConnectionState::AwaitingHello)
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
    wishes.receiveBufferSize = server.m_settings.receiveBufferSize;
    wishes.sendBufferSize = server.m_settings.sendBufferSize;
    wishes.maxMessageSize = server.m_settings.maxMessageSize;
    wishes.maxChunkCount = server.m_settings.maxChunkCount;
    const AcknowledgeMessage ack = negotiate(hello, wishes);
    // What this side sends is bounded by what the client said it receives.
    channel.setLimits(serverLimits(hello, ack));
    endpointUrl = hello.endpointUrl.str();
    if (helloTimer) {
        server.m_clock.cancel(helloTimer);
        helloTimer = 0;
    }
    state = ConnectionState::AwaitingOpen;
    stream->write(encodeAcknowledge(ack));
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
    if (request->securityMode != MessageSecurityMode::None) {
        fail(status::BadSecurityModeRejected, "only security mode None is offered");
        return;
    }
    const bool issue = request->requestType == SecurityTokenRequestType::Issue;
    if (issue && state != ConnectionState::AwaitingOpen)
        throw ChannelError(status::BadTcpSecureChannelUnknown, "the channel is open already");
    if (!issue && request->requestType != SecurityTokenRequestType::Renew)
        throw ChannelError(status::BadRequestTypeInvalid, "unknown token request type");
    if (!issue && state != ConnectionState::Open)
        throw ChannelError(status::BadTcpSecureChannelUnknown, "no channel to renew");

    const ServerSettings& settings = server.m_settings;
    uint32_t lifetime = request->requestedLifetime == 0 ? settings.defaultTokenLifetimeMs
                                                        : request->requestedLifetime;
    lifetime = std::clamp(lifetime, settings.minTokenLifetimeMs, settings.maxTokenLifetimeMs);
    const uint32_t token = server.m_nextTokenId++;
    if (server.m_nextTokenId == 0)
        server.m_nextTokenId = 1;
    if (issue) {
        channel.open(server.m_nextChannelId++, token);
        if (server.m_nextChannelId == 0)
            server.m_nextChannelId = 1;
    } else {
        channel.renew(token);
    }
    state = ConnectionState::Open;
    armTokenTimer(lifetime);

    OpenSecureChannelResponse response;
    response.responseHeader.timestamp = server.m_clock.utcNow();
    response.responseHeader.requestHandle = request->requestHeader.requestHandle;
    response.securityToken.channelId = channel.channelId();
    response.securityToken.tokenId = token;
    response.securityToken.createdAt = server.m_clock.utcNow();
    response.securityToken.revisedLifetime = lifetime;
    response.serverNonce = ByteString(ByteBuffer{});
    send(message.requestId, response, MessageType::OpenSecureChannel);
}

// A token not renewed within its lifetime (plus the customary quarter) ends the channel.
void ServerConnection::armTokenTimer(uint32_t lifetimeMs)
{
    if (tokenTimer)
        server.m_clock.cancel(tokenTimer);
    tokenTimer = server.m_clock.start(milliseconds(int64_t(lifetimeMs) * 5 / 4), [this] {
        tokenTimer = 0;
        fail(status::BadSecureChannelClosed, "the security token expired");
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
    server.dispatch(*this, message.requestId, request);
}

// Sends also happen from timers (Publish responses), where an exception would have no one to
// catch it: a response that cannot be sent ends the connection instead, and one larger than
// the client takes is replaced by a ServiceFault.
void ServerConnection::send(uint32_t requestId, const ServiceMessage& response, MessageType type)
{
    if (state == ConnectionState::Closed || !stream->isOpen())
        return;
    try {
        channel.send(*stream, type, requestId, response);
    } catch (const ChannelError& e) {
        const ResponseHeader* header = responseHeaderOf(response);
        if (std::holds_alternative<ServiceFault>(response) || !header)
            fail(e.status(), e.what());
        else
            sendFault(requestId, header->requestHandle, e.status());
    } catch (const Error& e) {
        fail(e.status(), e.what());
    } catch (const std::exception& e) {
        fail(status::BadInternalError, e.what());
    }
}

void ServerConnection::sendFault(uint32_t requestId, uint32_t requestHandle, StatusCode status)
{
    ServiceFault fault;
    fault.responseHeader.timestamp = server.m_clock.utcNow();
    fault.responseHeader.requestHandle = requestHandle;
    fault.responseHeader.serviceResult = status;
    ++server.m_rejectedRequests;
    send(requestId, fault);
}

// ---------------------------------------------------------------------------------------------
// ServerSession

ServerSession::~ServerSession()
{
    if (publishTimer)
        server.m_clock.cancel(publishTimer);
    if (timeoutTimer)
        server.m_clock.cancel(timeoutTimer);
    subscriptions.clear();
}

// Every request touches its session; the timer is armed once per timeout, not per request,
// and on firing looks at when the session was last used.
void ServerSession::touch()
{
    lastUsed = server.m_clock.now();
    if (!timeoutTimer)
        armTimeout(milliseconds(int64_t(std::ceil(timeoutMs))));
}

void ServerSession::armTimeout(milliseconds delay)
{
    timeoutTimer = server.m_clock.start(delay, [this] {
        timeoutTimer = 0;
        const auto deadline = lastUsed + milliseconds(int64_t(std::ceil(timeoutMs)));
        const auto now = server.m_clock.now();
        if (now < deadline) {
            armTimeout(deadline - now);
            return;
        }
        ++server.m_sessionTimeouts;
        server.closeSession(*this, status::BadSessionClosed);
    });
}

bool ServerSession::hasPublishRequest()
{
    while (!publishQueue.empty()) {
        ServerConnection* c = server.connection(publishQueue.front().connectionId);
        if (c && c->isOpen())
            return true;
        publishQueue.pop_front();
    }
    return false;
}

bool ServerSession::sendPublishResponse(PublishResponse response)
{
    if (!hasPublishRequest())
        return false;
    QueuedPublish queued = std::move(publishQueue.front());
    publishQueue.pop_front();
    response.responseHeader.timestamp = server.m_clock.utcNow();
    response.responseHeader.requestHandle = queued.requestHandle;
    response.results = std::move(queued.acknowledgementResults);
    server.connection(queued.connectionId)->send(queued.requestId, response);
    return true;
}

void ServerSession::subscriptionExpired(uint32_t subscriptionId)
{
    // The subscription is inside its own timer; it goes once that has returned.
    Server& owner = server;
    server.m_clock.start(milliseconds(0), [&owner, subscriptionId, token = token] {
        auto it = owner.m_sessions.find(token);
        if (it == owner.m_sessions.end())
            return;
        ServerSession& session = *it->second;
        session.subscriptions.erase(subscriptionId);
        if (session.subscriptions.empty())
            session.answerQueued(status::BadNoSubscription);
    });
}

void ServerSession::answerQueued(StatusCode status)
{
    while (!publishQueue.empty()) {
        QueuedPublish queued = std::move(publishQueue.front());
        publishQueue.pop_front();
        if (ServerConnection* c = server.connection(queued.connectionId))
            c->sendFault(queued.requestId, queued.requestHandle, status);
    }
}

// One timer for all queued requests, armed for the earliest deadline.
void ServerSession::armPublishTimeout()
{
    std::optional<milliseconds> earliest;
    for (const QueuedPublish& q : publishQueue) {
        if (q.deadline && (!earliest || *q.deadline < *earliest))
            earliest = q.deadline;
    }
    if (!earliest || (publishTimer && publishTimerAt <= *earliest))
        return;
    if (publishTimer)
        server.m_clock.cancel(publishTimer);
    publishTimerAt = *earliest;
    publishTimer = server.m_clock.start(*earliest - server.m_clock.now(), [this] {
        publishTimer = 0;
        publishTimedOut();
    });
}

void ServerSession::publishTimedOut()
{
    const auto now = server.m_clock.now();
    for (auto it = publishQueue.begin(); it != publishQueue.end();) {
        if (!it->deadline || *it->deadline > now) {
            ++it;
            continue;
        }
        QueuedPublish queued = std::move(*it);
        it = publishQueue.erase(it);
        if (ServerConnection* c = server.connection(queued.connectionId))
            c->sendFault(queued.requestId, queued.requestHandle, status::BadTimeout);
    }
    armPublishTimeout();
}

void ServerSession::queuePublish(ServerConnection& connection, uint32_t requestId,
                                 const PublishRequest& request)
{
    QueuedPublish queued;
    queued.connectionId = connection.id;
    queued.requestId = requestId;
    queued.requestHandle = request.requestHeader.requestHandle;
    for (const SubscriptionAcknowledgement& ack : request.subscriptionAcknowledgements) {
        auto it = subscriptions.find(ack.subscriptionId);
        queued.acknowledgementResults.push_back(it == subscriptions.end()
                                                    ? status::BadSubscriptionIdInvalid
                                                    : it->second->acknowledge(ack.sequenceNumber));
    }
    if (subscriptions.empty()) {
        ServiceFault fault;
        fault.responseHeader.timestamp = server.m_clock.utcNow();
        fault.responseHeader.requestHandle = queued.requestHandle;
        fault.responseHeader.serviceResult = status::BadNoSubscription;
        connection.send(requestId, fault);
        return;
    }
    if (request.requestHeader.timeoutHint > 0)
        queued.deadline = server.m_clock.now() + milliseconds(request.requestHeader.timeoutHint);
    publishQueue.push_back(std::move(queued));
    armPublishTimeout();
    if (publishQueue.size() > server.m_settings.maxPublishRequestsPerSession) {
        QueuedPublish oldest = std::move(publishQueue.front());
        publishQueue.pop_front();
        if (ServerConnection* c = server.connection(oldest.connectionId))
            c->sendFault(oldest.requestId, oldest.requestHandle, status::BadTooManyPublishRequests);
    }
    for (auto& [id, subscription] : subscriptions)
        subscription->publishRequestArrived();
    serviceLateSubscriptions();
}

void ServerSession::serviceLateSubscriptions()
{
    // Late subscriptions take the requests in order of priority, then of id.
    while (hasPublishRequest()) {
        Subscription* next = nullptr;
        for (auto& [id, subscription] : subscriptions) {
            if (subscription->isLate() && (!next || subscription->priority() > next->priority()))
                next = subscription.get();
        }
        if (!next)
            return;
        if (!next->serviceLate() && next->isLate())
            return;
    }
}

// ---------------------------------------------------------------------------------------------
// Server

Server::Server(AddressSpace& space, Clock& clock, ServerSettings settings, QObject* parent)
    : QObject(parent), m_space(space), m_clock(clock), m_settings(std::move(settings))
{
    addCapabilities();
}

Server::~Server()
{
    close();
}

void Server::addCapabilities()
{
    constexpr uint32_t kOperationLimits = ids::Server_ServerCapabilities_OperationLimits;
    constexpr uint32_t kServerCapabilities = ids::Server_ServerCapabilities;
    auto add = [this](uint32_t id, std::string_view name, uint32_t parent, uint32_t dataType,
                      Variant value) {
        if (m_space.find(NodeId(0, id)))
            return;
        VariableDefinition definition;
        definition.id = NodeId(0, id);
        definition.browseName = {0, String(name)};
        definition.parent = NodeId(0, parent);
        definition.referenceType = NodeId(0, ids::HasProperty);
        definition.typeDefinition = NodeId(0, ids::PropertyType);
        definition.dataType = NodeId(0, dataType);
        definition.value = std::move(value);
        m_space.addVariable(definition);
    };
    const auto perCall = Variant::fromScalar(uint32_t(m_settings.maxOperationsPerRequest));
    add(ids::Server_ServerCapabilities_OperationLimits_MaxNodesPerRead, "MaxNodesPerRead",
        kOperationLimits, ids::UInt32, perCall);
    add(ids::Server_ServerCapabilities_OperationLimits_MaxNodesPerWrite, "MaxNodesPerWrite",
        kOperationLimits, ids::UInt32, perCall);
    add(ids::Server_ServerCapabilities_OperationLimits_MaxNodesPerBrowse, "MaxNodesPerBrowse",
        kOperationLimits, ids::UInt32, perCall);
    add(ids::Server_ServerCapabilities_OperationLimits_MaxNodesPerTranslateBrowsePathsToNodeIds,
        "MaxNodesPerTranslateBrowsePathsToNodeIds", kOperationLimits, ids::UInt32, perCall);
    add(ids::Server_ServerCapabilities_OperationLimits_MaxMonitoredItemsPerCall,
        "MaxMonitoredItemsPerCall", kOperationLimits, ids::UInt32, perCall);
    add(ids::Server_ServerCapabilities_MinSupportedSampleRate, "MinSupportedSampleRate",
        kServerCapabilities, ids::Duration,
        Variant::fromScalar(m_settings.subscriptions.minSamplingIntervalMs));
    add(ids::Server_ServerCapabilities_MaxBrowseContinuationPoints, "MaxBrowseContinuationPoints",
        kServerCapabilities, ids::UInt16,
        Variant::fromScalar(uint16_t(m_settings.maxBrowseContinuationPoints)));

    // The diagnostics summary: how many sessions and subscriptions there are and were. Tests
    // watch a vanished client's session time out through it.
    constexpr uint32_t kServerDiagnostics = ids::Server_ServerDiagnostics;
    constexpr uint32_t kSummary = ids::Server_ServerDiagnostics_ServerDiagnosticsSummary;
    if (m_space.find(NodeId(0, kServerDiagnostics)))
        return;
    ObjectDefinition diagnostics;
    diagnostics.id = NodeId(0, kServerDiagnostics);
    diagnostics.browseName = {0, "ServerDiagnostics"};
    diagnostics.parent = NodeId(0, ids::Server);
    diagnostics.referenceType = NodeId(0, ids::HasComponent);
    m_space.addObject(diagnostics);
    add(ids::Server_ServerDiagnostics_EnabledFlag, "EnabledFlag", kServerDiagnostics, ids::Boolean,
        Variant::fromScalar(true));
    VariableDefinition summary;
    summary.id = NodeId(0, kSummary);
    summary.browseName = {0, "ServerDiagnosticsSummary"};
    summary.parent = NodeId(0, kServerDiagnostics);
    summary.dataType = NodeId(0, ids::ServerDiagnosticsSummaryDataType);
    m_space.addVariable(summary);
    m_space.setValueSource(summary.id, [this] {
        Encoder e;
        for (uint32_t v : diagnosticsSummary())
            e.encode(v);
        return Variant::fromScalar(
            ExtensionObject{NodeId(0, ids::ServerDiagnosticsSummaryDataType_Encoding_DefaultBinary),
                            ExtensionObjectEncoding::ByteString, e.take()});
    });
    // The members of the summary, in the order of its encoding.
    constexpr std::pair<uint32_t, std::string_view> kMembers[] = {
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_ServerViewCount, "ServerViewCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_CurrentSessionCount,
         "CurrentSessionCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_CumulatedSessionCount,
         "CumulatedSessionCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_SecurityRejectedSessionCount,
         "SecurityRejectedSessionCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_RejectedSessionCount,
         "RejectedSessionCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_SessionTimeoutCount,
         "SessionTimeoutCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_SessionAbortCount,
         "SessionAbortCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_CurrentSubscriptionCount,
         "CurrentSubscriptionCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_CumulatedSubscriptionCount,
         "CumulatedSubscriptionCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_PublishingIntervalCount,
         "PublishingIntervalCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_SecurityRejectedRequestsCount,
         "SecurityRejectedRequestsCount"},
        {ids::Server_ServerDiagnostics_ServerDiagnosticsSummary_RejectedRequestsCount,
         "RejectedRequestsCount"},
    };
    for (size_t i = 0; i < std::size(kMembers); ++i) {
        VariableDefinition member;
        member.id = NodeId(0, kMembers[i].first);
        member.browseName = {0, String(kMembers[i].second)};
        member.parent = NodeId(0, kSummary);
        member.dataType = NodeId(0, ids::UInt32);
        m_space.addVariable(member);
        m_space.setValueSource(member.id,
                               [this, i] { return Variant::fromScalar(diagnosticsSummary()[i]); });
    }
}

std::array<uint32_t, 12> Server::diagnosticsSummary() const
{
    return {0,
            uint32_t(m_sessions.size()),
            m_cumulatedSessions,
            0,
            m_rejectedSessions,
            m_sessionTimeouts,
            0,
            uint32_t(subscriptionCount()),
            m_cumulatedSubscriptions,
            0,
            0,
            m_rejectedRequests};
}

bool Server::listen(const std::string& host, uint16_t port)
{
    if (m_listener)
        close();
    QHostAddress address;
    if (host == "localhost")
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.setAddress(QString::fromStdString(host))) {
        m_error = "not an IP address: " + host;
        return false;
    }
    m_listener = new QTcpServer(this);
    m_listener->setMaxPendingConnections(int(m_settings.maxConnections));
    if (!m_listener->listen(address, port)) {
        m_error = m_listener->errorString().toStdString();
        delete m_listener;
        m_listener = nullptr;
        return false;
    }
    m_host = host;
    connect(m_listener, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_listener->nextPendingConnection()) {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            if (connectionCount() >= m_settings.maxConnections) {
                // Too busy: say so in the protocol's terms, then hang up.
                ErrorMessage error{status::BadTcpServerTooBusy, String("too many connections")};
                const ByteBuffer bytes = encodeError(error);
                socket->write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
                socket->disconnectFromHost();
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                continue;
            }
            attach(std::make_unique<TcpStream>(socket));
        }
    });
    return true;
}

uint16_t Server::port() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

std::string Server::endpointUrl() const
{
    return "opc.tcp://" + m_host + ":" + std::to_string(port());
}

void Server::close()
{
    if (m_listener) {
        m_listener->close();
        delete m_listener;
        m_listener = nullptr;
    }
    m_sessions.clear();
    m_connections.clear();
}

void Server::attach(std::unique_ptr<Stream> stream)
{
    const uint64_t id = m_nextConnectionId++;
    m_connections.emplace(id, std::make_unique<ServerConnection>(*this, id, std::move(stream)));
}

size_t Server::connectionCount() const
{
    return size_t(std::count_if(m_connections.begin(), m_connections.end(), [](const auto& c) {
        return c.second->state != ConnectionState::Closed;
    }));
}

size_t Server::subscriptionCount() const
{
    size_t n = 0;
    for (const auto& [token, session] : m_sessions)
        n += session->subscriptions.size();
    return n;
}

ServerConnection* Server::connection(uint64_t id)
{
    auto it = m_connections.find(id);
    if (it == m_connections.end() || it->second->state == ConnectionState::Closed)
        return nullptr;
    return it->second.get();
}

void Server::dropConnection(uint64_t id)
{
    // Called from the connection's own handlers: it goes once they have returned.
    m_clock.start(milliseconds(0), [this, id] { m_connections.erase(id); });
}

void Server::closeSession(ServerSession& session, StatusCode reason)
{
    session.answerQueued(reason);
    // Sessions close from a request or from their own timeout timer, never from inside a
    // subscription, so they can go at once.
    const NodeId token = session.token;
    m_sessions.erase(token);
}

ApplicationDescription Server::application(const String& requestedUrl) const
{
    ApplicationDescription app;
    app.applicationUri = String(m_settings.applicationUri);
    app.productUri = String(m_settings.productUri);
    app.applicationName = {String("en"), String(m_settings.applicationName)};
    app.applicationType = ApplicationType::Server;
    const String url = requestedUrl.isEmpty() ? String(endpointUrl()) : requestedUrl;
    app.discoveryUrls = {url};
    return app;
}

std::vector<EndpointDescription> Server::endpoints(const String& requestedUrl) const
{
    // The endpoint is described with the URL the client used, so that a client comparing
    // URLs finds it whatever name it reached the server by.
    EndpointDescription endpoint;
    endpoint.endpointUrl = requestedUrl.isEmpty() ? String(endpointUrl()) : requestedUrl;
    endpoint.server = application(requestedUrl);
    endpoint.securityMode = MessageSecurityMode::None;
    endpoint.securityPolicyUri = String(kSecurityPolicyNone);
    UserTokenPolicy anonymous;
    anonymous.policyId = String(kAnonymousPolicyId);
    anonymous.tokenType = UserTokenType::Anonymous;
    endpoint.userIdentityTokens = {anonymous};
    endpoint.transportProfileUri = String(kTransportProfileUaTcp);
    endpoint.securityLevel = 0;
    return {endpoint};
}

ServerSession* Server::sessionFor(ServerConnection& connection, const RequestHeader& header,
                                  StatusCode& failure)
{
    auto it = m_sessions.find(header.authenticationToken);
    if (it == m_sessions.end()) {
        failure = status::BadSessionIdInvalid;
        return nullptr;
    }
    ServerSession& session = *it->second;
    if (session.connectionId != connection.id) {
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

// ---------------------------------------------------------------------------------------------
// The services

namespace {

template <class Response> Response answer(const RequestHeader& request, DateTime now)
{
    Response response;
    response.responseHeader.timestamp = now;
    response.responseHeader.requestHandle = request.requestHandle;
    return response;
}

// Bad when a request carries no operations or too many.
StatusCode operationCount(size_t count, size_t limit)
{
    if (count == 0)
        return status::BadNothingToDo;
    if (count > limit)
        return status::BadTooManyOperations;
    return status::Good;
}

} // namespace

void Server::dispatch(ServerConnection& connection, uint32_t requestId, ServiceMessage& message)
{
    const RequestHeader& header = *requestHeaderOf(message);
    const DateTime now = m_clock.utcNow();
    auto fault = [&](StatusCode status) {
        connection.sendFault(requestId, header.requestHandle, status);
    };

    // Discovery and the session services work without (or before) an activated session.
    if (auto* r = std::get_if<GetEndpointsRequest>(&message)) {
        auto response = answer<GetEndpointsResponse>(header, now);
        const String url =
            r->endpointUrl.isEmpty() ? String(connection.endpointUrl) : r->endpointUrl;
        bool wanted = r->profileUris.empty();
        for (const String& profile : r->profileUris)
            wanted = wanted || profile.str() == kTransportProfileUaTcp;
        if (wanted)
            response.endpoints = endpoints(url);
        connection.send(requestId, response);
        return;
    }
    if (auto* r = std::get_if<FindServersRequest>(&message)) {
        auto response = answer<FindServersResponse>(header, now);
        const String url =
            r->endpointUrl.isEmpty() ? String(connection.endpointUrl) : r->endpointUrl;
        bool wanted = r->serverUris.empty();
        for (const String& uri : r->serverUris)
            wanted = wanted || uri.str() == m_settings.applicationUri;
        if (wanted)
            response.servers = {application(url)};
        connection.send(requestId, response);
        return;
    }
    if (auto* r = std::get_if<CreateSessionRequest>(&message)) {
        if (m_sessions.size() >= m_settings.maxSessions) {
            ++m_rejectedSessions;
            return fault(status::BadTooManySessions);
        }
        double timeout = r->requestedSessionTimeout;
        if (!(timeout > 0.0))
            timeout = m_settings.maxSessionTimeoutMs; // 0 and NaN: the longest offered
        timeout =
            std::clamp(timeout, m_settings.minSessionTimeoutMs, m_settings.maxSessionTimeoutMs);
        const NodeId sessionId(1, uint32_t(m_nextSessionNumber++));
        const NodeId token(1, randomGuid());
        auto session =
            std::make_unique<ServerSession>(*this, sessionId, token, timeout, r->sessionName);
        session->connectionId = connection.id;
        session->touch();
        m_sessions.emplace(token, std::move(session));
        ++m_cumulatedSessions;

        auto response = answer<CreateSessionResponse>(header, now);
        response.sessionId = sessionId;
        response.authenticationToken = token;
        response.revisedSessionTimeout = timeout;
        response.serverNonce = randomBytes(32);
        const String url =
            r->endpointUrl.isEmpty() ? String(connection.endpointUrl) : r->endpointUrl;
        response.serverEndpoints = endpoints(url);
        response.maxRequestMessageSize = m_settings.maxMessageSize;
        connection.send(requestId, response);
        return;
    }
    if (auto* r = std::get_if<ActivateSessionRequest>(&message)) {
        auto it = m_sessions.find(header.authenticationToken);
        if (it == m_sessions.end())
            return fault(status::BadSessionIdInvalid);
        ServerSession& session = *it->second;
        // Anonymous only: an absent token, or an AnonymousIdentityToken with our policy id.
        const ExtensionObject& identity = r->userIdentityToken;
        if (!identity.isNull()) {
            std::optional<AnonymousIdentityToken> anonymous;
            try {
                anonymous = unpackBody<AnonymousIdentityToken>(identity);
            } catch (const DecodeError&) {
                return fault(status::BadIdentityTokenInvalid);
            }
            if (!anonymous)
                return fault(status::BadIdentityTokenInvalid);
            if (!anonymous->policyId.isEmpty() && anonymous->policyId.str() != kAnonymousPolicyId)
                return fault(status::BadIdentityTokenInvalid);
        }
        // Activation on another channel moves the session there.
        session.connectionId = connection.id;
        session.activated = true;
        session.touch();
        auto response = answer<ActivateSessionResponse>(header, now);
        response.serverNonce = randomBytes(32);
        connection.send(requestId, response);
        return;
    }
    if (std::holds_alternative<CloseSessionRequest>(message)) {
        auto it = m_sessions.find(header.authenticationToken);
        if (it == m_sessions.end())
            return fault(status::BadSessionIdInvalid);
        if (it->second->connectionId != connection.id)
            return fault(status::BadSecureChannelIdInvalid);
        closeSession(*it->second, status::BadSessionClosed);
        connection.send(requestId, answer<CloseSessionResponse>(header, now));
        return;
    }

    StatusCode failure;
    ServerSession* session = sessionFor(connection, header, failure);
    if (!session)
        return fault(failure);
    const size_t limit = m_settings.maxOperationsPerRequest;

    std::visit(
        Overload{
            [&](const ReadRequest& r) {
                StatusCode s = operationCount(r.nodesToRead.size(), limit);
                if (s.isGood() && (r.timestampsToReturn < TimestampsToReturn::Source ||
                                   r.timestampsToReturn > TimestampsToReturn::Neither))
                    s = status::BadTimestampsToReturnInvalid;
                if (s.isGood() && !(r.maxAge >= 0.0))
                    s = status::BadMaxAgeInvalid;
                if (!s.isGood())
                    return fault(s);
                auto response = answer<ReadResponse>(header, now);
                response.results.reserve(r.nodesToRead.size());
                for (const ReadValueId& item : r.nodesToRead)
                    response.results.push_back(m_space.read(item, r.timestampsToReturn, now));
                connection.send(requestId, response);
            },
            [&](const WriteRequest& r) {
                const StatusCode s = operationCount(r.nodesToWrite.size(), limit);
                if (!s.isGood())
                    return fault(s);
                auto response = answer<WriteResponse>(header, now);
                response.results.reserve(r.nodesToWrite.size());
                for (const WriteValue& item : r.nodesToWrite)
                    response.results.push_back(m_space.write(item));
                connection.send(requestId, response);
            },
            [&](const BrowseRequest& r) {
                const StatusCode s = operationCount(r.nodesToBrowse.size(), limit);
                if (!s.isGood())
                    return fault(s);
                if (!r.view.viewId.isNull())
                    return fault(status::BadViewIdUnknown);
                auto response = answer<BrowseResponse>(header, now);
                uint32_t perNode = m_settings.maxReferencesPerNode;
                if (r.requestedMaxReferencesPerNode > 0)
                    perNode = std::min(perNode, r.requestedMaxReferencesPerNode);
                for (const BrowseDescription& d : r.nodesToBrowse) {
                    BrowseResult result;
                    result.statusCode = m_space.browse(d, result.references);
                    if (result.references.size() > perNode) {
                        if (session->continuationPoints.size() >=
                            m_settings.maxBrowseContinuationPoints) {
                            result.references.clear();
                            result.statusCode = status::BadNoContinuationPoints;
                        } else {
                            std::vector<ReferenceDescription> rest(
                                result.references.begin() + perNode, result.references.end());
                            result.references.resize(perNode);
                            result.continuationPoint = randomBytes(16);
                            session->continuationPoints[result.continuationPoint] = std::move(rest);
                        }
                    }
                    response.results.push_back(std::move(result));
                }
                connection.send(requestId, response);
            },
            [&](const BrowseNextRequest& r) {
                const StatusCode s = operationCount(r.continuationPoints.size(), limit);
                if (!s.isGood())
                    return fault(s);
                auto response = answer<BrowseNextResponse>(header, now);
                const uint32_t perNode = m_settings.maxReferencesPerNode;
                for (const ByteString& point : r.continuationPoints) {
                    BrowseResult result;
                    auto it = session->continuationPoints.find(point);
                    if (it == session->continuationPoints.end()) {
                        result.statusCode = status::BadContinuationPointInvalid;
                    } else if (r.releaseContinuationPoints) {
                        session->continuationPoints.erase(it);
                        result.statusCode = status::Good;
                    } else {
                        auto& rest = it->second;
                        const size_t n = std::min<size_t>(perNode, rest.size());
                        result.references.assign(rest.begin(), rest.begin() + ptrdiff_t(n));
                        rest.erase(rest.begin(), rest.begin() + ptrdiff_t(n));
                        result.statusCode = status::Good;
                        if (rest.empty()) {
                            session->continuationPoints.erase(it);
                        } else {
                            // A fresh point for the rest; the old one is used up.
                            auto remaining = std::move(rest);
                            session->continuationPoints.erase(it);
                            result.continuationPoint = randomBytes(16);
                            session->continuationPoints[result.continuationPoint] =
                                std::move(remaining);
                        }
                    }
                    response.results.push_back(std::move(result));
                }
                connection.send(requestId, response);
            },
            [&](const TranslateBrowsePathsToNodeIdsRequest& r) {
                const StatusCode s = operationCount(r.browsePaths.size(), limit);
                if (!s.isGood())
                    return fault(s);
                auto response = answer<TranslateBrowsePathsToNodeIdsResponse>(header, now);
                for (const BrowsePath& path : r.browsePaths)
                    response.results.push_back(m_space.translate(path));
                connection.send(requestId, response);
            },
            [&](const CreateSubscriptionRequest& r) {
                if (session->subscriptions.size() >= m_settings.maxSubscriptionsPerSession)
                    return fault(status::BadTooManySubscriptions);
                const uint32_t id = m_nextSubscriptionId++;
                auto subscription = std::make_unique<Subscription>(id, *session, m_clock, m_space,
                                                                   m_settings.subscriptions);
                subscription->configure(r.requestedPublishingInterval, r.requestedLifetimeCount,
                                        r.requestedMaxKeepAliveCount, r.maxNotificationsPerPublish,
                                        r.priority);
                subscription->setPublishingEnabled(r.publishingEnabled);
                auto response = answer<CreateSubscriptionResponse>(header, now);
                response.subscriptionId = id;
                response.revisedPublishingInterval = subscription->publishingInterval();
                response.revisedLifetimeCount = subscription->lifetimeCount();
                response.revisedMaxKeepAliveCount = subscription->maxKeepAliveCount();
                session->subscriptions.emplace(id, std::move(subscription));
                ++m_cumulatedSubscriptions;
                connection.send(requestId, response);
            },
            [&](const ModifySubscriptionRequest& r) {
                auto it = session->subscriptions.find(r.subscriptionId);
                if (it == session->subscriptions.end())
                    return fault(status::BadSubscriptionIdInvalid);
                Subscription& subscription = *it->second;
                subscription.configure(r.requestedPublishingInterval, r.requestedLifetimeCount,
                                       r.requestedMaxKeepAliveCount, r.maxNotificationsPerPublish,
                                       r.priority);
                auto response = answer<ModifySubscriptionResponse>(header, now);
                response.revisedPublishingInterval = subscription.publishingInterval();
                response.revisedLifetimeCount = subscription.lifetimeCount();
                response.revisedMaxKeepAliveCount = subscription.maxKeepAliveCount();
                connection.send(requestId, response);
            },
            [&](const DeleteSubscriptionsRequest& r) {
                const StatusCode s = operationCount(r.subscriptionIds.size(), limit);
                if (!s.isGood())
                    return fault(s);
                auto response = answer<DeleteSubscriptionsResponse>(header, now);
                for (uint32_t id : r.subscriptionIds) {
                    response.results.push_back(session->subscriptions.erase(id)
                                                   ? status::Good
                                                   : status::BadSubscriptionIdInvalid);
                }
                connection.send(requestId, response);
                if (session->subscriptions.empty())
                    session->answerQueued(status::BadNoSubscription);
            },
            [&](const SetPublishingModeRequest& r) {
                const StatusCode s = operationCount(r.subscriptionIds.size(), limit);
                if (!s.isGood())
                    return fault(s);
                auto response = answer<SetPublishingModeResponse>(header, now);
                for (uint32_t id : r.subscriptionIds) {
                    auto it = session->subscriptions.find(id);
                    if (it == session->subscriptions.end()) {
                        response.results.push_back(status::BadSubscriptionIdInvalid);
                        continue;
                    }
                    it->second->setPublishingEnabled(r.publishingEnabled);
                    response.results.push_back(status::Good);
                }
                connection.send(requestId, response);
            },
            [&](const CreateMonitoredItemsRequest& r) {
                auto it = session->subscriptions.find(r.subscriptionId);
                if (it == session->subscriptions.end())
                    return fault(status::BadSubscriptionIdInvalid);
                StatusCode s = operationCount(r.itemsToCreate.size(), limit);
                if (s.isGood() && (r.timestampsToReturn < TimestampsToReturn::Source ||
                                   r.timestampsToReturn > TimestampsToReturn::Neither))
                    s = status::BadTimestampsToReturnInvalid;
                if (!s.isGood())
                    return fault(s);
                auto response = answer<CreateMonitoredItemsResponse>(header, now);
                for (const MonitoredItemCreateRequest& item : r.itemsToCreate)
                    response.results.push_back(
                        it->second->createMonitoredItem(item, r.timestampsToReturn));
                connection.send(requestId, response);
            },
            [&](const DeleteMonitoredItemsRequest& r) {
                auto it = session->subscriptions.find(r.subscriptionId);
                if (it == session->subscriptions.end())
                    return fault(status::BadSubscriptionIdInvalid);
                const StatusCode s = operationCount(r.monitoredItemIds.size(), limit);
                if (!s.isGood())
                    return fault(s);
                auto response = answer<DeleteMonitoredItemsResponse>(header, now);
                for (uint32_t id : r.monitoredItemIds)
                    response.results.push_back(it->second->deleteMonitoredItem(id));
                connection.send(requestId, response);
            },
            [&](const PublishRequest& r) { session->queuePublish(connection, requestId, r); },
            [&](const RepublishRequest& r) {
                auto it = session->subscriptions.find(r.subscriptionId);
                if (it == session->subscriptions.end())
                    return fault(status::BadSubscriptionIdInvalid);
                auto message = it->second->republish(r.retransmitSequenceNumber);
                if (!message)
                    return fault(status::BadMessageNotAvailable);
                auto response = answer<RepublishResponse>(header, now);
                response.notificationMessage = std::move(*message);
                connection.send(requestId, response);
            },
            [&](const auto&) { fault(status::BadServiceUnsupported); },
        },
        message);
}

} // namespace opcua
