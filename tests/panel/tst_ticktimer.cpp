#include "panel/ticktimer.h"

#include <QTest>
#include <thread>

using namespace servo;

Q_DECLARE_METATYPE(servo::TickTimer::Source)

class TickTimerTest : public QObject
{
    Q_OBJECT

private slots:
    void ticksAndStops_data()
    {
        QTest::addColumn<TickTimer::Source>("source");
        QTest::newRow("timerfd") << TickTimer::Source::TimerFd;
        QTest::newRow("QTimer") << TickTimer::Source::QtTimer;
    }

    void ticksAndStops()
    {
        QFETCH(TickTimer::Source, source);
        TickTimer timer(source);
        int ticks = 0;
        connect(&timer, &TickTimer::timeout, [&] { ++ticks; });

        timer.start(std::chrono::milliseconds(1));
        QVERIFY(timer.isActive());
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 20, 5000);

        timer.stop();
        QVERIFY(!timer.isActive());
        const int stoppedAt = ticks;
        QTest::qWait(30);
        QCOMPARE(ticks, stoppedAt);
    }

    void slowHandlerLeavesOneTickPending()
    {
        TickTimer timer(TickTimer::Source::TimerFd);
        int ticks = 0;
        connect(&timer, &TickTimer::timeout, [&] {
            if (++ticks == 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        });
        timer.start(std::chrono::milliseconds(1));
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 2, 5000);
        timer.stop();

        // The twenty expirations that fell due during the slow tick arrived as one tick.
        QVERIFY(timer.mergedTicks() >= 10);
    }
};

QTEST_GUILESS_MAIN(TickTimerTest)
#include "tst_ticktimer.moc"
