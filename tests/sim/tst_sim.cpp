// The drive model, worked out by hand; the drives on an address space, stepped by a manual
// clock; and servo-sim's options.

#include "sim/options.h"
#include "sim/simulation.h"
#include "tests/support/manualclock.h"
#include "tests/support/quietdrive.h"

#include <QTest>
#include <cmath>
#include <vector>

using namespace servo::sim;
using opcua::Variant;
using servo::test::quietDriveSettings;
using std::chrono::milliseconds;

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

// The two drives on an address space of their own, quiet and stepped by hand.
struct SimRig
{
    opcua::ManualClock clock;
    opcua::AddressSpace space;
    Simulation sim{space, clock, quietDriveSettings()};

    opcua::StatusCode write(size_t servo, DriveVariable variable, Variant value)
    {
        opcua::WriteValue item;
        item.nodeId = sim.nodeId(servo, variable);
        item.value.value = std::move(value);
        return space.write(item);
    }
    Variant valueOf(size_t servo, DriveVariable variable) const
    {
        return *space.find(sim.nodeId(servo, variable))->value.value;
    }
};

// Counts the values a monitored item would see.
struct Recorder : opcua::ValueWatcher
{
    void valueChanged(const opcua::DataValue& value) override { values.push_back(*value.value); }
    std::vector<Variant> values;
};

const Variant kRun = Variant::fromScalar(int16_t(1151));

} // namespace

Q_DECLARE_METATYPE(History)
Q_DECLARE_METATYPE(DriveSettings)

class TestSim : public QObject
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
        for (DriveModel* drive : {&everyMs, &sometimes, &otherSeed})
            drive->writeCommandWord(kRunWord, 0);
        int seedsAgree = 0;
        for (int t = 1; t <= 3000; ++t) {
            everyMs.advanceTo(t);
            QVERIFY(everyMs.actualSpeed() >= 0.0);
            QVERIFY(std::abs(everyMs.actualSpeed() - everyMs.trueSpeed()) <= 5.0);
            if (t % 70 == 0) {
                sometimes.advanceTo(t);
                otherSeed.advanceTo(t);
                QCOMPARE(sometimes.actualSpeed(), everyMs.actualSpeed());
                QCOMPARE(otherSeed.trueSpeed(), sometimes.trueSpeed());
                seedsAgree += otherSeed.actualSpeed() == sometimes.actualSpeed();
            }
        }
        QVERIFY(seedsAgree < 3000 / 70);
        // Stopped and at rest, the drive reports exactly 0.
        everyMs.writeCommandWord(kStopWord, 3000);
        everyMs.advanceTo(8000);
        QCOMPARE(everyMs.actualSpeed(), 0.0);
    }

    void settingsAreChecked_data()
    {
        QTest::addColumn<DriveSettings>("settings");
        QTest::addColumn<bool>("valid");
        QTest::newRow("defaults") << DriveSettings{} << true;
        QTest::newRow("smallest of each")
            << DriveSettings{.lampDelayMs = 0, .accelerationRpmPerS = 1, .tickMs = 1, .noiseRpm = 0}
            << true;
        QTest::newRow("zero tick") << DriveSettings{.tickMs = 0} << false;
        QTest::newRow("negative delay") << DriveSettings{.lampDelayMs = -1} << false;
        QTest::newRow("zero acceleration") << DriveSettings{.accelerationRpmPerS = 0} << false;
        QTest::newRow("nan acceleration")
            << DriveSettings{.accelerationRpmPerS = std::nan("")} << false;
        QTest::newRow("negative noise") << DriveSettings{.noiseRpm = -1} << false;
    }
    void settingsAreChecked()
    {
        QFETCH(DriveSettings, settings);
        QFETCH(bool, valid);
        QCOMPARE(settingsError(settings).empty(), valid);
    }

    // A write reaches the drive it names; the nodes then follow the model on the clock's timers,
    // the lamp word at the take-over and not before.
    void nodesFollowTheirDriveOnTheClock()
    {
        SimRig rig;
        rig.write(1, DriveVariable::CommandWord, kRun);
        rig.clock.advance(milliseconds(1000));
        QCOMPARE(rig.valueOf(1, DriveVariable::ActualSpeed), Variant::fromScalar(1000.0));
        QCOMPARE(rig.valueOf(0, DriveVariable::ActualSpeed), Variant::fromScalar(0.0));
        QCOMPARE(rig.write(1, DriveVariable::SetSpeed, Variant::fromScalar(20.0)),
                 opcua::status::Good);
        rig.clock.advance(milliseconds(1000));
        QCOMPARE(rig.valueOf(1, DriveVariable::ActualSpeed), Variant::fromScalar(600.0));

        Recorder lamp;
        auto* lampNode = rig.space.find(rig.sim.nodeId(0, DriveVariable::LampWord));
        rig.space.watch(*lampNode, &lamp);
        rig.clock.advance(milliseconds(3));
        QCOMPARE(rig.write(0, DriveVariable::CommandWord, kRun), opcua::status::Good);
        rig.clock.advance(milliseconds(49));
        QVERIFY(lamp.values.empty());
        rig.clock.advance(milliseconds(1));
        QCOMPARE(lamp.values, std::vector<Variant>{kRun});
        rig.space.unwatch(*lampNode, &lamp);
    }

    void writesAreCheckedByTypeAccessAndRange_data()
    {
        QTest::addColumn<int>("variable");
        QTest::addColumn<Variant>("value");
        QTest::addColumn<quint32>("expected");
        const auto cmd = int(DriveVariable::CommandWord);
        const auto set = int(DriveVariable::SetSpeed);
        QTest::newRow("command word Int32")
            << cmd << Variant::fromScalar(int32_t(5)) << opcua::status::BadTypeMismatch.code;
        QTest::newRow("set speed Float")
            << set << Variant::fromScalar(50.0f) << opcua::status::BadTypeMismatch.code;
        QTest::newRow("set speed 101")
            << set << Variant::fromScalar(101.0) << opcua::status::BadOutOfRange.code;
        QTest::newRow("lamp word")
            << int(DriveVariable::LampWord) << kRun << opcua::status::BadNotWritable.code;
        QTest::newRow("actual speed") << int(DriveVariable::ActualSpeed) << Variant::fromScalar(1.0)
                                      << opcua::status::BadNotWritable.code;
    }
    void writesAreCheckedByTypeAccessAndRange()
    {
        QFETCH(int, variable);
        QFETCH(Variant, value);
        QFETCH(quint32, expected);
        SimRig rig;
        const Variant before = rig.valueOf(0, DriveVariable(variable));
        QCOMPARE(rig.write(0, DriveVariable(variable), value).code, expected);
        QCOMPARE(rig.valueOf(0, DriveVariable(variable)), before); // refused, so nothing changed
    }

    void optionsAreReadAndChecked_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("check"); // what the parsed options must show
        const int run = int(ParsedOptions::Outcome::Run);
        const int help = int(ParsedOptions::Outcome::ShowHelp);
        const int bad = int(ParsedOptions::Outcome::BadOption);
        QTest::newRow("defaults") << QStringList{} << run << "127.0.0.1:4840 50 10 noise";
        QTest::newRow("host and port")
            << QStringList{"--host", "0.0.0.0", "--port=0"} << run << "0.0.0.0:0 50 10 noise";
        QTest::newRow("model") << QStringList{"--lamp-delay-ms", "0", "--tick-ms", "1",
                                              "--no-noise"}
                               << run << "127.0.0.1:4840 0 1 quiet";
        QTest::newRow("noise off")
            << QStringList{"--noise", "off"} << run << "127.0.0.1:4840 50 10 quiet";
        QTest::newRow("help") << QStringList{"--port", "1", "--help"} << help << "";
        QTest::newRow("unknown") << QStringList{"--colour"} << bad << "";
        QTest::newRow("missing value") << QStringList{"--port"} << bad << "";
        QTest::newRow("port out of range") << QStringList{"--port", "65536"} << bad << "";
        QTest::newRow("port not a number") << QStringList{"--port", "48x"} << bad << "";
        QTest::newRow("zero tick") << QStringList{"--tick-ms", "0"} << bad << "";
        QTest::newRow("noise maybe") << QStringList{"--noise", "maybe"} << bad << "";
        QTest::newRow("floor below 1 ms")
            << QStringList{"--min-publishing-interval-ms", "0.5"} << bad << "";
        QTest::newRow("switch with value") << QStringList{"--no-noise=1"} << bad << "";
    }
    void optionsAreReadAndChecked()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, outcome);
        QFETCH(QString, check);
        std::vector<std::string> args;
        for (const QString& a : arguments)
            args.push_back(a.toStdString());
        const ParsedOptions parsed = parseOptions(args);
        QCOMPARE(int(parsed.outcome), outcome);
        // Help and refusals come with a text; a run does not.
        QCOMPARE(parsed.text.empty(), check != "");
        const SimOptions& o = parsed.options;
        if (parsed.outcome == ParsedOptions::Outcome::Run)
            QCOMPARE(QString::asprintf("%s:%d %lld %lld %s", o.host.c_str(), o.port,
                                       qlonglong(o.drive.lampDelayMs), qlonglong(o.drive.tickMs),
                                       o.drive.noise ? "noise" : "quiet"),
                     check);
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
