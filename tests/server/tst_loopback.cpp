// The server over loopback TCP, for what only real sockets show: it listens where it says, and
// an error reaches the peer before the hang-up. The protocol itself is tested on fakes in
// tst_server.

#include "opcua/securechannel.h"
#include "opcua/server/server.h"
#include "opcua/tcp.h"
#include "processdata/opcua/qteventloop.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>

using namespace opcua;

namespace {

constexpr int kWaitMs = 5000;

// A peer on a real socket. Waiting lets the event loop run, so the server in this thread gets
// to answer.
class WireClient
{
public:
    // A client that takes no more than `bytes` at a time (0: no limit), in the kernel and in
    // the socket, until it reads.
    explicit WireClient(uint16_t port, int bytes = 0)
    {
        if (bytes > 0) {
            m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, bytes);
            m_socket.setReadBufferSize(bytes);
        }
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.waitForConnected(kWaitMs);
    }

    void send(ByteView bytes)
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
            if (m_socket.state() == QAbstractSocket::UnconnectedState)
                return std::nullopt;
            QTest::qWait(1);
        }
        return std::nullopt;
    }

    // Reads every chunk until the server hangs up; the last of them, or nullopt when the
    // server does not hang up in time.
    std::optional<RawChunk> lastChunkBeforeHangUp()
    {
        m_socket.setReadBufferSize(0);
        std::optional<RawChunk> last;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < kWaitMs) {
            while (auto chunk = nextChunk())
                last = std::move(chunk);
            if (m_socket.state() == QAbstractSocket::UnconnectedState && m_socket.atEnd())
                return last;
        }
        return std::nullopt;
    }

    // Hello and OpenSecureChannel, answered.
    bool openChannel()
    {
        send(encodeHello(HelloMessage{}));
        const auto ack = nextChunk();
        if (!ack || ack->header.type != MessageType::Acknowledge)
            return false;
        OpenSecureChannelRequest request;
        request.requestType = SecurityTokenRequestType::Issue;
        request.securityMode = MessageSecurityMode::None;
        request.requestedLifetime = 600000;
        request.clientNonce = ByteString(ByteBuffer{});
        sendMessage(MessageType::OpenSecureChannel, request);
        const auto chunk = nextChunk();
        if (!chunk || chunk->header.type != MessageType::OpenSecureChannel)
            return false;
        const SecureChunk secure = decodeSecureChunk(*chunk); // the whole response
        m_channelId = secure.secureChannelId;
        const ServiceMessage response = decodeServiceMessage(secure.body);
        m_tokenId = std::get<OpenSecureChannelResponse>(response).securityToken.tokenId;
        return true;
    }

    void sendMessage(MessageType type, const ServiceMessage& message)
    {
        const ByteBuffer body = encodeServiceMessage(message);
        const OutgoingMessage out =
            channelMessage(type, m_channelId, m_tokenId, ++m_requestId, body);
        for (const ByteBuffer& chunk : splitIntoChunks(out, TransportLimits{}, m_sequence))
            send(chunk);
    }

private:
    QTcpSocket m_socket;
    ChunkReader m_reader{1 << 24};
    SequenceNumberGenerator m_sequence;
    uint32_t m_channelId = 0;
    uint32_t m_tokenId = 0;
    uint32_t m_requestId = 0;
};

} // namespace

class TestLoopback : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_loop = std::make_unique<servo::QtEventLoop>();
        m_space = std::make_unique<AddressSpace>();
        m_server = std::make_unique<Server>(*m_space, *m_loop);
        QVERIFY(m_server->listen(*m_loop, "127.0.0.1", 0));
        QVERIFY(m_server->port() != 0);
    }
    void cleanup()
    {
        m_server.reset();
        m_space.reset();
        m_loop.reset();
    }

    void listenerReportsItsPortAndUrl()
    {
        const std::string url = m_server->endpointUrl();
        QCOMPARE(QString::fromStdString(url),
                 QString("opc.tcp://127.0.0.1:%1").arg(m_server->port()));
        AddressSpace other;
        Server second(other, *m_loop);
        QVERIFY(!second.listen(*m_loop, "127.0.0.1", m_server->port())); // taken
        QVERIFY(!second.errorString().empty());
        QVERIFY(!second.listen(*m_loop, "not-an-address", 0));
    }

    // The ERR leaves even behind megabytes of responses a slow client has not read yet, far
    // more than the kernel buffers: the connection is dropped at once, but its socket goes only
    // once all of it is sent.
    void theErrorArrivesBeforeTheHangUp()
    {
        WireClient slow(m_server->port(), 4096);
        QVERIFY(slow.openChannel());
        GetEndpointsRequest request;
        request.endpointUrl = String(std::string(size_t{1} << 20, 'u')); // echoed twice
        for (int i = 0; i < 6; ++i)
            slow.sendMessage(MessageType::Message, request);
        const QByteArray text("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        slow.send(ByteView(reinterpret_cast<const uint8_t*>(text.data()), size_t(text.size())));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), size_t(0), kWaitMs);
        const auto last = slow.lastChunkBeforeHangUp();
        QVERIFY(last);
        QCOMPARE(last->header.type, MessageType::Error);
        QCOMPARE(decodeError(last->bytes).error, status::BadTcpMessageTypeInvalid);
    }

private:
    std::unique_ptr<servo::QtEventLoop> m_loop;
    std::unique_ptr<AddressSpace> m_space;
    std::unique_ptr<Server> m_server;
};

QTEST_GUILESS_MAIN(TestLoopback)
#include "tst_loopback.moc"
