#include "opcua/securechannel.h"
#include "tests/opcua/testbytes.h"

#include <QTest>
#include <numeric>

using namespace opcua;
using testbytes::bytes;
using testbytes::concat;
using testbytes::hex;

namespace {

ByteBuffer pattern(size_t n)
{
    ByteBuffer b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + 3);
    return b;
}

OutgoingMessage msg(ByteView body, uint32_t requestId = 9)
{
    OutgoingMessage m;
    m.type = MessageType::Message;
    m.secureChannelId = 5;
    m.security = SymmetricSecurityHeader{2};
    m.requestId = requestId;
    m.body = body;
    return m;
}

TransportLimits limits(uint32_t sendBufferSize, uint32_t peerMaxMessageSize = 0,
                       uint32_t peerMaxChunkCount = 0)
{
    TransportLimits l;
    l.sendBufferSize = sendBufferSize;
    l.peerMaxMessageSize = peerMaxMessageSize;
    l.peerMaxChunkCount = peerMaxChunkCount;
    return l;
}

// Feeds every chunk to the assembler; returns the message the last one completes.
std::optional<AssembledMessage> assemble(MessageAssembler& assembler,
                                         const std::vector<ByteBuffer>& chunks)
{
    std::optional<AssembledMessage> done;
    for (const auto& chunk : chunks) {
        if (done)
            throw std::logic_error("a message completed before its last chunk");
        done = assembler.add(decodeSecureChunk(chunk));
    }
    return done;
}

} // namespace

class TestSecureChannel : public QObject
{
    Q_OBJECT

private slots:
    void encodesAnOpenChunkAsPublished();
    void encodesAMessageChunkAsPublished();
    void splitsWithinThePeersBuffer_data();
    void splitsWithinThePeersBuffer();
    void refusesMessagesOverThePeersLimits();
    void reassemblesInterleavedRequests();
    void enforcesTheReceiveLimits();
    void abortChunkDiscardsThePartialMessage();
    void detectsSequenceGaps();
    void wrapsSequenceNumbers();
    void rejectsOtherSecurityPolicies();
    void rejectsNonChannelMessagesAndMalformedChunks();
    void everyPrefixOfAChunkIsAnError();
};

void TestSecureChannel::encodesAnOpenChunkAsPublished()
{
    SequenceNumberGenerator sequence(1);
    OutgoingMessage open;
    open.type = MessageType::OpenSecureChannel;
    open.secureChannelId = 0;
    open.security = AsymmetricSecurityHeader{};
    open.requestId = 1;
    const ByteBuffer body = bytes({0xB1, 0xB2, 0xB3});
    open.body = body;

    const ByteBuffer expected = concat({
        bytes({
            0x4F, 0x50, 0x4E, 0x46, // "OPN" 'F'
            0x52, 0x00, 0x00, 0x00, // chunk size 82
            0x00, 0x00, 0x00, 0x00, // secure channel id 0: not yet assigned
            0x2F, 0x00, 0x00, 0x00, // security policy URI length 47
        }),
        ByteBuffer(kSecurityPolicyNone.begin(), kSecurityPolicyNone.end()),
        bytes({
            0xFF, 0xFF, 0xFF, 0xFF, // sender certificate: null
            0xFF, 0xFF, 0xFF, 0xFF, // receiver certificate thumbprint: null
            0x01, 0x00, 0x00, 0x00, // sequence number 1
            0x01, 0x00, 0x00, 0x00, // request id 1
            0xB1, 0xB2, 0xB3,       // body
        }),
    });
    const auto chunks = splitIntoChunks(open, limits(8192), sequence);
    QCOMPARE(chunks.size(), size_t(1));
    QCOMPARE(hex(chunks[0]), hex(expected));

    const SecureChunk decoded = decodeSecureChunk(expected);
    QVERIFY(std::get<AsymmetricSecurityHeader>(decoded.security) == AsymmetricSecurityHeader{});
    QCOMPARE(decoded.sequence.requestId, 1u);
    QCOMPARE(hex(decoded.body), hex(body));
}

void TestSecureChannel::encodesAMessageChunkAsPublished()
{
    SequenceNumberGenerator sequence(51);
    const ByteBuffer body = bytes({0xC1});
    const auto chunks = splitIntoChunks(msg(body), limits(8192), sequence);
    const ByteBuffer expected = bytes({
        0x4D, 0x53, 0x47, 0x46, // "MSG" 'F'
        0x19, 0x00, 0x00, 0x00, // chunk size 25
        0x05, 0x00, 0x00, 0x00, // secure channel id 5
        0x02, 0x00, 0x00, 0x00, // token id 2
        0x33, 0x00, 0x00, 0x00, // sequence number 51
        0x09, 0x00, 0x00, 0x00, // request id 9
        0xC1,                   // body
    });
    QCOMPARE(chunks.size(), size_t(1));
    QCOMPARE(hex(chunks[0]), hex(expected));
    QCOMPARE(sequence.peek(), 52u);
}

void TestSecureChannel::splitsWithinThePeersBuffer_data()
{
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<uint32_t>("bufferSize");
    QTest::addColumn<int>("chunkCount");

    // A MSG chunk carries 24 bytes of headers, so an 8192-byte buffer holds 8168 body bytes.
    QTest::newRow("empty body") << 0 << 8192u << 1;
    QTest::newRow("fits exactly") << 8168 << 8192u << 1;
    QTest::newRow("one byte over") << 8169 << 8192u << 2;
    QTest::newRow("larger message") << 100000 << 8192u << 13;
    QTest::newRow("large buffer") << 100000 << 65536u << 2;
}

void TestSecureChannel::splitsWithinThePeersBuffer()
{
    QFETCH(int, bodySize);
    QFETCH(uint32_t, bufferSize);
    QFETCH(int, chunkCount);

    const ByteBuffer body = pattern(size_t(bodySize));
    SequenceNumberGenerator sequence(100);
    const auto chunks = splitIntoChunks(msg(body), limits(bufferSize), sequence);
    QCOMPARE(int(chunks.size()), chunkCount);
    for (size_t i = 0; i < chunks.size(); ++i) {
        QVERIFY(chunks[i].size() <= bufferSize);
        const SecureChunk c = decodeSecureChunk(chunks[i]);
        QCOMPARE(c.sequence.sequenceNumber, uint32_t(100 + i));
        QCOMPARE(c.header.chunkType,
                 i + 1 == chunks.size() ? ChunkType::Final : ChunkType::Intermediate);
    }
    MessageAssembler assembler;
    const auto message = assemble(assembler, chunks);
    QVERIFY(message.has_value());
    QVERIFY(!message->aborted);
    QCOMPARE(message->requestId, 9u);
    QCOMPARE(message->secureChannelId, 5u);
    QVERIFY(message->body == body);
    QCOMPARE(assembler.pendingMessages(), size_t(0));
}

void TestSecureChannel::refusesMessagesOverThePeersLimits()
{
    const ByteBuffer body = pattern(20000);
    SequenceNumberGenerator sequence(1);
    try {
        splitIntoChunks(msg(body), limits(8192, 19999), sequence, status::BadResponseTooLarge);
        QFAIL("split");
    } catch (const ChannelError& e) {
        QCOMPARE(e.status(), status::BadResponseTooLarge);
    }
    try {
        splitIntoChunks(msg(body), limits(8192, 0, 2), sequence);
        QFAIL("split");
    } catch (const ChannelError& e) {
        QCOMPARE(e.status(), status::BadRequestTooLarge);
    }
    // Nothing was numbered for the refused messages.
    QCOMPARE(sequence.peek(), 1u);
    QCOMPARE(splitIntoChunks(msg(body), limits(8192, 20000, 3), sequence).size(), size_t(3));
}

void TestSecureChannel::reassemblesInterleavedRequests()
{
    const ByteBuffer bodyA = pattern(20000);
    const ByteBuffer bodyB = pattern(9000);
    SequenceNumberGenerator sequence(1);
    // Numbered in the order they go on the wire: A1 B1 A2 B2 A3.
    std::vector<ByteBuffer> wire;
    SequenceNumberGenerator scratchA(1);
    SequenceNumberGenerator scratchB(1);
    auto a = splitIntoChunks(msg(bodyA, 1), limits(8192), scratchA);
    auto b = splitIntoChunks(msg(bodyB, 2), limits(8192), scratchB);
    QCOMPARE(a.size(), size_t(3));
    QCOMPARE(b.size(), size_t(2));
    const std::vector<ByteBuffer*> order = {&a[0], &b[0], &a[1], &b[1], &a[2]};
    MessageAssembler assembler;
    std::vector<AssembledMessage> done;
    for (ByteBuffer* chunk : order) {
        SecureChunk c = decodeSecureChunk(*chunk);
        c.sequence.sequenceNumber = sequence.next();
        if (auto m = assembler.add(std::move(c)))
            done.push_back(std::move(*m));
    }
    QCOMPARE(done.size(), size_t(2));
    QCOMPARE(done[0].requestId, 2u);
    QVERIFY(done[0].body == bodyB);
    QCOMPARE(done[1].requestId, 1u);
    QVERIFY(done[1].body == bodyA);
}

void TestSecureChannel::enforcesTheReceiveLimits()
{
    const ByteBuffer body = pattern(20000);
    SequenceNumberGenerator sequence(1);
    const auto chunks = splitIntoChunks(msg(body), limits(8192), sequence);
    QCOMPARE(chunks.size(), size_t(3));

    MessageAssembler byCount(0, 2);
    QVERIFY(!byCount.add(decodeSecureChunk(chunks[0])));
    QVERIFY(!byCount.add(decodeSecureChunk(chunks[1])));
    try {
        byCount.add(decodeSecureChunk(chunks[2]));
        QFAIL("accepted a third chunk");
    } catch (const ChannelError& e) {
        QCOMPARE(e.status(), status::BadTcpMessageTooLarge);
    }
    QCOMPARE(byCount.pendingMessages(), size_t(0)); // the partial message is forgotten

    MessageAssembler bySize(19999, 0);
    QVERIFY(!bySize.add(decodeSecureChunk(chunks[0])));
    QVERIFY(!bySize.add(decodeSecureChunk(chunks[1])));
    QVERIFY_THROWS_EXCEPTION(ChannelError, bySize.add(decodeSecureChunk(chunks[2])));

    MessageAssembler exact(20000, 3);
    QVERIFY(assemble(exact, chunks).has_value());
}

void TestSecureChannel::abortChunkDiscardsThePartialMessage()
{
    const ByteBuffer body = pattern(20000);
    SequenceNumberGenerator sequence(1);
    const auto chunks = splitIntoChunks(msg(body, 4), limits(8192), sequence);
    MessageAssembler assembler;
    QVERIFY(!assembler.add(decodeSecureChunk(chunks[0])));
    QCOMPARE(assembler.pendingMessages(), size_t(1));

    // The sender gives up after the first chunk; its next sequence number is 2.
    SequenceNumberGenerator wire(2);
    const ByteBuffer abort =
        encodeAbortChunk(MessageType::Message, 5, SymmetricSecurityHeader{2}, wire.next(), 4,
                         status::BadResponseTooLarge, String("too big"));
    QCOMPARE(abort[3], uint8_t('A'));
    const auto aborted = assembler.add(decodeSecureChunk(abort));
    QVERIFY(aborted.has_value());
    QVERIFY(aborted->aborted);
    QCOMPARE(aborted->requestId, 4u);
    QCOMPARE(aborted->abortError, status::BadResponseTooLarge);
    QCOMPARE(aborted->abortReason, String("too big"));
    QVERIFY(aborted->body.empty());
    QCOMPARE(assembler.pendingMessages(), size_t(0));

    // The same request id can carry a new message afterwards.
    const auto again = splitIntoChunks(msg(bytes({1, 2}), 4), limits(8192), wire);
    const auto message = assemble(assembler, again);
    QVERIFY(message && !message->aborted);
    QCOMPARE(hex(message->body), hex(bytes({1, 2})));
}

void TestSecureChannel::detectsSequenceGaps()
{
    SequenceNumberGenerator sequence(10);
    const auto first = splitIntoChunks(msg(bytes({1})), limits(8192), sequence);
    sequence.next(); // a chunk lost on the way
    const auto third = splitIntoChunks(msg(bytes({3})), limits(8192), sequence);
    MessageAssembler assembler;
    QVERIFY(assemble(assembler, first).has_value());
    try {
        assemble(assembler, third);
        QFAIL("accepted a gap");
    } catch (const ChannelError& e) {
        QCOMPARE(e.status(), status::BadSequenceNumberInvalid);
    }
    // A repeated number is refused as well.
    SequenceNumberChecker checker;
    checker.check(5);
    QVERIFY_THROWS_EXCEPTION(ChannelError, checker.check(5));
}

void TestSecureChannel::wrapsSequenceNumbers()
{
    SequenceNumberGenerator generator(kSequenceNumberWrapLimit);
    QCOMPARE(generator.next(), kSequenceNumberWrapLimit);
    QCOMPARE(generator.next(), kSequenceNumberWrapLimit + 1);
    QCOMPARE(generator.next(), 1u);

    SequenceNumberChecker checker;
    checker.check(kSequenceNumberWrapLimit);
    // Not yet above the limit: wrapping here is an error.
    SequenceNumberChecker early = checker;
    QVERIFY_THROWS_EXCEPTION(ChannelError, early.check(1));
    checker.check(kSequenceNumberWrapLimit + 1);
    checker.check(0); // any number below 1024 may follow
    checker.check(1);

    SequenceNumberChecker late;
    late.check(kSequenceNumberWrapLimit + 5);
    QVERIFY_THROWS_EXCEPTION(ChannelError, late.check(1024));
}

void TestSecureChannel::rejectsOtherSecurityPolicies()
{
    SequenceNumberGenerator sequence(1);
    OutgoingMessage open;
    open.type = MessageType::OpenSecureChannel;
    AsymmetricSecurityHeader header;
    header.securityPolicyUri = String("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
    open.security = header;
    const auto chunks = splitIntoChunks(open, limits(8192), sequence);
    try {
        decodeSecureChunk(chunks[0]);
        QFAIL("accepted");
    } catch (const ChannelError& e) {
        QCOMPARE(e.status(), status::BadSecurityPolicyRejected);
        QVERIFY(QString::fromStdString(e.what()).contains("Basic256Sha256"));
    }
}

void TestSecureChannel::rejectsNonChannelMessagesAndMalformedChunks()
{
    try {
        decodeSecureChunk(encodeHello({}));
        QFAIL("accepted a Hello");
    } catch (const ChannelError& e) {
        QCOMPARE(e.status(), status::BadTcpMessageTypeInvalid);
    }
    // The security header type must match the message type when encoding.
    SequenceNumberGenerator sequence(1);
    OutgoingMessage wrong = msg(bytes({1}));
    wrong.security = AsymmetricSecurityHeader{};
    QVERIFY_THROWS_EXCEPTION(ChannelError, splitIntoChunks(wrong, limits(8192), sequence));
    // A buffer too small for the headers cannot carry anything.
    QVERIFY_THROWS_EXCEPTION(ChannelError, splitIntoChunks(msg(bytes({1})), limits(24), sequence));
}

void TestSecureChannel::everyPrefixOfAChunkIsAnError()
{
    SequenceNumberGenerator sequence(1);
    OutgoingMessage open;
    open.type = MessageType::OpenSecureChannel;
    open.security = AsymmetricSecurityHeader{};
    const ByteBuffer chunk = splitIntoChunks(open, limits(8192), sequence).at(0);
    // The body of this chunk is empty, so every shorter prefix cuts a header.
    for (size_t n = 0; n < chunk.size(); ++n) {
        ByteBuffer prefix(chunk.begin(), chunk.begin() + std::ptrdiff_t(n));
        if (n >= kMessageHeaderSize)
            prefix[4] = uint8_t(n); // with a size that matches what is there
        try {
            decodeSecureChunk(prefix);
            QFAIL(qPrintable(QString("prefix of %1 bytes decoded").arg(n)));
        } catch (const ChannelError& e) {
            QCOMPARE(e.status(), status::BadDecodingError);
        }
    }
}

QTEST_GUILESS_MAIN(TestSecureChannel)
#include "tst_securechannel.moc"
