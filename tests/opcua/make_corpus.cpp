// Writes the seed corpus of the fuzz target: one valid example of each kind of input the
// round-trip check takes, each file led by the selector byte. Run by hand when the encodings
// change:  opcua_make_corpus tests/opcua/corpus
#include "opcua/nodeid.h"
#include "opcua/securechannel.h"
#include "opcua/services.h"
#include "opcua/tcp.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using namespace opcua;

namespace {

std::filesystem::path g_folder;

void write(const std::string& name, uint8_t selector, ByteView body)
{
    std::ofstream out(g_folder / (name + ".bin"), std::ios::binary);
    out.put(char(selector));
    out.write(reinterpret_cast<const char*>(body.data()), std::streamsize(body.size()));
}

void writeText(const std::string& name, std::string_view text)
{
    write(name, 5, ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

RequestHeader header(uint32_t handle)
{
    RequestHeader h;
    h.authenticationToken = NodeId(0, ByteString::fromText("token"));
    h.timestamp = DateTime::fromUnixMilliseconds(1700000000000);
    h.requestHandle = handle;
    h.timeoutHint = 10000;
    return h;
}

DataValue sample(Variant v)
{
    DataValue d;
    d.value = std::move(v);
    d.status = status::Good;
    d.sourceTimestamp = DateTime::fromUnixMilliseconds(1700000000123);
    d.serverTimestamp = DateTime::fromUnixMilliseconds(1700000000124);
    return d;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    g_folder = argv[1];
    std::filesystem::create_directories(g_folder);

    // Service messages.
    ReadRequest read;
    read.requestHeader = header(1);
    read.nodesToRead = {ReadValueId{NodeId(0, ids::Server_NamespaceArray), 13, {}, {}},
                        ReadValueId{NodeId(2, String("Servo2.LampWord")), 13, {}, {}}};
    write("service-read-request", 0, encodeServiceMessage(read));

    ReadResponse readResponse;
    readResponse.results = {
        sample(Variant::fromArray(std::vector<String>{String("http://opcfoundation.org/UA/"),
                                                      String("urn:servo-panel:sim")})),
        sample(Variant::fromScalar(uint16_t(0x00FF)))};
    write("service-read-response", 0, encodeServiceMessage(readResponse));

    WriteRequest writeRequest;
    writeRequest.requestHeader = header(2);
    WriteValue value;
    value.nodeId = NodeId(2, String("Servo2.CommandWord"));
    value.value.value = Variant::fromScalar(int16_t(-32768));
    writeRequest.nodesToWrite = {value};
    write("service-write-request", 0, encodeServiceMessage(writeRequest));

    CreateMonitoredItemsRequest create;
    create.requestHeader = header(3);
    create.subscriptionId = 1;
    MonitoredItemCreateRequest item;
    item.itemToMonitor.nodeId = NodeId(2, String("Servo3.ActualSpeed"));
    item.requestedParameters.clientHandle = 6;
    item.requestedParameters.samplingInterval = 100;
    item.requestedParameters.filter = packBody(DataChangeFilter{});
    create.itemsToCreate = {item};
    write("service-create-monitored-items", 0, encodeServiceMessage(create));

    PublishRequest publish;
    publish.requestHeader = header(4);
    publish.subscriptionAcknowledgements = {SubscriptionAcknowledgement{1, 41}};
    write("service-publish-request", 0, encodeServiceMessage(publish));

    PublishResponse publishResponse;
    publishResponse.subscriptionId = 1;
    publishResponse.availableSequenceNumbers = {42};
    publishResponse.notificationMessage.sequenceNumber = 42;
    DataChangeNotification change;
    for (uint32_t i = 0; i < 8; ++i)
        change.monitoredItems.push_back({i, sample(Variant::fromScalar(double(i) * 1.5))});
    StatusChangeNotification statusChange;
    statusChange.status = status::BadTimeout;
    publishResponse.notificationMessage.notificationData = {
        change, statusChange,
        ExtensionObject{NodeId(0, kEventNotificationListEncodingId),
                        ExtensionObjectEncoding::ByteString, ByteBuffer{0, 0, 0, 0}}};
    publishResponse.results = {status::Good};
    write("service-publish-response", 0, encodeServiceMessage(publishResponse));

    ActivateSessionRequest activate;
    activate.requestHeader = header(5);
    activate.userIdentityToken = packBody(AnonymousIdentityToken{String("anonymous")});
    write("service-activate-session", 0, encodeServiceMessage(activate));

    ServiceFault fault;
    fault.responseHeader.serviceResult = status::BadSessionIdInvalid;
    fault.responseHeader.serviceDiagnostics.additionalInfo = String("expired");
    write("service-fault", 0, encodeServiceMessage(fault));

    // Variants and DataValues.
    write("variant-matrix", 1,
          encodeToBytes(Variant::fromArray(std::vector<float>{1, 2, 3, 4, 5, 6}, {2, 3})));
    write("variant-nested", 1,
          encodeToBytes(Variant::fromArray(std::vector<Variant>{
              Variant::fromScalar(LocalizedText{String("en"), String("Speed")}),
              Variant::fromArray(std::vector<NodeId>{NodeId(1, Guid{}), NodeId(0, 85u)}),
              Variant::fromScalar(sample(Variant::fromScalar(true)))})));
    DataValue full = sample(Variant::fromScalar(String("text")));
    full.sourcePicoseconds = 1;
    full.serverPicoseconds = 2;
    write("datavalue-full", 2, encodeToBytes(full));

    // Secure channel chunks.
    SequenceNumberGenerator sequence(1);
    TransportLimits limits;
    limits.sendBufferSize = 8192;
    OutgoingMessage open;
    open.type = MessageType::OpenSecureChannel;
    open.security = AsymmetricSecurityHeader{};
    open.requestId = 1;
    OpenSecureChannelRequest openRequest;
    openRequest.requestedLifetime = 600000;
    const ByteBuffer openBody = encodeServiceMessage(openRequest);
    open.body = openBody;
    const auto openChunks = splitIntoChunks(open, limits, sequence);
    write("chunk-open", 3, openChunks.at(0));
    OutgoingMessage message;
    message.secureChannelId = 7;
    message.security = SymmetricSecurityHeader{1};
    message.requestId = 2;
    const ByteBuffer readBody = encodeServiceMessage(read);
    message.body = readBody;
    const auto messageChunks = splitIntoChunks(message, limits, sequence);
    write("chunk-message", 3, messageChunks.at(0));
    write("chunk-abort", 3,
          encodeAbortChunk(MessageType::Message, 7, SymmetricSecurityHeader{1}, 9, 2,
                           status::BadResponseTooLarge, String("too large")));

    // A whole conversation as one byte stream.
    HelloMessage hello;
    hello.endpointUrl = String("opc.tcp://localhost:4840");
    ByteBuffer stream = encodeHello(hello);
    const ByteBuffer ack = encodeAcknowledge(AcknowledgeMessage{});
    stream.insert(stream.end(), ack.begin(), ack.end());
    stream.insert(stream.end(), openChunks[0].begin(), openChunks[0].end());
    stream.insert(stream.end(), messageChunks[0].begin(), messageChunks[0].end());
    const ByteBuffer error = encodeError(ErrorMessage{status::BadTcpMessageTooLarge, String("x")});
    stream.insert(stream.end(), error.begin(), error.end());
    write("tcp-stream", 4, stream);

    // Node id text.
    writeText("nodeid-numeric", "ns=2;i=5");
    writeText("nodeid-string", "nsu=urn:servo-panel:sim;s=Servo2.CommandWord");
    writeText("nodeid-guid", "ns=1;g=72962B91-FA75-4AE6-8D28-B404DC7DAF63");
    writeText("nodeid-bytestring", "svr=1;ns=3;b=AQID");

    // Garbage, which must be rejected cleanly.
    const ByteBuffer garbage = {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1'};
    write("garbage-service", 0, garbage);
    write("garbage-stream", 4, garbage);
    return 0;
}
