#include "opcua/nodeid.h"
#include "opcua/services.h"
#include "tests/opcua/testbytes.h"

#include <QTest>
#include <set>

using namespace opcua;
using testbytes::bytes;
using testbytes::concat;
using testbytes::failureOf;
using testbytes::hex;
using testbytes::str;

Q_DECLARE_METATYPE(opcua::ServiceMessage)

namespace {

// Messages as node-opcua encodes them (captured once with its own encoders), every number and
// text in them distinct, beside the message each must decode to: two members of one type that
// trade places in a codec show here, where a round trip through the same codec cannot see them.
const DateTime kPeerTime = DateTime::fromUnixMilliseconds(1704164645006); // 2024-01-02 03:04:05.006

const ByteBuffer kPeerRequestHeader = bytes({
    0x01, 0x01, 0x4D, 0x00,                               // authentication token ns=1;i=77
    0xE0, 0xAA, 0x49, 0x58, 0x28, 0x3D, 0xDA, 0x01,       // timestamp kPeerTime
    0x0B, 0x00, 0x00, 0x00,                               // request handle 11
    0x0C, 0x00, 0x00, 0x00,                               // return diagnostics 12
    0x05, 0x00, 0x00, 0x00, 0x61, 0x75, 0x64, 0x69, 0x74, // audit entry id "audit"
    0x0D, 0x00, 0x00, 0x00,                               // timeout hint 13 ms
    0x00, 0x00, 0x00,                                     // additional header: null
});

const ByteBuffer kPeerResponseHeader = bytes({
    0xE0, 0xAA, 0x49, 0x58, 0x28, 0x3D, 0xDA, 0x01,             // timestamp kPeerTime
    0x15, 0x00, 0x00, 0x00,                                     // request handle 21
    0x00, 0x00, 0x00, 0x00,                                     // service result Good
    0x00,                                                       // service diagnostics: empty
    0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x73, 0x74, // string table ["st"]
    0x00, 0x00, 0x00,                                           // additional header: null
});

// A message of type M carrying the header of the captured messages.
template <class M> M withPeerHeader()
{
    M m{};
    if constexpr (requires { m.requestHeader; }) {
        m.requestHeader.authenticationToken = NodeId(1, 77u);
        m.requestHeader.timestamp = kPeerTime;
        m.requestHeader.requestHandle = 11;
        m.requestHeader.returnDiagnostics = 12;
        m.requestHeader.auditEntryId = String("audit");
        m.requestHeader.timeoutHint = 13;
    } else {
        m.responseHeader.timestamp = kPeerTime;
        m.responseHeader.requestHandle = 21;
        m.responseHeader.stringTable = {String("st")};
    }
    return m;
}

struct PeerMessage
{
    const char* name;
    ServiceMessage message;
    ByteBuffer encoded;
};

// Not captured from node-opcua but annotated by hand.
PeerMessage annotatedReadRequest()
{
    auto m = withPeerHeader<ReadRequest>();
    m.maxAge = 0;
    m.timestampsToReturn = TimestampsToReturn::Both;
    ReadValueId item;
    item.nodeId = NodeId(2, String("A"));
    m.nodesToRead = {item};
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0x77, 0x02}), // type id: four-byte node id i=631 (ReadRequest)
        kPeerRequestHeader,
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
    return {"ReadRequest", m, encoded};
}

PeerMessage peerOpenSecureChannelResponse()
{
    auto m = withPeerHeader<OpenSecureChannelResponse>();
    m.serverProtocolVersion = 1;
    m.securityToken = {5, 6, kPeerTime, 600000};
    m.serverNonce = ByteString(bytes({0xAB}));
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0xC1, 0x01}), // type id i=449 (OpenSecureChannelResponse)
        kPeerResponseHeader,
        bytes({
            0x01, 0x00, 0x00, 0x00,                         // server protocol version 1
            0x05, 0x00, 0x00, 0x00,                         // channel id 5
            0x06, 0x00, 0x00, 0x00,                         // token id 6
            0xE0, 0xAA, 0x49, 0x58, 0x28, 0x3D, 0xDA, 0x01, // created at kPeerTime
            0xC0, 0x27, 0x09, 0x00,                         // revised lifetime 600000 ms
            0x01, 0x00, 0x00, 0x00, 0xAB,                   // server nonce AB
        }),
    });
    return {"OpenSecureChannelResponse", m, encoded};
}

PeerMessage peerCreateSessionRequest()
{
    auto m = withPeerHeader<CreateSessionRequest>();
    m.clientDescription = {
        String("urn:app"),       String("urn:product"), {String(), String("Panel")},
        ApplicationType::Client, String("urn:gw"),      String("urn:dp"),
        {String("opc.tcp://d")}};
    m.serverUri = String("urn:server");
    m.endpointUrl = String("opc.tcp://h:1");
    m.sessionName = String("session");
    m.clientNonce = ByteString(bytes({1, 2}));
    m.clientCertificate = ByteString(bytes({3}));
    m.requestedSessionTimeout = 60000;
    m.maxResponseMessageSize = 70000;
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0xCD, 0x01}), // type id i=461 (CreateSessionRequest)
        kPeerRequestHeader,
        str("urn:app"),     // application uri
        str("urn:product"), // product uri
        bytes({
            0x02, 0x05, 0x00, 0x00, 0x00, 0x50, 0x61, 0x6E, 0x65, 0x6C, // application name "Panel"
            0x01, 0x00, 0x00, 0x00,                                     // application type Client
        }),
        str("urn:gw"),                   // gateway server uri "urn:gw"
        str("urn:dp"),                   // discovery profile uri "urn:dp"
        bytes({0x01, 0x00, 0x00, 0x00}), // 1 discovery url:
        str("opc.tcp://d"),              //   the url
        str("urn:server"),               // server uri
        str("opc.tcp://h:1"),            // endpoint url
        str("session"),                  // session name
        bytes({
            0x02, 0x00, 0x00, 0x00, 0x01, 0x02,             // client nonce 01 02
            0x01, 0x00, 0x00, 0x00, 0x03,                   // client certificate 03
            0x00, 0x00, 0x00, 0x00, 0x00, 0x4C, 0xED, 0x40, // requested session timeout 60000 ms
            0x70, 0x11, 0x01, 0x00,                         // max response message size 70000
        }),
    });
    return {"CreateSessionRequest", m, encoded};
}

PeerMessage peerCreateSessionResponse()
{
    auto m = withPeerHeader<CreateSessionResponse>();
    m.sessionId = NodeId(1, 31u);
    m.authenticationToken = NodeId(1, 32u);
    m.revisedSessionTimeout = 30000;
    m.serverNonce = ByteString(bytes({4, 5}));
    m.serverCertificate = ByteString(bytes({6}));
    EndpointDescription endpoint;
    endpoint.endpointUrl = String("opc.tcp://e:2");
    endpoint.server = {String("urn:s"),
                       String("urn:sp"),
                       {String(), String("Sim")},
                       ApplicationType::Server,
                       String(""),
                       String(""),
                       {}};
    endpoint.securityMode = MessageSecurityMode::None;
    endpoint.securityPolicyUri = String("http://opcfoundation.org/UA/SecurityPolicy#None");
    endpoint.userIdentityTokens = {
        {String("anon"), UserTokenType::Anonymous, String("it"), String("ie"), String("sp")}};
    endpoint.transportProfileUri = String("tp");
    endpoint.securityLevel = 7;
    m.serverEndpoints = {endpoint};
    m.serverSignature = {String("alg"), ByteString(bytes({8}))};
    m.maxRequestMessageSize = 80000;
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0xD0, 0x01}), // type id i=464 (CreateSessionResponse)
        kPeerResponseHeader,
        bytes({
            0x01, 0x01, 0x1F, 0x00,                         // session id ns=1;i=31
            0x01, 0x01, 0x20, 0x00,                         // authentication token ns=1;i=32
            0x00, 0x00, 0x00, 0x00, 0x00, 0x4C, 0xDD, 0x40, // revised session timeout 30000 ms
            0x02, 0x00, 0x00, 0x00, 0x04, 0x05,             // server nonce 04 05
            0x01, 0x00, 0x00, 0x00, 0x06,                   // server certificate 06
            0x01, 0x00, 0x00, 0x00,                         // 1 endpoint:
        }),
        str("opc.tcp://e:2"), //   endpoint url
        str("urn:s"),         //   server: application uri "urn:s"
        str("urn:sp"),        //     product uri "urn:sp"
        bytes({
            0x02, 0x03, 0x00, 0x00, 0x00, 0x53, 0x69, 0x6D, //     application name "Sim"
            0x00, 0x00, 0x00, 0x00,                         //     application type Server
            0x00, 0x00, 0x00, 0x00,                         //     gateway server uri: empty
            0x00, 0x00, 0x00, 0x00,                         //     discovery profile uri: empty
            0x00, 0x00, 0x00, 0x00,                         //     no discovery urls
            0xFF, 0xFF, 0xFF, 0xFF,                         //   server certificate: null
            0x01, 0x00, 0x00, 0x00,                         //   security mode None
        }),
        str("http://opcfoundation.org/UA/SecurityPolicy#None"), //   security policy uri
        bytes({0x01, 0x00, 0x00, 0x00}),                        //   1 user token policy:
        str("anon"),                                            //     policy id "anon"
        bytes({
            0x00, 0x00, 0x00, 0x00,                   //     token type Anonymous
            0x02, 0x00, 0x00, 0x00, 0x69, 0x74,       //     issued token type "it"
            0x02, 0x00, 0x00, 0x00, 0x69, 0x65,       //     issuer endpoint url "ie"
            0x02, 0x00, 0x00, 0x00, 0x73, 0x70,       //     security policy uri "sp"
            0x02, 0x00, 0x00, 0x00, 0x74, 0x70,       //   transport profile uri "tp"
            0x07,                                     //   security level 7
            0x00, 0x00, 0x00, 0x00,                   // no software certificates
            0x03, 0x00, 0x00, 0x00, 0x61, 0x6C, 0x67, // signature algorithm "alg"
            0x01, 0x00, 0x00, 0x00, 0x08,             // signature 08
            0x80, 0x38, 0x01, 0x00,                   // max request message size 80000
        }),
    });
    return {"CreateSessionResponse", m, encoded};
}

PeerMessage peerCreateSubscriptionRequest()
{
    auto m = withPeerHeader<CreateSubscriptionRequest>();
    m.requestedPublishingInterval = 100;
    m.requestedLifetimeCount = 30;
    m.requestedMaxKeepAliveCount = 10;
    m.maxNotificationsPerPublish = 1000;
    m.publishingEnabled = true;
    m.priority = 7;
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0x13, 0x03}), // type id i=787 (CreateSubscriptionRequest)
        kPeerRequestHeader,
        bytes({
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x59, 0x40, // requested publishing interval 100 ms
            0x1E, 0x00, 0x00, 0x00,                         // requested lifetime count 30
            0x0A, 0x00, 0x00, 0x00,                         // requested max keep-alive count 10
            0xE8, 0x03, 0x00, 0x00,                         // max notifications per publish 1000
            0x01,                                           // publishing enabled
            0x07,                                           // priority 7
        }),
    });
    return {"CreateSubscriptionRequest", m, encoded};
}

PeerMessage peerCreateSubscriptionResponse()
{
    auto m = withPeerHeader<CreateSubscriptionResponse>();
    m.subscriptionId = 42;
    m.revisedPublishingInterval = 250;
    m.revisedLifetimeCount = 300;
    m.revisedMaxKeepAliveCount = 12;
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0x16, 0x03}), // type id i=790 (CreateSubscriptionResponse)
        kPeerResponseHeader,
        bytes({
            0x2A, 0x00, 0x00, 0x00,                         // subscription id 42
            0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x6F, 0x40, // revised publishing interval 250 ms
            0x2C, 0x01, 0x00, 0x00,                         // revised lifetime count 300
            0x0C, 0x00, 0x00, 0x00,                         // revised max keep-alive count 12
        }),
    });
    return {"CreateSubscriptionResponse", m, encoded};
}

PeerMessage peerModifySubscriptionRequest()
{
    auto m = withPeerHeader<ModifySubscriptionRequest>();
    m.subscriptionId = 42;
    m.requestedPublishingInterval = 50;
    m.requestedLifetimeCount = 90;
    m.requestedMaxKeepAliveCount = 9;
    m.maxNotificationsPerPublish = 8;
    m.priority = 3;
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0x19, 0x03}), // type id i=793 (ModifySubscriptionRequest)
        kPeerRequestHeader,
        bytes({
            0x2A, 0x00, 0x00, 0x00,                         // subscription id 42
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x49, 0x40, // requested publishing interval 50 ms
            0x5A, 0x00, 0x00, 0x00,                         // requested lifetime count 90
            0x09, 0x00, 0x00, 0x00,                         // requested max keep-alive count 9
            0x08, 0x00, 0x00, 0x00,                         // max notifications per publish 8
            0x03,                                           // priority 3
        }),
    });
    return {"ModifySubscriptionRequest", m, encoded};
}

PeerMessage peerCreateMonitoredItemsRequest()
{
    auto m = withPeerHeader<CreateMonitoredItemsRequest>();
    m.subscriptionId = 42;
    m.timestampsToReturn = TimestampsToReturn::Neither;
    MonitoredItemCreateRequest item;
    item.itemToMonitor.nodeId = NodeId(2, String("A"));
    item.monitoringMode = MonitoringMode::Sampling;
    item.requestedParameters = {
        3, 50, packBody(DataChangeFilter{DataChangeTrigger::StatusValueTimestamp, 1, 0.5}), 4,
        false};
    m.itemsToCreate = {item};
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0xEF, 0x02}), // type id i=751 (CreateMonitoredItemsRequest)
        kPeerRequestHeader,
        bytes({
            0x2A, 0x00, 0x00, 0x00,                         // subscription id 42
            0x03, 0x00, 0x00, 0x00,                         // timestamps to return: Neither
            0x01, 0x00, 0x00, 0x00,                         // 1 item:
            0x03, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x41, //   node id ns=2;s=A
            0x0D, 0x00, 0x00, 0x00,                         //   attribute id 13 (Value)
            0xFF, 0xFF, 0xFF, 0xFF,                         //   index range: null
            0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,             //   data encoding: 0, null name
            0x01, 0x00, 0x00, 0x00,                         //   monitoring mode Sampling
            0x03, 0x00, 0x00, 0x00,                         //   client handle 3
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x49, 0x40, //   sampling interval 50 ms
            0x01, 0x00, 0xD4, 0x02, //   filter: type id i=724 (DataChangeFilter)
            0x01,                   //     binary body
            0x10, 0x00, 0x00, 0x00, //     body of 16 bytes:
            0x02, 0x00, 0x00, 0x00, //       trigger StatusValueTimestamp
            0x01, 0x00, 0x00, 0x00, //       deadband type 1 (absolute)
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x3F, //       deadband value 0.5
            0x04, 0x00, 0x00, 0x00,                         //   queue size 4
            0x00,                                           //   discard oldest: false
        }),
    });
    return {"CreateMonitoredItemsRequest", m, encoded};
}

PeerMessage peerCreateMonitoredItemsResponse()
{
    auto m = withPeerHeader<CreateMonitoredItemsResponse>();
    m.results = {{status::Good, 17, 50, 1, {}}};
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0xF2, 0x02}), // type id i=754 (CreateMonitoredItemsResponse)
        kPeerResponseHeader,
        bytes({
            0x01, 0x00, 0x00, 0x00,                         // 1 result:
            0x00, 0x00, 0x00, 0x00,                         //   status Good
            0x11, 0x00, 0x00, 0x00,                         //   monitored item id 17
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x49, 0x40, //   revised sampling interval 50 ms
            0x01, 0x00, 0x00, 0x00,                         //   revised queue size 1
            0x00, 0x00, 0x00,                               //   filter result: null
            0x00, 0x00, 0x00, 0x00,                         // no diagnostic infos
        }),
    });
    return {"CreateMonitoredItemsResponse", m, encoded};
}

PeerMessage peerPublishRequest()
{
    auto m = withPeerHeader<PublishRequest>();
    m.subscriptionAcknowledgements = {{42, 6}};
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0x3A, 0x03}), // type id i=826 (PublishRequest)
        kPeerRequestHeader,
        bytes({
            0x01, 0x00, 0x00, 0x00, // 1 acknowledgement:
            0x2A, 0x00, 0x00, 0x00, //   subscription id 42
            0x06, 0x00, 0x00, 0x00, //   sequence number 6
        }),
    });
    return {"PublishRequest", m, encoded};
}

PeerMessage peerPublishResponse()
{
    auto m = withPeerHeader<PublishResponse>();
    m.subscriptionId = 42;
    m.availableSequenceNumbers = {6, 7};
    m.moreNotifications = true;
    m.notificationMessage.sequenceNumber = 7;
    m.notificationMessage.publishTime = kPeerTime;
    DataValue value;
    value.value = Variant::fromScalar(int16_t(1151));
    m.notificationMessage.notificationData = {DataChangeNotification{{{3, value}}, {}},
                                              StatusChangeNotification{status::BadTimeout, {}}};
    m.results = {status::Good};
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0x3D, 0x03}), // type id i=829 (PublishResponse)
        kPeerResponseHeader,
        bytes({
            0x2A, 0x00, 0x00, 0x00,                         // subscription id 42
            0x02, 0x00, 0x00, 0x00,                         // 2 available sequence numbers:
            0x06, 0x00, 0x00, 0x00,                         //   6
            0x07, 0x00, 0x00, 0x00,                         //   7
            0x01,                                           // more notifications: true
            0x07, 0x00, 0x00, 0x00,                         // notification sequence number 7
            0xE0, 0xAA, 0x49, 0x58, 0x28, 0x3D, 0xDA, 0x01, // publish time kPeerTime
            0x02, 0x00, 0x00, 0x00,                         // 2 notifications:
            0x01, 0x00, 0x2B, 0x03, //   type id i=811 (DataChangeNotification)
            0x01,                   //   binary body
            0x10, 0x00, 0x00, 0x00, //   body of 16 bytes:
            0x01, 0x00, 0x00, 0x00, //     1 monitored item:
            0x03, 0x00, 0x00, 0x00, //       client handle 3
            0x01, 0x04, 0x7F, 0x04, //       value: Int16 1151
            0x00, 0x00, 0x00, 0x00, //     no diagnostic infos
            0x01, 0x00, 0x34, 0x03, //   type id i=820 (StatusChangeNotification)
            0x01,                   //   binary body
            0x05, 0x00, 0x00, 0x00, //   body of 5 bytes:
            0x00, 0x00, 0x0A, 0x80, //     status BadTimeout
            0x00,                   //     no diagnostic info
            0x01, 0x00, 0x00, 0x00, // 1 result:
            0x00, 0x00, 0x00, 0x00, //   Good
            0x00, 0x00, 0x00, 0x00, // no diagnostic infos
        }),
    });
    return {"PublishResponse", m, encoded};
}

PeerMessage peerRepublishRequest()
{
    auto m = withPeerHeader<RepublishRequest>();
    m.subscriptionId = 42;
    m.retransmitSequenceNumber = 6;
    const ByteBuffer encoded = concat({
        bytes({0x01, 0x00, 0x40, 0x03}), // type id i=832 (RepublishRequest)
        kPeerRequestHeader,
        bytes({
            0x2A, 0x00, 0x00, 0x00, // subscription id 42
            0x06, 0x00, 0x00, 0x00, // retransmit sequence number 6
        }),
    });
    return {"RepublishRequest", m, encoded};
}

std::vector<PeerMessage> peerMessages()
{
    return {annotatedReadRequest(),
            peerOpenSecureChannelResponse(),
            peerCreateSessionRequest(),
            peerCreateSessionResponse(),
            peerCreateSubscriptionRequest(),
            peerCreateSubscriptionResponse(),
            peerModifySubscriptionRequest(),
            peerCreateMonitoredItemsRequest(),
            peerCreateMonitoredItemsResponse(),
            peerPublishRequest(),
            peerPublishResponse(),
            peerRepublishRequest()};
}

// A PublishResponse whose one notification is `notification`.
ByteBuffer publishResponseWith(const ExtensionObject& notification)
{
    PublishResponse response;
    response.notificationMessage.notificationData = {notification};
    return encodeServiceMessage(response);
}

} // namespace

class TestServices : public QObject
{
    Q_OBJECT

private slots:
    void decodesEveryMemberWhereNodeOpcuaPutsIt_data();
    void decodesEveryMemberWhereNodeOpcuaPutsIt();
    void refusesMalformedMessages_data();
    void refusesMalformedMessages();
    void reportsUnsupportedServicesWithTheirRequestHandle();
    void keepsUnknownNotificationsUndecoded();
    void packsAndUnpacksIdentityTokens();
    void tableListsEachServiceOnce();
};

void TestServices::decodesEveryMemberWhereNodeOpcuaPutsIt_data()
{
    QTest::addColumn<ByteBuffer>("encoded");
    QTest::addColumn<ServiceMessage>("message");
    for (const PeerMessage& peer : peerMessages())
        QTest::newRow(peer.name) << peer.encoded << peer.message;
}

void TestServices::decodesEveryMemberWhereNodeOpcuaPutsIt()
{
    QFETCH(ByteBuffer, encoded);
    QFETCH(ServiceMessage, message);

    QVERIFY(decodeServiceMessage(encoded) == message);
    QCOMPARE(hex(encodeServiceMessage(message)), hex(encoded));
}

void TestServices::refusesMalformedMessages_data()
{
    QTest::addColumn<ByteBuffer>("encoded");
    QTest::addColumn<StatusCode>("expected");

    ByteBuffer trailing = encodeServiceMessage(CloseSessionRequest{});
    trailing.push_back(0);
    QTest::newRow("trailing byte") << trailing << StatusCode(status::BadDecodingError);
    // Claims to be a DataChangeNotification but holds one byte too many.
    QTest::newRow("malformed notification body")
        << publishResponseWith({NodeId(0, DataChangeNotification::kBinaryEncodingId),
                                ExtensionObjectEncoding::ByteString,
                                bytes({0, 0, 0, 0, 0, 0, 0, 0, 1})})
        << StatusCode(status::BadDecodingError);
    QTest::newRow("string type id")
        << encodeToBytes(NodeId(0, String("x"))) << StatusCode(status::BadServiceUnsupported);
    for (const PeerMessage& peer : peerMessages()) {
        for (size_t n = 0; n < peer.encoded.size(); ++n)
            QTest::addRow("%s cut to %zu bytes", peer.name, n)
                << ByteBuffer(peer.encoded.begin(), peer.encoded.begin() + std::ptrdiff_t(n))
                << StatusCode(status::BadDecodingError);
    }
}

void TestServices::refusesMalformedMessages()
{
    QFETCH(ByteBuffer, encoded);
    QFETCH(StatusCode, expected);

    QCOMPARE(failureOf([&] { decodeServiceMessage(encoded); }), expected);
}

void TestServices::reportsUnsupportedServicesWithTheirRequestHandle()
{
    // A CallRequest (i=712): a request this library does not offer.
    const ByteBuffer call = concat(
        {bytes({0x01, 0x00, 0xC8, 0x02}), kPeerRequestHeader, bytes({0x00, 0x00, 0x00, 0x00})});
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
    QCOMPARE(prefix->requestHeader.requestHandle, 11u);
    QVERIFY(!peekRequestHeader(ByteView(call).first(10)).has_value());
}

void TestServices::keepsUnknownNotificationsUndecoded()
{
    const ExtensionObject events{NodeId(0, kEventNotificationListEncodingId),
                                 ExtensionObjectEncoding::ByteString, bytes({0, 0, 0, 0})};
    const auto decoded =
        std::get<PublishResponse>(decodeServiceMessage(publishResponseWith(events)));
    QVERIFY(std::get<ExtensionObject>(decoded.notificationMessage.notificationData.at(0)) ==
            events);
}

void TestServices::packsAndUnpacksIdentityTokens()
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
    // Another type, or no body, unpacks to nothing; a short body is an error.
    QVERIFY(!unpackBody<UserNameIdentityToken>(token).has_value());
    QVERIFY(!unpackBody<AnonymousIdentityToken>(ExtensionObject{}).has_value());
    ExtensionObject truncated = token;
    truncated.body.pop_back();
    QCOMPARE(failureOf([&] { unpackBody<AnonymousIdentityToken>(truncated); }),
             status::BadDecodingError);
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

QTEST_GUILESS_MAIN(TestServices)
#include "tst_services.moc"
