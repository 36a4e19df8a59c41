// The server's protocol logic, driven through in-memory streams on a manual clock. A test
// peer talks to the server as a client would, through a client's channel endpoint, which frames
// the requests and checks and reassembles the server's answers.

#include "opcua/channelendpoint.h"
#include "opcua/nodeid.h"
#include "opcua/pki/issue.h"
#include "opcua/security/crypto.h"
#include "opcua/security/sessioncrypto.h"
#include "opcua/server/addressguard.h"
#include "opcua/server/server.h"
#include "processdata/opcua/qteventloop.h"
#include "tests/opcua/testbytes.h"
#include "tests/support/fakestream.h"
#include "tests/support/manualclock.h"

#include <QRegularExpression>
#include <QTest>
#include <algorithm>
#include <array>
#include <deque>
#include <memory>
#include <stdexcept>
#include <utility>

using namespace opcua;
using std::chrono::milliseconds;

namespace {

// The state a stream shares with its test, so it stays readable after the server dropped the
// stream.
struct Wire
{
    ByteBuffer written; // what the server sent, not yet taken
    bool open = true;
    Stream* stream = nullptr; // null once the server destroyed it
};

class PeerStream final : public Stream
{
public:
    explicit PeerStream(std::shared_ptr<Wire> wire) : m_wire(std::move(wire))
    {
        m_wire->stream = this;
    }
    ~PeerStream() override { m_wire->stream = nullptr; }

    void write(ByteView bytes) override
    {
        if (m_wire->open)
            m_wire->written.insert(m_wire->written.end(), bytes.begin(), bytes.end());
    }
    void close() override { m_wire->open = false; }
    bool isOpen() const override { return m_wire->open; }

    void deliver(ByteView bytes) { notifyReceived(bytes); }
    void peerClose()
    {
        m_wire->open = false;
        notifyClosed(status::BadConnectionClosed, "closed by peer");
    }

private:
    std::shared_ptr<Wire> m_wire;
};

// What the server sent: a whole message, or an ERR.
struct Reply
{
    MessageType type = MessageType::Message;
    uint32_t requestId = 0;
    std::optional<ServiceMessage> message;
    std::optional<ErrorMessage> error;
};

// How far a peer gets before it goes idle.
enum class Idle {
    Connected,      // says nothing
    Greeted,        // Hello
    ChannelOpen,    // Hello and OpenSecureChannel
    SessionCreated, // and CreateSession, never activated
    SessionActive,  // and ActivateSession: in use
};

class Peer
{
public:
    // A client of the server at `host` that gets as far as `idle`.
    Peer(Server& server, ManualClock& clock, Idle idle = Idle::Connected,
         const std::string& host = "192.0.2.1")
        : m_wire(std::make_shared<Wire>()), m_clock(clock)
    {
        server.attach(std::make_unique<PeerStream>(m_wire), {host, 50000});
        if (idle >= Idle::Greeted)
            hello();
        if (idle >= Idle::ChannelOpen)
            openChannel();
        if (idle == Idle::SessionCreated)
            m_authenticationToken =
                call<CreateSessionResponse>(CreateSessionRequest{}).authenticationToken;
        if (idle == Idle::SessionActive)
            connectSession();
    }

    bool open() const { return m_wire->open; }

    // Raw bytes to the server; then the clock's due timers run.
    void send(ByteView bytes)
    {
        if (auto* s = static_cast<PeerStream*>(m_wire->stream))
            s->deliver(bytes);
        m_clock.runDue();
    }
    void vanish()
    {
        if (auto* s = static_cast<PeerStream*>(m_wire->stream))
            s->peerClose();
        m_clock.runDue();
    }

    // A Hello announcing these limits, which the answers are then held to.
    void hello(uint32_t receiveBuffer = 65536, uint32_t maxMessage = 0)
    {
        send(encodeHello(HelloMessage{0, receiveBuffer, 65536, maxMessage, 0,
                                      String("opc.tcp://127.0.0.1:4840")}));
        TransportLimits limits;
        limits.receiveBufferSize = receiveBuffer;
        limits.maxMessageSize = maxMessage;
        m_endpoint.setLimits(limits);
    }

    // OPN Issue (or Renew); returns the response. The new token is used from the next request.
    OpenSecureChannelResponse
    openChannel(uint32_t lifetimeMs = 600000,
                SecurityTokenRequestType type = SecurityTokenRequestType::Issue)
    {
        OpenSecureChannelRequest request;
        request.requestType = type;
        request.securityMode = MessageSecurityMode::None;
        request.requestedLifetime = lifetimeMs;
        request.clientNonce = ByteString(ByteBuffer{});
        post(request, MessageType::OpenSecureChannel);
        auto response = expect<OpenSecureChannelResponse>();
        m_tokenId = response.securityToken.tokenId;
        if (type == SecurityTokenRequestType::Issue)
            m_endpoint.open(response.securityToken.channelId, m_tokenId, {});
        else
            m_endpoint.renew(m_tokenId, {});
        return response;
    }

    // Sends a service message; returns its request id.
    uint32_t post(ServiceMessage message, MessageType type = MessageType::Message)
    {
        if (RequestHeader* header = requestHeaderOf(message)) {
            header->authenticationToken = m_authenticationToken;
            header->requestHandle = ++m_handle;
            header->timestamp = m_clock.utcNow();
        }
        m_endpoint.send(m_outbox, type, ++m_requestId, message);
        send(m_outbox.takeWritten());
        return m_requestId;
    }

    // Every complete message or ERR the server has sent so far.
    std::deque<Reply> replies()
    {
        m_endpoint.feed(std::exchange(m_wire->written, {}));
        std::deque<Reply> out;
        while (auto input = m_endpoint.next()) {
            if (auto* message = std::get_if<AssembledMessage>(&*input)) {
                out.push_back({message->type, message->requestId,
                               decodeServiceMessage(message->body), std::nullopt});
                continue;
            }
            const auto& chunk = std::get<RawChunk>(*input);
            if (chunk.header.type == MessageType::Error)
                out.push_back({MessageType::Error, 0, std::nullopt, decodeError(chunk.bytes)});
        }
        return out;
    }

    // The one reply that must have come; throws otherwise.
    Reply expectReply()
    {
        auto all = replies();
        if (all.size() != 1)
            throw std::runtime_error("expected one reply, got " + std::to_string(all.size()));
        return std::move(all.front());
    }
    // The one reply, a message of type Response; throws otherwise.
    template <class Response> Response expect()
    {
        return std::get<Response>(*expectReply().message);
    }

    // The status of the one ERR the server must have sent, having closed the connection;
    // throws otherwise.
    StatusCode expectError()
    {
        Reply reply = expectReply();
        if (reply.type != MessageType::Error || open())
            throw std::runtime_error("expected an error and the connection closed");
        return reply.error->error;
    }

    // A request and its response (a ServiceFault is returned as such), or with a Response type
    // given, the response of that type; throws for another.
    template <class Response = ServiceMessage, class Request> Response call(Request request)
    {
        const uint32_t id = post(std::move(request));
        Reply reply = expectReply();
        if (reply.requestId != id)
            throw std::runtime_error("reply to another request");
        if constexpr (std::is_same_v<Response, ServiceMessage>)
            return std::move(*reply.message);
        else
            return std::get<Response>(std::move(*reply.message));
    }

    // A session created and activated on the open channel.
    void connectSession(double sessionTimeoutMs = 60000)
    {
        CreateSessionRequest create;
        create.requestedSessionTimeout = sessionTimeoutMs;
        create.sessionName = String("test");
        m_authenticationToken = call<CreateSessionResponse>(create).authenticationToken;
        ActivateSessionRequest activate;
        activate.userIdentityToken = packBody(AnonymousIdentityToken{String("anonymous")});
        call<ActivateSessionResponse>(activate);
    }

    void setAuthenticationToken(NodeId token) { m_authenticationToken = std::move(token); }
    const NodeId& authenticationToken() const { return m_authenticationToken; }
    uint32_t channelId() const { return m_endpoint.channelId(); }
    uint32_t tokenId() const { return m_tokenId; }

private:
    std::shared_ptr<Wire> m_wire;
    ManualClock& m_clock;
    ChannelEndpoint m_endpoint{ChannelSide::Client, 65536};
    FakeStream m_outbox; // what the endpoint frames, on its way to the server
    uint32_t m_tokenId = 0;
    uint32_t m_requestId = 0;
    uint32_t m_handle = 0;
    NodeId m_authenticationToken;
};

StatusCode faultStatus(const ServiceMessage& message)
{
    if (auto* fault = std::get_if<ServiceFault>(&message))
        return fault->responseHeader.serviceResult;
    return status::Good;
}

const NodeId kCounter(1, String("Counter"));
const NodeId kReadOnly(1, String("ReadOnly"));

// An address space with a writable Int16 and a read-only Double under Objects.
void addTestNodes(AddressSpace& space)
{
    VariableDefinition counter;
    counter.id = kCounter;
    counter.browseName = {1, String("Counter")};
    counter.parent = NodeId(0, ids::ObjectsFolder);
    counter.referenceType = NodeId(0, ids::Organizes);
    counter.dataType = NodeId(0, ids::Int16);
    counter.accessLevel = kAccessLevelCurrentRead | kAccessLevelCurrentWrite;
    counter.value = Variant::fromScalar(int16_t(7));
    space.addVariable(counter);

    VariableDefinition readOnly = counter;
    readOnly.id = kReadOnly;
    readOnly.browseName = {1, String("ReadOnly")};
    readOnly.dataType = NodeId(0, ids::Double);
    readOnly.accessLevel = kAccessLevelCurrentRead;
    readOnly.value = Variant::fromScalar(1.5);
    space.addVariable(readOnly);
}

ReadValueId readOf(const NodeId& node, uint32_t attribute = uint32_t(AttributeId::Value))
{
    ReadValueId id;
    id.nodeId = node;
    id.attributeId = attribute;
    return id;
}

ReadRequest readCounter()
{
    ReadRequest read;
    read.nodesToRead.push_back(readOf(kCounter));
    return read;
}

struct Fixture
{
    explicit Fixture(ServerSettings settings = {}) : server(space, clock, std::move(settings))
    {
        addTestNodes(space);
    }
    ManualClock clock;
    AddressSpace space;
    Server server;
};

// A MSG chunk of request `request` on the peer's channel, the request-th chunk after the OPN
// (which had sequence number 1); by default the first chunk of a message whose rest never comes.
ByteBuffer chunkOf(const Peer& peer, uint32_t request, ChunkType type = ChunkType::Intermediate,
                   ByteBuffer body = ByteBuffer(100, 0))
{
    SecureChunk chunk;
    chunk.header.type = MessageType::Message;
    chunk.header.chunkType = type;
    chunk.secureChannelId = peer.channelId();
    chunk.security = SymmetricSecurityHeader{peer.tokenId()};
    chunk.sequence = {request + 1, request};
    chunk.body = std::move(body);
    return encodeSecureChunk(chunk);
}

// A server with one client that got as far as `idle`.
struct Session : Fixture
{
    explicit Session(ServerSettings settings = {}, Idle idle = Idle::SessionActive)
        : Fixture(std::move(settings)), peer(server, clock, idle)
    {}
    Peer peer;
};

CreateSubscriptionRequest subscriptionRequest(double intervalMs, uint32_t keepAlive = 10)
{
    CreateSubscriptionRequest r;
    r.requestedPublishingInterval = intervalMs;
    r.requestedMaxKeepAliveCount = keepAlive;
    r.requestedLifetimeCount = keepAlive * 3;
    r.publishingEnabled = true;
    return r;
}

// Creates a subscription; returns its id.
uint32_t subscribe(Peer& peer, double intervalMs, uint32_t keepAlive = 10)
{
    return peer.call<CreateSubscriptionResponse>(subscriptionRequest(intervalMs, keepAlive))
        .subscriptionId;
}

CreateMonitoredItemsRequest monitorRequest(uint32_t subscriptionId, const NodeId& node,
                                           uint32_t clientHandle, double samplingMs = 0)
{
    CreateMonitoredItemsRequest r;
    r.subscriptionId = subscriptionId;
    r.timestampsToReturn = TimestampsToReturn::Both;
    MonitoredItemCreateRequest item;
    item.itemToMonitor.nodeId = node;
    item.monitoringMode = MonitoringMode::Reporting;
    item.requestedParameters.clientHandle = clientHandle;
    item.requestedParameters.samplingInterval = samplingMs;
    item.requestedParameters.queueSize = 1;
    r.itemsToCreate.push_back(item);
    return r;
}

// The counter's values in the data changes of a publish response, in order; -1 for a value
// that is no Int16.
std::vector<int> counterValues(const PublishResponse& response)
{
    std::vector<int> values;
    for (const Notification& n : response.notificationMessage.notificationData) {
        if (auto* changes = std::get_if<DataChangeNotification>(&n)) {
            for (const auto& item : changes->monitoredItems)
                values.push_back(item.value.value->scalar<int16_t>().value_or(-1));
        }
    }
    return values;
}

} // namespace

Q_DECLARE_METATYPE(Idle)

class TestServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { servo::routeProtocolLogToQt(); }

    // Lifetimes are capped so that a silent channel and a vanished client's session do not
    // hold their places for long; publishing intervals have a floor.
    void requestedTimesAreRevisedIntoTheirRange_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<double>("requested");
        QTest::addColumn<double>("revised");
        QTest::newRow("token: as asked") << "token" << 5000.0 << 5000.0;
        QTest::newRow("token: 0 gets the default") << "token" << 0.0 << 600000.0;
        QTest::newRow("token: an hour is capped") << "token" << 3600000.0 << 600000.0;
        QTest::newRow("token: 10 ms is raised") << "token" << 10.0 << 1000.0;
        QTest::newRow("session: as asked") << "session" << 10000.0 << 10000.0;
        QTest::newRow("session: 0 gets the cap") << "session" << 0.0 << 600000.0;
        QTest::newRow("session: a day is capped") << "session" << 86400000.0 << 600000.0;
        QTest::newRow("session: 1 ms is raised") << "session" << 1.0 << 100.0;
        QTest::newRow("session: not a number") << "session" << std::nan("") << 600000.0;
        QTest::newRow("publishing: 0 ms") << "publishing" << 0.0 << 1.0;
        QTest::newRow("publishing: 0.2 ms") << "publishing" << 0.2 << 1.0;
        QTest::newRow("publishing: 1 ms") << "publishing" << 1.0 << 1.0;
        QTest::newRow("publishing: 250 ms") << "publishing" << 250.0 << 250.0;
        QTest::newRow("publishing: not a number") << "publishing" << std::nan("") << 1.0;
        QTest::newRow("lifetime: 1 s intervals for a day") << "lifetime" << 86400.0 << 600.0;
    }
    void requestedTimesAreRevisedIntoTheirRange()
    {
        QFETCH(QString, what);
        QFETCH(double, requested);
        QFETCH(double, revised);
        Session f({}, Idle::Greeted);
        const auto token = f.peer.openChannel(what == "token" ? uint32_t(requested) : 600000);
        QVERIFY(token.securityToken.channelId != 0);
        QVERIFY(token.securityToken.tokenId != 0);
        if (what == "token") {
            QCOMPARE(double(token.securityToken.revisedLifetime), revised);
            return;
        }
        if (what == "session") {
            CreateSessionRequest create;
            create.requestedSessionTimeout = requested;
            QCOMPARE(f.peer.call<CreateSessionResponse>(create).revisedSessionTimeout, revised);
            return;
        }
        f.peer.connectSession();
        if (what == "lifetime") {
            auto request = subscriptionRequest(1000);
            request.requestedLifetimeCount = uint32_t(requested);
            QCOMPARE(double(f.peer.call<CreateSubscriptionResponse>(request).revisedLifetimeCount),
                     revised);
            return;
        }
        const auto sub = f.peer.call<CreateSubscriptionResponse>(subscriptionRequest(requested));
        QCOMPARE(sub.revisedPublishingInterval, revised);
        QVERIFY(sub.revisedLifetimeCount >= 3 * sub.revisedMaxKeepAliveCount);
    }

    void renewalKeepsTheChannelWithANewToken()
    {
        Session f;
        const uint32_t oldToken = f.peer.tokenId();
        const auto renewed =
            f.peer.openChannel(600000, SecurityTokenRequestType::Renew).securityToken;
        QVERIFY(renewed.tokenId != oldToken);
        QCOMPARE(renewed.channelId, f.peer.channelId());

        // Which token the answers use is the channel endpoint's affair; the server must have
        // given the new one to its end of the channel, which refuses tokens it does not know.
        f.peer.call<ReadResponse>(readCounter());
    }

    // Discovery is served on any open channel; the other services need an activated session.
    void sessionServicesNeedAnActivatedSession()
    {
        Session f({}, Idle::ChannelOpen);
        GetEndpointsRequest request;
        request.endpointUrl = String("opc.tcp://example:4840");
        const auto endpoints = f.peer.call<GetEndpointsResponse>(request).endpoints;
        QCOMPARE(endpoints.size(), size_t(1));
        QCOMPARE(endpoints[0].endpointUrl, request.endpointUrl);
        QCOMPARE(endpoints[0].securityMode, MessageSecurityMode::None);
        QCOMPARE(endpoints[0].securityPolicyUri, String(kSecurityPolicyNone));
        QCOMPARE(endpoints[0].userIdentityTokens.size(), size_t(1));
        QCOMPARE(endpoints[0].userIdentityTokens[0].tokenType, UserTokenType::Anonymous);
        const auto servers = f.peer.call<FindServersResponse>(FindServersRequest{}).servers;
        QCOMPARE(servers.size(), size_t(1));
        QCOMPARE(servers[0].applicationUri, String(f.server.settings().applicationUri));
        QCOMPARE(faultStatus(f.peer.call(readCounter())), status::BadSessionIdInvalid);

        const auto created = f.peer.call<CreateSessionResponse>(CreateSessionRequest{});
        QCOMPARE(created.serverNonce.size(), size_t(32));
        f.peer.setAuthenticationToken(created.authenticationToken);
        QCOMPARE(faultStatus(f.peer.call(readCounter())), status::BadSessionNotActivated);

        f.peer.call<ActivateSessionResponse>(ActivateSessionRequest{}); // no token: anonymous
        f.peer.call<ReadResponse>(readCounter());
        QCOMPARE(f.server.sessionCount(), size_t(1));

        f.peer.call<CloseSessionResponse>(CloseSessionRequest{});
        QCOMPARE(f.server.sessionCount(), size_t(0));
        QCOMPARE(faultStatus(f.peer.call(readCounter())), status::BadSessionIdInvalid);
    }

    void identityTokensAreCheckedAgainstTheUser_data()
    {
        QTest::addColumn<bool>("withUser");
        QTest::addColumn<bool>("allowAnonymous");
        QTest::addColumn<QStringList>("login");
        QTest::addColumn<ExtensionObject>("token");
        QTest::addColumn<quint32>("expected");
        const auto rejected = status::BadIdentityTokenRejected.code;
        const auto invalid = status::BadIdentityTokenInvalid.code;
        const auto denied = status::BadUserAccessDenied.code;
        const auto good = status::Good.code;
        const ExtensionObject none; // with a login: the user name token; else anonymous
        const auto row = [](const char* name, bool user, bool anonymousAllowed,
                            const QStringList& login, const ExtensionObject& token,
                            quint32 status) {
            QTest::newRow(name) << user << anonymousAllowed << login << token << status;
        };
        row("no user: user name", false, false, {"op", "pw"}, none, rejected);
        row("no user: anonymous", false, false, {}, none, good);
        row("foreign policy id", false, false, {},
            packBody(AnonymousIdentityToken{String("guest")}), invalid);
        row("unknown structure", false, false, {},
            {NodeId(0, 999), ExtensionObjectEncoding::ByteString, {1, 2, 3}}, invalid);
        row("undecodable body", false, false, {},
            {NodeId(0, AnonymousIdentityToken::kBinaryEncodingId),
             ExtensionObjectEncoding::ByteString,
             {0xFF}},
            invalid);
        row("right password", true, false, {"op", "pw 1"}, none, good);
        row("right password, zero-padded to the block", true, false, {"op", "pw 1", "padded"}, none,
            good);
        row("wrong password", true, false, {"op", "pw 2"}, none, denied);
        row("password prefix", true, false, {"op", "pw "}, none, denied);
        row("wrong user", true, false, {"oq", "pw 1"}, none, denied);
        row("empty password", true, false, {"op", ""}, none, denied);
        row("anonymous refused", true, false, {}, none, rejected);
        row("anonymous allowed", true, true, {}, none, good);
    }
    void identityTokensAreCheckedAgainstTheUser()
    {
        QFETCH(bool, withUser);
        QFETCH(bool, allowAnonymous);
        QFETCH(QStringList, login);
        QFETCH(ExtensionObject, token);
        QFETCH(quint32, expected);
        ServerSettings settings;
        if (withUser) {
            settings.security.user = ServerUser{"op", "pw 1"};
            settings.security.certificate = m_serverCertificate;
            settings.security.key = m_serverKey;
        }
        settings.security.allowAnonymous = allowAnonymous;
        Session f(settings, Idle::ChannelOpen);
        const auto created = f.peer.call<CreateSessionResponse>(CreateSessionRequest{});
        f.peer.setAuthenticationToken(created.authenticationToken);
        // Without security the password is encrypted as the endpoint's token policy says.
        const auto& policy =
            security::securityPolicy("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
        ActivateSessionRequest activate;
        activate.userIdentityToken = token;
        if (!login.isEmpty()) {
            const ByteBuffer password = ByteString::fromText(login[1].toStdString()).bytes();
            const ByteBuffer& nonce = created.serverNonce.bytes();
            ByteString secret = security::encryptUserPassword(
                policy, m_serverCertificate.publicKey(), password, nonce);
            if (login.size() > 2)
                secret = ByteString(paddedSecret(policy, password, nonce));
            activate.userIdentityToken = packBody(UserNameIdentityToken{
                String(std::string(kUserNamePolicyId)), String(login[0].toStdString()), secret,
                String(std::string(policy.asymmetricEncryptionUri))});
        }
        QCOMPARE(faultStatus(f.peer.call(activate)).code, expected);
        if (expected != status::Good.code) {
            // Guessing ends with the session: its third refusal closes it. Each refusal delays
            // the next answer.
            for (const auto next : {expected, expected, status::BadSessionIdInvalid.code}) {
                f.peer.post(activate);
                f.clock.advance(milliseconds(1000));
                QCOMPARE(faultStatus(*f.peer.expectReply().message).code, next);
            }
        }
        if (withUser) {
            const auto endpoints = f.peer.call<GetEndpointsResponse>(GetEndpointsRequest{});
            const auto& tokens = endpoints.endpoints.at(0).userIdentityTokens;
            QCOMPARE(tokens.back().tokenType, UserTokenType::UserName);
            QCOMPARE(tokens.back().securityPolicyUri.str(), policy.uri);
            QCOMPARE(tokens.size(), allowAnonymous ? size_t(2) : size_t(1));
        }
    }

    // Clients that choose by level take what this system's client prefers: every SignAndEncrypt
    // endpoint above every Sign one, and within a mode the stronger policy.
    void endpointLevelsFollowOneRanking()
    {
        const std::array strongestFirst{"Aes256_Sha256_RsaPss", "Basic256Sha256",
                                        "Aes128_Sha256_RsaOaep"};
        std::vector<std::pair<std::string, int>> levels;
        for (const auto mode : {MessageSecurityMode::SignAndEncrypt, MessageSecurityMode::Sign}) {
            for (const std::string_view name : strongestFirst) {
                const auto& policy = *std::ranges::find(security::kSecurityPolicies, name,
                                                        &security::SecurityPolicy::name);
                levels.emplace_back(std::to_string(int(mode)) + "/" + std::string(name),
                                    securityLevel({mode, &policy}));
            }
        }
        levels.emplace_back("None", securityLevel({}));
        for (size_t i = 1; i < levels.size(); ++i)
            QVERIFY2(levels[i - 1].second > levels[i].second,
                     (levels[i - 1].first + " is not above " + levels[i].first).c_str());
    }

    void sessionNotActivatedInTimeIsDropped()
    {
        ServerSettings settings;
        settings.activationTimeout = milliseconds(3000);
        Session f(settings);
        Peer late(f.server, f.clock, Idle::SessionCreated);
        f.clock.advance(milliseconds(2999));
        QCOMPARE(f.server.sessionCount(), size_t(2));
        f.clock.advance(milliseconds(1));
        QCOMPARE(f.server.sessionCount(), size_t(1));
        QCOMPARE(faultStatus(late.call(ActivateSessionRequest{})), status::BadSessionIdInvalid);
        QVERIFY(late.open()); // only the session goes
    }

    // A session without requests times out, taking its subscriptions with it.
    void sessionTimesOutWithoutRequests()
    {
        Session f({}, Idle::ChannelOpen);
        f.peer.connectSession(1000);
        subscribe(f.peer, 10);
        f.clock.advance(milliseconds(900));
        f.peer.call<ReadResponse>(readCounter()); // renews the session
        f.clock.advance(milliseconds(900));
        QCOMPARE(f.server.sessionCount(), size_t(1));
        f.clock.advance(milliseconds(200));
        QCOMPARE(f.server.sessionCount(), size_t(0));
        QCOMPARE(f.server.subscriptionCount(), size_t(0));
        QCOMPARE(faultStatus(f.peer.call(readCounter())), status::BadSessionIdInvalid);
    }

    void readReturnsValuesAndPerNodeErrors()
    {
        Session f;
        ReadRequest read;
        read.timestampsToReturn = TimestampsToReturn::Neither;
        read.nodesToRead = {readOf(kCounter), readOf(NodeId(1, String("Nowhere"))),
                            readOf(kCounter, uint32_t(AttributeId::DataType))};
        const auto response = f.peer.call<ReadResponse>(read);
        QCOMPARE(response.results.size(), size_t(3));
        QCOMPARE(response.results[0].value->scalar<int16_t>(), std::optional<int16_t>(7));
        QVERIFY(!response.results[0].serverTimestamp);
        QCOMPARE(response.results[1].statusOrGood(), status::BadNodeIdUnknown);
        QVERIFY(response.results[2].value->scalar<NodeId>() == NodeId(0, ids::Int16));

        QCOMPARE(faultStatus(f.peer.call(ReadRequest{})), status::BadNothingToDo);
        read.timestampsToReturn = TimestampsToReturn(7);
        QCOMPARE(faultStatus(f.peer.call(read)), status::BadTimestampsToReturnInvalid);
    }

    void writeChecksNodeAccessAndType_data()
    {
        QTest::addColumn<NodeId>("node");
        QTest::addColumn<Variant>("value");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("Int16 into Int16")
            << kCounter << Variant::fromScalar(int16_t(9)) << status::Good.code;
        QTest::newRow("array into scalar")
            << kCounter << Variant::fromArray(std::vector<int16_t>{1, 2})
            << status::BadTypeMismatch.code;
        QTest::newRow("empty value") << kCounter << Variant() << status::BadTypeMismatch.code;
        QTest::newRow("unknown node")
            << NodeId(1, String("Nowhere")) << Variant::fromScalar(int16_t(1))
            << status::BadNodeIdUnknown.code;
        QTest::newRow("an object")
            << NodeId(0, ids::ObjectsFolder) << Variant::fromScalar(int16_t(1))
            << status::BadNotWritable.code;
    }
    void writeChecksNodeAccessAndType()
    {
        QFETCH(NodeId, node);
        QFETCH(Variant, value);
        QFETCH(quint32, expected);
        Session f;
        WriteRequest write;
        write.nodesToWrite.resize(1);
        write.nodesToWrite[0].nodeId = node;
        write.nodesToWrite[0].value.value = value;
        const auto response = f.peer.call<WriteResponse>(write);
        QCOMPARE(response.results.size(), size_t(1));
        QCOMPARE(response.results[0].code, expected);
        const int16_t stored = *f.space.find(kCounter)->value.value->scalar<int16_t>();
        QCOMPARE(stored,
                 expected == status::Good.code && node == kCounter ? int16_t(9) : int16_t(7));
    }

    void browseAndTranslateFindTheNodes()
    {
        Session f;
        BrowseRequest browse;
        BrowseDescription objects;
        objects.nodeId = NodeId(0, ids::ObjectsFolder);
        objects.referenceTypeId = NodeId(0, ids::HierarchicalReferences);
        objects.includeSubtypes = true;
        browse.nodesToBrowse.push_back(objects);
        browse.requestedMaxReferencesPerNode = 2; // the rest through BrowseNext
        auto first = f.peer.call<BrowseResponse>(browse).results.at(0);
        BrowseNextRequest next;
        next.continuationPoints.push_back(first.continuationPoint);
        auto more = f.peer.call<BrowseNextResponse>(next);
        QStringList names;
        for (const auto* page : {&first.references, &more.results.at(0).references}) {
            for (const auto& r : *page)
                names << QString::fromStdString(r.browseName.name.str());
        }
        QCOMPARE(names, QStringList({"Server", "Counter", "ReadOnly"}));
        QVERIFY(more.results[0].continuationPoint.isNull());
        more = f.peer.call<BrowseNextResponse>(next);
        QCOMPARE(more.results[0].statusCode, status::BadContinuationPointInvalid);

        TranslateBrowsePathsToNodeIdsRequest translate;
        BrowsePath path;
        path.startingNode = NodeId(0, ids::RootFolder);
        RelativePathElement toObjects;
        toObjects.referenceTypeId = NodeId(0, ids::HierarchicalReferences);
        toObjects.targetName = {0, String("Objects")};
        RelativePathElement toCounter = toObjects;
        toCounter.targetName = {1, String("Counter")};
        path.relativePath.elements = {toObjects, toCounter};
        translate.browsePaths.push_back(path);
        path.relativePath.elements[1].targetName = {1, String("Missing")};
        translate.browsePaths.push_back(path);
        const auto translated = f.peer.call<TranslateBrowsePathsToNodeIdsResponse>(translate);
        QCOMPARE(translated.results[0].statusCode, status::Good);
        QCOMPARE(translated.results[0].targets.size(), size_t(1));
        QVERIFY(translated.results[0].targets[0].targetId.nodeId == kCounter);
        QCOMPARE(translated.results[1].statusCode, status::BadNoMatch);
    }

    void changesArePublishedAcknowledgedAndRepublished()
    {
        Session f;
        const uint32_t sub = subscribe(f.peer, 20);
        const auto created =
            f.peer.call<CreateMonitoredItemsResponse>(monitorRequest(sub, kCounter, 42));
        QCOMPARE(created.results[0].statusCode, status::Good);
        QCOMPARE(created.results[0].revisedQueueSize, 1u);

        // The initial value goes out on the first interval tick.
        f.peer.post(PublishRequest{});
        QVERIFY(f.peer.replies().empty());
        f.clock.advance(milliseconds(20));
        auto first = f.peer.expect<PublishResponse>();
        QCOMPARE(counterValues(first), std::vector<int>{7});
        QCOMPARE(first.notificationMessage.sequenceNumber, 1u);
        QCOMPARE(first.availableSequenceNumbers, std::vector<uint32_t>{1});
        RepublishRequest again;
        again.subscriptionId = sub;
        again.retransmitSequenceNumber = 1;
        QCOMPARE(f.peer.call<RepublishResponse>(again).notificationMessage,
                 first.notificationMessage);

        // A change long after the last message goes out at once. The message before it is
        // kept as it went out, whatever the item holds now.
        f.peer.post(PublishRequest{});
        f.clock.advance(milliseconds(100));
        f.space.setValue(kCounter, Variant::fromScalar(int16_t(8)));
        f.clock.runDue();
        auto second = f.peer.expect<PublishResponse>();
        QCOMPARE(counterValues(second), std::vector<int>{8});
        QCOMPARE(second.notificationMessage.sequenceNumber, 2u);
        QCOMPARE(second.availableSequenceNumbers, (std::vector<uint32_t>{1, 2}));
        QCOMPARE(encodeToBytes(f.peer.call<RepublishResponse>(again).notificationMessage),
                 encodeToBytes(first.notificationMessage));

        // The acknowledgements are answered one by one, and what is acknowledged is no longer
        // kept.
        PublishRequest acks;
        acks.subscriptionAcknowledgements = {{sub, 1}, {sub, 1}, {sub + 100, 1}};
        f.peer.post(acks);
        f.clock.advance(milliseconds(100));
        f.space.setValue(kCounter, Variant::fromScalar(int16_t(9)));
        f.clock.runDue();
        auto third = f.peer.expect<PublishResponse>();
        QCOMPARE(counterValues(third), std::vector<int>{9});
        QCOMPARE(third.results,
                 (std::vector<StatusCode>{status::Good, status::BadSequenceNumberUnknown,
                                          status::BadSubscriptionIdInvalid}));
        QCOMPARE(third.availableSequenceNumbers, (std::vector<uint32_t>{2, 3}));
        QCOMPARE(faultStatus(f.peer.call(again)), status::BadMessageNotAvailable);

        // Two changes within an interval: the newer one, once, at the interval's end.
        f.peer.post(PublishRequest{});
        f.clock.advance(milliseconds(5));
        f.space.setValue(kCounter, Variant::fromScalar(int16_t(10)));
        f.space.setValue(kCounter, Variant::fromScalar(int16_t(11)));
        f.clock.advance(milliseconds(14));
        QVERIFY(f.peer.replies().empty());
        f.clock.advance(milliseconds(1));
        QCOMPARE(counterValues(f.peer.expect<PublishResponse>()), std::vector<int>{11});
    }

    // At 1 ms every change goes out in the next millisecond. A subscription that had no Publish
    // request when it was due answers the next one at once.
    void oneMillisecondPublishingKeepsUp()
    {
        Session f;
        f.peer.call(monitorRequest(subscribe(f.peer, 1), kCounter, 1));
        f.clock.advance(milliseconds(50));
        QVERIFY(f.peer.replies().empty());
        f.peer.post(PublishRequest{});
        QCOMPARE(counterValues(f.peer.expect<PublishResponse>()), std::vector<int>{7});
        f.peer.post(PublishRequest{}); // two requests to spare
        f.peer.post(PublishRequest{});
        for (int16_t v = 100; v < 110; ++v) {
            f.peer.post(PublishRequest{});
            f.space.setValue(kCounter, Variant::fromScalar(v));
            f.clock.advance(milliseconds(1));
            QCOMPARE(counterValues(f.peer.expect<PublishResponse>()), std::vector<int>{v});
        }
    }

    void keepAliveComesAfterTheKeepAliveCountAsCreatedAndAsModified()
    {
        Session f;
        const auto sub = f.peer.call<CreateSubscriptionResponse>(subscriptionRequest(10, 5));
        QCOMPARE(sub.revisedMaxKeepAliveCount, 5u);
        f.peer.post(PublishRequest{});
        f.peer.post(PublishRequest{});
        f.clock.advance(milliseconds(10)); // the first message: a keep-alive
        auto first = f.peer.expect<PublishResponse>();
        QVERIFY(first.notificationMessage.notificationData.empty());
        QCOMPARE(first.notificationMessage.sequenceNumber, 1u); // the next number, not used
        f.clock.advance(milliseconds(49));
        QVERIFY(f.peer.replies().empty());
        f.clock.advance(milliseconds(1));
        auto second = f.peer.expect<PublishResponse>();
        QVERIFY(second.notificationMessage.notificationData.empty());
        QCOMPARE(second.subscriptionId, sub.subscriptionId);

        ModifySubscriptionRequest modify;
        modify.subscriptionId = sub.subscriptionId;
        modify.requestedPublishingInterval = 100;
        modify.requestedMaxKeepAliveCount = 3;
        modify.requestedLifetimeCount = 1;
        const auto modified = f.peer.call<ModifySubscriptionResponse>(modify);
        QCOMPARE(modified.revisedPublishingInterval, 100.0);
        QCOMPARE(modified.revisedMaxKeepAliveCount, 3u);
        QVERIFY(modified.revisedLifetimeCount >= 3 * modified.revisedMaxKeepAliveCount);
        // Keep-alives now come every 3 x 100 ms after the last message, not every 5 x 10 ms.
        f.peer.post(PublishRequest{});
        f.clock.advance(milliseconds(299));
        QVERIFY(f.peer.replies().empty());
        f.clock.advance(milliseconds(1));
        QVERIFY(f.peer.expect<PublishResponse>().notificationMessage.notificationData.empty());

        modify.subscriptionId += 100;
        QCOMPARE(faultStatus(f.peer.call(modify)), status::BadSubscriptionIdInvalid);
    }

    void disabledPublishingHoldsChangesUntilEnabled()
    {
        Session f;
        const uint32_t sub = subscribe(f.peer, 10, 100);
        SetPublishingModeRequest mode;
        mode.publishingEnabled = false;
        mode.subscriptionIds = {sub, sub + 100};
        QCOMPARE(f.peer.call<SetPublishingModeResponse>(mode).results,
                 (std::vector<StatusCode>{status::Good, status::BadSubscriptionIdInvalid}));
        f.peer.call(monitorRequest(sub, kCounter, 1));
        f.peer.post(PublishRequest{});
        const uint32_t publish = f.peer.post(PublishRequest{});
        f.clock.advance(milliseconds(500));
        f.space.setValue(kCounter, Variant::fromScalar(int16_t(8)));
        f.clock.advance(milliseconds(100));
        // Only the keep-alive that tells the client the subscription works.
        QVERIFY(f.peer.expect<PublishResponse>().notificationMessage.notificationData.empty());

        mode.publishingEnabled = true;
        mode.subscriptionIds = {sub};
        f.peer.post(mode);
        auto replies = f.peer.replies();
        QCOMPARE(replies.size(), size_t(2));
        QVERIFY(std::holds_alternative<SetPublishingModeResponse>(*replies[0].message));
        QCOMPARE(replies[1].requestId, publish);
        QCOMPARE(counterValues(std::get<PublishResponse>(*replies[1].message)),
                 std::vector<int>{8});
    }

    void notificationsBeyondTheMaximumGoInTheNextResponse_data()
    {
        QTest::addColumn<uint>("requested"); // by the client; 0 for no limit
        QTest::addColumn<uint>("serverLimit");
        QTest::addColumn<QList<int>>("messageSizes");
        QTest::newRow("no limit reached") << 0u << 1000u << QList<int>{3};
        QTest::newRow("the client's limit") << 2u << 1000u << QList<int>{2, 1};
        QTest::newRow("the server's limit") << 0u << 2u << QList<int>{2, 1};
        QTest::newRow("the lower of both") << 5u << 1u << QList<int>{1, 1, 1};
    }
    void notificationsBeyondTheMaximumGoInTheNextResponse()
    {
        QFETCH(uint, requested);
        QFETCH(uint, serverLimit);
        QFETCH(QList<int>, messageSizes);
        ServerSettings settings;
        settings.subscriptions.maxNotificationsPerPublish = serverLimit;
        Session f(settings);
        CreateSubscriptionRequest create = subscriptionRequest(10);
        create.maxNotificationsPerPublish = requested;
        const uint32_t sub = f.peer.call<CreateSubscriptionResponse>(create).subscriptionId;
        auto monitor = monitorRequest(sub, kCounter, 1);
        monitor.itemsToCreate.push_back(monitorRequest(sub, kReadOnly, 2).itemsToCreate.front());
        monitor.itemsToCreate.push_back(monitor.itemsToCreate.front());
        monitor.itemsToCreate.back().requestedParameters.clientHandle = 3;
        f.peer.call(monitor);

        // One request at first: the rest of the notifications wait for the next.
        f.peer.post(PublishRequest{});
        f.clock.advance(milliseconds(10));
        QList<int> sizes;
        std::vector<uint32_t> handles;
        for (int message = 0; message < 3; ++message) {
            auto replies = f.peer.replies();
            if (replies.empty())
                break;
            QCOMPARE(replies.size(), size_t(1));
            const auto response = std::get<PublishResponse>(*replies.front().message);
            const auto& changes = std::get<DataChangeNotification>(
                response.notificationMessage.notificationData.at(0));
            sizes.append(int(changes.monitoredItems.size()));
            for (const auto& item : changes.monitoredItems)
                handles.push_back(item.clientHandle);
            QCOMPARE(response.moreNotifications, handles.size() < 3);
            QCOMPARE(response.notificationMessage.sequenceNumber, uint32_t(message + 1));
            f.peer.post(PublishRequest{});
        }
        QCOMPARE(sizes, messageSizes);
        QCOMPARE(handles, (std::vector<uint32_t>{1, 2, 3}));
    }

    // A session holds a bounded number of Publish requests, each no longer than its hint.
    void publishRequestsWaitWithinTheirLimits()
    {
        ServerSettings settings;
        settings.maxPublishRequestsPerSession = 3;
        Session f(settings);
        subscribe(f.peer, 1000, 100); // nothing to send for a second
        PublishRequest shortWait;
        shortWait.requestHeader.timeoutHint = 300;
        PublishRequest longWait;
        longWait.requestHeader.timeoutHint = 600;
        const uint32_t oldest = f.peer.post(PublishRequest{});
        const uint32_t second = f.peer.post(longWait);
        const uint32_t first = f.peer.post(shortWait);
        QVERIFY(f.peer.replies().empty());
        f.peer.post(PublishRequest{});
        Reply reply = f.peer.expectReply();
        QCOMPARE(reply.requestId, oldest);
        QCOMPARE(faultStatus(*reply.message), status::BadTooManyPublishRequests);
        f.clock.advance(milliseconds(299));
        QVERIFY(f.peer.replies().empty());
        f.clock.advance(milliseconds(1));
        reply = f.peer.expectReply();
        QCOMPARE(reply.requestId, first);
        QCOMPARE(faultStatus(*reply.message), status::BadTimeout);
        f.clock.advance(milliseconds(300));
        reply = f.peer.expectReply();
        QCOMPARE(reply.requestId, second);
        QCOMPARE(faultStatus(*reply.message), status::BadTimeout);
    }

    void monitoredItemsRefuseWhatTheyCannotWatch_data()
    {
        QTest::addColumn<NodeId>("node");
        QTest::addColumn<quint32>("attribute");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("value") << kCounter << 13u << status::Good.code;
        QTest::newRow("display name") << kCounter << 4u << status::Good.code;
        QTest::newRow("unknown node")
            << NodeId(1, String("Nowhere")) << 13u << status::BadNodeIdUnknown.code;
        QTest::newRow("bad attribute") << kCounter << 0u << status::BadAttributeIdInvalid.code;
        QTest::newRow("value of an object")
            << NodeId(0, ids::ObjectsFolder) << 13u << status::BadAttributeIdInvalid.code;
        QTest::newRow("events") << NodeId(0, ids::Server) << 12u
                                << status::BadMonitoredItemFilterUnsupported.code;
    }
    void monitoredItemsRefuseWhatTheyCannotWatch()
    {
        QFETCH(NodeId, node);
        QFETCH(quint32, attribute);
        QFETCH(quint32, expected);
        Session f;
        auto request = monitorRequest(subscribe(f.peer, 10), node, 1);
        request.itemsToCreate[0].itemToMonitor.attributeId = attribute;
        const auto response = f.peer.call<CreateMonitoredItemsResponse>(request);
        QCOMPARE(response.results[0].statusCode.code, expected);
    }

    void deletedItemsAndSubscriptionsStopReporting()
    {
        Session f;
        const uint32_t sub = subscribe(f.peer, 10);
        const auto created =
            f.peer.call<CreateMonitoredItemsResponse>(monitorRequest(sub, kCounter, 1));
        DeleteMonitoredItemsRequest deleteItems;
        deleteItems.subscriptionId = sub;
        deleteItems.monitoredItemIds = {created.results[0].monitoredItemId, 999};
        QCOMPARE(f.peer.call<DeleteMonitoredItemsResponse>(deleteItems).results,
                 (std::vector<StatusCode>{status::Good, status::BadMonitoredItemIdInvalid}));
        QCOMPARE(f.space.find(kCounter)->watchers.size(), size_t(0));

        const uint32_t pending = f.peer.post(PublishRequest{});
        DeleteSubscriptionsRequest deleteSubs;
        deleteSubs.subscriptionIds = {sub};
        const uint32_t deleteId = f.peer.post(deleteSubs);
        auto replies = f.peer.replies();
        QCOMPARE(replies.size(), size_t(2));
        QCOMPARE(replies[0].requestId, deleteId);
        QCOMPARE(replies[1].requestId, pending);
        QCOMPARE(faultStatus(*replies[1].message), status::BadNoSubscription);
        QCOMPARE(f.server.subscriptionCount(), size_t(0));
        QCOMPARE(faultStatus(f.peer.call(PublishRequest{})), status::BadNoSubscription);
    }

    // The limits count across sessions, and what is deleted makes room again.
    void serverWideLimitsRefuseSubscriptionsAndItems()
    {
        ServerSettings settings;
        settings.maxSubscriptions = 2;
        settings.maxMonitoredItems = 3;
        Session f(settings);
        Peer b(f.server, f.clock, Idle::SessionActive);
        const uint32_t subA = subscribe(f.peer, 10);
        const uint32_t subB = subscribe(b, 10);
        QCOMPARE(faultStatus(f.peer.call(subscriptionRequest(10))),
                 status::BadTooManySubscriptions);

        auto created = [](Peer& peer, uint32_t subscriptionId, size_t count) {
            auto request = monitorRequest(subscriptionId, kCounter, 1);
            request.itemsToCreate.resize(count, request.itemsToCreate[0]);
            std::vector<StatusCode> statuses;
            for (const auto& r : peer.call<CreateMonitoredItemsResponse>(request).results)
                statuses.push_back(r.statusCode);
            return statuses;
        };
        using Statuses = std::vector<StatusCode>;
        QCOMPARE(created(f.peer, subA, 2), (Statuses{status::Good, status::Good}));
        QCOMPARE(created(b, subB, 2), (Statuses{status::Good, status::BadTooManyMonitoredItems}));

        DeleteSubscriptionsRequest deleteSub;
        deleteSub.subscriptionIds = {subB};
        b.call(deleteSub);
        subscribe(f.peer, 10);
        QCOMPARE(created(f.peer, subA, 1), Statuses{status::Good});
    }

    void subscriptionExpiresWithoutPublishRequests()
    {
        Session f;
        subscribe(f.peer, 1000, 2); // lifetime: at least 10 s
        f.clock.advance(milliseconds(9000));
        QCOMPARE(f.server.subscriptionCount(), size_t(1));
        f.clock.advance(milliseconds(2000));
        QCOMPARE(f.server.subscriptionCount(), size_t(0));
    }

    void unsupportedServiceGetsAServiceFault()
    {
        Session f({}, Idle::ChannelOpen);
        // A request type this server does not offer: Call (encoding id 712), header only.
        Encoder e;
        e.encode(NodeId(0, 712));
        RequestHeader header;
        header.requestHandle = 77;
        encode(e, header);
        e.encode(int32_t(0));
        f.peer.send(chunkOf(f.peer, 1, ChunkType::Final, e.take()));
        auto reply = f.peer.expectReply();
        QCOMPARE(reply.requestId, 1u);
        const auto& fault = std::get<ServiceFault>(*reply.message);
        QCOMPARE(fault.responseHeader.serviceResult, status::BadServiceUnsupported);
        QCOMPARE(fault.responseHeader.requestHandle, 77u);
        QVERIFY(f.peer.open());
    }

    // What the byte stream itself gets wrong is tested where it is read; these show that each
    // stage of the server turns it into an ERR for that connection alone.
    void malformedInputGetsAnErrorAndOnlyThatConnectionCloses_data()
    {
        QTest::addColumn<Idle>("stage");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint32>("expected");
        const auto hello = [](uint32_t buffers) {
            const ByteBuffer b = encodeHello({0, buffers, buffers, 0, 0, String("opc.tcp://x")});
            return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
        };
        QTest::newRow("hello with buffers below the minimum")
            << Idle::Connected << hello(1024) << status::BadTcpNotEnoughResources.code;
        QTest::newRow("chunk beyond the receive buffer")
            << Idle::Greeted << QByteArray("MSGF\xff\xff\xff\x7f", 8)
            << status::BadTcpMessageTooLarge.code;
        QTest::newRow("hello twice")
            << Idle::Greeted << hello(65536) << status::BadTcpMessageTypeInvalid.code;
    }
    void malformedInputGetsAnErrorAndOnlyThatConnectionCloses()
    {
        QFETCH(Idle, stage);
        QFETCH(QByteArray, bytes);
        QFETCH(quint32, expected);
        Session f;
        Peer bad(f.server, f.clock, stage, "192.0.2.66");
        bad.replies();
        // A stranger learns the status alone; the detail goes to the log.
        QTest::ignoreMessage(QtInfoMsg,
                             QRegularExpression("^192\\.0\\.2\\.66:50000: connection closed "
                                                "with Bad\\w+: .{8,}"));
        bad.send(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), size_t(bytes.size())));
        const Reply reply = bad.expectReply();
        QCOMPARE(reply.type, MessageType::Error);
        QCOMPARE(reply.error->error.code & 0xFFFF0000u, expected);
        QVERIFY(reply.error->reason.isEmpty());
        QVERIFY(!bad.open());
        f.peer.call<ReadResponse>(readCounter());
        QCOMPARE(f.server.connectionCount(), size_t(1));
    }

    void unfinishedMessagesCannotPileUp()
    {
        Session f({}, Idle::ChannelOpen);
        for (uint32_t request = 1; request <= 5 && f.peer.open(); ++request)
            f.peer.send(chunkOf(f.peer, request));
        QCOMPARE(f.peer.expectError(), status::BadTcpNotEnoughResources);
    }

    void everyTruncationOfARequestIsSurvived()
    {
        // A whole request cut short at every length, each on a fresh channel and announced
        // with its true size: the server either waits for more or answers with an error, and
        // keeps serving.
        Session f;
        ReadRequest read = readCounter();
        read.requestHeader.authenticationToken = f.peer.authenticationToken();
        const ByteBuffer body = encodeServiceMessage(read);
        for (size_t cut = 0; cut < body.size(); ++cut) {
            Peer peer(f.server, f.clock, Idle::ChannelOpen);
            peer.send(chunkOf(peer, 1, ChunkType::Final,
                              ByteBuffer(body.begin(), body.begin() + ptrdiff_t(cut))));
            auto replies = peer.replies();
            QVERIFY2(replies.size() == 1, qPrintable(QString("cut at %1").arg(cut)));
            const bool fault = replies.front().message &&
                               std::holds_alternative<ServiceFault>(*replies.front().message);
            QVERIFY2(fault || replies.front().type == MessageType::Error,
                     qPrintable(QString("cut at %1").arg(cut)));
            peer.vanish();
        }
        f.peer.call<ReadResponse>(read);
        QCOMPARE(f.server.connectionCount(), size_t(1)); // those that vanished are gone
    }

    void stalledPeerIsClosedAtItsDeadline_data()
    {
        QTest::addColumn<int>("stall"); // how far the peer gets: each row one step further
        QTest::addColumn<int>("deadlineMs");
        QTest::addColumn<quint32>("expected");
        const auto timeout = status::BadTimeout.code;
        QTest::newRow("no Hello") << 0 << 5000 << timeout;
        QTest::newRow("Hello, no OpenSecureChannel") << 1 << 5000 << timeout;
        QTest::newRow("a token of 2 s not renewed")
            << 2 << 2500 << status::BadSecureChannelClosed.code;
        QTest::newRow("half a chunk") << 3 << 10000 << timeout;
        QTest::newRow("the first chunk of two") << 4 << 10000 << timeout;
        QTest::newRow("the second message's first chunk") << 5 << 10000 << timeout;
    }
    void stalledPeerIsClosedAtItsDeadline()
    {
        QFETCH(int, stall);
        QFETCH(int, deadlineMs);
        QFETCH(quint32, expected);
        Session f({}, stall >= 1 ? Idle::Greeted : Idle::Connected);
        if (stall >= 2)
            f.peer.openChannel(stall == 2 ? 2000 : 600000);
        const ByteBuffer first = chunkOf(f.peer, 1);
        if (stall == 3)
            f.peer.send(ByteView(first).first(first.size() / 2));
        if (stall >= 4)
            f.peer.send(first);
        if (stall == 5) {
            // A message that completes starts the deadline again.
            f.clock.advance(milliseconds(deadlineMs - 1));
            f.peer.send(chunkOf(f.peer, 2, ChunkType::Final, encodeServiceMessage(ReadRequest{})));
            QCOMPARE(faultStatus(*f.peer.expectReply().message), status::BadSessionIdInvalid);
        }
        f.clock.advance(milliseconds(deadlineMs - 1));
        QVERIFY(f.peer.open());
        f.clock.advance(milliseconds(1));
        QCOMPARE(f.peer.expectError().code, expected);
    }

    // Peers that stop at any point of the handshake cannot lock others out: at the connection
    // or the session limit the oldest peer without an activated session makes room for a
    // newcomer, while peers in use keep their places and the newcomer is refused.
    void idlePeersMakeRoomForANewcomer_data()
    {
        QTest::addColumn<bool>("sessionLimit"); // else the connection limit
        QTest::addColumn<QList<Idle>>("crowd");
        QTest::addColumn<int>("dropped"); // which of the crowd makes room; -1: none
        const Idle active = Idle::SessionActive;
        const Idle created = Idle::SessionCreated;
        QTest::newRow("sessions in use") << true << QList<Idle>{active, active} << -1;
        QTest::newRow("one session never activated") << true << QList<Idle>{active, created} << 1;
        QTest::newRow("no session activated") << true << QList<Idle>{created, created} << 0;
        QTest::newRow("connected only") << false << QList<Idle>(4, Idle::Connected) << 0;
        QTest::newRow("Hello only") << false << QList<Idle>(4, Idle::Greeted) << 0;
        QTest::newRow("silent channels") << false << QList<Idle>(4, Idle::ChannelOpen) << 0;
        QTest::newRow("sessions never activated") << false << QList<Idle>(4, created) << 0;
        QTest::newRow("connections in use") << false << QList<Idle>(4, active) << -1;
    }
    void idlePeersMakeRoomForANewcomer()
    {
        QFETCH(bool, sessionLimit);
        QFETCH(QList<Idle>, crowd);
        QFETCH(int, dropped);
        ServerSettings settings;
        (sessionLimit ? settings.maxSessions : settings.maxConnections) = size_t(crowd.size());
        Fixture f(settings);
        std::vector<std::unique_ptr<Peer>> peers;
        for (Idle idle : crowd)
            peers.push_back(std::make_unique<Peer>(f.server, f.clock, idle));
        // The newcomer gets in when there is room, else as far as the limit lets it.
        const bool refused = dropped < 0;
        Peer newcomer(f.server, f.clock,
                      !refused       ? Idle::SessionActive
                      : sessionLimit ? Idle::ChannelOpen
                                     : Idle::Connected);
        if (refused && sessionLimit)
            QCOMPARE(faultStatus(newcomer.call(CreateSessionRequest{})),
                     status::BadTooManySessions);
        else if (refused)
            QCOMPARE(newcomer.expectError(), status::BadTcpServerTooBusy);
        for (size_t i = 0; i < peers.size(); ++i) {
            const bool made = int(i) == dropped;
            if (sessionLimit)
                QCOMPARE(faultStatus(peers[i]->call(ActivateSessionRequest{})),
                         made ? status::BadSessionIdInvalid : status::Good);
            else if (made)
                QCOMPARE(peers[i]->expectError(), status::BadTcpServerTooBusy);
            else
                QVERIFY(peers[i]->open());
        }
        QCOMPARE(sessionLimit ? f.server.sessionCount() : f.server.connectionCount(), peers.size());
    }

    // One address at its limit is refused more, while another address still gets in.
    void anAddressAtItsLimitKeepsOnlyItselfOut_data()
    {
        QTest::addColumn<QString>("what");
        for (const char* what : {"connections", "sessions", "subscriptions", "items"})
            QTest::newRow(what) << what;
    }
    void anAddressAtItsLimitKeepsOnlyItselfOut()
    {
        QFETCH(QString, what);
        ServerSettings settings;
        settings.maxConnectionsPerAddress = what == "connections" ? 2 : 3;
        settings.maxSessionsPerAddress = 2;
        settings.maxSubscriptionsPerAddress = what == "subscriptions" ? 2 : 10;
        settings.maxMonitoredItemsPerAddress = 2;
        Fixture f(settings);
        Peer first(f.server, f.clock, Idle::SessionActive, "192.0.2.66");
        Peer second(f.server, f.clock, Idle::SessionActive, "192.0.2.66");
        Peer other(f.server, f.clock, Idle::SessionActive, "192.0.2.7");
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^192\\.0\\.2\\.66:\\d+: limit: this address "
                                                "holds as many \\w.* as it may$"));
        if (what == "connections") {
            Peer third(f.server, f.clock, Idle::Connected, "192.0.2.66");
            QCOMPARE(third.expectError(), status::BadTcpServerTooBusy);
            Peer another(f.server, f.clock, Idle::SessionActive, "192.0.2.7");
            return;
        }
        const uint32_t firstSub = what == "items" ? subscribe(first, 100) : 0;
        const uint32_t otherSub = what == "items" ? subscribe(other, 100) : 0;
        const auto take = [&](Peer& peer, uint32_t sub) {
            if (what == "sessions")
                return faultStatus(peer.call(CreateSessionRequest{}));
            if (what == "subscriptions")
                return faultStatus(peer.call(subscriptionRequest(100)));
            return peer.call<CreateMonitoredItemsResponse>(monitorRequest(sub, kCounter, 1))
                .results.at(0)
                .statusCode;
        };
        const int room = what == "sessions" ? 0 : 2; // each peer holds a session already
        for (int i = 0; i < room; ++i)
            QCOMPARE(take(first, firstSub), status::Good);
        const auto refused = what == "sessions"        ? status::BadTooManySessions
                             : what == "subscriptions" ? status::BadTooManySubscriptions
                                                       : status::BadTooManyMonitoredItems;
        QCOMPARE(take(first, firstSub), refused);
        QCOMPARE(take(other, otherSub), status::Good);
    }

    // A client that left holds nothing for long: after the resume grace its activated session
    // and the session's subscriptions make room for others; within it, the client could resume.
    void aSessionWhoseClientLeftMakesRoomAfterTheGrace_data()
    {
        QTest::addColumn<bool>("subscriptions"); // else sessions
        QTest::newRow("sessions") << false;
        QTest::newRow("subscriptions") << true;
    }
    void aSessionWhoseClientLeftMakesRoomAfterTheGrace()
    {
        QFETCH(bool, subscriptions);
        ServerSettings settings;
        (subscriptions ? settings.maxSubscriptions : settings.maxSessions) = 2;
        Fixture f(settings);
        Peer gone(f.server, f.clock, Idle::SessionActive, "192.0.2.66");
        subscribe(gone, 1000, 100);
        subscribe(gone, 1000, 100);
        if (!subscriptions)
            Peer(f.server, f.clock, Idle::SessionActive, "192.0.2.66").vanish();
        gone.vanish();
        Peer newcomer(f.server, f.clock, subscriptions ? Idle::SessionActive : Idle::ChannelOpen,
                      "192.0.2.7");
        const auto take = [&] {
            return subscriptions ? faultStatus(newcomer.call(subscriptionRequest(100)))
                                 : faultStatus(newcomer.call(CreateSessionRequest{}));
        };
        QCOMPARE(take(),
                 subscriptions ? status::BadTooManySubscriptions : status::BadTooManySessions);
        f.clock.advance(settings.resumeGrace);
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^192\\.0\\.2\\.66:50000: session "
                                                           "ns=1;i=\\d+ closed to make room .*"));
        QCOMPARE(take(), status::Good);
        QCOMPARE(f.server.sessionCount(), size_t(subscriptions ? 1 : 2));
    }

    // Each refused activation delays the next answer to its address, doubling up to the cap;
    // another address is answered at once, and the right password still gets in.
    void refusalsSlowTheGuessingAddressOnly()
    {
        ServerSettings settings;
        settings.security.user = ServerUser{"op", "pw 1"};
        settings.security.certificate = m_serverCertificate;
        settings.security.key = m_serverKey;
        Fixture f(settings);
        Peer guesser(f.server, f.clock, Idle::ChannelOpen, "192.0.2.66");
        Peer other(f.server, f.clock, Idle::ChannelOpen, "192.0.2.7");
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^192\\.0\\.2\\.66:50000: login failed: user "
                                                "\"op\", session ns=1;i=1: BadUserAccessDenied$"));
        for (const int delayMs : {0, 100, 200, 400, 800, 1000, 1000}) {
            guesser.post(login(guesser, "pw 2"));
            if (delayMs > 0) {
                f.clock.advance(milliseconds(delayMs - 1));
                QVERIFY(guesser.replies().empty());
                QCOMPARE(other.call<ActivateSessionResponse>(login(other, "pw 1"))
                             .responseHeader.serviceResult,
                         status::Good);
                f.clock.advance(milliseconds(1));
            }
            QCOMPARE(faultStatus(*guesser.expectReply().message), status::BadUserAccessDenied);
        }
        guesser.post(login(guesser, "pw 1"));
        f.clock.advance(milliseconds(1000));
        QCOMPARE(faultStatus(*guesser.expectReply().message), status::Good);
    }

    // Secured channels cost private-key work, so each address opens only so many a second, and
    // its refusals do not flood the log.
    void securedChannelsAreRateLimitedPerAddress()
    {
        ManualClock clock;
        ServerSettings settings;
        settings.secureOpenBurst = 2;
        settings.secureOpensPerSecond = 10;
        AddressGuard guard(clock, settings);
        QVERIFY(guard.allowSecureOpen("192.0.2.66"));
        QVERIFY(guard.allowSecureOpen("192.0.2.66"));
        QVERIFY(!guard.allowSecureOpen("192.0.2.66"));
        QVERIFY(guard.allowSecureOpen("192.0.2.7"));
        clock.advance(milliseconds(100));
        QVERIFY(guard.allowSecureOpen("192.0.2.66"));
        QVERIFY(!guard.allowSecureOpen("192.0.2.66"));
        // A flood of refusals is reported once a second, with its count.
        QCOMPARE(guard.refusedOpensToReport("192.0.2.66"), uint64_t(2));
        QVERIFY(!guard.allowSecureOpen("192.0.2.66"));
        QCOMPARE(guard.refusedOpensToReport("192.0.2.66"), uint64_t(0));
        clock.advance(milliseconds(1000));
        QVERIFY(guard.allowSecureOpen("192.0.2.66"));
        QVERIFY(guard.allowSecureOpen("192.0.2.66"));
        QVERIFY(!guard.allowSecureOpen("192.0.2.66"));
        QCOMPARE(guard.refusedOpensToReport("192.0.2.66"), uint64_t(2));
    }

    // A client whose link broke resumes its session on a new channel; the subscription moves
    // with it, and the old channel may no longer use the session.
    void aSessionMovesToTheChannelThatActivatesIt()
    {
        Session f;
        const uint32_t sub = subscribe(f.peer, 10);
        f.peer.call(monitorRequest(sub, kCounter, 1));

        Peer second(f.server, f.clock, Idle::ChannelOpen);
        second.setAuthenticationToken(f.peer.authenticationToken());
        second.call<ActivateSessionResponse>(ActivateSessionRequest{});

        QCOMPARE(faultStatus(f.peer.call(readCounter())), status::BadSecureChannelIdInvalid);
        second.post(PublishRequest{});
        f.clock.advance(milliseconds(10));
        const auto published = second.expect<PublishResponse>();
        QCOMPARE(published.subscriptionId, sub);
        QCOMPARE(published.notificationMessage.sequenceNumber, 1u);
        QCOMPARE(f.server.sessionCount(), size_t(1));
    }

    void closeSecureChannelEndsTheConnection()
    {
        Session f;
        f.peer.post(CloseSecureChannelRequest{}, MessageType::CloseSecureChannel);
        QVERIFY(!f.peer.open());
        QVERIFY(f.peer.replies().empty());
        QCOMPARE(f.server.sessionCount(), size_t(1)); // sessions outlive their channel
    }

    // The server sends no larger chunks than the Hello asked for, and no larger messages: a
    // response beyond the client's limit is a fault, on a connection that goes on.
    void answersKeepToTheLimitsOfTheHello()
    {
        Session f({}, Idle::Connected);
        f.peer.hello(8192, 8192);
        f.peer.openChannel();
        f.peer.connectSession();
        ReadRequest read;
        read.nodesToRead.assign(2000, readOf(kCounter));
        QCOMPARE(faultStatus(f.peer.call(read)), status::BadResponseTooLarge);
        QVERIFY(f.peer.open());
    }

private:
    // A password secret as some clients build it: zero bytes after the nonce up to whole RSA
    // blocks.
    ByteBuffer paddedSecret(const security::SecurityPolicy& policy, const ByteBuffer& password,
                            const ByteBuffer& nonce) const
    {
        const size_t block = security::plainTextBlockSize(policy, m_serverCertificate.publicKey());
        ByteBuffer plain = testbytes::concat(
            {testbytes::u32(uint32_t(password.size() + nonce.size())), password, nonce});
        plain.resize((plain.size() + block - 1) / block * block, 0);
        return security::asymmetricEncrypt(policy, m_serverCertificate.publicKey(), plain);
    }

    // A new session of `peer`, and the request that activates it as user "op" with `password`.
    ActivateSessionRequest login(Peer& peer, const std::string& password)
    {
        const auto created = peer.call<CreateSessionResponse>(CreateSessionRequest{});
        peer.setAuthenticationToken(created.authenticationToken);
        const auto& policy =
            security::securityPolicy("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
        ActivateSessionRequest activate;
        activate.userIdentityToken = packBody(UserNameIdentityToken{
            String(std::string(kUserNamePolicyId)), String("op"),
            security::encryptUserPassword(policy, m_serverCertificate.publicKey(),
                                          ByteString::fromText(password).bytes(),
                                          created.serverNonce.bytes()),
            String(std::string(policy.asymmetricEncryptionUri))});
        return activate;
    }

    const pki::PrivateKey m_serverKey = pki::PrivateKey::generateRsa(pki::kApplicationKeyBits);
    const pki::Certificate m_serverCertificate = pki::issueCertificate(
        pki::applicationCertificateProfile({"server", "Test", "urn:localhost:server", "localhost"},
                                           std::chrono::system_clock::now()),
        m_serverKey);
};

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
