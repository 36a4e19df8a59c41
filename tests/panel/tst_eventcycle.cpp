#include "panel/eventcycle.h"
#include "tests/panel/fakes.h"

#include <QTest>

using namespace servo;
using namespace servo::test;

// The event cycle on a real Qt event loop: ticks at 1 ms, clicks queued between them.
class EventCycleTest : public QObject
{
    Q_OBJECT

private slots:
    void timerIsEnabledFromCreation();
    void clickIsServedBetweenTicks();
    void failureRepeatingEveryTickShowsOneReport();
    void stoppedCycleRunsNoMoreTicks();
};

void EventCycleTest::timerIsEnabledFromCreation()
{
    PanelRig rig;
    RecordingView view;
    FailureReports reports(view);
    EventCycle cycle(*rig.panel, reports);
    QVERIFY(cycle.timer().isActive());
    QCOMPARE(cycle.timer().interval(), std::chrono::milliseconds(1));
    QCOMPARE(cycle.timer().objectName(), "Timer1");
    QVERIFY(rig.log.calls.isEmpty()); // no panel logic runs at start
}

void EventCycleTest::clickIsServedBetweenTicks()
{
    PanelRig rig;
    RecordingView view;
    FailureReports reports(view);
    EventCycle cycle(*rig.panel, reports);

    QTRY_VERIFY_WITH_TIMEOUT(rig.log.calls.size() >= 78, 5000);
    QMetaObject::invokeMethod(&cycle, &EventCycle::Command1_Click, Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(rig.log.calls.contains("write ZqNumber1 Int16 1151"), 5000);
    const qsizetype clickAt = rig.log.calls.indexOf("read ZqNumber1");
    QTRY_VERIFY_WITH_TIMEOUT(rig.log.calls.size() >= clickAt + 2 + 78, 5000);

    // A tick is 78 calls; the click's two calls sit on a tick boundary, never inside a tick.
    QCOMPARE(clickAt % 78, 0);
    QCOMPARE(rig.log.calls[clickAt + 2], "read ZqNumber3");
}

void EventCycleTest::failureRepeatingEveryTickShowsOneReport()
{
    PanelRig rig;
    rig.field(3).failRead = true;
    RecordingView view;
    FailureReports reports(view);
    EventCycle cycle(*rig.panel, reports);

    QTRY_VERIFY_WITH_TIMEOUT(view.lastRepeats >= 20, 5000);
    QCOMPARE(view.shown.size(), 1);
    QCOMPARE(view.shown[0].number, 1001);
}

void EventCycleTest::stoppedCycleRunsNoMoreTicks()
{
    PanelRig rig;
    RecordingView view;
    FailureReports reports(view);
    EventCycle cycle(*rig.panel, reports);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.log.calls.isEmpty(), 5000);

    cycle.stop();
    const qsizetype calls = rig.log.calls.size();
    QTest::qWait(50);
    QCOMPARE(rig.log.calls.size(), calls);
}

QTEST_GUILESS_MAIN(EventCycleTest)
#include "tst_eventcycle.moc"
