#include "opcua/tcp.h"
#include "tests/opcua/testbytes.h"

#include <QTest>

using namespace opcua;
using testbytes::bytes;
using testbytes::concat;
using testbytes::failureOf;
using testbytes::hex;

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
    void encodesAsPublished_data();
    void encodesAsPublished();
    void rejectsMalformedHellos_data();
    void rejectsMalformedHellos();
    void negotiatesBufferSizes_data();
    void negotiatesBufferSizes();
    void refusesBufferSizesOutsideTheRules();
    void readerCutsTheStreamIntoChunks_data();
    void readerCutsTheStreamIntoChunks();
    void readerRefusesBadHeadersAndStaysFailed_data();
    void readerRefusesBadHeadersAndStaysFailed();
};

void TestTcp::encodesAsPublished_data()
{
    QTest::addColumn<ByteBuffer>("expected");
    QTest::addColumn<ByteBuffer>("encoded");
    // The decoded message encoded again: with the encoder shown right, a decoder that puts a
    // value into the wrong member changes these bytes.
    QTest::addColumn<ByteBuffer>("reencoded");

    QTest::newRow("Hello") << kHelloBytes << encodeHello(hello())
                           << encodeHello(decodeHello(kHelloBytes));

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
    QTest::newRow("Acknowledge") << ackBytes << encodeAcknowledge(ack)
                                 << encodeAcknowledge(decodeAcknowledge(ackBytes));

    const ErrorMessage error{status::BadTcpMessageTooLarge, String("big")};
    const ByteBuffer errorBytes = bytes({
        0x45, 0x52, 0x52, 0x46, // "ERR" 'F'
        0x13, 0x00, 0x00, 0x00, // message size 19
        0x00, 0x00, 0x80, 0x80, // BadTcpMessageTooLarge
        0x03, 0x00, 0x00, 0x00, // reason length 3
        0x62, 0x69, 0x67,       // "big"
    });
    QTest::newRow("Error") << errorBytes << encodeError(error)
                           << encodeError(decodeError(errorBytes));
}

void TestTcp::encodesAsPublished()
{
    QFETCH(ByteBuffer, expected);
    QFETCH(ByteBuffer, encoded);
    QFETCH(ByteBuffer, reencoded);

    QCOMPARE(hex(encoded), hex(expected));
    QCOMPARE(hex(reencoded), hex(expected));
}

void TestTcp::rejectsMalformedHellos_data()
{
    QTest::addColumn<ByteBuffer>("input");
    QTest::addColumn<StatusCode>("expected");

    auto row = [](const char* name, const ByteBuffer& input, StatusCode expected) {
        QTest::newRow(name) << input << expected;
    };
    const StatusCode badType = status::BadTcpMessageTypeInvalid;
    row("Acknowledge", encodeAcknowledge({}), badType);
    row("size below the header", bytes({'M', 'S', 'G', 'F', 7, 0, 0, 0}), status::BadDecodingError);
    ByteBuffer wrongSize = kHelloBytes;
    wrongSize[4] = 0x31;
    row("size larger than the bytes", wrongSize, status::BadDecodingError);
    ByteBuffer extra = kHelloBytes;
    extra.push_back(0);
    extra[4] = 0x31;
    row("a byte after the endpoint URL", extra, status::BadDecodingError);
    HelloMessage overlong = hello();
    overlong.endpointUrl = String(std::string(kMaxEndpointUrlLength + 1, 'x'));
    row("endpoint URL over the cap", encodeHello(overlong), status::BadTcpEndpointUrlInvalid);
    for (size_t n = 0; n < kHelloBytes.size(); ++n) {
        ByteBuffer prefix(kHelloBytes.begin(), kHelloBytes.begin() + std::ptrdiff_t(n));
        if (n >= kMessageHeaderSize)
            prefix[4] = uint8_t(n); // even with a size that matches, the body is short
        QTest::addRow("prefix of %zu bytes", n) << prefix << StatusCode(status::BadDecodingError);
    }
}

void TestTcp::rejectsMalformedHellos()
{
    QFETCH(ByteBuffer, input);
    QFETCH(StatusCode, expected);

    QCOMPARE(failureOf([&] { decodeHello(input); }), expected);
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

void TestTcp::refusesBufferSizesOutsideTheRules()
{
    HelloMessage h = hello();
    h.receiveBufferSize = 8191;
    QCOMPARE(failureOf([&] { negotiate(h, TransportLimits{}); }), status::BadTcpNotEnoughResources);
    // A server may not send larger chunks than the client said it can receive.
    h.receiveBufferSize = 8192;
    AcknowledgeMessage ack;
    ack.receiveBufferSize = 8192;
    ack.sendBufferSize = 16384;
    QCOMPARE(failureOf([&] { clientLimits(h, ack); }), status::BadTcpNotEnoughResources);
}

void TestTcp::readerCutsTheStreamIntoChunks_data()
{
    QTest::addColumn<int>("pieceSize");
    QTest::newRow("byte by byte") << 1;
    QTest::newRow("seven bytes at a time") << 7;
    QTest::newRow("all at once") << 1000;
}

void TestTcp::readerCutsTheStreamIntoChunks()
{
    QFETCH(int, pieceSize);

    const ByteBuffer first = msgChunk(20, 'C');
    const ByteBuffer second = msgChunk(30, 'F');
    const ByteBuffer hel = encodeHello(hello());
    const ByteBuffer stream =
        concat({first, second, hel, ByteBuffer(first.begin(), first.begin() + 5)});
    ChunkReader reader(65536);
    std::vector<ByteBuffer> chunks;
    for (size_t at = 0; at < stream.size(); at += size_t(pieceSize)) {
        reader.feed(ByteView(stream).subspan(at, std::min(size_t(pieceSize), stream.size() - at)));
        while (auto chunk = reader.next())
            chunks.push_back(chunk->bytes);
    }
    QCOMPARE(chunks.size(), size_t(3));
    QCOMPARE(hex(chunks[0]), hex(first));
    QCOMPARE(hex(chunks[1]), hex(second));
    QCOMPARE(hex(chunks[2]), hex(hel));
    QCOMPARE(reader.buffered(), size_t(5));
}

void TestTcp::readerRefusesBadHeadersAndStaysFailed_data()
{
    QTest::addColumn<ByteBuffer>("input");
    QTest::addColumn<StatusCode>("expected");

    // Only the header of a chunk over the reader's 8192 bytes: the error comes before any body.
    const ByteBuffer tooLarge = msgChunk(8193);
    QTest::newRow("too large") << ByteBuffer(tooLarge.begin(),
                                             tooLarge.begin() + kMessageHeaderSize)
                               << StatusCode(status::BadTcpMessageTooLarge);
    QTest::newRow("largest") << msgChunk(8192) << StatusCode(status::Good);
    const StatusCode badType = status::BadTcpMessageTypeInvalid;
    QTest::newRow("not OPC UA") << bytes({'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'})
                                << badType;
    QTest::newRow("lower-case type") << bytes({'m', 's', 'g', 'F', 8, 0, 0, 0}) << badType;
    QTest::newRow("unknown chunk type") << bytes({'M', 'S', 'G', 'X', 8, 0, 0, 0}) << badType;
    QTest::newRow("Hello as an intermediate chunk")
        << bytes({'H', 'E', 'L', 'C', 8, 0, 0, 0}) << badType;
    QTest::newRow("Error as an abort chunk") << bytes({'E', 'R', 'R', 'A', 8, 0, 0, 0}) << badType;
}

void TestTcp::readerRefusesBadHeadersAndStaysFailed()
{
    QFETCH(ByteBuffer, input);
    QFETCH(StatusCode, expected);

    ChunkReader reader(8192);
    reader.feed(input);
    QCOMPARE(failureOf([&] { reader.next(); }), expected);
    reader.feed(msgChunk(16));
    QCOMPARE(failureOf([&] { reader.next(); }), expected);
}

QTEST_GUILESS_MAIN(TestTcp)
#include "tst_tcp.moc"
