#include "opcua/tcp.h"
#include "tests/opcua/testbytes.h"

#include <QTest>

using namespace opcua;
using testbytes::bytes;
using testbytes::concat;
using testbytes::hex;

Q_DECLARE_METATYPE(opcua::TransportLimits)

namespace {

const ByteBuffer kHelloBytes = bytes({
    0x48, 0x45, 0x4C,                               // "HEL"
    0x46,                                           // 'F': final chunk
    0x30, 0x00, 0x00, 0x00,                         // message size 48
    0x00, 0x00, 0x00, 0x00,                         // protocol version 0
    0x00, 0x00, 0x01, 0x00,                         // receive buffer size 65536
    0x00, 0x20, 0x00, 0x00,                         // send buffer size 8192
    0x00, 0x00, 0x00, 0x01,                         // max message size 16 MiB
    0x00, 0x00, 0x00, 0x00,                         // max chunk count: no limit
    0x10, 0x00, 0x00, 0x00,                         // endpoint URL length 16
    0x6F, 0x70, 0x63, 0x2E, 0x74, 0x63, 0x70, 0x3A, // "opc.tcp:"
    0x2F, 0x2F, 0x68, 0x3A, 0x34, 0x38, 0x34, 0x30, // "//h:4840"
});

HelloMessage hello()
{
    HelloMessage h;
    h.receiveBufferSize = 65536;
    h.sendBufferSize = 8192;
    h.maxMessageSize = 16 * 1024 * 1024;
    h.maxChunkCount = 0;
    h.endpointUrl = String("opc.tcp://h:4840");
    return h;
}

// A whole MSG chunk of `size` bytes (header included) with filler after the header.
ByteBuffer msgChunk(uint32_t size, char chunkType = 'F')
{
    ByteBuffer b = concat({bytes({'M', 'S', 'G', chunkType}), testbytes::u32(size)});
    b.resize(size, 0xAA);
    return b;
}

} // namespace

class TestTcp : public QObject
{
    Q_OBJECT

private slots:
    void encodesHelloAsPublished();
    void encodesAcknowledgeAndErrorAsPublished();
    void rejectsBadHeaders_data();
    void rejectsBadHeaders();
    void rejectsMismatchedMessages();
    void rejectsOverlongEndpointUrls();
    void everyPrefixOfAHelloIsAnError();
    void negotiatesBufferSizes_data();
    void negotiatesBufferSizes();
    void refusesBuffersBelowTheMinimum();
    void clientRefusesAServerThatSendsLargerChunksThanOffered();
    void readerReassemblesChunksFedByteByByte();
    void readerSplitsSeveralChunksInOneRead();
    void readerRefusesTooLargeChunksAtTheHeader();
    void readerRefusesUnknownTypesAndStaysFailed();
};

void TestTcp::encodesHelloAsPublished()
{
    QCOMPARE(hex(encodeHello(hello())), hex(kHelloBytes));
    QVERIFY(decodeHello(kHelloBytes) == hello());
}

void TestTcp::encodesAcknowledgeAndErrorAsPublished()
{
    AcknowledgeMessage ack;
    ack.receiveBufferSize = 8192;
    ack.sendBufferSize = 65536;
    ack.maxMessageSize = 0;
    ack.maxChunkCount = 4;
    const ByteBuffer ackBytes = bytes({
        0x41, 0x43, 0x4B, 0x46, // "ACK" 'F'
        0x1C, 0x00, 0x00, 0x00, // message size 28
        0x00, 0x00, 0x00, 0x00, // protocol version 0
        0x00, 0x20, 0x00, 0x00, // receive buffer size 8192
        0x00, 0x00, 0x01, 0x00, // send buffer size 65536
        0x00, 0x00, 0x00, 0x00, // max message size: no limit
        0x04, 0x00, 0x00, 0x00, // max chunk count 4
    });
    QCOMPARE(hex(encodeAcknowledge(ack)), hex(ackBytes));
    QVERIFY(decodeAcknowledge(ackBytes) == ack);

    const ErrorMessage error{status::BadTcpMessageTooLarge, String("big")};
    const ByteBuffer errorBytes = bytes({
        0x45, 0x52, 0x52, 0x46, // "ERR" 'F'
        0x13, 0x00, 0x00, 0x00, // message size 19
        0x00, 0x00, 0x80, 0x80, // BadTcpMessageTooLarge
        0x03, 0x00, 0x00, 0x00, // reason length 3
        0x62, 0x69, 0x67,       // "big"
    });
    QCOMPARE(hex(encodeError(error)), hex(errorBytes));
    QVERIFY(decodeError(errorBytes) == error);
}

void TestTcp::rejectsBadHeaders_data()
{
    QTest::addColumn<ByteBuffer>("header");
    QTest::addColumn<StatusCode>("expected");

    QTest::newRow("unknown type") << bytes({'X', 'Y', 'Z', 'F', 8, 0, 0, 0})
                                  << StatusCode(status::BadTcpMessageTypeInvalid);
    QTest::newRow("lower-case type")
        << bytes({'m', 's', 'g', 'F', 8, 0, 0, 0}) << StatusCode(status::BadTcpMessageTypeInvalid);
    QTest::newRow("unknown chunk type")
        << bytes({'M', 'S', 'G', 'X', 8, 0, 0, 0}) << StatusCode(status::BadTcpMessageTypeInvalid);
    QTest::newRow("Hello as an intermediate chunk")
        << bytes({'H', 'E', 'L', 'C', 8, 0, 0, 0}) << StatusCode(status::BadTcpMessageTypeInvalid);
    QTest::newRow("Error as an abort chunk")
        << bytes({'E', 'R', 'R', 'A', 8, 0, 0, 0}) << StatusCode(status::BadTcpMessageTypeInvalid);
    QTest::newRow("size below the header")
        << bytes({'M', 'S', 'G', 'F', 7, 0, 0, 0}) << StatusCode(status::BadDecodingError);
    QTest::newRow("truncated header")
        << bytes({'M', 'S', 'G', 'F', 8, 0, 0}) << StatusCode(status::BadDecodingError);
}

void TestTcp::rejectsBadHeaders()
{
    QFETCH(ByteBuffer, header);
    QFETCH(StatusCode, expected);

    try {
        decodeMessageHeader(header);
        QFAIL("decoded");
    } catch (const TransportError& e) {
        QCOMPARE(statusName(e.status()), statusName(expected));
    }
}

void TestTcp::rejectsMismatchedMessages()
{
    // An Acknowledge where a Hello was expected.
    QVERIFY_THROWS_EXCEPTION(TransportError, decodeHello(encodeAcknowledge({})));
    // A size field that disagrees with the bytes.
    ByteBuffer wrongSize = kHelloBytes;
    wrongSize[4] = 0x31;
    QVERIFY_THROWS_EXCEPTION(TransportError, decodeHello(wrongSize));
    // Extra bytes after the endpoint URL, counted in the size.
    ByteBuffer extra = kHelloBytes;
    extra.push_back(0);
    extra[4] = 0x31;
    QVERIFY_THROWS_EXCEPTION(TransportError, decodeHello(extra));
}

void TestTcp::rejectsOverlongEndpointUrls()
{
    HelloMessage h = hello();
    h.endpointUrl = String(std::string(kMaxEndpointUrlLength + 1, 'x'));
    try {
        decodeHello(encodeHello(h));
        QFAIL("decoded");
    } catch (const TransportError& e) {
        QCOMPARE(e.status(), status::BadTcpEndpointUrlInvalid);
    }
}

void TestTcp::everyPrefixOfAHelloIsAnError()
{
    for (size_t n = 0; n < kHelloBytes.size(); ++n) {
        ByteBuffer prefix(kHelloBytes.begin(), kHelloBytes.begin() + std::ptrdiff_t(n));
        if (n >= kMessageHeaderSize)
            prefix[4] = uint8_t(n); // even with a size that matches, the body is short
        QVERIFY_THROWS_EXCEPTION(TransportError, decodeHello(prefix));
    }
}

void TestTcp::negotiatesBufferSizes_data()
{
    QTest::addColumn<uint32_t>("clientReceive");
    QTest::addColumn<uint32_t>("clientSend");
    QTest::addColumn<uint32_t>("serverReceive");
    QTest::addColumn<uint32_t>("serverSend");
    QTest::addColumn<uint32_t>("ackReceive");
    QTest::addColumn<uint32_t>("ackSend");

    QTest::newRow("equal") << 65536u << 65536u << 65536u << 65536u << 65536u << 65536u;
    QTest::newRow("client smaller") << 8192u << 16384u << 65536u << 65536u << 16384u << 8192u;
    QTest::newRow("server smaller") << 65536u << 65536u << 8192u << 16384u << 8192u << 16384u;
}

void TestTcp::negotiatesBufferSizes()
{
    QFETCH(uint32_t, clientReceive);
    QFETCH(uint32_t, clientSend);
    QFETCH(uint32_t, serverReceive);
    QFETCH(uint32_t, serverSend);
    QFETCH(uint32_t, ackReceive);
    QFETCH(uint32_t, ackSend);

    HelloMessage h = hello();
    h.receiveBufferSize = clientReceive;
    h.sendBufferSize = clientSend;
    h.maxMessageSize = 1000000;
    h.maxChunkCount = 8;
    TransportLimits wishes;
    wishes.receiveBufferSize = serverReceive;
    wishes.sendBufferSize = serverSend;
    wishes.maxMessageSize = 2000000;
    wishes.maxChunkCount = 16;

    const AcknowledgeMessage ack = negotiate(h, wishes);
    QCOMPARE(ack.receiveBufferSize, ackReceive);
    QCOMPARE(ack.sendBufferSize, ackSend);
    QCOMPARE(ack.maxMessageSize, 2000000u);
    QCOMPARE(ack.maxChunkCount, 16u);

    // Each side then sends chunks the other accepts, and limits messages by the other's word.
    const TransportLimits server = serverLimits(h, ack);
    const TransportLimits client = clientLimits(h, ack);
    QVERIFY(server.sendBufferSize <= client.receiveBufferSize);
    QVERIFY(client.sendBufferSize <= server.receiveBufferSize);
    QCOMPARE(client.peerMaxMessageSize, server.maxMessageSize);
    QCOMPARE(server.peerMaxMessageSize, client.maxMessageSize);
    QCOMPARE(client.peerMaxChunkCount, 16u);
    QCOMPARE(server.peerMaxChunkCount, 8u);
}

void TestTcp::refusesBuffersBelowTheMinimum()
{
    HelloMessage h = hello();
    h.receiveBufferSize = 8191;
    try {
        negotiate(h, TransportLimits{});
        QFAIL("negotiated");
    } catch (const TransportError& e) {
        QCOMPARE(e.status(), status::BadTcpNotEnoughResources);
    }
}

void TestTcp::clientRefusesAServerThatSendsLargerChunksThanOffered()
{
    HelloMessage h = hello();
    h.receiveBufferSize = 8192;
    AcknowledgeMessage ack;
    ack.receiveBufferSize = 8192;
    ack.sendBufferSize = 16384;
    QVERIFY_THROWS_EXCEPTION(TransportError, clientLimits(h, ack));
}

void TestTcp::readerReassemblesChunksFedByteByByte()
{
    ChunkReader reader(65536);
    const ByteBuffer chunk = msgChunk(40);
    for (size_t i = 0; i + 1 < chunk.size(); ++i) {
        reader.feed(ByteView(chunk).subspan(i, 1));
        QVERIFY(!reader.next().has_value());
    }
    reader.feed(ByteView(chunk).last(1));
    const auto out = reader.next();
    QVERIFY(out.has_value());
    QCOMPARE(hex(out->bytes), hex(chunk));
    QCOMPARE(out->header.type, MessageType::Message);
    QCOMPARE(out->header.size, 40u);
    QCOMPARE(reader.buffered(), size_t(0));
}

void TestTcp::readerSplitsSeveralChunksInOneRead()
{
    ChunkReader reader(65536);
    const ByteBuffer first = msgChunk(20, 'C');
    const ByteBuffer second = msgChunk(30, 'F');
    const ByteBuffer hel = encodeHello(hello());
    const ByteBuffer all =
        concat({first, second, hel, ByteBuffer(first.begin(), first.begin() + 5)});
    reader.feed(all);
    QCOMPARE(hex(reader.next()->bytes), hex(first));
    QCOMPARE(hex(reader.next()->bytes), hex(second));
    QCOMPARE(reader.next()->header.type, MessageType::Hello);
    QVERIFY(!reader.next().has_value());
    QCOMPARE(reader.buffered(), size_t(5));
}

void TestTcp::readerRefusesTooLargeChunksAtTheHeader()
{
    ChunkReader reader(8192);
    // Only the header of a 8193-byte chunk arrives: the error comes before any body.
    reader.feed(ByteView(msgChunk(8193)).first(kMessageHeaderSize));
    try {
        reader.next();
        QFAIL("accepted");
    } catch (const TransportError& e) {
        QCOMPARE(e.status(), status::BadTcpMessageTooLarge);
    }
    ChunkReader exact(8192);
    exact.feed(msgChunk(8192));
    QVERIFY(exact.next().has_value());
}

void TestTcp::readerRefusesUnknownTypesAndStaysFailed()
{
    ChunkReader reader;
    reader.feed(bytes({'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'}));
    QVERIFY_THROWS_EXCEPTION(TransportError, reader.next());
    reader.feed(msgChunk(16));
    try {
        reader.next();
        QFAIL("recovered");
    } catch (const TransportError& e) {
        QCOMPARE(e.status(), status::BadTcpMessageTypeInvalid);
    }
}

QTEST_GUILESS_MAIN(TestTcp)
#include "tst_tcp.moc"
