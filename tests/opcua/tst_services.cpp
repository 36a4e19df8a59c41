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

namespace {

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

// A ReadRequest annotated by hand, as a guide to the layout every message shares.
ReadRequest annotatedReadRequest()
{
    ReadRequest m;
    m.requestHeader = {NodeId(1, 77u), kPeerTime, 11, 12, String("audit"), 13, {}};
    m.maxAge = 0;
    m.timestampsToReturn = TimestampsToReturn::Both;
    ReadValueId item;
    item.nodeId = NodeId(2, String("A"));
    m.nodesToRead = {item};
    return m;
}

const ByteBuffer kAnnotatedReadRequest = concat({
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

// A message of the service table as node-opcua encodes it (peermessages.json, written by
// make_messages.mjs with its own encoders), with the bytes of each of its members by name.
struct PeerMessage
{
    QString name;
    ByteBuffer encoded;
    QJsonObject members;
};

ByteBuffer fromHex(const QJsonValue& value)
{
    return testbytes::fromQByteArray(QByteArray::fromHex(value.toString().toLatin1()));
}

std::vector<PeerMessage> peerMessages()
{
    static const QJsonObject messages =
        testbytes::readJsonFile(QStringLiteral(PEER_MESSAGES))["messages"].toObject();
    std::vector<PeerMessage> out;
    for (const ServiceInfo& info : serviceTable()) {
        const QString name = QString::fromLatin1(info.name.data(), qsizetype(info.name.size()));
        const QJsonObject peer = messages[name].toObject();
        if (peer.isEmpty())
            throw std::runtime_error("no bytes for " + name.toStdString());
        out.push_back({name, fromHex(peer["bytes"]), peer["members"].toObject()});
    }
    return out;
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
    void decodesTheAnnotatedReadRequest();
    void decodesEveryMemberWhereNodeOpcuaPutsIt_data();
    void decodesEveryMemberWhereNodeOpcuaPutsIt();
    void refusesMalformedMessages_data();
    void refusesMalformedMessages();
    void reportsUnsupportedServicesWithTheirRequestHandle();
    void keepsUnknownNotificationsUndecoded();
    void packsAndUnpacksIdentityTokens();
    void tableListsEachServiceOnce();
};

void TestServices::decodesTheAnnotatedReadRequest()
{
    QVERIFY(decodeServiceMessage(kAnnotatedReadRequest) == ServiceMessage(annotatedReadRequest()));
    QCOMPARE(hex(encodeServiceMessage(annotatedReadRequest())), hex(kAnnotatedReadRequest));
}

void TestServices::decodesEveryMemberWhereNodeOpcuaPutsIt_data()
{
    QTest::addColumn<ByteBuffer>("encoded");
    QTest::addColumn<QJsonObject>("members");
    for (const PeerMessage& peer : peerMessages())
        QTest::newRow(qPrintable(peer.name)) << peer.encoded << peer.members;
}

// Each member is compared under its name, so that the first one out of place is named.
void TestServices::decodesEveryMemberWhereNodeOpcuaPutsIt()
{
    QFETCH(ByteBuffer, encoded);
    QFETCH(QJsonObject, members);

    const ServiceMessage decoded = decodeServiceMessage(encoded);
    const MemberEncodings ours = memberEncodings(decoded);
    for (const auto& [path, memberBytes] : ours) {
        const QString name = QString::fromStdString(path);
        QCOMPARE(name + ": " + hex(memberBytes), name + ": " + hex(fromHex(members[name])));
    }
    QCOMPARE(qsizetype(ours.size()), members.size());
    QCOMPARE(hex(encodeServiceMessage(decoded)), hex(encoded));
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
            QTest::addRow("%s cut to %zu bytes", qPrintable(peer.name), n)
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
