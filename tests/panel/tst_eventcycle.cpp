#include "panel/eventcycle.h"
#include "tests/panel/fakes.h"

#include <QTest>

using namespace servo;
using namespace servo::test;

namespace {

// An event cycle over recording fakes; its timer runs from creation.
struct CycleRig
{
    PanelRig rig;
    RecordingView view;
    FailureReports reports{view};
    EventCycle cycle{*rig.panel, reports};
};

} // namespace

// The event cycle on a real Qt event loop: ticks at 1 ms, clicks queued between them, and
// every handler run through the dispatch that reports its failures.
class EventCycleTest : public QObject
{
    Q_OBJECT

private slots:
    void clickIsServedBetweenFailingTicks()
    {
        CycleRig c;
        QVERIFY(c.cycle.timer().isActive());
        QCOMPARE(c.cycle.timer().interval(), std::chrono::milliseconds(1));
        QCOMPARE(c.cycle.timer().objectName(), "Timer1");
        QVERIFY(c.rig.log.isEmpty()); // no panel logic runs at start

        // Each tick now makes servo 2's 39 calls and fails at reading servo 3's word.
        c.rig.field(4).failRead = true;
        QTRY_VERIFY_WITH_TIMEOUT(c.rig.log.size() >= 40, 5000);
        QMetaObject::invokeMethod(&c.cycle, &EventCycle::Command1_Click, Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(c.rig.log.contains("write ZqNumber1 Int16 1151"), 5000);
        const qsizetype clickAt = c.rig.log.indexOf("read ZqNumber1");
        QTRY_VERIFY_WITH_TIMEOUT(c.rig.log.size() >= clickAt + 2 + 40, 5000);

        // The click's two calls sit on a tick boundary, never inside a tick.
        QCOMPARE(clickAt % 40, 0);
        QCOMPARE(c.rig.log[clickAt + 2], "read ZqNumber3");
        QTRY_VERIFY_WITH_TIMEOUT(c.view.lastRepeats >= 20, 5000);
        QCOMPARE(c.view.shown.size(), 1);
        QCOMPARE(c.view.shown[0].number, 1001);
    }
};

QTEST_GUILESS_MAIN(EventCycleTest)
#include "tst_eventcycle.moc"
