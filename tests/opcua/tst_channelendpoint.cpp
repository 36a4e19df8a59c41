#include "opcua/channelendpoint.h"
#include "opcua/pki/issue.h"
#include "tests/support/fakestream.h"

#include <QTest>

using namespace opcua;

Q_DECLARE_METATYPE(opcua::ChannelSide)
Q_DECLARE_METATYPE(opcua::MessageSecurityMode)

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
// renewed by OPN messages that travel between them as they would over a socket.
struct SecureChannel
{
    SecureChannel(const security::SecurityPolicy& policy, MessageSecurityMode mode,
                  const Credentials& clientSide, const Credentials& serverSide,
                  uint32_t chunkSize = 8192)
        : client(ChannelSide::Client, chunkSize,
                 {&policy, mode, clientSide.certificate, clientSide.key, serverSide.certificate}),
          server(chunkSize, [serverSide](const AsymmetricSecurityHeader& header) {
              const auto& chosen = security::securityPolicy(header.securityPolicyUri.str());
              return ChannelSecurity{&chosen, MessageSecurityMode::None, serverSide.certificate,
                                     serverSide.key,
                                     pki::Certificate::fromDer(header.senderCertificate.bytes())};
          })
    {
        client.setLimits(limits(chunkSize));
        server.setLimits(limits(chunkSize));
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

QByteArray qbytes(ByteView bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
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
                endpoint.open(kChannel, 1, {});
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
        endpoint.open(kChannel, 1, {});
        uint32_t sequence = 1;
        QCOMPARE(failureOf(endpoint, chunk(1, sequence++)), status::Good);
        endpoint.renew(2, {});
        QCOMPARE(sendToken(endpoint), sendsAfterRenewal);
        QCOMPARE(failureOf(endpoint, chunk(1, sequence++)), status::Good);
        QCOMPARE(sendToken(endpoint), sendsAfterRenewal);
        QCOMPARE(failureOf(endpoint, chunk(2, sequence++)), status::Good);
        QCOMPARE(sendToken(endpoint), 2u);
        QCOMPARE(failureOf(endpoint, chunk(1, sequence++)).code, oldTokenOnceNewUsed);

        // Either side forgets a token once kAcceptedTokens newer ones were issued.
        ChannelEndpoint fresh(side, 65536);
        fresh.setLimits(limits());
        fresh.open(kChannel, 1, {});
        for (uint32_t token = 2; token <= ChannelEndpoint::kAcceptedTokens + 1; ++token)
            fresh.renew(token, {});
        QCOMPARE(failureOf(fresh, chunk(1, 1)), status::BadSecureChannelTokenUnknown);
        QCOMPARE(failureOf(fresh, chunk(2, 2)), status::Good);
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
        // A value that fills several chunks, so that padding, signature and encryption meet
        // chunk boundaries.
        const std::string marker(20000, 'x');
        const WriteRequest write = writeOf(marker);
        // Three further tokens: the server answers with the old token until the client's first
        // message with the new one.
        for (uint32_t token = 1; token <= 4; ++token) {
            if (token > 1) {
                channel.exchangeTokens(token);
                QCOMPARE(answerToken(channel), token - 1);
            }
            channel.client.send(channel.wire, MessageType::Message, token, write);
            QVERIFY(channel.wire.written().size() > 2);
            const ByteBuffer sent = channel.wire.takeWritten();
            const bool encrypted = mode == MessageSecurityMode::SignAndEncrypt;
            QCOMPARE(!qbytes(sent).contains(QByteArray(64, 'x')), encrypted);
            QVERIFY(only<WriteRequest>(receive(channel.server, sent)) == write);
            QCOMPARE(answerToken(channel), token);
        }
    }

    void alteredOrReplayedChunksAreRefused_data()
    {
        QTest::addColumn<int>("offset");  // from the end of the first chunk; < 0: flip nothing
        QTest::addColumn<int>("tokenId"); // written into the header; 0: left alone
        QTest::addColumn<bool>("replay");
        QTest::addColumn<quint32>("expected");
        const auto failed = status::BadSecurityChecksFailed.code;
        QTest::newRow("genuine") << -1 << 0 << false << status::Good.code;
        QTest::newRow("signature byte") << 1 << 0 << false << failed;
        QTest::newRow("body byte") << 200 << 0 << false << failed;
        QTest::newRow("sequence header byte") << 8176 << 0 << false << failed;
        QTest::newRow("older token's keys") << -1 << 1 << false << failed;
        QTest::newRow("unknown token")
            << -1 << 9 << false << status::BadSecureChannelTokenUnknown.code;
        QTest::newRow("replayed") << -1 << 0 << true << status::BadSequenceNumberInvalid.code;
    }
    void alteredOrReplayedChunksAreRefused()
    {
        QFETCH(int, offset);
        QFETCH(int, tokenId);
        QFETCH(bool, replay);
        QFETCH(quint32, expected);
        SecureChannel channel(security::kSecurityPolicies[1], MessageSecurityMode::SignAndEncrypt,
                              m_client, m_server);
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
            QCOMPARE(failureOf(channel.server, first), status::Good);
        QCOMPARE(failureOf(channel.server, first).code, expected);
    }

    void chunkSizesLeaveRoomForProtection_data()
    {
        QTest::addColumn<int>("chunkSize");
        QTest::addColumn<int>("bodySize");
        // Sizes around whole AES blocks, so that the padding byte alone tips a chunk over.
        for (int body : {8126, 8127, 8128, 8143, 8144, 16300})
            QTest::addRow("body %d", body) << 8192 << body;
    }
    void chunkSizesLeaveRoomForProtection()
    {
        QFETCH(int, chunkSize);
        QFETCH(int, bodySize);
        SecureChannel channel(security::kSecurityPolicies[3], MessageSecurityMode::SignAndEncrypt,
                              m_client, m_server, uint32_t(chunkSize));
        channel.exchangeTokens(1);
        const WriteRequest write = writeOf(std::string(size_t(bodySize), 'y'));
        channel.client.send(channel.wire, MessageType::Message, 3, write);
        for (const ByteBuffer& sent : channel.wire.written())
            QVERIFY(sent.size() <= size_t(chunkSize));
        QVERIFY(only<WriteRequest>(receive(channel.server, channel.wire.takeWritten())) == write);
    }

    void openingChunksMustComeFromThePeer()
    {
        // The server's answer reaches a client that expects another server's certificate.
        const Credentials stranger = makeCredentials("stranger");
        SecureChannel channel(security::kSecurityPolicies[2], MessageSecurityMode::Sign, m_client,
                              m_server);
        ChannelEndpoint misled(ChannelSide::Client, 8192,
                               {channel.client.security().policy, MessageSecurityMode::Sign,
                                m_client.certificate, m_client.key, stranger.certificate});
        misled.setLimits(limits(8192));
        OpenSecureChannelRequest request;
        request.securityMode = MessageSecurityMode::Sign;
        request.clientNonce = channel.client.newNonce();
        channel.client.send(channel.wire, MessageType::OpenSecureChannel, 1, request);
        receive(channel.server, channel.wire.takeWritten());
        channel.server.setSecurityMode(MessageSecurityMode::Sign);
        const ByteString serverNonce = channel.server.newNonce();
        channel.server.open(kChannel, 1, {request.clientNonce.bytes(), serverNonce.bytes()});
        OpenSecureChannelResponse response;
        response.serverNonce = serverNonce;
        channel.server.send(channel.wire, MessageType::OpenSecureChannel, 1, response);
        QCOMPARE(failureOf(misled, channel.wire.takeWritten()), status::BadSecurityChecksFailed);
        // And a server refuses an OPN naming a policy other than the channel's.
        QCOMPARE(failureOf(channel.server, chunk(0, 2, MessageType::OpenSecureChannel)),
                 status::BadSecurityPolicyRejected);
    }

private:
    Credentials m_client = makeCredentials("client");
    Credentials m_server = makeCredentials("server");
};

QTEST_GUILESS_MAIN(TestChannelEndpoint)
#include "tst_channelendpoint.moc"
