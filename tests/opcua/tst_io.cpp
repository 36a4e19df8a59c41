#include "opcua/eventloop.h"
#include "opcua/sockets.h"
#include "tests/opcua/testbytes.h"

#include <QTest>
#include <thread>

using namespace opcua;
using namespace std::chrono_literals;
using testbytes::bytes;
using testbytes::hex;

namespace {

// Runs the loop until done() holds, at most five seconds.
template <class Done> bool runUntil(EventLoop& loop, Done done)
{
    const auto deadline = loop.now() + 5000ms;
    while (!done() && loop.now() < deadline)
        loop.runOnce(10ms);
    return done();
}

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

// A client TcpStream and the TcpStream a listener made of the connection it accepted, each
// with its recorder.
struct Loopback
{
    explicit Loopback(EventLoop& loop) : loop(loop) {}

    EventLoop& loop;
    TcpListener listener{loop};
    TcpStream client{loop};
    std::unique_ptr<TcpStream> accepted;
    std::string acceptedFrom;
    Recorder clientSide;
    Recorder serverSide;

    // Connects the client to host through a listener on listenHost; true once both ends are open.
    bool connect(const std::string& listenHost, const std::string& host)
    {
        const bool listening = listener.listen(
            listenHost, 0, [this](std::unique_ptr<TcpStream> stream, SocketAddress peer) {
                accepted = std::move(stream);
                acceptedFrom = peer.host();
                accepted->setHandlers(serverSide.handlers());
            });
        if (!listening)
            return false;
        client.setHandlers(clientSide.handlers());
        client.connectTo(host, listener.port());
        return runUntil(loop, [this] { return clientSide.connected == 1 && accepted; }) &&
               client.isOpen();
    }
};

bool hasIpv6Loopback()
{
    EventLoop loop;
    TcpListener listener(loop);
    return listener.listen("::1", 0, [](auto, auto) {});
}

} // namespace

class TestIo : public QObject
{
    Q_OBJECT

private slots:
    void timersFireInDeadlineOrderAndCancel()
    {
        EventLoop loop;
        std::vector<int> fired;
        loop.start(30ms, [&] { fired.push_back(30); });
        const TimerId cancelled = loop.start(5ms, [&] { fired.push_back(5); });
        loop.start(10ms, [&] { fired.push_back(10); });
        loop.start(20ms, [&] { fired.push_back(20); });
        loop.cancel(cancelled);
        loop.cancel(cancelled); // a second cancel, or one of a fired timer, does nothing
        QCOMPARE(loop.pendingTimers(), size_t(3));
        QVERIFY(runUntil(loop, [&] { return fired.size() == 3; }));
        QCOMPARE(fired, (std::vector<int>{10, 20, 30}));
        QCOMPARE(loop.pendingTimers(), size_t(0));
    }

    // A keep-alive is restarted on every response: cancelling and starting again, thousands of
    // times, leaves one timer that fires once.
    void restartedTimerFiresOnce()
    {
        EventLoop loop;
        int fired = 0;
        TimerId id = 0;
        for (int i = 0; i < 10000; ++i) {
            loop.cancel(id);
            id = loop.start(i < 9999 ? 60s : 1ms, [&] { ++fired; });
        }
        QCOMPARE(loop.pendingTimers(), size_t(1));
        QVERIFY(runUntil(loop, [&] { return fired == 1; }));
        loop.runOnce(5ms);
        QCOMPARE(fired, 1);
    }

    // A callback that starts a timer of 0 ms cannot keep one pass of the loop to itself.
    void timerStartedByACallbackWaitsForTheNextPass()
    {
        EventLoop loop;
        int runs = 0;
        std::function<void()> again = [&] {
            ++runs;
            loop.start(0ms, again);
        };
        loop.start(0ms, again);
        QVERIFY(runUntil(loop, [&] { return runs >= 1; }));
        const int before = runs;
        loop.runOnce(0ms);
        QVERIFY(runs <= before + 1);
    }

    void workPostedFromAnotherThreadRunsOnTheLoop()
    {
        EventLoop loop;
        std::thread::id ranOn;
        std::thread([&] { loop.post([&] { ranOn = std::this_thread::get_id(); }); }).join();
        QVERIFY(runUntil(loop, [&] { return ranOn != std::thread::id(); }));
        QCOMPARE(ranOn, std::this_thread::get_id());
    }

    void tcpStreamCarriesBytesAndReportsOnlyThePeersClose()
    {
        EventLoop loop;
        Loopback link(loop);
        QVERIFY(link.connect("127.0.0.1", "127.0.0.1"));
        QCOMPARE(link.acceptedFrom, std::string("127.0.0.1"));
        // Far more than the socket buffers take at once, so most of it waits in the stream.
        ByteBuffer big(8 << 20);
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = uint8_t(i * 7);
        link.accepted->write(bytes({7, 8, 9}));
        QVERIFY(runUntil(loop, [&] { return link.clientSide.received.size() == 3; }));
        QCOMPARE(hex(link.clientSide.received), hex(bytes({7, 8, 9})));
        QVERIFY(!link.client.peerAddress().empty());
        link.client.write(big);
        link.client.close(); // the queued bytes still leave
        QVERIFY(!link.client.isOpen());
        QVERIFY(runUntil(loop, [&] { return !link.serverSide.closed.empty(); }));
        QCOMPARE(link.serverSide.closed[0], status::BadConnectionClosed);
        QVERIFY(link.serverSide.received == big);
        QVERIFY(!link.accepted->isOpen());
        // More passes of the loop bring no second report, and none of the own close.
        loop.runOnce(20ms);
        QCOMPARE(link.serverSide.closed.size(), size_t(1));
        QVERIFY(link.clientSide.closed.empty());
    }

    void tcpStreamConnectsByNameAndOverIpv6_data()
    {
        QTest::addColumn<QString>("listenHost");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("peer");
        QTest::newRow("localhost") << "127.0.0.1"
                                   << "localhost"
                                   << "127.0.0.1";
        QTest::newRow("IPv6 loopback") << "::1"
                                       << "::1"
                                       << "::1";
        QTest::newRow("IPv4 client, dual-stack listener") << "::"
                                                          << "127.0.0.1"
                                                          << "127.0.0.1";
    }
    void tcpStreamConnectsByNameAndOverIpv6()
    {
        QFETCH(QString, listenHost);
        QFETCH(QString, host);
        QFETCH(QString, peer);
        if (listenHost.contains(':') && !hasIpv6Loopback())
            QSKIP("this machine has no IPv6 loopback");
        EventLoop loop;
        Loopback link(loop);
        QVERIFY(link.connect(listenHost.toStdString(), host.toStdString()));
        QCOMPARE(QString::fromStdString(link.acceptedFrom), peer);
    }

    void tcpStreamReportsWhatCannotBeReached_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("nothing listens") << "127.0.0.1";
        QTest::newRow("name does not resolve") << "no-such-host.invalid";
    }
    void tcpStreamReportsWhatCannotBeReached()
    {
        QFETCH(QString, host);
        EventLoop loop;
        uint16_t port = 0;
        {
            TcpListener probe(loop);
            QVERIFY(probe.listen("127.0.0.1", 0, [](auto, auto) {}));
            port = probe.port();
        } // closed again: nothing listens on the port now
        TcpStream client(loop);
        Recorder clientSide;
        client.setHandlers(clientSide.handlers());
        client.connectTo(host.toStdString(), port);
        QVERIFY(runUntil(loop, [&] { return !clientSide.closed.empty(); }));
        QCOMPARE(clientSide.closed[0], status::BadNotConnected);
        QCOMPARE(clientSide.connected, 0);
    }

    // A stream dropped while its name is still being looked up reports nothing, later or ever.
    void streamDroppedDuringLookupStaysQuiet()
    {
        EventLoop loop;
        Recorder recorder;
        {
            TcpStream client(loop);
            client.setHandlers(recorder.handlers());
            client.connectTo("no-such-host.invalid", 4840);
        }
        loop.runOnce(50ms);
        QCOMPARE(recorder.connected, 0);
        QVERIFY(recorder.closed.empty());
    }

    void listenerRefusesWhatItCannotUse()
    {
        EventLoop loop;
        TcpListener first(loop);
        QVERIFY(first.listen("127.0.0.1", 0, [](auto, auto) {}));
        TcpListener second(loop);
        QVERIFY(!second.listen("127.0.0.1", first.port(), [](auto, auto) {}));
        QVERIFY(!second.errorString().empty());
        QVERIFY(!second.listen("not-an-address", 0, [](auto, auto) {}));
        QCOMPARE(second.port(), uint16_t(0));
    }
};

QTEST_APPLESS_MAIN(TestIo)
#include "tst_io.moc"
