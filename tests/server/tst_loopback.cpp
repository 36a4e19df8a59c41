// The running server over loopback TCP: malformed, truncated and abandoned input from some
// clients while another keeps being served.

#include "opcua/nodeid.h"
#include "opcua/securechannel.h"
#include "opcua/server/server.h"
#include "opcua/services.h"
#include "opcua/tcp.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>

using namespace opcua;

namespace {

const NodeId kCounter(1, String("Counter"));
constexpr int kWaitMs = 5000;

// A client speaking the protocol over a real socket, one request at a time. Waiting lets the
// event loop run, so the server in this thread gets to answer.
class WireClient
{
public:
    explicit WireClient(uint16_t port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        QElapsedTimer t;
        t.start();
        while (m_socket.state() != QAbstractSocket::ConnectedState && t.elapsed() < kWaitMs)
            QTest::qWait(1);
    }

    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QTcpSocket& socket() { return m_socket; }

    void sendRaw(ByteView bytes)
    {
        m_socket.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
        m_socket.flush();
    }

    // The next whole chunk from the server, or nullopt when none came in time.
    std::optional<RawChunk> nextChunk()
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < kWaitMs) {
            const QByteArray bytes = m_socket.readAll();
            m_reader.feed(
                ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), size_t(bytes.size())));
            if (auto chunk = m_reader.next())
                return chunk;
            if (m_socket.state() == QAbstractSocket::UnconnectedState &&
                m_socket.bytesAvailable() == 0)
                return std::nullopt;
            QTest::qWait(1);
        }
        return std::nullopt;
    }

    // True once the server has hung up.
    bool waitForServerClose()
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < kWaitMs) {
            m_socket.readAll();
            if (m_socket.state() == QAbstractSocket::UnconnectedState)
                return true;
            QTest::qWait(1);
        }
        return false;
    }

    bool handshake()
    {
        HelloMessage hello;
        hello.endpointUrl = String("opc.tcp://127.0.0.1");
        sendRaw(encodeHello(hello));
        auto ack = nextChunk();
        if (!ack || ack->header.type != MessageType::Acknowledge)
            return false;
        OpenSecureChannelRequest open;
        open.requestedLifetime = 600000;
        auto reply = request(MessageType::OpenSecureChannel, open);
        auto* opened = reply ? std::get_if<OpenSecureChannelResponse>(&*reply) : nullptr;
        if (!opened)
            return false;
        m_channelId = opened->securityToken.channelId;
        m_tokenId = opened->securityToken.tokenId;
        auto created = request(MessageType::Message, CreateSessionRequest{});
        auto* session = created ? std::get_if<CreateSessionResponse>(&*created) : nullptr;
        if (!session)
            return false;
        m_token = session->authenticationToken;
        auto activated = request(MessageType::Message, ActivateSessionRequest{});
        return activated && std::holds_alternative<ActivateSessionResponse>(*activated);
    }

    std::optional<ServiceMessage> request(MessageType type, ServiceMessage message)
    {
        if (RequestHeader* header = requestHeaderOf(message))
            header->authenticationToken = m_token;
        const ByteBuffer body = encodeServiceMessage(message);
        const OutgoingMessage out =
            channelMessage(type, m_channelId, m_tokenId, ++m_requestId, body);
        for (const ByteBuffer& chunk : splitIntoChunks(out, TransportLimits{}, m_sequence))
            sendRaw(chunk);
        while (auto chunk = nextChunk()) {
            if (chunk->header.type == MessageType::Error)
                return std::nullopt;
            if (auto assembled = m_assembler.add(decodeSecureChunk(*chunk)))
                return decodeServiceMessage(assembled->body);
        }
        return std::nullopt;
    }

    std::optional<int16_t> readCounter()
    {
        ReadRequest read;
        ReadValueId item;
        item.nodeId = kCounter;
        read.nodesToRead.push_back(item);
        auto reply = request(MessageType::Message, read);
        auto* response = reply ? std::get_if<ReadResponse>(&*reply) : nullptr;
        if (!response || response->results.size() != 1 || !response->results[0].value)
            return std::nullopt;
        return response->results[0].value->scalar<int16_t>();
    }

    uint32_t channelId() const { return m_channelId; }
    uint32_t tokenId() const { return m_tokenId; }

private:
    QTcpSocket m_socket;
    ChunkReader m_reader{1 << 24};
    MessageAssembler m_assembler;
    SequenceNumberGenerator m_sequence;
    uint32_t m_channelId = 0;
    uint32_t m_tokenId = 0;
    uint32_t m_requestId = 0;
    NodeId m_token;
};

QByteArray bytesOf(const ByteBuffer& b)
{
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

} // namespace

class TestLoopback : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_clock = std::make_unique<QtClock>();
        m_space = std::make_unique<AddressSpace>();
        VariableDefinition counter;
        counter.id = kCounter;
        counter.browseName = {1, String("Counter")};
        counter.parent = NodeId(0, ids::ObjectsFolder);
        counter.dataType = NodeId(0, ids::Int16);
        counter.value = Variant::fromScalar(int16_t(5));
        m_space->addVariable(counter);
        ServerSettings settings;
        settings.helloTimeout = std::chrono::milliseconds(300);
        m_server = std::make_unique<Server>(*m_space, *m_clock, settings);
        QVERIFY(m_server->listen("127.0.0.1", 0));
        QVERIFY(m_server->port() != 0);
    }
    void cleanup()
    {
        m_server.reset();
        m_space.reset();
        m_clock.reset();
    }

    void listenerReportsItsPortAndUrl()
    {
        const std::string url = m_server->endpointUrl();
        QCOMPARE(QString::fromStdString(url),
                 QString("opc.tcp://127.0.0.1:%1").arg(m_server->port()));
        AddressSpace other;
        Server second(other, *m_clock);
        QVERIFY(!second.listen("127.0.0.1", m_server->port())); // taken
        QVERIFY(!second.errorString().empty());
        QVERIFY(!second.listen("not-an-address", 0));
    }

    void malformedInputIsAnsweredWithAnErrorAndAHangUp_data()
    {
        QTest::addColumn<bool>("handshakeFirst");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("text") << false << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        QTest::newRow("binary noise") << false << QByteArray(300, '\xA5');
        QTest::newRow("huge chunk size") << false << QByteArray("HELF\xff\xff\xff\xff", 8);
        QTest::newRow("size below header") << false << QByteArray("HELF\x04\0\0\0", 8);
        QTest::newRow("hello with a lying url length")
            << false
            << QByteArray("HELF\x24\0\0\0\0\0\0\0\0\0\1\0\0\0\1\0\0\0\0\0\0\0\0\0\xff\xff\xff\x7f"
                          "abcd",
                          36);
        QTest::newRow("hello with tiny buffers")
            << false
            << bytesOf(encodeHello(HelloMessage{0, 1024, 1024, 0, 0, String("opc.tcp://x")}));
        QTest::newRow("noise after the handshake") << true << QByteArray(100, '\x00');
        QTest::newRow("message on an unknown channel")
            << true << QByteArray("MSGF\x18\0\0\0\x99\x99\0\0\1\0\0\0\x40\0\0\0\7\0\0\0", 24);
    }
    void malformedInputIsAnsweredWithAnErrorAndAHangUp()
    {
        QFETCH(bool, handshakeFirst);
        QFETCH(QByteArray, bytes);
        WireClient good(m_server->port());
        QVERIFY(good.handshake());

        WireClient bad(m_server->port());
        QVERIFY(bad.connected());
        if (handshakeFirst)
            QVERIFY(bad.handshake());
        bad.sendRaw(ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), size_t(bytes.size())));
        auto chunk = bad.nextChunk();
        QVERIFY(chunk.has_value());
        QCOMPARE(chunk->header.type, MessageType::Error);
        const ErrorMessage error = decodeError(chunk->bytes);
        QVERIFY(error.error.isBad());
        QVERIFY(bad.waitForServerClose());

        QCOMPARE(good.readCounter(), std::optional<int16_t>(5));
    }

    void truncatedAndAbandonedClientsDoNotDisturbOthers()
    {
        WireClient good(m_server->port());
        QVERIFY(good.handshake());

        // Half a Hello, then silence: closed when the Hello does not come in time.
        WireClient halfHello(m_server->port());
        const ByteBuffer hello = encodeHello(HelloMessage{});
        halfHello.sendRaw(ByteView(hello).first(hello.size() / 2));
        // Half a request after a good handshake, then gone.
        auto partial = std::make_unique<WireClient>(m_server->port());
        QVERIFY(partial->handshake());
        partial->sendRaw(ByteView(hello).first(5));
        partial.reset();
        // Connected and gone at once.
        {
            WireClient gone(m_server->port());
        }

        QCOMPARE(good.readCounter(), std::optional<int16_t>(5));
        QVERIFY(halfHello.waitForServerClose());
        QCOMPARE(good.readCounter(), std::optional<int16_t>(5));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), size_t(1), kWaitMs);
    }

    void severalClientsAreServedSideBySide()
    {
        std::vector<std::unique_ptr<WireClient>> clients;
        for (int i = 0; i < 8; ++i) {
            clients.push_back(std::make_unique<WireClient>(m_server->port()));
            QVERIFY(clients.back()->handshake());
        }
        QCOMPARE(m_server->sessionCount(), size_t(8));
        for (int round = 0; round < 3; ++round) {
            for (auto& client : clients)
                QCOMPARE(client->readCounter(), std::optional<int16_t>(5));
        }
    }

    void everyPrefixOfAConversationIsSurvived()
    {
        // The whole opening conversation of a client, cut at every length and sent on its
        // own connection that then closes. The server must keep serving.
        HelloMessage hello;
        hello.endpointUrl = String("opc.tcp://127.0.0.1");
        ByteBuffer conversation = encodeHello(hello);
        OpenSecureChannelRequest open;
        open.requestedLifetime = 60000;
        const ByteBuffer body = encodeServiceMessage(open);
        OutgoingMessage out;
        out.type = MessageType::OpenSecureChannel;
        out.security = AsymmetricSecurityHeader{};
        out.requestId = 1;
        out.body = body;
        SequenceNumberGenerator sequence;
        for (const auto& chunk : splitIntoChunks(out, TransportLimits{}, sequence))
            conversation.insert(conversation.end(), chunk.begin(), chunk.end());

        WireClient good(m_server->port());
        QVERIFY(good.handshake());
        for (size_t cut = 1; cut < conversation.size(); cut += 3) {
            WireClient client(m_server->port());
            client.sendRaw(ByteView(conversation).first(cut));
        }
        QCOMPARE(good.readCounter(), std::optional<int16_t>(5));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), size_t(1), kWaitMs);
    }

private:
    std::unique_ptr<QtClock> m_clock;
    std::unique_ptr<AddressSpace> m_space;
    std::unique_ptr<Server> m_server;
};

QTEST_GUILESS_MAIN(TestLoopback)
#include "tst_loopback.moc"
