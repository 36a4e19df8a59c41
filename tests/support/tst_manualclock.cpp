// The clock every protocol test runs on: timers fire in due order, never from inside start(),
// and a test whose timers never settle fails instead of hanging.
#include "tests/support/manualclock.h"

#include <QTest>
#include <stdexcept>

using namespace opcua;
using namespace std::chrono_literals;

class TestManualClock : public QObject
{
    Q_OBJECT

private slots:
    void firesTimersInDueOrder();
    void firesTimersStartedByCallbacks();
    void cancelsAndReportsTheNextTimer();
    void stopsRunawayTimers();
};

void TestManualClock::firesTimersInDueOrder()
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

void TestManualClock::firesTimersStartedByCallbacks()
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

void TestManualClock::cancelsAndReportsTheNextTimer()
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

void TestManualClock::stopsRunawayTimers()
{
    ManualClock clock;
    std::function<void()> again = [&] { clock.start(0ms, again); };
    clock.start(0ms, again);
    QVERIFY_THROWS_EXCEPTION(std::logic_error, clock.runDue());
}

QTEST_GUILESS_MAIN(TestManualClock)
#include "tst_manualclock.moc"
