#include "opcua/nodeid.h"
#include "opcua/services.h"
#include "tests/opcua/testbytes.h"

#include <QTest>
#include <set>

using namespace opcua;
using testbytes::bytes;
using testbytes::concat;
using testbytes::hex;

Q_DECLARE_METATYPE(opcua::ServiceMessage)

namespace {

// A RequestHeader whose encoding the tests spell out.
RequestHeader simpleRequestHeader()
{
    RequestHeader h;
    h.requestHandle = 7;
    h.timeoutHint = 1000;
    return h;
}

const ByteBuffer kSimpleRequestHeaderBytes = bytes({
    0x00, 0x00,                                     // authentication token: null node id
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // timestamp: none
    0x07, 0x00, 0x00, 0x00,                         // request handle 7
    0x00, 0x00, 0x00, 0x00,                         // return diagnostics: none
    0xFF, 0xFF, 0xFF, 0xFF,                         // audit entry id: null
    0xE8, 0x03, 0x00, 0x00,                         // timeout hint 1000 ms
    0x00, 0x00, 0x00,                               // additional header: null extension object
});

const ByteBuffer kSimpleResponseHeaderBytes = bytes({
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // timestamp: none
    0x05, 0x00, 0x00, 0x00,                         // request handle 5
    0x00, 0x00, 0x00, 0x00,                         // service result Good
    0x00,                                           // service diagnostics: empty
    0x00, 0x00, 0x00, 0x00,                         // string table: no strings
    0x00, 0x00, 0x00,                               // additional header: null
});

ResponseHeader simpleResponseHeader()
{
    ResponseHeader h;
    h.requestHandle = 5;
    return h;
}

PublishResponse publishResponse(int items)
{
    PublishResponse r;
    r.responseHeader = simpleResponseHeader();
    r.subscriptionId = 1;
    r.availableSequenceNumbers = {1};
    r.notificationMessage.sequenceNumber = 1;
    DataChangeNotification change;
    for (int i = 0; i < items; ++i) {
        MonitoredItemNotification n;
        n.clientHandle = uint32_t(3 + i);
        n.value.value = Variant::fromScalar(int32_t(42));
        change.monitoredItems.push_back(n);
    }
    r.notificationMessage.notificationData.push_back(change);
    return r;
}

// A message of each kind with its members set to something other than the defaults, so that
// a member dropped or swapped by a codec shows in the round trip.
template <size_t I> ServiceMessage sampleMessage()
{
    std::variant_alternative_t<I, ServiceMessage> m{};
    if constexpr (requires { m.requestHeader; }) {
        m.requestHeader = simpleRequestHeader();
        m.requestHeader.authenticationToken = NodeId(1, ByteString(bytes({1, 2, 3})));
        m.requestHeader.auditEntryId = String("audit");
    } else {
        m.responseHeader = simpleResponseHeader();
        m.responseHeader.serviceResult = status::BadTimeout;
        m.responseHeader.stringTable = {String("a"), String()};
    }
    return m;
}

template <size_t... I> std::vector<ServiceMessage> allSamples(std::index_sequence<I...>)
{
    return {sampleMessage<I>()...};
}

std::vector<ServiceMessage> sampleOfEveryService()
{
    auto messages = allSamples(std::make_index_sequence<std::variant_size_v<ServiceMessage>>());

    // Fill the members of the messages this system relies on most.
    for (auto& message : messages) {
        if (auto* m = std::get_if<ReadResponse>(&message)) {
            DataValue v;
            v.value = Variant::fromArray(std::vector<String>{String("http://opcfoundation.org/UA/"),
                                                             String("urn:servo-panel:sim")});
            v.serverTimestamp = DateTime{99};
            m->results = {v, DataValue{}};
        } else if (auto* m = std::get_if<WriteRequest>(&message)) {
            WriteValue w;
            w.nodeId = NodeId(2, String("Servo2.CommandWord"));
            w.value.value = Variant::fromScalar(uint16_t(0x8001));
            m->nodesToWrite = {w};
        } else if (auto* m = std::get_if<CreateMonitoredItemsRequest>(&message)) {
            MonitoredItemCreateRequest item;
            item.itemToMonitor.nodeId = NodeId(2, 9u);
            item.requestedParameters.clientHandle = 4;
            item.requestedParameters.samplingInterval = 100;
            item.requestedParameters.filter = packBody(DataChangeFilter{});
            m->subscriptionId = 8;
            m->itemsToCreate = {item, item};
        } else if (auto* m = std::get_if<PublishResponse>(&message)) {
            *m = publishResponse(2);
            StatusChangeNotification statusChange;
            statusChange.status = status::BadTimeout;
            m->notificationMessage.notificationData.push_back(statusChange);
            m->notificationMessage.notificationData.push_back(
                ExtensionObject{NodeId(0, kEventNotificationListEncodingId),
                                ExtensionObjectEncoding::ByteString, bytes({0, 0, 0, 0})});
            m->results = {status::Good, status::BadSequenceNumberUnknown};
        } else if (auto* m = std::get_if<ActivateSessionRequest>(&message)) {
            m->userIdentityToken = packBody(AnonymousIdentityToken{String("anonymous")});
            m->localeIds = {String("en")};
        } else if (auto* m = std::get_if<CreateSessionResponse>(&message)) {
            EndpointDescription endpoint;
            endpoint.endpointUrl = String("opc.tcp://localhost:4840");
            endpoint.securityPolicyUri = String("http://opcfoundation.org/UA/SecurityPolicy#None");
            endpoint.userIdentityTokens = {
                UserTokenPolicy{String("anonymous"), UserTokenType::Anonymous, {}, {}, {}}};
            m->serverEndpoints = {endpoint};
            m->sessionId = NodeId(1, Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}});
            m->revisedSessionTimeout = 60000;
        } else if (auto* m = std::get_if<BrowseResponse>(&message)) {
            ReferenceDescription ref;
            ref.nodeId = ExpandedNodeId(NodeId(2, 1u), String("urn:x"));
            ref.browseName = QualifiedName{2, String("Servo2")};
            ref.nodeClass = NodeClass::Object;
            m->results = {BrowseResult{status::Good, ByteString(bytes({9})), {ref}}};
        } else if (auto* m = std::get_if<TranslateBrowsePathsToNodeIdsRequest>(&message)) {
            BrowsePath path;
            path.startingNode = NodeId(0, ids::ObjectsFolder);
            path.relativePath.elements = {
                RelativePathElement{NodeId(0, ids::HierarchicalReferences), false, true,
                                    QualifiedName{2, String("Servo2")}}};
            m->browsePaths = {path};
        }
    }
    return messages;
}

} // namespace

class TestServices : public QObject
{
    Q_OBJECT

private slots:
    void encodesAReadRequestAsPublished();
    void encodesAPublishResponseAsPublished();
    void packsAnAnonymousIdentityToken();
    void everyServiceRoundTrips_data();
    void everyServiceRoundTrips();
    void everyPrefixOfAServiceMessageIsAnError_data();
    void everyPrefixOfAServiceMessageIsAnError();
    void rejectsTrailingBytes();
    void reportsUnsupportedServicesWithTheirRequestHandle();
    void keepsUnknownNotificationsUndecoded();
    void rejectsAMalformedNotificationBody();
    void tableListsEachServiceOnce();
    void findsHeaders();
    void unpackBodyIgnoresOtherTypes();
};

void TestServices::encodesAReadRequestAsPublished()
{
    ReadRequest request;
    request.requestHeader = simpleRequestHeader();
    request.maxAge = 0;
    request.timestampsToReturn = TimestampsToReturn::Both;
    ReadValueId item;
    item.nodeId = NodeId(2, String("A"));
    request.nodesToRead = {item};

    const ByteBuffer expected = concat({
        bytes({0x01, 0x00, 0x77, 0x02}), // type id: four-byte node id i=631 (ReadRequest)
        kSimpleRequestHeaderBytes,
        bytes({
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // max age 0.0
            0x02, 0x00, 0x00, 0x00,                         // timestamps to return: Both
            0x01, 0x00, 0x00, 0x00,                         // 1 node to read
            0x03, 0x02, 0x00,                               // node id: string form, ns 2
            0x01, 0x00, 0x00, 0x00, 0x41,                   //   "A"
            0x0D, 0x00, 0x00, 0x00,                         // attribute id 13 (Value)
            0xFF, 0xFF, 0xFF, 0xFF,                         // index range: null
            0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,             // data encoding: 0, null name
        }),
    });
    QCOMPARE(hex(encodeServiceMessage(request)), hex(expected));
    QVERIFY(std::get<ReadRequest>(decodeServiceMessage(expected)) == request);
}

void TestServices::encodesAPublishResponseAsPublished()
{
    const ByteBuffer expected = concat({
        bytes({0x01, 0x00, 0x3D, 0x03}), // type id: i=829 (PublishResponse)
        kSimpleResponseHeaderBytes,
        bytes({
            0x01, 0x00, 0x00, 0x00,                         // subscription id 1
            0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, // available sequence numbers [1]
            0x00,                                           // more notifications: false
            0x01, 0x00, 0x00, 0x00,                         // notification sequence number 1
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // publish time: none
            0x01, 0x00, 0x00, 0x00,                         // 1 notification
            0x01, 0x00, 0x2B, 0x03,                         //   type id i=811 (DataChange)
            0x01,                                           //   binary body
            0x12, 0x00, 0x00, 0x00,                         //   body of 18 bytes:
            0x01, 0x00, 0x00, 0x00,                         //     1 monitored item
            0x03, 0x00, 0x00, 0x00,                         //     client handle 3
            0x01, 0x06, 0x2A, 0x00, 0x00, 0x00,             //     DataValue: Int32 42
            0x00, 0x00, 0x00, 0x00,                         //     no diagnostic infos
            0x00, 0x00, 0x00, 0x00,                         // no results
            0x00, 0x00, 0x00, 0x00,                         // no diagnostic infos
        }),
    });
    const PublishResponse response = publishResponse(1);
    QCOMPARE(hex(encodeServiceMessage(response)), hex(expected));
    const auto decoded = std::get<PublishResponse>(decodeServiceMessage(expected));
    QVERIFY(decoded == response);
    const auto& change =
        std::get<DataChangeNotification>(decoded.notificationMessage.notificationData.at(0));
    QCOMPARE(change.monitoredItems.at(0).clientHandle, 3u);
    QCOMPARE(*change.monitoredItems.at(0).value.value->scalar<int32_t>(), 42);
}

void TestServices::packsAnAnonymousIdentityToken()
{
    const ExtensionObject token = packBody(AnonymousIdentityToken{String("anonymous")});
    const ByteBuffer expected = bytes({
        0x01, 0x00, 0x41, 0x01, // type id i=321 (AnonymousIdentityToken)
        0x01,                   // binary body
        0x0D, 0x00, 0x00, 0x00, // body of 13 bytes:
        0x09, 0x00, 0x00, 0x00, //   policy id length 9
        0x61, 0x6E, 0x6F, 0x6E, 0x79, 0x6D, 0x6F, 0x75, 0x73, // "anonymous"
    });
    QCOMPARE(hex(encodeToBytes(token)), hex(expected));
    QCOMPARE(unpackBody<AnonymousIdentityToken>(token)->policyId, String("anonymous"));
}

void TestServices::everyServiceRoundTrips_data()
{
    QTest::addColumn<ServiceMessage>("message");
    for (const auto& message : sampleOfEveryService())
        QTest::newRow(serviceName(message).data()) << message;
}

void TestServices::everyServiceRoundTrips()
{
    QFETCH(ServiceMessage, message);

    const ByteBuffer encoded = encodeServiceMessage(message);
    const ServiceMessage decoded = decodeServiceMessage(encoded);
    QCOMPARE(decoded.index(), message.index());
    QVERIFY(decoded == message);
    QCOMPARE(hex(encodeServiceMessage(decoded)), hex(encoded));
    // The type id leads, in the four-byte form, and names the message.
    const auto typeId = decodeFromBytes<NodeId>(ByteView(encoded).first(4));
    QCOMPARE(typeId.numeric(), encodingIdOf(message));
}

void TestServices::everyPrefixOfAServiceMessageIsAnError_data()
{
    everyServiceRoundTrips_data();
}

void TestServices::everyPrefixOfAServiceMessageIsAnError()
{
    QFETCH(ServiceMessage, message);

    const ByteBuffer encoded = encodeServiceMessage(message);
    for (size_t n = 0; n < encoded.size(); ++n) {
        try {
            decodeServiceMessage(ByteView(encoded).first(n));
            QFAIL(
                qPrintable(QString("prefix of %1 of %2 bytes decoded").arg(n).arg(encoded.size())));
        } catch (const DecodeError& e) {
            QCOMPARE(e.status(), status::BadDecodingError);
        }
    }
}

void TestServices::rejectsTrailingBytes()
{
    ByteBuffer encoded = encodeServiceMessage(CloseSessionRequest{});
    encoded.push_back(0);
    QVERIFY_THROWS_EXCEPTION(DecodeError, decodeServiceMessage(encoded));
}

void TestServices::reportsUnsupportedServicesWithTheirRequestHandle()
{
    // A CallRequest (i=712): a request this library does not offer.
    const ByteBuffer call = concat({bytes({0x01, 0x00, 0xC8, 0x02}), kSimpleRequestHeaderBytes,
                                    bytes({0x00, 0x00, 0x00, 0x00})});
    try {
        decodeServiceMessage(call);
        QFAIL("decoded");
    } catch (const UnsupportedServiceError& e) {
        QCOMPARE(e.status(), status::BadServiceUnsupported);
        QVERIFY(e.typeId() == NodeId(0, 712u));
        QVERIFY(QString::fromStdString(e.what()).contains("i=712"));
    }
    const auto prefix = peekRequestHeader(call);
    QVERIFY(prefix.has_value());
    QCOMPARE(prefix->requestHeader.requestHandle, 7u);
    QVERIFY(!peekRequestHeader(ByteView(call).first(10)).has_value());
    // A string type id is unsupported too, not a crash.
    QVERIFY_THROWS_EXCEPTION(UnsupportedServiceError,
                             decodeServiceMessage(encodeToBytes(NodeId(0, String("x")))));
}

void TestServices::keepsUnknownNotificationsUndecoded()
{
    PublishResponse response = publishResponse(0);
    const ExtensionObject events{NodeId(0, kEventNotificationListEncodingId),
                                 ExtensionObjectEncoding::ByteString, bytes({0, 0, 0, 0})};
    response.notificationMessage.notificationData = {events};
    const auto decoded =
        std::get<PublishResponse>(decodeServiceMessage(encodeServiceMessage(response)));
    QVERIFY(std::get<ExtensionObject>(decoded.notificationMessage.notificationData.at(0)) ==
            events);
}

void TestServices::rejectsAMalformedNotificationBody()
{
    PublishResponse response = publishResponse(0);
    // Claims to be a DataChangeNotification but holds one byte too many.
    response.notificationMessage.notificationData = {
        ExtensionObject{NodeId(0, DataChangeNotification::kBinaryEncodingId),
                        ExtensionObjectEncoding::ByteString, bytes({0, 0, 0, 0, 0, 0, 0, 0, 1})}};
    QVERIFY_THROWS_EXCEPTION(DecodeError, decodeServiceMessage(encodeServiceMessage(response)));
}

void TestServices::tableListsEachServiceOnce()
{
    std::set<uint32_t> ids;
    for (const ServiceInfo& info : serviceTable()) {
        QVERIFY2(ids.insert(info.encodingId).second, info.name.data());
        QCOMPARE(findService(info.encodingId), &info);
        QCOMPARE(info.isRequest, info.name.ends_with("Request"));
    }
    QCOMPARE(ids.size(), std::variant_size_v<ServiceMessage>);
    QCOMPARE(findService(712), nullptr);
    QCOMPARE(findService(ReadRequest::kBinaryEncodingId)->name, std::string_view("ReadRequest"));
}

void TestServices::findsHeaders()
{
    ServiceMessage request = ReadRequest{};
    requestHeaderOf(request)->requestHandle = 11;
    QCOMPARE(std::get<ReadRequest>(request).requestHeader.requestHandle, 11u);
    QCOMPARE(responseHeaderOf(request), nullptr);

    ServiceMessage fault = ServiceFault{};
    QCOMPARE(requestHeaderOf(fault), nullptr);
    responseHeaderOf(fault)->serviceResult = status::BadServiceUnsupported;
    QCOMPARE(std::get<ServiceFault>(fault).responseHeader.serviceResult,
             status::BadServiceUnsupported);
}

void TestServices::unpackBodyIgnoresOtherTypes()
{
    const ExtensionObject token = packBody(AnonymousIdentityToken{String("a")});
    QVERIFY(!unpackBody<UserNameIdentityToken>(token).has_value());
    QVERIFY(!unpackBody<AnonymousIdentityToken>(ExtensionObject{}).has_value());
    ExtensionObject truncated = token;
    truncated.body.pop_back();
    QVERIFY_THROWS_EXCEPTION(DecodeError, unpackBody<AnonymousIdentityToken>(truncated));
}

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
