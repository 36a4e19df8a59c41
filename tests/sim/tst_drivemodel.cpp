#include "sim/drivemodel.h"
#include "tests/support/quietdrive.h"

#include <QTest>
#include <cmath>
#include <vector>

using namespace servo::sim;
using servo::test::quietDriveSettings;

namespace {

// One moment in a drive's history: at time `at` the test writes a command word or a set point,
// or advances the drive and reads what it shows.
enum Kind { Command, SetPoint, Lamp, Speed, NextDue };
struct Step
{
    int at;
    Kind kind;
    double value; // written, or expected
};
using History = std::vector<Step>;

// What a drive stopped at 3 s, from 2107.5 rpm, by writing `word` shows afterwards.
History rampDownOn(std::int16_t word)
{
    return {{0, Command, kRunWord}, {3000, Speed, 2107.5}, {3000, Command, double(word)},
            {4000, Speed, 1107.5},  {5110, Speed, 0},      {9000, Speed, 0}};
}

} // namespace

// A change to the default drive settings.
using Change = void (*)(DriveSettings&);

Q_DECLARE_METATYPE(History)
Q_DECLARE_METATYPE(Change)

class TestDriveModel : public QObject
{
    Q_OBJECT

private slots:
    // Quiet drives (1000 rpm/s, no noise) with the given lamp delay and tick, from time 0.
    void historyIsAsWorkedOutByHand_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<int>("tickMs");
        QTest::addColumn<History>("history");
        QTest::newRow("delay ending between ticks")
            << 35 << 10
            << History{{7, Command, kRunWord}, {41, Lamp, kStopWord}, {42, Lamp, kRunWord}};
        QTest::newRow("no delay") << 0 << 10
                                  << History{{3, Command, kRunWord}, {3, Lamp, kRunWord}};
        QTest::newRow("next due is the take-over when it comes first")
            << 5 << 100
            << History{{0, NextDue, 100},
                       {12, Command, kRunWord},
                       {12, NextDue, 17},
                       {17, Lamp, kRunWord},
                       {17, NextDue, 100}};
        QTest::newRow("writes in flight taken over in order, each after 50 ms")
            << 50 << 10
            << History{{7, Command, kRunWord}, {20, Command, kStopWord}, {33, Command, 1234},
                       {56, Lamp, kStopWord},  {57, Lamp, kRunWord},     {70, Lamp, kStopWord},
                       {82, Lamp, kStopWord},  {83, Lamp, 1234}};
        // 70.25 % of 3000 rpm = 2107.5 rpm, reached after 2.1075 s and held there.
        QTest::newRow("ramp up to the set point")
            << 50 << 10
            << History{{0, Command, kRunWord}, {9, Speed, 0},       {10, Speed, 10},
                       {1000, Speed, 1000},    {2100, Speed, 2100}, {2110, Speed, 2107.5},
                       {60000, Speed, 2107.5}};
        QTest::newRow("down on the stop word") << 50 << 10 << rampDownOn(kStopWord);
        QTest::newRow("down on the run word plus one") << 50 << 10 << rampDownOn(kRunWord + 1);
        QTest::newRow("turning back in mid ramp")
            << 50 << 10
            << History{{0, Command, kRunWord}, {505, Speed, 500}, {505, Command, kStopWord},
                       {510, Speed, 490},      {800, Speed, 200}, {800, Command, kRunWord},
                       {900, Speed, 300}};
        QTest::newRow("new set point while running") << 50 << 10
                                                     << History{{0, Command, kRunWord},
                                                                {3000, SetPoint, 50},
                                                                {3500, Speed, 1607.5},
                                                                {4000, Speed, 1500}};
        // A write dated before the last advance counts as made at the last advance.
        QTest::newRow("time going backwards")
            << 50 << 10
            << History{{100, Command, kRunWord},  {200, Speed, 100},     {150, Speed, 100},
                       {120, Command, kStopWord}, {249, Lamp, kRunWord}, {250, Lamp, kStopWord}};
    }
    void historyIsAsWorkedOutByHand()
    {
        QFETCH(int, delayMs);
        QFETCH(int, tickMs);
        QFETCH(History, history);
        DriveSettings s = quietDriveSettings();
        s.lampDelayMs = delayMs;
        s.tickMs = tickMs;
        DriveModel drive(s, 0);
        // What the drive showed and what was expected, as "time: value", compared at the end so
        // that a failure names the first step that went wrong.
        QStringList shown, expected;
        for (const Step& step : history) {
            if (step.kind == Command) {
                drive.writeCommandWord(std::int16_t(step.value), step.at);
            } else if (step.kind == SetPoint) {
                QVERIFY(drive.writeSetSpeed(step.value, step.at));
            } else {
                drive.advanceTo(step.at);
                const double value = step.kind == Lamp    ? drive.lampWord()
                                     : step.kind == Speed ? drive.actualSpeed()
                                                          : double(drive.nextDueMs());
                shown << QStringLiteral("%1: %2").arg(step.at).arg(value);
                expected << QStringLiteral("%1: %2").arg(step.at).arg(step.value);
            }
        }
        QCOMPARE(shown, expected);
    }

    void setSpeedOutsideItsRangeIsRefused_data()
    {
        QTest::addColumn<double>("percent");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("0") << 0.0 << true;
        QTest::newRow("100") << 100.0 << true;
        QTest::newRow("below 0") << -0.001 << false;
        QTest::newRow("above 100") << 100.001 << false;
        QTest::newRow("not a number") << std::nan("") << false;
        QTest::newRow("infinite") << HUGE_VAL << false;
    }
    void setSpeedOutsideItsRangeIsRefused()
    {
        QFETCH(double, percent);
        QFETCH(bool, accepted);
        DriveModel drive(quietDriveSettings(), 0);
        QCOMPARE(drive.writeSetSpeed(percent, 0), accepted);
        QCOMPARE(drive.setSpeed(), accepted ? percent : kDefaultSetSpeed);
    }

    // The noise at a tick comes from the seed and the tick's number alone.
    void noiseIsBoundedAndDependsOnTheSeedAlone()
    {
        DriveSettings s = quietDriveSettings();
        s.noise = true;
        s.noiseRpm = 5.0;
        s.seed = 77;
        DriveModel everyMs(s, 0);
        DriveModel sometimes(s, 0);
        s.seed = 78;
        DriveModel otherSeed(s, 0);
        std::vector<double> a, b, c;
        for (DriveModel* drive : {&everyMs, &sometimes, &otherSeed})
            drive->writeCommandWord(kRunWord, 0);
        for (int t = 1; t <= 3000; ++t) {
            everyMs.advanceTo(t);
            const double deviation = everyMs.actualSpeed() - everyMs.trueSpeed();
            QVERIFY(everyMs.actualSpeed() >= 0.0);
            QVERIFY(std::abs(deviation) <= 5.0);
            if (t % 70 == 0) {
                sometimes.advanceTo(t);
                otherSeed.advanceTo(t);
                a.push_back(everyMs.actualSpeed());
                b.push_back(sometimes.actualSpeed());
                c.push_back(otherSeed.actualSpeed());
            }
        }
        QCOMPARE(a, b);
        QVERIFY(a != c);
        QCOMPARE(sometimes.trueSpeed(), otherSeed.trueSpeed());
        // Stopped and at rest, the drive reports exactly 0.
        everyMs.writeCommandWord(kStopWord, 3000);
        everyMs.advanceTo(8000);
        QCOMPARE(everyMs.actualSpeed(), 0.0);
    }

    void settingsAreChecked_data()
    {
        QTest::addColumn<Change>("change");
        QTest::addColumn<bool>("valid");
        QTest::newRow("defaults") << Change([](DriveSettings&) {}) << true;
        QTest::newRow("smallest of each") << Change([](DriveSettings& s) {
            s.tickMs = 1;
            s.lampDelayMs = 0;
            s.accelerationRpmPerS = 1;
            s.noiseRpm = 0;
        }) << true;
        QTest::newRow("zero tick") << Change([](DriveSettings& s) { s.tickMs = 0; }) << false;
        QTest::newRow("negative delay")
            << Change([](DriveSettings& s) { s.lampDelayMs = -1; }) << false;
        QTest::newRow("zero acceleration")
            << Change([](DriveSettings& s) { s.accelerationRpmPerS = 0; }) << false;
        QTest::newRow("nan acceleration")
            << Change([](DriveSettings& s) { s.accelerationRpmPerS = std::nan(""); }) << false;
        QTest::newRow("negative noise")
            << Change([](DriveSettings& s) { s.noiseRpm = -1; }) << false;
    }
    void settingsAreChecked()
    {
        QFETCH(Change, change);
        QFETCH(bool, valid);
        DriveSettings s;
        change(s);
        QCOMPARE(settingsError(s).empty(), valid);
    }
};

QTEST_GUILESS_MAIN(TestDriveModel)
#include "tst_drivemodel.moc"
