#include "opcua/channelendpoint.h"
#include "opcua/pki/issue.h"
#include "tests/opcua/testbytes.h"
#include "tests/support/fakestream.h"

#include <QTest>

using namespace opcua;
using testbytes::bytes;
using testbytes::concat;
using testbytes::failureOf;
using testbytes::hex;

Q_DECLARE_METATYPE(opcua::ChannelSide)
Q_DECLARE_METATYPE(opcua::MessageSecurityMode)

namespace {

constexpr uint32_t kChannel = 7;

TransportLimits limits(uint32_t chunkSize = 65536, uint32_t peerMaxMessageSize = 0,
                       uint32_t peerMaxChunkCount = 0)
{
    TransportLimits l;
    l.receiveBufferSize = chunkSize;
    l.sendBufferSize = chunkSize;
    l.peerMaxMessageSize = peerMaxMessageSize;
    l.peerMaxChunkCount = peerMaxChunkCount;
    return l;
}

ByteBuffer pattern(size_t n)
{
    ByteBuffer b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + 3);
    return b;
}

// A MSG with policy None on token 2 of the channel.
OutgoingMessage msg(ByteView body, uint32_t requestId = 9)
{
    return channelMessage(MessageType::Message, kChannel, 2, requestId, body);
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

StatusCode receiveFailure(ChannelEndpoint& endpoint, ByteView bytes)
{
    return failureOf([&] { receive(endpoint, bytes); });
}

// A certificate and its key, made once per test run: RSA key generation is slow.
struct Credentials
{
    pki::Certificate certificate;
    pki::PrivateKey key;
};

Credentials makeCredentials(const std::string& name)
{
    const pki::PrivateKey key = pki::PrivateKey::generateRsa(pki::kApplicationKeyBits);
    const pki::ApplicationIdentity identity{name, "Test", "urn:localhost:" + name, "localhost"};
    const auto profile =
        pki::applicationCertificateProfile(identity, std::chrono::system_clock::now());
    return {pki::issueCertificate(profile, key), key};
}

template <class Message> Message only(const std::vector<AssembledMessage>& messages)
{
    if (messages.size() != 1)
        throw std::runtime_error("expected one message, got " + std::to_string(messages.size()));
    return std::get<Message>(decodeServiceMessage(messages[0].body));
}

// A client's and a server's end of one channel, each with its own certificate, opened and
// renewed by OPN messages that travel between them as they would over a socket, in chunks of
// kChunkSize bytes.
struct SecureChannel
{
    static constexpr uint32_t kChunkSize = 8192;

    SecureChannel(const security::SecurityPolicy& policy, MessageSecurityMode mode,
                  const Credentials& clientSide, const Credentials& serverSide)
        : client(ChannelSide::Client, kChunkSize,
                 {&policy, mode, clientSide.certificate, clientSide.key, serverSide.certificate}),
          server(kChunkSize, [serverSide](const AsymmetricSecurityHeader& header) {
              const auto& chosen = security::securityPolicy(header.securityPolicyUri.str());
              return ChannelSecurity{&chosen, MessageSecurityMode::None, serverSide.certificate,
                                     serverSide.key,
                                     pki::Certificate::fromDer(header.senderCertificate.bytes())};
          })
    {
        client.setLimits(limits(kChunkSize));
        server.setLimits(limits(kChunkSize));
    }

    // One OpenSecureChannel exchange: issue for the first token, renew for the next ones.
    void exchangeTokens(uint32_t tokenId)
    {
        OpenSecureChannelRequest request;
        request.requestType =
            client.isOpen() ? SecurityTokenRequestType::Renew : SecurityTokenRequestType::Issue;
        request.securityMode = client.security().mode;
        request.clientNonce = client.newNonce();
        client.send(wire, MessageType::OpenSecureChannel, tokenId, request);
        const auto received = only<OpenSecureChannelRequest>(receive(server, wire.takeWritten()));
        server.setSecurityMode(received.securityMode);
        OpenSecureChannelResponse response;
        response.securityToken = {kChannel, tokenId, {}, 60000};
        response.serverNonce = server.newNonce();
        const TokenNonces nonces{received.clientNonce.bytes(), response.serverNonce.bytes()};
        if (server.isOpen())
            server.renew(tokenId, nonces);
        else
            server.open(kChannel, tokenId, nonces);
        server.send(wire, MessageType::OpenSecureChannel, tokenId, response);
        const auto answer = only<OpenSecureChannelResponse>(receive(client, wire.takeWritten()));
        const TokenNonces clientNonces{request.clientNonce.bytes(), answer.serverNonce.bytes()};
        if (client.isOpen())
            client.renew(tokenId, clientNonces);
        else
            client.open(kChannel, tokenId, clientNonces);
    }

    ChannelEndpoint client;
    ChannelEndpoint server;
    FakeStream wire;
};

// The token the server's answer names, once the client has read it.
uint32_t answerToken(SecureChannel& channel)
{
    channel.server.send(channel.wire, MessageType::Message, 1, ReadResponse{});
    const ByteBuffer answer = channel.wire.takeWritten();
    if (!(only<ReadResponse>(receive(channel.client, answer)) == ReadResponse{}))
        throw std::runtime_error("the answer changed on its way");
    return std::get<SymmetricSecurityHeader>(decodeChunkHeaders(answer).security).tokenId;
}

} // namespace

class TestChannelEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void chunksOutOfPlaceAreRefused_data()
    {
        QTest::addColumn<bool>("handshakeDone");
        QTest::addColumn<bool>("open");
        QTest::addColumn<ByteBuffer>("bytes");
        QTest::addColumn<StatusCode>("expected");
        auto row = [](const char* name, bool handshakeDone, bool open, const ByteBuffer& bytes,
                      StatusCode expected) {
            QTest::newRow(name) << handshakeDone << open << bytes << expected;
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
        QFETCH(ByteBuffer, bytes);
        QFETCH(StatusCode, expected);
        for (ChannelSide side : {ChannelSide::Client, ChannelSide::Server}) {
            ChannelEndpoint endpoint(side, 65536);
            if (handshakeDone)
                endpoint.setLimits(limits());
            if (open)
                endpoint.open(kChannel, 1, {});
            QCOMPARE(receiveFailure(endpoint, bytes), expected);
        }
    }

    void renewedTokensTakeOverAsEachSideExpects_data()
    {
        QTest::addColumn<ChannelSide>("side");
        QTest::addColumn<uint32_t>("sendsAfterRenewal");
        QTest::addColumn<StatusCode>("oldTokenOnceNewUsed");
        // The client uses its new token at once, and keeps accepting the old one because servers
        // answer each request with the token it came with. The server answers with the old
        // token until the client's first message with the new one, which retires the old one.
        QTest::newRow("client") << ChannelSide::Client << 2u << StatusCode(status::Good);
        QTest::newRow("server") << ChannelSide::Server << 1u
                                << StatusCode(status::BadSecureChannelTokenUnknown);
    }
    void renewedTokensTakeOverAsEachSideExpects()
    {
        QFETCH(ChannelSide, side);
        QFETCH(uint32_t, sendsAfterRenewal);
        QFETCH(StatusCode, oldTokenOnceNewUsed);
        ChannelEndpoint endpoint(side, 65536);
        endpoint.setLimits(limits());
        endpoint.open(kChannel, 1, {});
        uint32_t sequence = 1;
        QCOMPARE(receiveFailure(endpoint, chunk(1, sequence++)), status::Good);
        endpoint.renew(2, {});
        QCOMPARE(sendToken(endpoint), sendsAfterRenewal);
        QCOMPARE(receiveFailure(endpoint, chunk(1, sequence++)), status::Good);
        QCOMPARE(sendToken(endpoint), sendsAfterRenewal);
        QCOMPARE(receiveFailure(endpoint, chunk(2, sequence++)), status::Good);
        QCOMPARE(sendToken(endpoint), 2u);
        QCOMPARE(receiveFailure(endpoint, chunk(1, sequence++)), oldTokenOnceNewUsed);

        // Either side forgets a token once kAcceptedTokens newer ones were issued.
        ChannelEndpoint fresh(side, 65536);
        fresh.setLimits(limits());
        fresh.open(kChannel, 1, {});
        for (uint32_t token = 2; token <= ChannelEndpoint::kAcceptedTokens + 1; ++token)
            fresh.renew(token, {});
        QCOMPARE(receiveFailure(fresh, chunk(1, 1)), status::BadSecureChannelTokenUnknown);
        QCOMPARE(receiveFailure(fresh, chunk(2, 2)), status::Good);
    }

    void securedMessagesCrossEveryPolicyAndModeAcrossRenewals_data()
    {
        QTest::addColumn<QString>("policy");
        QTest::addColumn<MessageSecurityMode>("mode");
        for (const auto& policy : security::kSecurityPolicies) {
            if (policy.isNone())
                continue;
            for (const auto mode : {MessageSecurityMode::Sign, MessageSecurityMode::SignAndEncrypt})
                QTest::addRow("%s %s", policy.name.data(),
                              mode == MessageSecurityMode::Sign ? "Sign" : "SignAndEncrypt")
                    << QString::fromUtf8(policy.uri.data(), qsizetype(policy.uri.size())) << mode;
        }
    }
    void securedMessagesCrossEveryPolicyAndModeAcrossRenewals()
    {
        QFETCH(QString, policy);
        QFETCH(MessageSecurityMode, mode);
        SecureChannel channel(security::securityPolicy(policy.toStdString()), mode, m_client,
                              m_server);
        channel.exchangeTokens(1);
        // Bodies around whole AES blocks in 8192-byte chunks, so that the padding byte alone tips
        // a chunk over, and one of several chunks, so that padding, signature and encryption
        // meet chunk boundaries.
        const size_t bodySizes[] = {8126, 8127, 8128, 8143, 8144, 20000};
        const bool encrypted = mode == MessageSecurityMode::SignAndEncrypt;
        // Three further tokens: the server answers with the old token until the client's first
        // message with the new one.
        for (uint32_t token = 1; token <= 4; ++token) {
            if (token > 1) {
                channel.exchangeTokens(token);
                QCOMPARE(answerToken(channel), token - 1);
            }
            for (const size_t bodySize : bodySizes) {
                const WriteRequest write = writeOf(std::string(bodySize, 'x'));
                channel.client.send(channel.wire, MessageType::Message, token, write);
                for (const ByteBuffer& chunk : channel.wire.written())
                    QVERIFY(chunk.size() <= 8192);
                const ByteBuffer sent = channel.wire.takeWritten();
                QCOMPARE(!testbytes::toQByteArray(sent).contains(QByteArray(64, 'x')), encrypted);
                QVERIFY(only<WriteRequest>(receive(channel.server, sent)) == write);
            }
            QCOMPARE(answerToken(channel), token);
        }
    }

    void alteredOrReplayedChunksAreRefused_data()
    {
        QTest::addColumn<int>("offset");  // from the end of the first chunk; < 0: flip nothing
        QTest::addColumn<int>("tokenId"); // written into the header; 0: left alone
        QTest::addColumn<bool>("replay");
        QTest::addColumn<StatusCode>("expected");
        const StatusCode failed = status::BadSecurityChecksFailed;
        QTest::newRow("genuine") << -1 << 0 << false << StatusCode(status::Good);
        QTest::newRow("altered byte") << 200 << 0 << false << failed;
        QTest::newRow("older token's keys") << -1 << 1 << false << failed;
        QTest::newRow("replayed") << -1 << 0 << true
                                  << StatusCode(status::BadSequenceNumberInvalid);
    }
    void alteredOrReplayedChunksAreRefused()
    {
        QFETCH(int, offset);
        QFETCH(int, tokenId);
        QFETCH(bool, replay);
        QFETCH(StatusCode, expected);
        // Signed only: with nothing to decrypt, the signature alone must refuse what it should.
        SecureChannel channel(
            security::securityPolicy("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256"),
            MessageSecurityMode::Sign, m_client, m_server);
        channel.exchangeTokens(1);
        channel.exchangeTokens(2);
        channel.client.send(channel.wire, MessageType::Message, 5, writeOf(std::string(9000, 'x')));
        ByteBuffer first = channel.wire.written().at(0);
        QCOMPARE(first.size(), size_t(8192));
        if (offset >= 0)
            first[first.size() - size_t(offset)] ^= 0x01;
        if (tokenId != 0)
            first[12] = uint8_t(tokenId);
        if (replay)
            QCOMPARE(receiveFailure(channel.server, first), status::Good);
        QCOMPARE(receiveFailure(channel.server, first), expected);
    }

    void openingChunksMustComeFromThePeer()
    {
        const auto& policy = security::securityPolicy(
            "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep");
        ChannelEndpoint client(ChannelSide::Client, 8192,
                               {&policy, MessageSecurityMode::Sign, m_client.certificate,
                                m_client.key, m_server.certificate});
        client.setLimits(limits());
        QCOMPARE(receiveFailure(client, chunk(0, 1, MessageType::OpenSecureChannel)),
                 status::BadSecurityPolicyRejected);
        // An answer signed with the server's key but naming another certificate, the client's
        // own, as its sender: only the sender's certificate gives it away.
        ChannelEndpoint forger(ChannelSide::Client, 8192,
                               {&policy, MessageSecurityMode::Sign, m_client.certificate,
                                m_server.key, m_client.certificate});
        forger.setLimits(limits());
        FakeStream wire;
        forger.send(wire, MessageType::OpenSecureChannel, 1, OpenSecureChannelResponse{});
        const auto refused = testbytes::failure([&] { receive(client, wire.takeWritten()); });
        QCOMPARE(refused.status, status::BadSecurityChecksFailed);
        QVERIFY2(refused.text.contains("comes from another certificate"), qPrintable(refused.text));
    }

    // The MSG chunk's layout is pinned by the security tests against node-opcua's chunks.
    void encodesOpenChunksAsPublished()
    {
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
        const ByteBuffer body = bytes({0xB1, 0xB2, 0xB3});
        SequenceNumberGenerator first(1);
        const OutgoingMessage open = channelMessage(MessageType::OpenSecureChannel, 0, 0, 1, body);
        QCOMPARE(hex(splitIntoChunks(open, limits(), first).at(0)), hex(expected));
        // With the encoder shown right, a decoder that misplaces a field changes these bytes.
        QCOMPARE(hex(encodeSecureChunk(decodeSecureChunk(expected))), hex(expected));
    }

    void splitsWithinThePeersBufferAndIsHeldToTheReceiveLimits_data()
    {
        QTest::addColumn<int>("bodySize");
        QTest::addColumn<uint32_t>("bufferSize");
        QTest::addColumn<int>("chunkCount");
        QTest::addColumn<uint32_t>("maxMessageSize"); // the receiver's; 0: no limit
        QTest::addColumn<uint32_t>("maxChunkCount");
        QTest::addColumn<StatusCode>("expected");
        const StatusCode good = status::Good;
        const StatusCode tooLarge = status::BadTcpMessageTooLarge;

        // A MSG chunk carries 24 bytes of headers, so an 8192-byte buffer holds 8168 body bytes.
        QTest::newRow("empty body") << 0 << 8192u << 1 << 0u << 0u << good;
        QTest::newRow("fits exactly") << 8168 << 8192u << 1 << 0u << 0u << good;
        QTest::newRow("one byte over") << 8169 << 8192u << 2 << 0u << 0u << good;
        QTest::newRow("larger message") << 100000 << 8192u << 13 << 0u << 0u << good;
        QTest::newRow("large buffer") << 100000 << 65536u << 2 << 0u << 0u << good;
        QTest::newRow("too many chunks") << 20000 << 8192u << 3 << 0u << 2u << tooLarge;
        QTest::newRow("too many bytes") << 20000 << 8192u << 3 << 19999u << 0u << tooLarge;
        QTest::newRow("at both limits") << 20000 << 8192u << 3 << 20000u << 3u << good;
    }
    void splitsWithinThePeersBufferAndIsHeldToTheReceiveLimits()
    {
        QFETCH(int, bodySize);
        QFETCH(uint32_t, bufferSize);
        QFETCH(int, chunkCount);
        QFETCH(uint32_t, maxMessageSize);
        QFETCH(uint32_t, maxChunkCount);
        QFETCH(StatusCode, expected);

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
        MessageAssembler assembler(maxMessageSize, maxChunkCount);
        std::optional<AssembledMessage> message;
        QCOMPARE(failureOf([&] { message = assemble(assembler, chunks); }), expected);
        QCOMPARE(assembler.pendingMessages(), size_t(0)); // a refused message is forgotten too
        if (!expected.isGood())
            return;
        QVERIFY(message.has_value());
        QVERIFY(!message->aborted);
        QCOMPARE(message->requestId, 9u);
        QCOMPARE(message->secureChannelId, kChannel);
        QVERIFY(message->body == body);
    }

    void refusesMessagesItCannotSend()
    {
        const ByteBuffer body = pattern(20000);
        SequenceNumberGenerator sequence(1);
        QCOMPARE(failureOf([&] {
                     splitIntoChunks(msg(body), limits(8192, 19999), sequence,
                                     status::BadResponseTooLarge);
                 }),
                 status::BadResponseTooLarge);
        QCOMPARE(failureOf([&] { splitIntoChunks(msg(body), limits(8192, 0, 2), sequence); }),
                 status::BadRequestTooLarge);
        // The security header must match the message type, and the headers must fit.
        OutgoingMessage wrong = msg(body);
        wrong.security = AsymmetricSecurityHeader{};
        QCOMPARE(failureOf([&] { splitIntoChunks(wrong, limits(), sequence); }),
                 status::BadInternalError);
        QCOMPARE(failureOf([&] { splitIntoChunks(msg(body), limits(24), sequence); }),
                 status::BadTcpInternalError);
        // Nothing was numbered for the refused messages.
        QCOMPARE(sequence.peek(), 1u);
        QCOMPARE(splitIntoChunks(msg(body), limits(8192, 20000, 3), sequence).size(), size_t(3));
    }

    void reassemblesInterleavedRequests()
    {
        const ByteBuffer bodyA = pattern(20000);
        const ByteBuffer bodyB = pattern(9000);
        SequenceNumberGenerator scratchA(1);
        SequenceNumberGenerator scratchB(1);
        auto a = splitIntoChunks(msg(bodyA, 1), limits(8192), scratchA);
        auto b = splitIntoChunks(msg(bodyB, 2), limits(8192), scratchB);
        QCOMPARE(a.size(), size_t(3));
        QCOMPARE(b.size(), size_t(2));
        // Numbered in the order they go on the wire: A1 B1 A2 B2 A3.
        SequenceNumberGenerator sequence(1);
        MessageAssembler assembler;
        std::vector<AssembledMessage> done;
        for (ByteBuffer* chunk : {&a[0], &b[0], &a[1], &b[1], &a[2]}) {
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

    void abortChunkDiscardsThePartialMessage()
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
            encodeAbortChunk(MessageType::Message, kChannel, SymmetricSecurityHeader{2},
                             wire.next(), 4, status::BadResponseTooLarge, String("too big"));
        const auto aborted = assembler.add(decodeSecureChunk(abort));
        QVERIFY(aborted.has_value());
        QVERIFY(aborted->aborted);
        QCOMPARE(aborted->requestId, 4u);
        QCOMPARE(aborted->abortError, status::BadResponseTooLarge);
        QCOMPARE(aborted->abortReason, String("too big"));
        QVERIFY(aborted->body.empty());
        QCOMPARE(assembler.pendingMessages(), size_t(0));

        // The same request id can carry a new message afterwards.
        const auto message =
            assemble(assembler, splitIntoChunks(msg(bytes({1, 2}), 4), limits(), wire));
        QVERIFY(message && !message->aborted);
        QCOMPARE(hex(message->body), hex(bytes({1, 2})));
    }

    void checksSequenceNumbers_data()
    {
        QTest::addColumn<std::vector<uint32_t>>("numbers");
        QTest::addColumn<bool>("lastRefused");
        const uint32_t limit = kSequenceNumberWrapLimit;
        QTest::newRow("consecutive") << std::vector<uint32_t>{10, 11, 12} << false;
        QTest::newRow("gap") << std::vector<uint32_t>{10, 12} << true;
        QTest::newRow("repeat") << std::vector<uint32_t>{5, 5} << true;
        QTest::newRow("wrap at the limit") << std::vector<uint32_t>{limit, 1} << true;
        QTest::newRow("wrap above the limit")
            << std::vector<uint32_t>{limit, limit + 1, 0, 1} << false;
        QTest::newRow("wrap to 1024") << std::vector<uint32_t>{limit + 5, 1024} << true;
    }
    void checksSequenceNumbers()
    {
        QFETCH(std::vector<uint32_t>, numbers);
        QFETCH(bool, lastRefused);
        SequenceNumberChecker checker;
        for (size_t i = 0; i < numbers.size(); ++i) {
            const bool refused = lastRefused && i + 1 == numbers.size();
            QCOMPARE(failureOf([&] { checker.check(numbers[i]); }),
                     refused ? status::BadSequenceNumberInvalid : status::Good);
        }
    }

    void generatorWrapsAboveTheLimit()
    {
        SequenceNumberGenerator generator(kSequenceNumberWrapLimit);
        QCOMPARE(generator.next(), kSequenceNumberWrapLimit);
        QCOMPARE(generator.next(), kSequenceNumberWrapLimit + 1);
        QCOMPARE(generator.next(), 1u);
    }

    void rejectsMalformedChunks_data()
    {
        QTest::addColumn<ByteBuffer>("chunk");
        QTest::addColumn<StatusCode>("expected");
        QTest::newRow("Hello") << encodeHello({}) << StatusCode(status::BadTcpMessageTypeInvalid);
        SequenceNumberGenerator sequence(1);
        OutgoingMessage open = channelMessage(MessageType::OpenSecureChannel, 0, 0, 1, {});
        AsymmetricSecurityHeader other;
        other.securityPolicyUri =
            String("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
        open.security = other;
        QTest::newRow("other security policy") << splitIntoChunks(open, limits(), sequence).at(0)
                                               << StatusCode(status::BadSecurityPolicyRejected);
        // An OPN with an empty body: every shorter prefix cuts a header.
        open.security = AsymmetricSecurityHeader{};
        const ByteBuffer chunk = splitIntoChunks(open, limits(), sequence).at(0);
        for (size_t n = 0; n < chunk.size(); ++n) {
            ByteBuffer prefix(chunk.begin(), chunk.begin() + std::ptrdiff_t(n));
            if (n >= kMessageHeaderSize)
                prefix[4] = uint8_t(n); // with a size that matches what is there
            QTest::addRow("prefix of %zu bytes", n)
                << prefix << StatusCode(status::BadDecodingError);
        }
    }
    void rejectsMalformedChunks()
    {
        QFETCH(ByteBuffer, chunk);
        QFETCH(StatusCode, expected);
        QCOMPARE(failureOf([&] { decodeSecureChunk(chunk); }), expected);
    }

private:
    Credentials m_client = makeCredentials("client");
    Credentials m_server = makeCredentials("server");
};

QTEST_GUILESS_MAIN(TestChannelEndpoint)
#include "tst_channelendpoint.moc"
