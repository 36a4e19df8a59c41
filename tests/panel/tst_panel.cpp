#include "panel/eventcycle.h"
#include "panel/failurereports.h"
#include "panel/lamp.h"
#include "panel/panel.h"
#include "panel/ticktimer.h"
#include "processdata/failure.h"

#include <QTest>
#include <array>
#include <functional>
#include <thread>

using namespace servo;

Q_DECLARE_METATYPE(servo::FieldValue)
Q_DECLARE_METATYPE(servo::TickTimer::Source)

namespace {

// The fakes write down every call the panel makes on its elements, in order, in one log of
// text such as "read ZqNumber3", "fill Shape1 #00ff00" or "write ZqNumber1 Int16 1151".
struct RecordingField final : ProcessField
{
    FieldValue value() const override
    {
        log->append("read " + name);
        if (failRead)
            throw Failure(FailureCode::FieldReadFailed, "test");
        return current;
    }
    void setValue(const FieldValue& value) override
    {
        log->append("write " + name + " " + QString::fromStdString(describe(value)));
        if (failWrite)
            throw Failure(FailureCode::FieldWriteFailed, "test");
        current = value;
    }
    std::string writeTarget() const override { return target; }

    QString name;
    std::string target;
    QStringList* log = nullptr;
    FieldValue current;
    bool failRead = false;
    bool failWrite = false;
};

struct RecordingLamp final : Lamp
{
    void setFillColour(Colour colour) override { note("fill", colour); }
    void setBorderColour(Colour colour) override
    {
        note("border", colour);
        if (failBorder)
            throw Failure(FailureCode::LampFailed, "test");
    }
    void note(const QString& call, Colour colour) const
    {
        log->append(
            QStringLiteral("%1 %2 #%3").arg(call, name).arg(colour.rgb(), 6, 16, QChar('0')));
    }

    QString name;
    QStringList* log = nullptr;
    bool failBorder = false;
};

// A panel over recording fakes, the way the window wires the real elements.
struct PanelRig
{
    QStringList log;
    DataConnection connection;
    std::array<RecordingField, kFieldCount> fields;
    std::array<RecordingLamp, kLampCount> lamps;
    Panel panel{wire()};

    PanelElements wire()
    {
        PanelElements elements;
        elements.DatCon1 = &connection;
        for (int i = 0; i < kFieldCount; ++i) {
            fields[i].name = QStringLiteral("ZqNumber%1").arg(i + 1);
            fields[i].log = &log;
            elements.ZqNumber[i] = &fields[i];
        }
        for (int i = 0; i < kLampCount; ++i) {
            lamps[i].name = QStringLiteral("Shape%1").arg(i + 1);
            lamps[i].log = &log;
            elements.Shape[i] = &lamps[i];
        }
        return elements;
    }

    RecordingField& field(int number) { return fields[number - 1]; }
    RecordingLamp& lamp(int number) { return lamps[number - 1]; }
};

struct RecordingView final : ReportView
{
    void showReport(const Report& report) override { shown.append(report); }
    void updateRepeats(int repeats) override { lastRepeats = repeats; }

    QList<Report> shown;
    int lastRepeats = 0;
};

// The calls of one tick that shows each row's bit as G (green, dark green border) or R (red,
// dark red border): servo 2's word from Shape1 down, then servo 3's from Shape26 up.
QStringList tickCalls(const QString& servo2, const QString& servo3)
{
    QStringList calls;
    for (const auto& [word, pattern, firstLamp, step] :
         {std::tuple{"ZqNumber3", servo2, 1, 1}, {"ZqNumber4", servo3, 26, -1}}) {
        for (int row = 0; row < 13; ++row) {
            const bool green = pattern[row] == 'G';
            const QString lamp = QStringLiteral(" Shape%1 ").arg(firstLamp + step * row);
            calls << QStringLiteral("read ") + word
                  << "fill" + lamp + (green ? "#00ff00" : "#ff0000")
                  << "border" + lamp + (green ? "#008000" : "#c00000");
        }
    }
    return calls;
}

const QString kAllRed(13, 'R');
const QString kAllGreen(13, 'G');

// Runs a handler; the number of the failure that ended it, or 0 when it ran to its end.
int failureNumber(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const Failure& failure) {
        return failure.number();
    }
    return 0;
}

// The messages logged under category while f runs.
QStringList logged(const char* category, const std::function<void()>& f)
{
    static QStringList* captured = nullptr;
    static const char* wanted = nullptr;
    QStringList lines;
    captured = &lines;
    wanted = category;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& m) {
            if (context.category && qstrcmp(context.category, wanted) == 0)
                captured->append(m);
        });
    f();
    qInstallMessageHandler(previous);
    captured = nullptr;
    return lines;
}

// Breaks one of the rig's elements.
using Fault = void (*)(PanelRig&);

} // namespace

Q_DECLARE_METATYPE(Fault)

class PanelTest : public QObject
{
    Q_OBJECT

private slots:
    void lampWord_data()
    {
        QTest::addColumn<FieldValue>("word");
        QTest::addColumn<QString>("pattern");
        // How a value of each type becomes a word is FieldValue's rule; these rows show which rule
        // the lamps follow and which bits they show.

        QTest::newRow("run word 1151") << FieldValue(std::int16_t(1151)) << "GGGGGGGRRRGRR";
        QTest::newRow("stop word 1150") << FieldValue(std::int16_t(1150)) << "RGGGGGGRRRGRR";
        QTest::newRow("only bits 11 and 13") << FieldValue(std::int16_t(0x2800)) << kAllRed;
        QTest::newRow("bit 15 alone") << FieldValue(std::int32_t(0x8000)) << kAllRed;
        QTest::newRow("-1, all 16 bits") << FieldValue(std::int16_t(-1)) << kAllGreen;
        QTest::newRow("bit 12 and 14 rows") << FieldValue(std::int32_t(0x5000)) << "RRRRRRRRRRRGG";
        QTest::newRow("null") << FieldValue::null() << kAllRed;
        QTest::newRow("2.5 taken as 2") << FieldValue(2.5) << "RGRRRRRRRRRRR";
        QTest::newRow("3.5 taken as 4") << FieldValue(3.5) << "RRGRRRRRRRRRR";
        QTest::newRow("text 1151") << FieldValue(" 1151 ") << "GGGGGGGRRRGRR";
    }

    void lampWord()
    {
        QFETCH(FieldValue, word);
        QFETCH(QString, pattern);

        PanelRig rig;
        rig.field(3).current = word;
        rig.field(4).current = FieldValue(std::int16_t(2)); // servo 3 shows its own word
        rig.panel.Timer1_Timer();
        QCOMPARE(rig.log, tickCalls(pattern, "RGRRRRRRRRRRR"));
    }

    void failureEndsTheTick_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("failingCall");
        QTest::addColumn<int>("number");
        QTest::newRow("border of Shape5")
            << Fault([](PanelRig& rig) { rig.lamp(5).failBorder = true; })
            << "border Shape5 #008000" << 1020;
        QTest::newRow("servo 3's word unreadable")
            << Fault([](PanelRig& rig) { rig.field(4).failRead = true; }) << "read ZqNumber4"
            << 1001;
        QTest::newRow("word out of range")
            << Fault([](PanelRig& rig) { rig.field(3).current = FieldValue(1e10); })
            << "read ZqNumber3" << 6;
    }

    // A tick makes the calls of a healthy one up to the failing call and none after it; the next
    // tick starts again with row 1 of servo 2, so it fails the same way.
    void failureEndsTheTick()
    {
        QFETCH(Fault, fault);
        QFETCH(QString, failingCall);
        QFETCH(int, number);
        const QStringList healthy = tickCalls(kAllGreen, kAllRed);
        const QStringList calls = healthy.mid(0, healthy.indexOf(failingCall) + 1);

        PanelRig rig;
        rig.field(3).current = FieldValue(std::int16_t(-1));
        fault(rig);
        for (int tick = 1; tick <= 2; ++tick) {
            rig.log.clear();
            QCOMPARE(failureNumber([&] { rig.panel.Timer1_Timer(); }), number);
            QCOMPARE(rig.log, calls);
        }
    }

    void startStop_data()
    {
        QTest::addColumn<FieldValue>("commandWord");
        QTest::addColumn<QString>("written"); // empty: nothing written
        // The word is compared with 1151 as it is, not rounded the way the lamps take it.

        QTest::newRow("1151 stops") << FieldValue(std::int16_t(1151)) << "Int16 1150";
        QTest::newRow("text 1151 stops") << FieldValue("1151") << "Int16 1150";
        QTest::newRow("1150 runs") << FieldValue(std::int16_t(1150)) << "Int16 1151";
        QTest::newRow("1152 runs") << FieldValue(std::int16_t(1152)) << "Int16 1151";
        QTest::newRow("1151.5 runs") << FieldValue(1151.5) << "Int16 1151";
        QTest::newRow("1150.9 runs") << FieldValue(1150.9) << "Int16 1151";
        QTest::newRow("null runs") << FieldValue::null() << "Int16 1151";
        QTest::newRow("text not a number writes nothing") << FieldValue("running") << "";
    }

    void startStop()
    {
        QFETCH(FieldValue, commandWord);
        QFETCH(QString, written);

        PanelRig rig;
        rig.field(1).current = commandWord;
        // A word that is not a number ends the click with a type mismatch, writing nothing.
        QCOMPARE(failureNumber([&] { rig.panel.Command1_Click(); }), written.isEmpty() ? 13 : 0);
        QStringList expected{"read ZqNumber1"};
        if (!written.isEmpty())
            expected << "write ZqNumber1 " + written;
        QCOMPARE(rig.log, expected);
    }

    // Command2 works on ZqNumber2 alone; a failed read or write ends the click unrepeated.
    void failedClickIsNotRetried()
    {
        PanelRig rig;
        rig.field(1).failRead = true;
        rig.field(2).failWrite = true;
        QCOMPARE(failureNumber([&] { rig.panel.Command1_Click(); }), 1001);
        QCOMPARE(failureNumber([&] { rig.panel.Command2_Click(); }), 1002);
        QCOMPARE(rig.log,
                 (QStringList{"read ZqNumber1", "read ZqNumber2", "write ZqNumber2 Int16 1151"}));
    }

    void lookupByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("fieldNumber"); // 0: no field of that name
        QTest::addColumn<int>("lampNumber");  // 0: no lamp of that name

        QTest::newRow("last field") << "ZqNumber8" << 8 << 0;
        QTest::newRow("field past the end") << "ZqNumber9" << 0 << 0;
        QTest::newRow("field with leading zero") << "ZqNumber01" << 0 << 0;
        QTest::newRow("first lamp") << "Shape1" << 0 << 1;
        QTest::newRow("last lamp") << "Shape26" << 0 << 26;
        QTest::newRow("lamp zero") << "Shape0" << 0 << 0;
        QTest::newRow("lamp with suffix") << "Shape2x" << 0 << 0;
        QTest::newRow("case matters") << "shape1" << 0 << 0;
    }

    void lookupByName()
    {
        QFETCH(QString, name);
        QFETCH(int, fieldNumber);
        QFETCH(int, lampNumber);

        PanelRig rig;
        const std::string key = name.toStdString();
        QCOMPARE(rig.panel.field(key), fieldNumber ? &rig.field(fieldNumber) : nullptr);
        QCOMPARE(rig.panel.lamp(key), lampNumber ? &rig.lamp(lampNumber) : nullptr);
        QCOMPARE(rig.panel.dataConnection(key), nullptr);
    }

    void repeatedFailureKeepsOneReport()
    {
        RecordingView view;
        FailureReports reports(view);
        const auto raise = [](FailureCode code) { throw Failure(code, "detail"); };

        for (int tick = 0; tick < 1000; ++tick)
            dispatch(reports, [&] { raise(FailureCode::FieldReadFailed); });
        QCOMPARE(view.shown.size(), 1);
        QCOMPARE(view.shown[0].number, 1001);
        QCOMPARE(view.lastRepeats, 1000);

        // A different failure replaces the open report.
        dispatch(reports, [&] { raise(FailureCode::LampFailed); });
        QCOMPARE(view.shown.size(), 2);
        QCOMPARE(reports.openReport()->number, 1020);
        QCOMPARE(reports.openReport()->repeats, 1);

        // Once dismissed, the same failure opens a new report.
        reports.dismissed();
        dispatch(reports, [&] { raise(FailureCode::LampFailed); });
        QCOMPARE(view.shown.size(), 3);

        // Anything else a handler throws is reported, not left to cross the event loop.
        dispatch(reports, [] { throw std::runtime_error("boom"); });
        QCOMPARE(reports.openReport()->number, 1099);
        QVERIFY(reports.openReport()->description.find("boom") != std::string::npos);

        // A changed report takes the place of the open one it changes, keeping its repeats, and
        // opens nothing once the operator has closed it; both reach the log.
        const Failure lost(FailureCode::ConnectionLost, "gone");
        const Failure back(FailureCode::ConnectionLost, "gone \u2014 connection restored");
        const QStringList log = logged("servo.panel.failure", [&] {
            reports.report(lost);
            reports.report(lost);
            reports.change(lost, back);
            QCOMPARE(view.shown.size(), 6);
            QCOMPARE(view.shown.last(), (Report{1013, back.description(), 2}));
            reports.dismissed();
            reports.change(back, lost);
            QCOMPARE(view.shown.size(), 6);
        });
        QCOMPARE(log.size(), 4);
        QVERIFY2(log[0].startsWith("failure 1013: Connection to the server lost: gone"),
                 qPrintable(log[0]));
        QVERIFY2(log[1].contains("restored"), qPrintable(log[1]));
        QCOMPARE(log[2], "closed 1013 after 2 repeats");
    }

    // Each click leaves one line in the audit log: the button, where its field writes (the
    // user included where there is one), the word and what came of it.
    void clickIsRecorded_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("line");
        const QString button = R"(Command1 "Start/Stop Servo 2" clicked: ZqNumber1)";
        QTest::newRow("anonymous") << "ns=2;s=CW" << Fault([](PanelRig&) {})
                                   << button + " (ns=2;s=CW) <- Int16 1151: sent";
        QTest::newRow("with a user") << R"(ns=2;s=CW, user "op")" << Fault([](PanelRig&) {})
                                     << button + R"( (ns=2;s=CW, user "op") <- Int16 1151: sent)";
        QTest::newRow("a refused write")
            << "ns=2;s=CW" << Fault([](PanelRig& rig) { rig.field(1).failWrite = true; })
            << button + " (ns=2;s=CW) <- Int16 1151: not done, error 1002: Field value could not "
                        "be written: test";
        QTest::newRow("a failed read, so nothing to write")
            << "" << Fault([](PanelRig& rig) { rig.field(1).failRead = true; })
            << button + ": not done, error 1001: Field value could not be read: test";
    }

    void clickIsRecorded()
    {
        QFETCH(QString, target);
        QFETCH(Fault, fault);
        QFETCH(QString, line);
        PanelRig rig;
        rig.field(1).target = target.toStdString();
        fault(rig);
        RecordingView view;
        FailureReports reports(view);
        EventCycle cycle(rig.panel, reports);
        const QStringList log = logged("servo.panel.audit", [&] { cycle.Command1_Click(); });
        QCOMPARE(log, QStringList{line});
    }

    // The event cycle on a real Qt event loop: ticks at 1 ms, clicks queued between them, and
    // every handler run through the dispatch that reports its failures.
    void clickIsServedBetweenFailingTicks()
    {
        PanelRig rig;
        RecordingView view;
        FailureReports reports(view);
        EventCycle cycle(rig.panel, reports);
        QVERIFY(cycle.timer().isActive());
        QCOMPARE(cycle.timer().interval(), std::chrono::milliseconds(1));
        QCOMPARE(cycle.timer().objectName(), "Timer1");
        QVERIFY(rig.log.isEmpty()); // no panel logic runs at start

        // Each tick now makes servo 2's 39 calls and fails at reading servo 3's word.
        rig.field(4).failRead = true;
        QTRY_VERIFY_WITH_TIMEOUT(rig.log.size() >= 40, 5000);
        QMetaObject::invokeMethod(&cycle, &EventCycle::Command1_Click, Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(rig.log.contains("write ZqNumber1 Int16 1151"), 5000);
        const qsizetype clickAt = rig.log.indexOf("read ZqNumber1");
        QTRY_VERIFY_WITH_TIMEOUT(rig.log.size() >= clickAt + 2 + 40, 5000);

        // The click's two calls sit on a tick boundary, never inside a tick.
        QCOMPARE(clickAt % 40, 0);
        QCOMPARE(rig.log[clickAt + 2], "read ZqNumber3");
        QTRY_VERIFY_WITH_TIMEOUT(view.lastRepeats >= 20, 5000);
        QCOMPARE(view.shown.size(), 1);
        QCOMPARE(view.shown[0].number, 1001);
    }

    void ticksAndStops_data()
    {
        QTest::addColumn<TickTimer::Source>("source");
        QTest::newRow("timerfd") << TickTimer::Source::TimerFd;
        QTest::newRow("QTimer") << TickTimer::Source::QtTimer;
    }

    // The first tick is slow: a timerfd merges the twenty expirations that fall due meanwhile
    // into one pending tick instead of firing them all in a row.
    void ticksAndStops()
    {
        QFETCH(TickTimer::Source, source);
        TickTimer timer(source);
        int ticks = 0;
        connect(&timer, &TickTimer::timeout, [&] {
            if (++ticks == 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        });

        timer.start(std::chrono::milliseconds(1));
        QVERIFY(timer.isActive());
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 20, 5000);

        timer.stop();
        QVERIFY(!timer.isActive());
        const int stoppedAt = ticks;
        QTest::qWait(30);
        QCOMPARE(ticks, stoppedAt);
        if (source == TickTimer::Source::TimerFd)
            QVERIFY(timer.mergedTicks() >= 10);
    }
};

QTEST_GUILESS_MAIN(PanelTest)
#include "tst_panel.moc"
