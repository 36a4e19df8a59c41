#include "tests/panel/fakes.h"

#include <QTest>

using namespace servo;
using namespace servo::test;

Q_DECLARE_METATYPE(servo::FieldValue)

namespace {

// The servo-2 lamps in row order as G (green, dark green border) or R (red, dark red border).
QString servo2Pattern(PanelRig& rig)
{
    QString pattern;
    for (const LampRow& row : kLampRows) {
        const RecordingLamp& lamp = rig.lamp(row.servo2Lamp);
        if (lamp.fill == Colour::fromRgb(0x00FF00) && lamp.border == Colour::fromRgb(0x008000))
            pattern += 'G';
        else if (lamp.fill == Colour::fromRgb(0xFF0000) && lamp.border == Colour::fromRgb(0xC00000))
            pattern += 'R';
        else
            pattern += '?';
    }
    return pattern;
}

const QString kAllRed(13, 'R');
const QString kAllGreen(13, 'G');

} // namespace

class PanelTest : public QObject
{
    Q_OBJECT

private slots:
    void lampWord_data();
    void lampWord();
    void channelsAreIndependent();
    void tickCallSequence();
    void borderFailureStopsTickAtThatLamp();
    void failedReadStopsTick();
    void outOfRangeWordStopsTickBeforeAnyLamp();
    void startStop_data();
    void startStop();
    void clickTouchesOnlyItsOwnChannel();
    void failedReadWritesNothing();
    void failedWriteIsNotRetried();
    void lookupByName_data();
    void lookupByName();
    void repeatedFailureKeepsOneReport();
};

void PanelTest::lampWord_data()
{
    QTest::addColumn<FieldValue>("word");
    QTest::addColumn<QString>("pattern");

    QTest::newRow("run word 1151") << FieldValue(std::int16_t(1151)) << "GGGGGGGRRRGRR";
    QTest::newRow("stop word 1150") << FieldValue(std::int16_t(1150)) << "RGGGGGGRRRGRR";
    QTest::newRow("0") << FieldValue(std::int16_t(0)) << kAllRed;
    QTest::newRow("only bits 11 and 13") << FieldValue(std::int16_t(0x2800)) << kAllRed;
    QTest::newRow("bit 15 alone") << FieldValue(std::int32_t(0x8000)) << kAllRed;
    QTest::newRow("-1, all 16 bits") << FieldValue(std::int16_t(-1)) << kAllGreen;
    QTest::newRow("bits 0 to 14") << FieldValue(std::int16_t(0x7FFF)) << kAllGreen;
    QTest::newRow("bit 12 and 14 rows") << FieldValue(std::int32_t(0x5000)) << "RRRRRRRRRRRGG";
    QTest::newRow("empty") << FieldValue() << kAllRed;
    QTest::newRow("null") << FieldValue::null() << kAllRed;
    QTest::newRow("false") << FieldValue(false) << kAllRed;
    QTest::newRow("true") << FieldValue(true) << kAllGreen;
    QTest::newRow("2.5 taken as 2") << FieldValue(2.5) << "RGRRRRRRRRRRR";
    QTest::newRow("3.5 taken as 4") << FieldValue(3.5) << "RRGRRRRRRRRRR";
    QTest::newRow("float 1151") << FieldValue(1151.0f) << "GGGGGGGRRRGRR";
    QTest::newRow("text 1151") << FieldValue(" 1151 ") << "GGGGGGGRRRGRR";
}

void PanelTest::lampWord()
{
    QFETCH(FieldValue, word);
    QFETCH(QString, pattern);

    PanelRig rig;
    rig.field(3).current = word;
    rig.panel->Timer1_Timer();
    QCOMPARE(servo2Pattern(rig), pattern);
}

void PanelTest::channelsAreIndependent()
{
    PanelRig rig;
    rig.field(3).current = FieldValue(std::int16_t(0));
    rig.field(4).current = FieldValue(std::int16_t(1)); // only the bit-0 row of servo 3
    rig.panel->Timer1_Timer();

    QCOMPARE(servo2Pattern(rig), kAllRed);
    // Servo 3's bit-0 lamp stands at the bottom of its column's numbering: Shape26.
    QCOMPARE(rig.lamp(26).fill, Colour::fromRgb(0x00FF00));
    for (int shape = 14; shape <= 25; ++shape)
        QCOMPARE(rig.lamp(shape).fill, Colour::fromRgb(0xFF0000));
    QVERIFY(!rig.log.calls.contains("read ZqNumber1"));
    QVERIFY(!rig.log.calls.contains("read ZqNumber2"));
}

void PanelTest::tickCallSequence()
{
    PanelRig rig;
    rig.field(3).current = FieldValue(std::int16_t(1));
    rig.field(4).current = FieldValue(std::int16_t(0));
    rig.panel->Timer1_Timer();

    QStringList expected;
    const int servo2Lamps[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    const int servo3Lamps[] = {26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14};
    for (int shape : servo2Lamps) {
        const bool green = shape == 1;
        expected
            << "read ZqNumber3"
            << QStringLiteral("fill Shape%1 %2").arg(shape).arg(green ? "#00ff00" : "#ff0000")
            << QStringLiteral("border Shape%1 %2").arg(shape).arg(green ? "#008000" : "#c00000");
    }
    for (int shape : servo3Lamps) {
        expected << "read ZqNumber4" << QStringLiteral("fill Shape%1 #ff0000").arg(shape)
                 << QStringLiteral("border Shape%1 #c00000").arg(shape);
    }
    QCOMPARE(rig.log.calls, expected);
}

void PanelTest::borderFailureStopsTickAtThatLamp()
{
    PanelRig rig;
    rig.field(3).current = FieldValue(std::int16_t(-1));
    rig.lamp(5).failBorder = true;

    try {
        rig.panel->Timer1_Timer();
        QFAIL("the border failure must end the tick");
    } catch (const Failure& f) {
        QCOMPARE(f.code(), FailureCode::LampFailed);
    }
    QCOMPARE(rig.lamp(4).fill, Colour::fromRgb(0x00FF00));
    QCOMPARE(rig.lamp(5).fill, Colour::fromRgb(0x00FF00));  // new fill
    QCOMPARE(rig.lamp(5).border, kSavedLampColours.border); // old border
    QCOMPARE(rig.lamp(6).fill, kSavedLampColours.fill);
    QCOMPARE(rig.lamp(26).fill, kSavedLampColours.fill);
    QCOMPARE(rig.log.calls.last(), "border Shape5 #008000");

    // The next tick starts again with row 1 of servo 2.
    rig.log.calls.clear();
    rig.lamp(5).failBorder = false;
    rig.panel->Timer1_Timer();
    QCOMPARE(rig.log.calls.first(), "read ZqNumber3");
    QCOMPARE(rig.log.calls.size(), 78);
}

void PanelTest::failedReadStopsTick()
{
    PanelRig rig;
    rig.field(4).failRead = true;
    QVERIFY_THROWS_EXCEPTION(Failure, rig.panel->Timer1_Timer());
    QCOMPARE(servo2Pattern(rig), kAllRed); // servo 2 was done before servo 3 failed
    QCOMPARE(rig.lamp(26).fill, kSavedLampColours.fill);
    QCOMPARE(rig.log.calls.last(), "read ZqNumber4");
}

void PanelTest::outOfRangeWordStopsTickBeforeAnyLamp()
{
    PanelRig rig;
    rig.field(3).current = FieldValue(1e10);
    try {
        rig.panel->Timer1_Timer();
        QFAIL("an out-of-range word must end the tick");
    } catch (const Failure& f) {
        QCOMPARE(f.code(), FailureCode::Overflow);
        QCOMPARE(f.number(), 6);
    }
    QCOMPARE(rig.log.calls, QStringList{"read ZqNumber3"});
}

void PanelTest::startStop_data()
{
    QTest::addColumn<FieldValue>("commandWord");
    QTest::addColumn<QString>("written"); // empty: nothing written

    QTest::newRow("1151 stops") << FieldValue(std::int16_t(1151)) << "Int16 1150";
    QTest::newRow("1151.0 stops") << FieldValue(1151.0) << "Int16 1150";
    QTest::newRow("int32 1151 stops") << FieldValue(std::int32_t(1151)) << "Int16 1150";
    QTest::newRow("text 1151 stops") << FieldValue("1151") << "Int16 1150";
    QTest::newRow("1150 runs") << FieldValue(std::int16_t(1150)) << "Int16 1151";
    QTest::newRow("0 runs") << FieldValue(std::int16_t(0)) << "Int16 1151";
    QTest::newRow("1152 runs") << FieldValue(std::int16_t(1152)) << "Int16 1151";
    QTest::newRow("1151.5 runs") << FieldValue(1151.5) << "Int16 1151";
    QTest::newRow("1150.9 runs") << FieldValue(1150.9) << "Int16 1151";
    QTest::newRow("empty runs") << FieldValue() << "Int16 1151";
    QTest::newRow("null runs") << FieldValue::null() << "Int16 1151";
    QTest::newRow("true runs") << FieldValue(true) << "Int16 1151";
    QTest::newRow("false runs") << FieldValue(false) << "Int16 1151";
    QTest::newRow("text not a number writes nothing") << FieldValue("running") << "";
}

void PanelTest::startStop()
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
    QCOMPARE(rig.log.calls, expected);
}

void PanelTest::clickTouchesOnlyItsOwnChannel()
{
    PanelRig rig;
    rig.panel->Command2_Click();
    QCOMPARE(rig.log.calls, (QStringList{"read ZqNumber2", "write ZqNumber2 Int16 1151"}));

    // Each click decides from what the field reports now: the second sees the first's write.
    rig.log.calls.clear();
    rig.panel->Command1_Click();
    rig.panel->Command1_Click();
    QCOMPARE(rig.log.calls, (QStringList{"read ZqNumber1", "write ZqNumber1 Int16 1151",
                                         "read ZqNumber1", "write ZqNumber1 Int16 1150"}));
}

void PanelTest::failedReadWritesNothing()
{
    PanelRig rig;
    rig.field(1).failRead = true;
    QVERIFY_THROWS_EXCEPTION(Failure, rig.panel->Command1_Click());
    QCOMPARE(rig.log.calls, QStringList{"read ZqNumber1"});
}

void PanelTest::failedWriteIsNotRetried()
{
    PanelRig rig;
    rig.field(2).failWrite = true;
    QVERIFY_THROWS_EXCEPTION(Failure, rig.panel->Command2_Click());
    QCOMPARE(rig.log.calls, (QStringList{"read ZqNumber2", "write ZqNumber2 Int16 1151"}));
}

void PanelTest::lookupByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("fieldNumber"); // 0: no field of that name
    QTest::addColumn<int>("lampNumber");  // 0: no lamp of that name

    QTest::newRow("first field") << "ZqNumber1" << 1 << 0;
    QTest::newRow("last field") << "ZqNumber8" << 8 << 0;
    QTest::newRow("field past the end") << "ZqNumber9" << 0 << 0;
    QTest::newRow("field with leading zero") << "ZqNumber01" << 0 << 0;
    QTest::newRow("first lamp") << "Shape1" << 0 << 1;
    QTest::newRow("last lamp") << "Shape26" << 0 << 26;
    QTest::newRow("lamp zero") << "Shape0" << 0 << 0;
    QTest::newRow("lamp with suffix") << "Shape2x" << 0 << 0;
    QTest::newRow("case matters") << "shape1" << 0 << 0;
}

void PanelTest::lookupByName()
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

void PanelTest::repeatedFailureKeepsOneReport()
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

QTEST_GUILESS_MAIN(PanelTest)
#include "tst_panel.moc"
