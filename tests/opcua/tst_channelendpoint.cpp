#include "opcua/channelendpoint.h"
#include "tests/support/fakestream.h"

#include <QTest>

using namespace opcua;

Q_DECLARE_METATYPE(opcua::ChannelSide)

namespace {

constexpr uint32_t kChannel = 7;

TransportLimits limits(uint32_t chunkSize = 65536)
{
    TransportLimits l;
    l.receiveBufferSize = chunkSize;
    l.sendBufferSize = chunkSize;
    return l;
}

// A MSG (or OPN) chunk as the peer would send it, with policy None.
ByteBuffer chunk(uint32_t tokenId, uint32_t sequenceNumber, MessageType type = MessageType::Message,
                 uint32_t channelId = kChannel)
{
    const ByteBuffer body = encodeServiceMessage(ReadRequest{});
    SequenceNumberGenerator sequence(sequenceNumber);
    return splitIntoChunks(channelMessage(type, channelId, tokenId, 1, body), limits(), sequence)
        .at(0);
}

// The token the endpoint names when it sends now.
uint32_t sendToken(ChannelEndpoint& endpoint)
{
    FakeStream wire;
    endpoint.send(wire, MessageType::Message, 1, ReadRequest{});
    const SecureChunk sent = decodeSecureChunk(wire.takeWritten());
    return std::get<SymmetricSecurityHeader>(sent.security).tokenId;
}

// Every message the bytes complete.
std::vector<AssembledMessage> receive(ChannelEndpoint& endpoint, ByteView bytes)
{
    endpoint.feed(bytes);
    std::vector<AssembledMessage> messages;
    while (auto input = endpoint.next())
        messages.push_back(std::get<AssembledMessage>(std::move(*input)));
    return messages;
}

WriteRequest writeOf(std::string text)
{
    WriteRequest write;
    WriteValue value;
    value.value.value = Variant::fromScalar(String(std::move(text)));
    write.nodesToWrite.push_back(value);
    return write;
}

StatusCode failureOf(ChannelEndpoint& endpoint, ByteView bytes)
{
    try {
        receive(endpoint, bytes);
    } catch (const ChannelError& e) {
        return e.status();
    }
    return status::Good;
}

// A stand-in for a real policy that shows where the seam sits: it scrambles everything from the
// sequence header on and appends a four-byte checksum of the chunk as its "signature". A layer
// that decoded the sequence header before verify() would read scrambled bytes.
class Scrambler final : public ChunkSecurity
{
public:
    static constexpr size_t kSignatureSize = 4;
    static constexpr uint8_t kMask = 0x5A;

    size_t maxBodySize(MessageType, size_t chunkSize, size_t plainSize) const override
    {
        return chunkSize - plainSize - kSequenceHeaderSize - kSignatureSize;
    }
    ByteBuffer protect(MessageType, ByteBuffer chunk, size_t plainSize) override
    {
        patchSize(chunk, chunk.size() + kSignatureSize);
        const uint32_t sum = checksum(chunk);
        for (int shift = 0; shift < 32; shift += 8)
            chunk.push_back(uint8_t(sum >> shift));
        for (size_t i = plainSize; i < chunk.size(); ++i)
            chunk[i] ^= kMask;
        return chunk;
    }
    ByteBuffer verify(const ChunkHeaders& headers, ByteBuffer chunk) override
    {
        for (size_t i = headers.plainSize; i < chunk.size(); ++i)
            chunk[i] ^= kMask;
        const size_t signedSize = chunk.size() - kSignatureSize;
        uint32_t sum = 0;
        for (size_t i = 0; i < kSignatureSize; ++i)
            sum |= uint32_t(chunk[signedSize + i]) << (8 * i);
        chunk.resize(signedSize);
        if (sum != checksum(chunk))
            throw ChannelError(status::BadSecurityChecksFailed, "signature does not match");
        return chunk;
    }
    void tokenIssued(uint32_t tokenId) override { events.push_back("issued " + num(tokenId)); }
    void tokenRetired(uint32_t tokenId) override { events.push_back("retired " + num(tokenId)); }

    QStringList events;

private:
    static QString num(uint32_t n) { return QString::number(n); }
    static uint32_t checksum(ByteView bytes)
    {
        uint32_t sum = 0;
        for (uint8_t b : bytes)
            sum = sum * 31 + b;
        return sum;
    }
    static void patchSize(ByteBuffer& chunk, size_t size)
    {
        for (int i = 0; i < 4; ++i)
            chunk[4 + size_t(i)] = uint8_t(size >> (8 * i));
    }
};

} // namespace

class TestChannelEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void chunksOutOfPlaceAreRefused_data()
    {
        QTest::addColumn<bool>("handshakeDone");
        QTest::addColumn<bool>("open");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint32>("expected");
        auto row = [](const char* name, bool handshakeDone, bool open, const ByteBuffer& bytes,
                      StatusCode expected) {
            QTest::newRow(name) << handshakeDone << open
                                << QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                              qsizetype(bytes.size()))
                                << expected.code;
        };
        row("message before the handshake", false, false, chunk(1, 1),
            status::BadTcpMessageTypeInvalid);
        row("message before the channel is open", true, false, chunk(1, 1),
            status::BadTcpSecureChannelUnknown);
        row("message for another channel", true, true,
            chunk(1, 1, MessageType::Message, kChannel + 1), status::BadTcpSecureChannelUnknown);
        row("renewal for another channel", true, true,
            chunk(0, 1, MessageType::OpenSecureChannel, kChannel + 1),
            status::BadTcpSecureChannelUnknown);
        row("unknown token", true, true, chunk(5, 1), status::BadSecureChannelTokenUnknown);
    }
    void chunksOutOfPlaceAreRefused()
    {
        QFETCH(bool, handshakeDone);
        QFETCH(bool, open);
        QFETCH(QByteArray, bytes);
        QFETCH(quint32, expected);
        for (ChannelSide side : {ChannelSide::Client, ChannelSide::Server}) {
            ChannelEndpoint endpoint(side, 65536);
            if (handshakeDone)
                endpoint.setLimits(limits());
            if (open)
                endpoint.open(kChannel, 1);
            const ByteView view(reinterpret_cast<const uint8_t*>(bytes.data()),
                                size_t(bytes.size()));
            QCOMPARE(failureOf(endpoint, view).code, expected);
        }
    }

    void renewedTokensTakeOverAsEachSideExpects_data()
    {
        QTest::addColumn<ChannelSide>("side");
        QTest::addColumn<uint32_t>("sendsAfterRenewal");
        QTest::addColumn<quint32>("oldTokenOnceNewUsed");
        // The client uses its new token at once, and keeps accepting the old one because servers
        // answer each request with the token it came with. The server answers with the old
        // token until the client's first message with the new one, which retires the old one.
        QTest::newRow("client") << ChannelSide::Client << 2u << status::Good.code;
        QTest::newRow("server") << ChannelSide::Server << 1u
                                << status::BadSecureChannelTokenUnknown.code;
    }
    void renewedTokensTakeOverAsEachSideExpects()
    {
        QFETCH(ChannelSide, side);
        QFETCH(uint32_t, sendsAfterRenewal);
        QFETCH(quint32, oldTokenOnceNewUsed);
        ChannelEndpoint endpoint(side, 65536);
        endpoint.setLimits(limits());
        endpoint.open(kChannel, 1);
        uint32_t sequence = 1;
        QCOMPARE(failureOf(endpoint, chunk(1, sequence++)), status::Good);
        endpoint.renew(2);
        QCOMPARE(sendToken(endpoint), sendsAfterRenewal);
        QCOMPARE(failureOf(endpoint, chunk(1, sequence++)), status::Good);
        QCOMPARE(sendToken(endpoint), sendsAfterRenewal);
        QCOMPARE(failureOf(endpoint, chunk(2, sequence++)), status::Good);
        QCOMPARE(sendToken(endpoint), 2u);
        QCOMPARE(failureOf(endpoint, chunk(1, sequence++)).code, oldTokenOnceNewUsed);

        // Either side forgets a token once kAcceptedTokens newer ones were issued.
        ChannelEndpoint fresh(side, 65536);
        fresh.setLimits(limits());
        fresh.open(kChannel, 1);
        for (uint32_t token = 2; token <= ChannelEndpoint::kAcceptedTokens + 1; ++token)
            fresh.renew(token);
        QCOMPARE(failureOf(fresh, chunk(1, 1)), status::BadSecureChannelTokenUnknown);
        QCOMPARE(failureOf(fresh, chunk(2, 2)), status::Good);
    }

    void everyChunkPassesTheSecurityAndTamperingIsCaught()
    {
        auto clientSecurity = std::make_unique<Scrambler>();
        auto serverSecurity = std::make_unique<Scrambler>();
        Scrambler& serverSide = *serverSecurity;
        ChannelEndpoint client(ChannelSide::Client, 8192, std::move(clientSecurity));
        ChannelEndpoint server(ChannelSide::Server, 8192, std::move(serverSecurity));
        for (ChannelEndpoint* end : {&client, &server}) {
            end->setLimits(limits(8192));
            end->open(kChannel, 1);
            end->renew(2);
        }
        // A request that fills two chunks without security takes three with the scrambler's
        // signature in each.
        const size_t plainSize = kMessageHeaderSize + 4 + 4;
        const size_t twoPlainChunks = 2 * (8192 - plainSize - kSequenceHeaderSize);
        const size_t overhead = encodeServiceMessage(writeOf("")).size();
        const WriteRequest write = writeOf(std::string(twoPlainChunks - overhead, 'x'));
        FakeStream wire;
        client.send(wire, MessageType::Message, 9, write);
        QCOMPARE(wire.written().size(), size_t(3));
        for (const ByteBuffer& sent : wire.written()) {
            QVERIFY(sent.size() <= 8192);
            QCOMPARE(decodeMessageHeader(sent).size, uint32_t(sent.size()));
        }
        const ByteBuffer bytes = wire.takeWritten();
        const auto messages = receive(server, bytes);
        QCOMPARE(messages.size(), size_t(1));
        QCOMPARE(messages[0].requestId, 9u);
        QVERIFY(decodeServiceMessage(messages[0].body) == ServiceMessage(write));
        QCOMPARE(serverSide.events, QStringList({"issued 1", "issued 2", "retired 1"}));

        // One flipped byte in a body fails the check and retires nothing.
        ChannelEndpoint fresh(ChannelSide::Server, 8192, std::make_unique<Scrambler>());
        fresh.setLimits(limits(8192));
        fresh.open(kChannel, 1);
        fresh.renew(2);
        ByteBuffer tampered = bytes;
        tampered[100] ^= 1;
        QCOMPARE(failureOf(fresh, tampered), status::BadSecurityChecksFailed);
        QCOMPARE(sendToken(fresh), 1u);
    }
};

QTEST_GUILESS_MAIN(TestChannelEndpoint)
#include "tst_channelendpoint.moc"
