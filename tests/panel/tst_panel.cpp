#include "tests/panel/fakes.h"

#include <QTest>

using namespace servo;
using namespace servo::test;

Q_DECLARE_METATYPE(servo::FieldValue)

namespace {

// The calls of one tick that shows each row's bit as G (green, dark green border) or R (red,
// dark red border): servo 2's word from Shape1 down, then servo 3's from Shape26 up.
QStringList tickCalls(const QString& servo2, const QString& servo3)
{
    QStringList calls;
    for (const auto& [word, pattern, firstLamp, step] :
         {std::tuple{"ZqNumber3", servo2, 1, 1}, {"ZqNumber4", servo3, 26, -1}}) {
        for (int row = 0; row < 13; ++row) {
            const bool green = pattern[row] == 'G';
            const int shape = firstLamp + step * row;
            calls << QStringLiteral("read %1").arg(word)
                  << QStringLiteral("fill Shape%1 %2").arg(shape).arg(green ? "#00ff00" : "#ff0000")
                  << QStringLiteral("border Shape%1 %2")
                         .arg(shape)
                         .arg(green ? "#008000" : "#c00000");
        }
    }
    return calls;
}

const QString kAllRed(13, 'R');
const QString kAllGreen(13, 'G');

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
        QTest::newRow("text 1151") << FieldValue(" 1151 ") << "GGGGGGGRRRGRR";
    }

    void lampWord()
    {
        QFETCH(FieldValue, word);
        QFETCH(QString, pattern);

        PanelRig rig;
        rig.field(3).current = word;
        rig.panel->Timer1_Timer();
        QCOMPARE(rig.log, tickCalls(pattern, kAllRed));
    }

    void eachServoShowsItsOwnWord()
    {
        PanelRig rig;
        rig.field(3).current = FieldValue(std::int16_t(1));
        rig.field(4).current = FieldValue(std::int16_t(2));
        rig.panel->Timer1_Timer();
        QCOMPARE(rig.log, tickCalls("GRRRRRRRRRRRR", "RGRRRRRRRRRRR"));
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
        PanelRig healthy;
        healthy.field(3).current = FieldValue(std::int16_t(-1));
        healthy.panel->Timer1_Timer();
        const QStringList calls = healthy.log.mid(0, healthy.log.indexOf(failingCall) + 1);

        PanelRig rig;
        rig.field(3).current = FieldValue(std::int16_t(-1));
        fault(rig);
        for (int tick = 1; tick <= 2; ++tick) {
            rig.log.clear();
            try {
                rig.panel->Timer1_Timer();
                QFAIL("the failure must end the tick");
            } catch (const Failure& f) {
                QCOMPARE(f.number(), number);
            }
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
        try {
            rig.panel->Command1_Click();
            QVERIFY(!written.isEmpty());
        } catch (const Failure& f) {
            QVERIFY(written.isEmpty());
            QCOMPARE(f.code(), FailureCode::TypeMismatch);
        }
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
        QVERIFY_THROWS_EXCEPTION(Failure, rig.panel->Command1_Click());
        QVERIFY_THROWS_EXCEPTION(Failure, rig.panel->Command2_Click());
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
        QCOMPARE(rig.panel->field(key), fieldNumber ? &rig.field(fieldNumber) : nullptr);
        QCOMPARE(rig.panel->lamp(key), lampNumber ? &rig.lamp(lampNumber) : nullptr);
        QCOMPARE(rig.panel->dataConnection(key), nullptr);
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
    }
};

QTEST_GUILESS_MAIN(PanelTest)
#include "tst_panel.moc"
