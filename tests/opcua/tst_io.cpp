#include "opcua/io.h"
#include "tests/opcua/testbytes.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace opcua;
using namespace std::chrono_literals;
using testbytes::bytes;
using testbytes::hex;

class TestIo : public QObject
{
    Q_OBJECT

private slots:
    void qtClockFiresAndCancels();
    void tcpStreamCarriesBytesAndReportsOnlyThePeersClose();
    void tcpStreamReportsARefusedConnection();
};

void TestIo::qtClockFiresAndCancels()
{
    QtClock clock;
    bool cancelledFired = false;
    bool fired = false;
    const TimerId cancelled = clock.start(0ms, [&] { cancelledFired = true; });
    clock.start(5ms, [&] { fired = true; });
    clock.cancel(cancelled);
    QTRY_VERIFY_WITH_TIMEOUT(fired, 5000);
    QVERIFY(!cancelledFired);
    QCOMPARE(clock.pendingTimers(), size_t(0));
    QVERIFY(clock.now() >= 0ms);
}

namespace {

struct Recorder
{
    ByteBuffer received;
    int connected = 0;
    std::vector<StatusCode> closed;

    Stream::Handlers handlers()
    {
        return {[this] { ++connected; },
                [this](ByteView b) { received.insert(received.end(), b.begin(), b.end()); },
                [this](StatusCode s, const std::string&) { closed.push_back(s); }};
    }
};

// A client TcpStream and the TcpStream a local server made of the connection it accepted, each
// with its recorder.
struct Loopback
{
    QTcpServer server;
    TcpStream client;
    std::unique_ptr<TcpStream> accepted;
    Recorder clientSide;
    Recorder serverSide;

    // Connects the client; true once both ends are open.
    bool connect()
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            accepted = std::make_unique<TcpStream>(server.nextPendingConnection());
            accepted->setHandlers(serverSide.handlers());
        });
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        client.setHandlers(clientSide.handlers());
        client.connectTo("127.0.0.1", server.serverPort());
        return QTest::qWaitFor([this] { return clientSide.connected == 1 && accepted; }, 5000) &&
               client.isOpen();
    }
};

} // namespace

void TestIo::tcpStreamCarriesBytesAndReportsOnlyThePeersClose()
{
    Loopback loop;
    QVERIFY(loop.connect());
    ByteBuffer big(200000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i);
    loop.accepted->write(bytes({7, 8, 9}));
    QTRY_COMPARE_WITH_TIMEOUT(hex(loop.clientSide.received), hex(bytes({7, 8, 9})), 5000);
    QVERIFY(!loop.client.peerAddress().empty());
    loop.client.write(big);
    loop.client.close(); // the queued bytes still leave
    QVERIFY(!loop.client.isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(loop.serverSide.closed.size(), size_t(1), 5000);
    QCOMPARE(loop.serverSide.closed[0], status::BadConnectionClosed);
    QVERIFY(loop.serverSide.received == big);
    QVERIFY(!loop.accepted->isOpen());
    // A little more event processing brings no second report, and none of the own close.
    QTest::qWait(20);
    QCOMPARE(loop.serverSide.closed.size(), size_t(1));
    QVERIFY(loop.clientSide.closed.empty());
}

void TestIo::tcpStreamReportsARefusedConnection()
{
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    } // closed again: nothing listens on the port now
    TcpStream client;
    Recorder clientSide;
    client.setHandlers(clientSide.handlers());
    client.connectTo("127.0.0.1", port);
    QTRY_COMPARE_WITH_TIMEOUT(clientSide.closed.size(), size_t(1), 5000);
    QCOMPARE(clientSide.closed[0], status::BadNotConnected);
    QCOMPARE(clientSide.connected, 0);
}

QTEST_GUILESS_MAIN(TestIo)
#include "tst_io.moc"
