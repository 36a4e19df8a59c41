#include "opcua/io.h"
#include "tests/opcua/testbytes.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QSignalSpy>
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
    void manualClockFiresInDueOrder();
    void manualClockFiresTimersStartedByCallbacks();
    void manualClockCancelsAndReportsTheNextTimer();
    void manualClockStopsRunawayTimers();
    void fakeStreamRecordsAndDelivers();
    void qtClockFiresAndCancels();
    void tcpStreamCarriesBytesBothWays();
    void tcpStreamReportsPeerClose();
    void tcpStreamReportsARefusedConnection();
    void tcpStreamDoesNotReportALocalClose();
};

void TestIo::manualClockFiresInDueOrder()
{
    ManualClock clock;
    std::vector<std::pair<int, int64_t>> fired; // timer, time it saw
    clock.start(30ms, [&] { fired.push_back({3, clock.now().count()}); });
    clock.start(10ms, [&] { fired.push_back({1, clock.now().count()}); });
    clock.start(10ms, [&] { fired.push_back({2, clock.now().count()}); });
    clock.start(-5ms, [&] { fired.push_back({0, clock.now().count()}); });
    QVERIFY(fired.empty()); // never from inside start()

    clock.advance(20ms);
    const std::vector<std::pair<int, int64_t>> first = {{0, 0}, {1, 10}, {2, 10}};
    QVERIFY(fired == first);
    QCOMPARE(clock.now(), 20ms);
    clock.advance(10ms);
    QCOMPARE(fired.back(), std::make_pair(3, int64_t(30)));
    QCOMPARE(clock.pendingTimers(), size_t(0));
}

void TestIo::manualClockFiresTimersStartedByCallbacks()
{
    ManualClock clock;
    int ticks = 0;
    std::function<void()> tick = [&] {
        ++ticks;
        clock.start(100ms, tick);
    };
    clock.start(100ms, tick);
    clock.advance(1000ms); // a periodic timer fires ten times within one advance
    QCOMPARE(ticks, 10);
    QCOMPARE(clock.pendingTimers(), size_t(1));
}

void TestIo::manualClockCancelsAndReportsTheNextTimer()
{
    ManualClock clock;
    bool fired = false;
    const TimerId a = clock.start(50ms, [&] { fired = true; });
    const TimerId b = clock.start(70ms, [] {});
    QVERIFY(a != 0 && a != b);
    QCOMPARE(*clock.nextDue(), 50ms);
    clock.cancel(a);
    clock.cancel(a);     // twice is harmless
    clock.cancel(12345); // so is an unknown id
    QCOMPARE(*clock.nextDue(), 70ms);
    clock.advance(100ms);
    QVERIFY(!fired);
    QVERIFY(!clock.nextDue().has_value());
    // Wall-clock time follows the monotonic time.
    ManualClock other(DateTime::fromUnixMilliseconds(0));
    other.advance(1500ms);
    QCOMPARE(other.utcNow().toUnixMilliseconds(), int64_t(1500));
}

void TestIo::manualClockStopsRunawayTimers()
{
    ManualClock clock;
    std::function<void()> again = [&] { clock.start(0ms, again); };
    clock.start(0ms, again);
    QVERIFY_THROWS_EXCEPTION(std::logic_error, clock.runDue());
}

void TestIo::fakeStreamRecordsAndDelivers()
{
    FakeStream stream(false);
    std::vector<ByteBuffer> received;
    int connected = 0;
    std::vector<StatusCode> closed;
    stream.setHandlers({[&] { ++connected; },
                        [&](ByteView b) { received.emplace_back(b.begin(), b.end()); },
                        [&](StatusCode s, const std::string&) { closed.push_back(s); }});
    stream.write(bytes({1})); // not open yet: dropped
    stream.acceptConnection();
    QCOMPARE(connected, 1);
    stream.write(bytes({2, 3}));
    stream.write(bytes({4}));
    QCOMPARE(hex(stream.takeWritten()), hex(bytes({2, 3, 4})));
    stream.deliver(bytes({9}));
    QCOMPARE(received.size(), size_t(1));
    stream.peerClose();
    QCOMPARE(closed, std::vector<StatusCode>{status::BadConnectionClosed});
    QVERIFY(!stream.isOpen());
    QVERIFY(!stream.closedLocally());
}

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

// A local server that hands its first accepted connection over as a TcpStream.
struct LoopbackServer
{
    QTcpServer server;
    std::unique_ptr<TcpStream> accepted;

    LoopbackServer()
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            accepted = std::make_unique<TcpStream>(server.nextPendingConnection());
        });
        server.listen(QHostAddress::LocalHost, 0);
    }
};

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

} // namespace

void TestIo::tcpStreamCarriesBytesBothWays()
{
    LoopbackServer server;
    QVERIFY(server.server.isListening());
    TcpStream client;
    Recorder clientSide;
    client.setHandlers(clientSide.handlers());
    client.connectTo("127.0.0.1", server.server.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(clientSide.connected == 1 && server.accepted, 5000);
    QVERIFY(client.isOpen());

    Recorder serverSide;
    server.accepted->setHandlers(serverSide.handlers());
    ByteBuffer big(200000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i);
    client.write(big);
    server.accepted->write(bytes({7, 8, 9}));
    QTRY_VERIFY_WITH_TIMEOUT(serverSide.received.size() == big.size(), 5000);
    QVERIFY(serverSide.received == big);
    QTRY_COMPARE_WITH_TIMEOUT(hex(clientSide.received), hex(bytes({7, 8, 9})), 5000);
    QVERIFY(!client.peerAddress().empty());
}

void TestIo::tcpStreamReportsPeerClose()
{
    LoopbackServer server;
    TcpStream client;
    Recorder clientSide;
    client.setHandlers(clientSide.handlers());
    client.connectTo("127.0.0.1", server.server.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(clientSide.connected == 1 && server.accepted, 5000);
    server.accepted->close();
    QTRY_COMPARE_WITH_TIMEOUT(clientSide.closed.size(), size_t(1), 5000);
    QCOMPARE(clientSide.closed[0], status::BadConnectionClosed);
    QVERIFY(!client.isOpen());
    // A little more event processing brings no second report.
    QTest::qWait(20);
    QCOMPARE(clientSide.closed.size(), size_t(1));
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

void TestIo::tcpStreamDoesNotReportALocalClose()
{
    LoopbackServer server;
    TcpStream client;
    Recorder clientSide;
    client.setHandlers(clientSide.handlers());
    client.connectTo("127.0.0.1", server.server.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(clientSide.connected == 1 && server.accepted, 5000);
    Recorder serverSide;
    server.accepted->setHandlers(serverSide.handlers());
    client.write(bytes({1, 2}));
    client.close(); // the queued bytes still leave
    QVERIFY(!client.isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(serverSide.closed.size(), size_t(1), 5000);
    QCOMPARE(hex(serverSide.received), hex(bytes({1, 2})));
    QVERIFY(clientSide.closed.empty());
}

QTEST_GUILESS_MAIN(TestIo)
#include "tst_io.moc"
