// The server over loopback TCP, for what only real sockets show: it listens where it says, an
// error reaches the peer before the hang-up, and connections that stall or vanish are dropped
// while the server goes on accepting. The protocol itself is tested on fakes in tst_server.

#include "opcua/server/server.h"
#include "opcua/tcp.h"

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
    explicit WireClient(uint16_t port)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        m_socket.waitForConnected(kWaitMs);
    }

    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

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

    // True once the server has hung up.
    bool waitForServerClose()
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < kWaitMs && m_socket.state() != QAbstractSocket::UnconnectedState) {
            m_socket.readAll();
            QTest::qWait(1);
        }
        return m_socket.state() == QAbstractSocket::UnconnectedState;
    }

    // Hello, answered with an Acknowledge.
    bool greet()
    {
        send(encodeHello(HelloMessage{}));
        const auto ack = nextChunk();
        return ack && ack->header.type == MessageType::Acknowledge;
    }

private:
    QTcpSocket m_socket;
    ChunkReader m_reader{1 << 24};
};

} // namespace

class TestLoopback : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_clock = std::make_unique<QtClock>();
        m_space = std::make_unique<AddressSpace>();
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

    void theErrorArrivesBeforeTheHangUp()
    {
        WireClient bad(m_server->port());
        QVERIFY(bad.greet());
        const QByteArray text("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        bad.send(ByteView(reinterpret_cast<const uint8_t*>(text.data()), size_t(text.size())));
        const auto chunk = bad.nextChunk();
        QVERIFY(chunk.has_value());
        QCOMPARE(chunk->header.type, MessageType::Error);
        QCOMPARE(decodeError(chunk->bytes).error, status::BadTcpMessageTypeInvalid);
        QVERIFY(bad.waitForServerClose());
    }

    void stalledAndVanishedConnectionsAreDropped()
    {
        // Half a Hello, then silence: closed when the Hello does not come in time.
        WireClient halfHello(m_server->port());
        const ByteBuffer hello = encodeHello(HelloMessage{});
        halfHello.send(ByteView(hello).first(hello.size() / 2));
        // Greeted, half a chunk, then gone; and connected and gone at once.
        {
            WireClient partial(m_server->port());
            QVERIFY(partial.greet());
            partial.send(ByteView(hello).first(5));
            WireClient gone(m_server->port());
            QVERIFY(gone.connected());
        }
        QVERIFY(halfHello.waitForServerClose());
        QTRY_COMPARE_WITH_TIMEOUT(m_server->connectionCount(), size_t(0), kWaitMs);
        WireClient next(m_server->port());
        QVERIFY(next.greet());
    }

private:
    std::unique_ptr<QtClock> m_clock;
    std::unique_ptr<AddressSpace> m_space;
    std::unique_ptr<Server> m_server;
};

QTEST_GUILESS_MAIN(TestLoopback)
#include "tst_loopback.moc"
