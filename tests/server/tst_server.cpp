// The server's protocol logic, driven through in-memory streams on a manual clock.

#include "opcua/nodeid.h"
#include "opcua/pki/issue.h"
#include "opcua/security/sessioncrypto.h"
#include "tests/server/testpeer.h"

#include <QTest>

using namespace opcua;
using namespace testpeer;
using std::chrono::milliseconds;

namespace {

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

ByteBuffer garbage(size_t n)
{
    ByteBuffer bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = uint8_t(i * 37 + 11);
    return bytes;
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

// How far a peer gets before it goes idle.
enum class Idle {
    Connected,      // says nothing
    Greeted,        // Hello
    ChannelOpen,    // Hello and OpenSecureChannel
    SessionCreated, // and CreateSession, never activated
    SessionActive,  // and ActivateSession: in use
};

void advanceTo(Peer& peer, Idle idle)
{
    if (idle >= Idle::Greeted)
        peer.hello();
    if (idle >= Idle::ChannelOpen)
        peer.openChannel();
    if (idle == Idle::SessionCreated)
        peer.setAuthenticationToken(
            std::get<CreateSessionResponse>(peer.call(CreateSessionRequest{})).authenticationToken);
    if (idle == Idle::SessionActive)
        peer.connectSession();
}

CreateSubscriptionRequest subscriptionRequest(double intervalMs, uint32_t keepAlive = 10)
{
    CreateSubscriptionRequest r;
    r.requestedPublishingInterval = intervalMs;
    r.requestedMaxKeepAliveCount = keepAlive;
    r.requestedLifetimeCount = keepAlive * 3;
    r.publishingEnabled = true;
    return r;
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

// The data-change values in a publish response, in order.
std::vector<Variant> changedValues(const PublishResponse& response)
{
    std::vector<Variant> values;
    for (const Notification& n : response.notificationMessage.notificationData) {
        if (auto* changes = std::get_if<DataChangeNotification>(&n)) {
            for (const auto& item : changes->monitoredItems)
                values.push_back(item.value.value.value_or(Variant()));
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
    void helloIsAcknowledgedWithNegotiatedBuffers()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.hello(16384);
        peer.replies();
        QVERIFY(peer.acknowledge().has_value());
        QCOMPARE(peer.acknowledge()->sendBufferSize, 16384u); // never above what we receive
        QCOMPARE(peer.acknowledge()->receiveBufferSize, 65536u);
        QVERIFY(peer.open());
    }

    // Lifetimes are capped so that a silent channel and a vanished client's session do not
    // hold their places for long.
    void grantedLifetimesAreRevisedIntoTheirRange_data()
    {
        QTest::addColumn<bool>("session");
        QTest::addColumn<double>("requested");
        QTest::addColumn<double>("revised");
        QTest::newRow("token: as asked") << false << 5000.0 << 5000.0;
        QTest::newRow("token: 0 gets the default") << false << 0.0 << 600000.0;
        QTest::newRow("token: an hour is capped") << false << 3600000.0 << 600000.0;
        QTest::newRow("token: 10 ms is raised") << false << 10.0 << 1000.0;
        QTest::newRow("session: as asked") << true << 10000.0 << 10000.0;
        QTest::newRow("session: 0 gets the cap") << true << 0.0 << 600000.0;
        QTest::newRow("session: a day is capped") << true << 86400000.0 << 600000.0;
        QTest::newRow("session: 1 ms is raised") << true << 1.0 << 100.0;
        QTest::newRow("session: not a number") << true << std::nan("") << 600000.0;
    }
    void grantedLifetimesAreRevisedIntoTheirRange()
    {
        QFETCH(bool, session);
        QFETCH(double, requested);
        QFETCH(double, revised);
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.hello();
        const auto token = peer.openChannel(session ? 600000 : uint32_t(requested)).securityToken;
        QVERIFY(token.channelId != 0);
        QVERIFY(token.tokenId != 0);
        if (!session) {
            QCOMPARE(double(token.revisedLifetime), revised);
            return;
        }
        CreateSessionRequest create;
        create.requestedSessionTimeout = requested;
        const auto created = std::get<CreateSessionResponse>(peer.call(create));
        QCOMPARE(created.revisedSessionTimeout, revised);
    }

    void renewedTokenKeepsTheOldOneUntilUsed()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        const uint32_t oldToken = peer.tokenId();
        const auto renewed = peer.openChannel(600000, SecurityTokenRequestType::Renew);
        QVERIFY(renewed.securityToken.tokenId != oldToken);
        QCOMPARE(renewed.securityToken.channelId, peer.channelId());

        // Still on the old token: answered, with the old token.
        ReadRequest read;
        read.nodesToRead.push_back(readOf(kCounter));
        auto reply = peer.sendMessage(MessageType::Message, read);
        auto r = peer.expectReply();
        QCOMPARE(r.requestId, reply);
        QCOMPARE(r.tokenId, oldToken);

        // On the new one: answers switch to it, and the old one is no longer accepted.
        peer.useNewToken();
        peer.sendMessage(MessageType::Message, read);
        QCOMPARE(peer.expectReply().tokenId, renewed.securityToken.tokenId);
    }

    void tokenNotRenewedInTimeEndsTheChannel()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.hello();
        peer.openChannel(2000);
        f.clock.advance(milliseconds(2400));
        QVERIFY(peer.open());
        f.clock.advance(milliseconds(200)); // past lifetime + 25 %
        QCOMPARE(peer.expectError(), status::BadSecureChannelClosed);
    }

    void getEndpointsOffersSecurityNoneAndAnonymous()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.hello();
        peer.openChannel();
        GetEndpointsRequest request;
        request.endpointUrl = String("opc.tcp://example:4840");
        const auto response = std::get<GetEndpointsResponse>(peer.call(request));
        QCOMPARE(response.endpoints.size(), size_t(1));
        const auto& endpoint = response.endpoints.front();
        QCOMPARE(endpoint.endpointUrl, String("opc.tcp://example:4840"));
        QCOMPARE(endpoint.securityMode, MessageSecurityMode::None);
        QCOMPARE(endpoint.securityPolicyUri, String(kSecurityPolicyNone));
        QCOMPARE(endpoint.userIdentityTokens.size(), size_t(1));
        QCOMPARE(endpoint.userIdentityTokens[0].tokenType, UserTokenType::Anonymous);

        FindServersRequest find;
        const auto servers = std::get<FindServersResponse>(peer.call(find));
        QCOMPARE(servers.servers.size(), size_t(1));
        QCOMPARE(servers.servers[0].applicationUri, String(f.server.settings().applicationUri));
    }

    void sessionServicesNeedAnActivatedSession()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.hello();
        peer.openChannel();
        ReadRequest read;
        read.nodesToRead.push_back(readOf(kCounter));
        QCOMPARE(faultStatus(peer.call(read)), status::BadSessionIdInvalid);

        const auto created = std::get<CreateSessionResponse>(peer.call(CreateSessionRequest{}));
        QCOMPARE(created.serverNonce.size(), size_t(32));
        peer.setAuthenticationToken(created.authenticationToken);
        QCOMPARE(faultStatus(peer.call(read)), status::BadSessionNotActivated);

        ActivateSessionRequest activate; // no identity token: anonymous
        QVERIFY(std::holds_alternative<ActivateSessionResponse>(peer.call(activate)));
        QVERIFY(std::holds_alternative<ReadResponse>(peer.call(read)));
        QCOMPARE(f.server.sessionCount(), size_t(1));

        CloseSessionRequest close;
        QVERIFY(std::holds_alternative<CloseSessionResponse>(peer.call(close)));
        QCOMPARE(f.server.sessionCount(), size_t(0));
        QCOMPARE(faultStatus(peer.call(read)), status::BadSessionIdInvalid);
    }

    void identityTokensAreCheckedAgainstTheUser_data()
    {
        QTest::addColumn<bool>("withUser");
        QTest::addColumn<bool>("allowAnonymous");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<quint32>("expected");
        const auto rejected = status::BadIdentityTokenRejected.code;
        const auto invalid = status::BadIdentityTokenInvalid.code;
        const auto denied = status::BadUserAccessDenied.code;
        const auto good = status::Good.code;
        // kind 0: user name token, 1: anonymous, 2: anonymous with a foreign policy id,
        // 3: unknown structure, 4: anonymous body that does not decode.
        QTest::newRow("no user: user name") << false << false << 0 << "op"
                                            << "pw" << rejected;
        QTest::newRow("no user: anonymous") << false << false << 1 << ""
                                            << "" << good;
        QTest::newRow("foreign policy id") << false << false << 2 << ""
                                           << "" << invalid;
        QTest::newRow("unknown structure") << false << false << 3 << ""
                                           << "" << invalid;
        QTest::newRow("undecodable body") << false << false << 4 << ""
                                          << "" << invalid;
        QTest::newRow("right password") << true << false << 0 << "op"
                                        << "pw 1" << good;
        QTest::newRow("wrong password") << true << false << 0 << "op"
                                        << "pw 2" << denied;
        QTest::newRow("password prefix") << true << false << 0 << "op"
                                         << "pw " << denied;
        QTest::newRow("wrong user") << true << false << 0 << "oq"
                                    << "pw 1" << denied;
        QTest::newRow("empty password") << true << false << 0 << "op"
                                        << "" << denied;
        QTest::newRow("anonymous refused") << true << false << 1 << ""
                                           << "" << rejected;
        QTest::newRow("anonymous allowed") << true << true << 1 << ""
                                           << "" << good;
    }
    void identityTokensAreCheckedAgainstTheUser()
    {
        QFETCH(bool, withUser);
        QFETCH(bool, allowAnonymous);
        QFETCH(int, kind);
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(quint32, expected);
        const auto good = status::Good.code;
        ServerSettings settings;
        if (withUser) {
            settings.security.user = ServerUser{"op", "pw 1"};
            settings.security.certificate = m_serverCertificate;
            settings.security.key = m_serverKey;
        }
        settings.security.allowAnonymous = allowAnonymous;
        Fixture f(settings);
        Peer peer(f.server, f.clock);
        peer.hello();
        peer.openChannel();
        const auto created = std::get<CreateSessionResponse>(peer.call(CreateSessionRequest{}));
        peer.setAuthenticationToken(created.authenticationToken);
        // Without security the password is encrypted as the endpoint's token policy says.
        const auto& policy = security::kSecurityPolicies[1];
        ActivateSessionRequest activate;
        switch (kind) {
        case 0:
            activate.userIdentityToken = packBody(UserNameIdentityToken{
                String(std::string(kUserNamePolicyId)), String(name.toStdString()),
                security::encryptUserPassword(policy, m_serverCertificate.publicKey(),
                                              ByteString::fromText(password.toStdString()).bytes(),
                                              created.serverNonce.bytes()),
                String(std::string(policy.asymmetricEncryptionUri))});
            break;
        case 2:
            activate.userIdentityToken = packBody(AnonymousIdentityToken{String("guest")});
            break;
        case 3:
            activate.userIdentityToken = {
                NodeId(0, 999), ExtensionObjectEncoding::ByteString, {1, 2, 3}};
            break;
        case 4:
            activate.userIdentityToken = {NodeId(0, AnonymousIdentityToken::kBinaryEncodingId),
                                          ExtensionObjectEncoding::ByteString,
                                          {0xFF}};
            break;
        }
        const ServiceMessage answer = peer.call(activate);
        QCOMPARE(faultStatus(answer).code, expected);
        if (expected != good) {
            // Guessing ends with the session: its third refusal closes it.
            QCOMPARE(faultStatus(peer.call(activate)).code, expected);
            QCOMPARE(faultStatus(peer.call(activate)).code, expected);
            QCOMPARE(faultStatus(peer.call(activate)), status::BadSessionIdInvalid);
        }
        if (withUser) {
            const auto endpoints = std::get<GetEndpointsResponse>(peer.call(GetEndpointsRequest{}));
            const auto& tokens = endpoints.endpoints.at(0).userIdentityTokens;
            QCOMPARE(tokens.back().tokenType, UserTokenType::UserName);
            QCOMPARE(tokens.back().securityPolicyUri.str(), policy.uri);
            QCOMPARE(tokens.size(), allowAnonymous ? size_t(2) : size_t(1));
        }
    }

    // At the session limit the oldest session never activated makes room; activated ones keep
    // their places.
    void sessionLimitDropsTheOldestUnactivatedSession_data()
    {
        QTest::addColumn<Idle>("first");
        QTest::addColumn<Idle>("second");
        QTest::addColumn<int>("dropped"); // 0: none, the newcomer is refused
        QTest::newRow("both activated") << Idle::SessionActive << Idle::SessionActive << 0;
        QTest::newRow("one never activated") << Idle::SessionActive << Idle::SessionCreated << 2;
        QTest::newRow("both never activated") << Idle::SessionCreated << Idle::SessionCreated << 1;
    }
    void sessionLimitDropsTheOldestUnactivatedSession()
    {
        QFETCH(Idle, first);
        QFETCH(Idle, second);
        QFETCH(int, dropped);
        ServerSettings settings;
        settings.maxSessions = 2;
        Fixture f(settings);
        Peer a(f.server, f.clock), b(f.server, f.clock), c(f.server, f.clock);
        advanceTo(a, first);
        advanceTo(b, second);
        c.hello();
        c.openChannel();
        const ServiceMessage created = c.call(CreateSessionRequest{});
        QCOMPARE(f.server.sessionCount(), size_t(2));
        if (dropped == 0) {
            QCOMPARE(faultStatus(created), status::BadTooManySessions);
            return;
        }
        QVERIFY(std::holds_alternative<CreateSessionResponse>(created));
        Peer* peers[] = {&a, &b};
        for (int i = 1; i <= 2; ++i) {
            const StatusCode activated = faultStatus(peers[i - 1]->call(ActivateSessionRequest{}));
            QCOMPARE(activated, i == dropped ? status::BadSessionIdInvalid : status::Good);
        }
    }

    void sessionNotActivatedInTimeIsDropped()
    {
        ServerSettings settings;
        settings.activationTimeout = milliseconds(3000);
        Fixture f(settings);
        Peer late(f.server, f.clock), prompt(f.server, f.clock);
        advanceTo(late, Idle::SessionCreated);
        advanceTo(prompt, Idle::SessionActive);
        f.clock.advance(milliseconds(2999));
        QCOMPARE(f.server.sessionCount(), size_t(2));
        f.clock.advance(milliseconds(1));
        QCOMPARE(f.server.sessionCount(), size_t(1));
        QCOMPARE(faultStatus(late.call(ActivateSessionRequest{})), status::BadSessionIdInvalid);
        QVERIFY(late.open()); // only the session goes
    }

    void sessionTimesOutWithoutRequests()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect(1000);
        f.clock.advance(milliseconds(900));
        ReadRequest read;
        read.nodesToRead.push_back(readOf(kCounter));
        QVERIFY(std::holds_alternative<ReadResponse>(peer.call(read))); // a request renews it
        f.clock.advance(milliseconds(900));
        QCOMPARE(f.server.sessionCount(), size_t(1));
        f.clock.advance(milliseconds(200));
        QCOMPARE(f.server.sessionCount(), size_t(0));
        QCOMPARE(faultStatus(peer.call(read)), status::BadSessionIdInvalid);
    }

    void readReturnsValuesAndPerNodeErrors()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        ReadRequest read;
        read.timestampsToReturn = TimestampsToReturn::Neither;
        read.nodesToRead = {readOf(kCounter), readOf(NodeId(1, String("Nowhere"))),
                            readOf(kCounter, uint32_t(AttributeId::DataType)), readOf(kCounter, 99),
                            readOf(NodeId(0, ids::Server_NamespaceArray))};
        const auto response = std::get<ReadResponse>(peer.call(read));
        QCOMPARE(response.results.size(), size_t(5));
        QCOMPARE(response.results[0].value->scalar<int16_t>(), std::optional<int16_t>(7));
        QVERIFY(!response.results[0].serverTimestamp);
        QCOMPARE(response.results[1].statusOrGood(), status::BadNodeIdUnknown);
        QVERIFY(response.results[2].value->scalar<NodeId>() == NodeId(0, ids::Int16));
        QCOMPARE(response.results[3].statusOrGood(), status::BadAttributeIdInvalid);
        const auto* uris = response.results[4].value->elements<String>();
        QVERIFY(uris && uris->size() == 2);
        QCOMPARE((*uris)[0], String("http://opcfoundation.org/UA/"));

        ReadRequest empty;
        QCOMPARE(faultStatus(peer.call(empty)), status::BadNothingToDo);
        ReadRequest badTimestamps = read;
        badTimestamps.timestampsToReturn = TimestampsToReturn(7);
        QCOMPARE(faultStatus(peer.call(badTimestamps)), status::BadTimestampsToReturnInvalid);
    }

    void writeChecksNodeAccessAndType_data()
    {
        QTest::addColumn<NodeId>("node");
        QTest::addColumn<Variant>("value");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("Int16 into Int16")
            << kCounter << Variant::fromScalar(int16_t(9)) << status::Good.code;
        QTest::newRow("Int32 into Int16")
            << kCounter << Variant::fromScalar(int32_t(9)) << status::BadTypeMismatch.code;
        QTest::newRow("Double into Int16")
            << kCounter << Variant::fromScalar(9.0) << status::BadTypeMismatch.code;
        QTest::newRow("array into scalar")
            << kCounter << Variant::fromArray(std::vector<int16_t>{1, 2})
            << status::BadTypeMismatch.code;
        QTest::newRow("empty value") << kCounter << Variant() << status::BadTypeMismatch.code;
        QTest::newRow("read-only")
            << kReadOnly << Variant::fromScalar(2.5) << status::BadNotWritable.code;
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
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        WriteRequest write;
        WriteValue item;
        item.nodeId = node;
        item.value.value = value;
        write.nodesToWrite.push_back(item);
        const auto response = std::get<WriteResponse>(peer.call(write));
        QCOMPARE(response.results.size(), size_t(1));
        QCOMPARE(response.results[0].code, expected);
        const auto* counter = f.space.find(kCounter);
        const int16_t stored = *counter->value.value->scalar<int16_t>();
        QCOMPARE(stored,
                 expected == status::Good.code && node == kCounter ? int16_t(9) : int16_t(7));
    }

    void browseAndTranslateFindTheNodes()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        BrowseRequest browse;
        BrowseDescription objects;
        objects.nodeId = NodeId(0, ids::ObjectsFolder);
        objects.referenceTypeId = NodeId(0, ids::HierarchicalReferences);
        objects.includeSubtypes = true;
        browse.nodesToBrowse.push_back(objects);
        auto response = std::get<BrowseResponse>(peer.call(browse));
        QCOMPARE(response.results.size(), size_t(1));
        QStringList names;
        for (const auto& r : response.results[0].references)
            names << QString::fromStdString(r.browseName.name.str());
        QCOMPARE(names, QStringList({"Server", "Counter", "ReadOnly"}));
        const auto& counter = response.results[0].references[1];
        QCOMPARE(counter.nodeClass, NodeClass::Variable);
        QVERIFY(counter.typeDefinition.nodeId == NodeId(0, ids::BaseDataVariableType));
        QVERIFY(counter.referenceTypeId == NodeId(0, ids::Organizes));

        // Two at a time: the rest through BrowseNext.
        browse.requestedMaxReferencesPerNode = 2;
        response = std::get<BrowseResponse>(peer.call(browse));
        QCOMPARE(response.results[0].references.size(), size_t(2));
        QVERIFY(!response.results[0].continuationPoint.isNull());
        BrowseNextRequest next;
        next.continuationPoints.push_back(response.results[0].continuationPoint);
        auto more = std::get<BrowseNextResponse>(peer.call(next));
        QCOMPARE(more.results[0].references.size(), size_t(1));
        QVERIFY(more.results[0].continuationPoint.isNull());
        more = std::get<BrowseNextResponse>(peer.call(next));
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
        const auto translated =
            std::get<TranslateBrowsePathsToNodeIdsResponse>(peer.call(translate));
        QCOMPARE(translated.results[0].statusCode, status::Good);
        QCOMPARE(translated.results[0].targets.size(), size_t(1));
        QVERIFY(translated.results[0].targets[0].targetId.nodeId == kCounter);
        QCOMPARE(translated.results[1].statusCode, status::BadNoMatch);
    }

    void publishingIntervalIsRevisedUpToTheFloor_data()
    {
        QTest::addColumn<double>("requested");
        QTest::addColumn<double>("revised");
        QTest::newRow("0 ms") << 0.0 << 1.0;
        QTest::newRow("0.2 ms") << 0.2 << 1.0;
        QTest::newRow("1 ms") << 1.0 << 1.0;
        QTest::newRow("250 ms") << 250.0 << 250.0;
        QTest::newRow("not a number") << std::nan("") << 1.0;
    }
    void publishingIntervalIsRevisedUpToTheFloor()
    {
        QFETCH(double, requested);
        QFETCH(double, revised);
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        const auto response =
            std::get<CreateSubscriptionResponse>(peer.call(subscriptionRequest(requested)));
        QCOMPARE(response.revisedPublishingInterval, revised);
        QVERIFY(response.revisedLifetimeCount >= 3 * response.revisedMaxKeepAliveCount);
    }

    void changesArePublishedWithinOneInterval()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        const auto sub = std::get<CreateSubscriptionResponse>(peer.call(subscriptionRequest(20)));
        const auto created = std::get<CreateMonitoredItemsResponse>(
            peer.call(monitorRequest(sub.subscriptionId, kCounter, 42)));
        QCOMPARE(created.results[0].statusCode, status::Good);
        QCOMPARE(created.results[0].revisedQueueSize, 1u);

        // The initial value goes out on the first interval tick.
        peer.sendMessage(MessageType::Message, PublishRequest{});
        QVERIFY(peer.replies().empty());
        f.clock.advance(milliseconds(20));
        auto first = std::get<PublishResponse>(*peer.expectReply().message);
        QCOMPARE(changedValues(first), std::vector<Variant>{Variant::fromScalar(int16_t(7))});
        QCOMPARE(first.notificationMessage.sequenceNumber, 1u);

        // A change long after the last message goes out at once.
        PublishRequest ack;
        ack.subscriptionAcknowledgements.push_back({sub.subscriptionId, 1});
        peer.sendMessage(MessageType::Message, ack);
        f.clock.advance(milliseconds(100));
        f.space.setValue(kCounter, Variant::fromScalar(int16_t(8)));
        f.clock.runDue();
        auto second = std::get<PublishResponse>(*peer.expectReply().message);
        QCOMPARE(changedValues(second), std::vector<Variant>{Variant::fromScalar(int16_t(8))});
        QCOMPARE(second.results, std::vector<StatusCode>{status::Good});
        QCOMPARE(second.notificationMessage.sequenceNumber, 2u);

        // Two changes within an interval: the newer one, once, at the interval's end.
        peer.sendMessage(MessageType::Message, PublishRequest{});
        f.clock.advance(milliseconds(5));
        f.space.setValue(kCounter, Variant::fromScalar(int16_t(9)));
        f.space.setValue(kCounter, Variant::fromScalar(int16_t(10)));
        f.clock.advance(milliseconds(14));
        QVERIFY(peer.replies().empty());
        f.clock.advance(milliseconds(1));
        auto third = std::get<PublishResponse>(*peer.expectReply().message);
        QCOMPARE(changedValues(third), std::vector<Variant>{Variant::fromScalar(int16_t(10))});
    }

    void oneMillisecondPublishingKeepsUp()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        const auto sub = std::get<CreateSubscriptionResponse>(peer.call(subscriptionRequest(1)));
        peer.call(monitorRequest(sub.subscriptionId, kCounter, 1));
        for (int i = 0; i < 3; ++i)
            peer.sendMessage(MessageType::Message, PublishRequest{});
        f.clock.advance(milliseconds(1));
        QCOMPARE(peer.replies().size(), size_t(1)); // the initial value
        for (int16_t v = 100; v < 110; ++v) {
            peer.sendMessage(MessageType::Message, PublishRequest{});
            f.space.setValue(kCounter, Variant::fromScalar(v));
            f.clock.advance(milliseconds(1));
            auto reply = peer.expectReply();
            QCOMPARE(changedValues(std::get<PublishResponse>(*reply.message)),
                     std::vector<Variant>{Variant::fromScalar(v)});
        }
    }

    void keepAliveComesAfterTheKeepAliveCountAsCreatedAndAsModified()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        const auto sub =
            std::get<CreateSubscriptionResponse>(peer.call(subscriptionRequest(10, 5)));
        QCOMPARE(sub.revisedMaxKeepAliveCount, 5u);
        peer.sendMessage(MessageType::Message, PublishRequest{});
        peer.sendMessage(MessageType::Message, PublishRequest{});
        f.clock.advance(milliseconds(10)); // the first message: a keep-alive
        auto first = std::get<PublishResponse>(*peer.expectReply().message);
        QVERIFY(first.notificationMessage.notificationData.empty());
        QCOMPARE(first.notificationMessage.sequenceNumber, 1u); // the next number, not used
        f.clock.advance(milliseconds(49));
        QVERIFY(peer.replies().empty());
        f.clock.advance(milliseconds(1));
        auto second = std::get<PublishResponse>(*peer.expectReply().message);
        QVERIFY(second.notificationMessage.notificationData.empty());
        QCOMPARE(second.subscriptionId, sub.subscriptionId);

        ModifySubscriptionRequest modify;
        modify.subscriptionId = sub.subscriptionId;
        modify.requestedPublishingInterval = 100;
        modify.requestedMaxKeepAliveCount = 3;
        modify.requestedLifetimeCount = 1;
        const auto modified = std::get<ModifySubscriptionResponse>(peer.call(modify));
        QCOMPARE(modified.revisedPublishingInterval, 100.0);
        QCOMPARE(modified.revisedMaxKeepAliveCount, 3u);
        QVERIFY(modified.revisedLifetimeCount >= 3 * modified.revisedMaxKeepAliveCount);
        // Keep-alives now come every 3 x 100 ms after the last message, not every 5 x 10 ms.
        peer.sendMessage(MessageType::Message, PublishRequest{});
        f.clock.advance(milliseconds(299));
        QVERIFY(peer.replies().empty());
        f.clock.advance(milliseconds(1));
        const auto third = std::get<PublishResponse>(*peer.expectReply().message);
        QVERIFY(third.notificationMessage.notificationData.empty());

        modify.subscriptionId += 100;
        QCOMPARE(faultStatus(peer.call(modify)), status::BadSubscriptionIdInvalid);
    }

    void disabledPublishingHoldsChangesUntilEnabled()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        const auto sub =
            std::get<CreateSubscriptionResponse>(peer.call(subscriptionRequest(10, 100)));
        SetPublishingModeRequest mode;
        mode.publishingEnabled = false;
        mode.subscriptionIds = {sub.subscriptionId, sub.subscriptionId + 100};
        const auto disabled = std::get<SetPublishingModeResponse>(peer.call(mode));
        QCOMPARE(disabled.results,
                 (std::vector<StatusCode>{status::Good, status::BadSubscriptionIdInvalid}));
        peer.call(monitorRequest(sub.subscriptionId, kCounter, 1));
        peer.sendMessage(MessageType::Message, PublishRequest{});
        const uint32_t publish = peer.sendMessage(MessageType::Message, PublishRequest{});
        f.clock.advance(milliseconds(500));
        f.space.setValue(kCounter, Variant::fromScalar(int16_t(8)));
        f.clock.advance(milliseconds(100));
        // Only the keep-alive that tells the client the subscription works.
        const auto keepAlive = std::get<PublishResponse>(*peer.expectReply().message);
        QVERIFY(keepAlive.notificationMessage.notificationData.empty());

        mode.publishingEnabled = true;
        mode.subscriptionIds = {sub.subscriptionId};
        peer.sendMessage(MessageType::Message, mode);
        auto replies = peer.replies();
        QCOMPARE(replies.size(), size_t(2));
        QVERIFY(std::holds_alternative<SetPublishingModeResponse>(*replies[0].message));
        QCOMPARE(replies[1].requestId, publish);
        QCOMPARE(changedValues(std::get<PublishResponse>(*replies[1].message)),
                 std::vector<Variant>{Variant::fromScalar(int16_t(8))});
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
        Fixture f(settings);
        Peer peer(f.server, f.clock);
        peer.connect();
        CreateSubscriptionRequest create = subscriptionRequest(10);
        create.maxNotificationsPerPublish = requested;
        const auto sub = std::get<CreateSubscriptionResponse>(peer.call(create));
        auto monitor = monitorRequest(sub.subscriptionId, kCounter, 1);
        monitor.itemsToCreate.push_back(
            monitorRequest(sub.subscriptionId, kReadOnly, 2).itemsToCreate.front());
        monitor.itemsToCreate.push_back(monitor.itemsToCreate.front());
        monitor.itemsToCreate.back().requestedParameters.clientHandle = 3;
        peer.call(monitor);

        // One request at first: the rest of the notifications wait for the next.
        peer.sendMessage(MessageType::Message, PublishRequest{});
        f.clock.advance(milliseconds(10));
        QList<int> sizes;
        std::vector<uint32_t> handles;
        for (int message = 0; message < 3; ++message) {
            auto replies = peer.replies();
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
            peer.sendMessage(MessageType::Message, PublishRequest{});
        }
        QCOMPARE(sizes, messageSizes);
        QCOMPARE(handles, (std::vector<uint32_t>{1, 2, 3}));
    }

    void lateSubscriptionSendsWhenARequestArrives()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        const auto sub = std::get<CreateSubscriptionResponse>(peer.call(subscriptionRequest(5)));
        peer.call(monitorRequest(sub.subscriptionId, kCounter, 1));
        f.clock.advance(milliseconds(50));
        QVERIFY(peer.replies().empty());
        peer.sendMessage(MessageType::Message, PublishRequest{});
        auto reply = std::get<PublishResponse>(*peer.expectReply().message);
        QCOMPARE(changedValues(reply), std::vector<Variant>{Variant::fromScalar(int16_t(7))});
    }

    void tooManyPublishRequestsAnswerTheOldest()
    {
        ServerSettings settings;
        settings.maxPublishRequestsPerSession = 3;
        Fixture f(settings);
        Peer peer(f.server, f.clock);
        peer.connect();
        peer.call(subscriptionRequest(1000, 100));
        std::vector<uint32_t> ids;
        ids.reserve(4);
        for (int i = 0; i < 4; ++i)
            ids.push_back(peer.sendMessage(MessageType::Message, PublishRequest{}));
        auto reply = peer.expectReply();
        QCOMPARE(reply.requestId, ids[0]);
        QCOMPARE(faultStatus(*reply.message), status::BadTooManyPublishRequests);
    }

    void publishRequestsTimeOutByTheirHint()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        peer.call(subscriptionRequest(1000, 100)); // nothing to send for a second
        PublishRequest shortWait;
        shortWait.requestHeader.timeoutHint = 300;
        PublishRequest longWait;
        longWait.requestHeader.timeoutHint = 600;
        const uint32_t second = peer.sendMessage(MessageType::Message, longWait);
        const uint32_t first = peer.sendMessage(MessageType::Message, shortWait);
        f.clock.advance(milliseconds(299));
        QVERIFY(peer.replies().empty());
        f.clock.advance(milliseconds(1));
        auto reply = peer.expectReply();
        QCOMPARE(reply.requestId, first);
        QCOMPARE(faultStatus(*reply.message), status::BadTimeout);
        f.clock.advance(milliseconds(300));
        reply = peer.expectReply();
        QCOMPARE(reply.requestId, second);
        QCOMPARE(faultStatus(*reply.message), status::BadTimeout);
    }

    void publishWithoutSubscriptionIsRefused()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        QCOMPARE(faultStatus(peer.call(PublishRequest{})), status::BadNoSubscription);
    }

    void acknowledgementsAreCheckedAndRepublishServes()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        const auto sub = std::get<CreateSubscriptionResponse>(peer.call(subscriptionRequest(10)));
        peer.call(monitorRequest(sub.subscriptionId, kCounter, 1));
        peer.sendMessage(MessageType::Message, PublishRequest{});
        f.clock.advance(milliseconds(10));
        auto first = std::get<PublishResponse>(*peer.expectReply().message);
        QCOMPARE(first.availableSequenceNumbers, std::vector<uint32_t>{1});

        RepublishRequest again;
        again.subscriptionId = sub.subscriptionId;
        again.retransmitSequenceNumber = 1;
        auto republished = std::get<RepublishResponse>(peer.call(again));
        QCOMPARE(republished.notificationMessage, first.notificationMessage);
        again.retransmitSequenceNumber = 5;
        QCOMPARE(faultStatus(peer.call(again)), status::BadMessageNotAvailable);

        PublishRequest acks;
        acks.subscriptionAcknowledgements = {
            {sub.subscriptionId, 1}, {sub.subscriptionId, 1}, {sub.subscriptionId + 100, 1}};
        peer.sendMessage(MessageType::Message, acks);
        f.space.setValue(kCounter, Variant::fromScalar(int16_t(1)));
        f.clock.advance(milliseconds(10));
        auto second = std::get<PublishResponse>(*peer.expectReply().message);
        QCOMPARE(second.results,
                 (std::vector<StatusCode>{status::Good, status::BadSequenceNumberUnknown,
                                          status::BadSubscriptionIdInvalid}));
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
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        const auto sub = std::get<CreateSubscriptionResponse>(peer.call(subscriptionRequest(10)));
        auto request = monitorRequest(sub.subscriptionId, node, 1);
        request.itemsToCreate[0].itemToMonitor.attributeId = attribute;
        const auto response = std::get<CreateMonitoredItemsResponse>(peer.call(request));
        QCOMPARE(response.results[0].statusCode.code, expected);
    }

    void deletedItemsAndSubscriptionsStopReporting()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        const auto sub = std::get<CreateSubscriptionResponse>(peer.call(subscriptionRequest(10)));
        const auto created = std::get<CreateMonitoredItemsResponse>(
            peer.call(monitorRequest(sub.subscriptionId, kCounter, 1)));
        DeleteMonitoredItemsRequest deleteItems;
        deleteItems.subscriptionId = sub.subscriptionId;
        deleteItems.monitoredItemIds = {created.results[0].monitoredItemId, 999};
        const auto deleted = std::get<DeleteMonitoredItemsResponse>(peer.call(deleteItems));
        QCOMPARE(deleted.results,
                 (std::vector<StatusCode>{status::Good, status::BadMonitoredItemIdInvalid}));
        QCOMPARE(f.space.find(kCounter)->watchers.size(), size_t(0));

        const uint32_t pending = peer.sendMessage(MessageType::Message, PublishRequest{});
        DeleteSubscriptionsRequest deleteSubs;
        deleteSubs.subscriptionIds = {sub.subscriptionId};
        const uint32_t deleteId = peer.sendMessage(MessageType::Message, deleteSubs);
        auto replies = peer.replies();
        QCOMPARE(replies.size(), size_t(2));
        QCOMPARE(replies[0].requestId, deleteId);
        QCOMPARE(replies[1].requestId, pending);
        QCOMPARE(faultStatus(*replies[1].message), status::BadNoSubscription);
        QCOMPARE(f.server.subscriptionCount(), size_t(0));
    }

    // The limits count across sessions, and what is deleted makes room again.
    void serverWideLimitsRefuseSubscriptionsAndItems()
    {
        ServerSettings settings;
        settings.maxSubscriptions = 2;
        settings.maxMonitoredItems = 3;
        Fixture f(settings);
        Peer a(f.server, f.clock), b(f.server, f.clock);
        a.connect();
        b.connect();
        const auto subA = std::get<CreateSubscriptionResponse>(a.call(subscriptionRequest(10)));
        const auto subB = std::get<CreateSubscriptionResponse>(b.call(subscriptionRequest(10)));
        QCOMPARE(faultStatus(a.call(subscriptionRequest(10))), status::BadTooManySubscriptions);

        auto twoItems = [](uint32_t subscriptionId) {
            auto request = monitorRequest(subscriptionId, kCounter, 1);
            request.itemsToCreate.push_back(request.itemsToCreate[0]);
            return request;
        };
        auto statuses = [](const ServiceMessage& message) {
            std::vector<StatusCode> out;
            for (const auto& r : std::get<CreateMonitoredItemsResponse>(message).results)
                out.push_back(r.statusCode);
            return out;
        };
        using Statuses = std::vector<StatusCode>;
        QCOMPARE(statuses(a.call(twoItems(subA.subscriptionId))),
                 (Statuses{status::Good, status::Good}));
        QCOMPARE(statuses(b.call(twoItems(subB.subscriptionId))),
                 (Statuses{status::Good, status::BadTooManyMonitoredItems}));

        DeleteSubscriptionsRequest deleteSub;
        deleteSub.subscriptionIds = {subB.subscriptionId};
        b.call(deleteSub);
        QVERIFY(
            std::holds_alternative<CreateSubscriptionResponse>(a.call(subscriptionRequest(10))));
        QCOMPARE(statuses(a.call(monitorRequest(subA.subscriptionId, kCounter, 3))),
                 Statuses{status::Good});
    }

    void subscriptionExpiresWithoutPublishRequests()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect(600000);
        peer.call(subscriptionRequest(1000, 2)); // lifetime: at least 10 s
        f.clock.advance(milliseconds(9000));
        QCOMPARE(f.server.subscriptionCount(), size_t(1));
        f.clock.advance(milliseconds(2000));
        QCOMPARE(f.server.subscriptionCount(), size_t(0));
    }

    void unsupportedServiceGetsAServiceFault()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.hello();
        peer.openChannel();
        // A request type this server does not offer: Call (encoding id 712), header only.
        Encoder e;
        e.encode(NodeId(0, 712));
        RequestHeader header;
        header.requestHandle = 77;
        encode(e, header);
        e.encode(int32_t(0));
        const ByteBuffer body = e.take();
        OutgoingMessage out;
        out.secureChannelId = peer.channelId();
        out.security = SymmetricSecurityHeader{peer.tokenId()};
        out.requestId = 500;
        out.body = body;
        SequenceNumberGenerator sequence(2); // the channel's OPN used 1
        for (const auto& chunk : splitIntoChunks(out, TransportLimits{}, sequence))
            peer.send(chunk);
        auto reply = peer.expectReply();
        QCOMPARE(reply.requestId, 500u);
        const auto& fault = std::get<ServiceFault>(*reply.message);
        QCOMPARE(fault.responseHeader.serviceResult, status::BadServiceUnsupported);
        QCOMPARE(fault.responseHeader.requestHandle, 77u);
        QVERIFY(peer.open());
    }

    void malformedInputGetsAnErrorAndOnlyThatConnectionCloses_data()
    {
        QTest::addColumn<int>("stage"); // 0 before Hello, 1 after Hello, 2 channel open
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint32>("expected");
        auto bytes = [](const ByteBuffer& b) {
            return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
        };
        QTest::newRow("garbage header")
            << 0 << bytes(garbage(64)) << status::BadTcpMessageTypeInvalid.code;
        QTest::newRow("chunk size below its header")
            << 0 << QByteArray("HELF\x04\0\0\0", 8) << status::BadDecodingError.code;
        // Buffers of 65536, no message or chunk limits, then a url of 2^31 - 1 bytes in four.
        QTest::newRow("hello with a url length beyond the chunk")
            << 0
            << QByteArray("HELF\x24\0\0\0\0\0\0\0\0\0\1\0\0\0\1\0\0\0\0\0\0\0\0\0\xff\xff\xff\x7f"
                          "abcd",
                          36)
            << status::BadTcpEndpointUrlInvalid.code;
        QTest::newRow("hello with buffers below the minimum")
            << 0 << bytes(encodeHello(HelloMessage{0, 1024, 1024, 0, 0, String("opc.tcp://x")}))
            << status::BadTcpNotEnoughResources.code;
        QTest::newRow("message before hello")
            << 0 << QByteArray("MSGF\x10\0\0\0\0\0\0\0\0\0\0\0", 16)
            << status::BadTcpMessageTypeInvalid.code;
        QTest::newRow("chunk too large")
            << 1 << QByteArray("MSGF\xff\xff\xff\x7f", 8) << status::BadTcpMessageTooLarge.code;
        QTest::newRow("hello twice")
            << 1 << bytes(encodeHello(HelloMessage{0, 65536, 65536, 0, 0, String("opc.tcp://x")}))
            << status::BadTcpMessageTypeInvalid.code;
        QTest::newRow("wrong channel id")
            << 2 << QByteArray("MSGF\x18\0\0\0\x63\0\0\0\1\0\0\0\2\0\0\0\2\0\0\0", 24)
            << status::BadTcpSecureChannelUnknown.code;
        QTest::newRow("message too short for its headers")
            << 2 << QByteArray("MSGF\x0c\0\0\0\1\0\0\0", 12) << status::BadDecodingError.code;
    }
    void malformedInputGetsAnErrorAndOnlyThatConnectionCloses()
    {
        QFETCH(int, stage);
        QFETCH(QByteArray, bytes);
        QFETCH(quint32, expected);
        Fixture f;
        Peer good(f.server, f.clock);
        good.connect();
        Peer bad(f.server, f.clock);
        if (stage >= 1)
            bad.hello();
        if (stage >= 2)
            bad.openChannel();
        bad.replies();
        bad.send(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), size_t(bytes.size())));
        QCOMPARE(bad.expectError().code & 0xFFFF0000u, expected);

        ReadRequest read;
        read.nodesToRead.push_back(readOf(kCounter));
        QVERIFY(std::holds_alternative<ReadResponse>(good.call(read)));
        QCOMPARE(f.server.connectionCount(), size_t(1));
    }

    void unfinishedMessagesCannotPileUp()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.hello();
        peer.openChannel();
        for (uint32_t request = 1; request <= 5 && peer.open(); ++request)
            peer.send(chunkOf(peer, request));
        QCOMPARE(peer.expectError(), status::BadTcpNotEnoughResources);
    }

    void everyTruncationOfARequestIsSurvived()
    {
        // A whole request cut short at every length, each on a fresh channel and announced
        // with its true size: the server either waits for more or answers with an error, and
        // keeps serving.
        Fixture f;
        Peer reference(f.server, f.clock);
        reference.connect();
        ReadRequest read;
        read.nodesToRead.push_back(readOf(kCounter));
        read.requestHeader.authenticationToken = reference.authenticationToken();
        const ByteBuffer body = encodeServiceMessage(read);
        for (size_t cut = 0; cut < body.size(); ++cut) {
            Peer peer(f.server, f.clock);
            peer.hello();
            peer.openChannel();
            OutgoingMessage out;
            out.secureChannelId = peer.channelId();
            out.security = SymmetricSecurityHeader{peer.tokenId()};
            out.requestId = 9;
            const ByteBuffer truncated(body.begin(), body.begin() + ptrdiff_t(cut));
            out.body = truncated;
            SequenceNumberGenerator sequence(2);
            for (const auto& chunk : splitIntoChunks(out, TransportLimits{}, sequence))
                peer.send(chunk);
            auto replies = peer.replies();
            QVERIFY2(replies.size() == 1, qPrintable(QString("cut at %1").arg(cut)));
            const bool fault = replies.front().message &&
                               std::holds_alternative<ServiceFault>(*replies.front().message);
            QVERIFY2(fault || replies.front().type == MessageType::Error,
                     qPrintable(QString("cut at %1").arg(cut)));
            peer.vanish();
            f.clock.runDue();
        }
        QVERIFY(std::holds_alternative<ReadResponse>(reference.call(read)));
    }

    void stalledPeerIsClosedAtItsDeadline_data()
    {
        QTest::addColumn<int>("stall"); // how far the peer gets: each row one step further
        QTest::addColumn<int>("deadlineMs");
        QTest::newRow("no Hello") << 0 << 5000;
        QTest::newRow("Hello, no OpenSecureChannel") << 1 << 5000;
        QTest::newRow("half a chunk") << 2 << 10000;
        QTest::newRow("the first chunk of two") << 3 << 10000;
        QTest::newRow("the second message's first chunk") << 4 << 10000;
    }
    void stalledPeerIsClosedAtItsDeadline()
    {
        QFETCH(int, stall);
        QFETCH(int, deadlineMs);
        Fixture f;
        Peer peer(f.server, f.clock);
        if (stall >= 1)
            peer.hello();
        if (stall >= 2)
            peer.openChannel();
        const ByteBuffer first = chunkOf(peer, 1);
        if (stall == 2)
            peer.send(ByteView(first).first(first.size() / 2));
        if (stall >= 3)
            peer.send(first);
        if (stall == 4) {
            // A message that completes starts the deadline again.
            f.clock.advance(milliseconds(deadlineMs - 1));
            peer.send(chunkOf(peer, 2, ChunkType::Final, encodeServiceMessage(ReadRequest{})));
            QCOMPARE(faultStatus(*peer.expectReply().message), status::BadSessionIdInvalid);
        }
        f.clock.advance(milliseconds(deadlineMs - 1));
        QVERIFY(peer.open());
        f.clock.advance(milliseconds(1));
        QCOMPARE(peer.expectError(), status::BadTimeout);
    }

    // Peers that stop at any point of the handshake cannot lock others out: at the connection
    // limit the oldest connection without an activated session makes room for a newcomer.
    void idlePeersMakeRoomForANewClient_data()
    {
        QTest::addColumn<Idle>("idle");
        QTest::newRow("connected only") << Idle::Connected;
        QTest::newRow("Hello only") << Idle::Greeted;
        QTest::newRow("silent channels") << Idle::ChannelOpen;
        QTest::newRow("sessions never activated") << Idle::SessionCreated;
        QTest::newRow("sessions in use: newcomer refused") << Idle::SessionActive;
    }
    void idlePeersMakeRoomForANewClient()
    {
        QFETCH(Idle, idle);
        ServerSettings settings;
        settings.maxConnections = 4;
        Fixture f(settings);
        std::vector<std::unique_ptr<Peer>> flood;
        for (size_t i = 0; i < settings.maxConnections; ++i) {
            flood.push_back(std::make_unique<Peer>(f.server, f.clock));
            advanceTo(*flood.back(), idle);
        }
        Peer newcomer(f.server, f.clock);
        if (idle == Idle::SessionActive) {
            QCOMPARE(newcomer.expectError(), status::BadTcpServerTooBusy);
            for (const auto& peer : flood)
                QVERIFY(peer->open());
            return;
        }
        newcomer.connect();
        QCOMPARE(flood.front()->expectError(), status::BadTcpServerTooBusy);
        for (size_t i = 1; i < flood.size(); ++i)
            QVERIFY(flood[i]->open());
        QCOMPARE(f.server.connectionCount(), settings.maxConnections);
    }

    void vanishedClientLeavesItsSessionToTimeOut()
    {
        Fixture f;
        {
            Peer peer(f.server, f.clock);
            peer.connect(1500);
            peer.call(subscriptionRequest(10));
            peer.sendMessage(MessageType::Message, PublishRequest{});
            peer.vanish();
        }
        f.clock.runDue();
        QCOMPARE(f.server.connectionCount(), size_t(0));
        QCOMPARE(f.server.sessionCount(), size_t(1));
        f.clock.advance(milliseconds(1500));
        QCOMPARE(f.server.sessionCount(), size_t(0));
        QCOMPARE(f.server.subscriptionCount(), size_t(0));
    }

    // A client whose link broke resumes its session on a new channel; the subscription moves
    // with it, and the old channel may no longer use the session.
    void aSessionMovesToTheChannelThatActivatesIt()
    {
        Fixture f;
        Peer first(f.server, f.clock);
        first.connect();
        const auto sub = std::get<CreateSubscriptionResponse>(first.call(subscriptionRequest(10)));
        first.call(monitorRequest(sub.subscriptionId, kCounter, 1));

        Peer second(f.server, f.clock);
        second.hello();
        second.openChannel();
        second.setAuthenticationToken(first.authenticationToken());
        ActivateSessionRequest activate;
        activate.userIdentityToken = packBody(AnonymousIdentityToken{String("anonymous")});
        QVERIFY(std::holds_alternative<ActivateSessionResponse>(second.call(activate)));

        ReadRequest read;
        read.nodesToRead.push_back(readOf(kCounter));
        QCOMPARE(faultStatus(first.call(read)), status::BadSecureChannelIdInvalid);
        second.sendMessage(MessageType::Message, PublishRequest{});
        f.clock.advance(milliseconds(10));
        const auto published = std::get<PublishResponse>(*second.expectReply().message);
        QCOMPARE(published.subscriptionId, sub.subscriptionId);
        QCOMPARE(published.notificationMessage.sequenceNumber, 1u);
        QCOMPARE(f.server.sessionCount(), size_t(1));
    }

    void closeSecureChannelEndsTheConnection()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.connect();
        peer.sendMessage(MessageType::CloseSecureChannel, CloseSecureChannelRequest{});
        QVERIFY(!peer.open());
        QVERIFY(peer.replies().empty());
        QCOMPARE(f.server.sessionCount(), size_t(1)); // sessions outlive their channel
    }

    void responseLargerThanTheClientTakesIsAFault()
    {
        Fixture f;
        Peer peer(f.server, f.clock);
        peer.hello(8192, 8192);
        peer.openChannel();
        CreateSessionRequest create;
        auto created = std::get<CreateSessionResponse>(peer.call(create));
        peer.setAuthenticationToken(created.authenticationToken);
        peer.call(ActivateSessionRequest{});
        ReadRequest read;
        for (int i = 0; i < 2000; ++i)
            read.nodesToRead.push_back(readOf(kCounter));
        QCOMPARE(faultStatus(peer.call(read)), status::BadResponseTooLarge);
        QVERIFY(peer.open());
    }

private:
    const pki::PrivateKey m_serverKey = pki::PrivateKey::generateRsa(pki::kApplicationKeyBits);
    const pki::Certificate m_serverCertificate = pki::issueCertificate(
        pki::applicationCertificateProfile({"server", "Test", "urn:localhost:server", "localhost"},
                                           std::chrono::system_clock::now()),
        m_serverKey);
};

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
