// The drives on an address space, stepped by a manual clock, and servo-sim's options.

#include "sim/options.h"
#include "sim/simulation.h"
#include "tests/support/manualclock.h"
#include "tests/support/quietdrive.h"

#include <QTest>

using namespace servo::sim;
using opcua::Variant;
using std::chrono::milliseconds;

namespace {

// The two drives on an address space of their own, quiet and stepped by hand.
struct SimRig
{
    opcua::ManualClock clock;
    opcua::AddressSpace space;
    Simulation sim{space, clock, servo::test::quietDriveSettings()};

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
const Variant kStop = Variant::fromScalar(int16_t(1150));

} // namespace

class TestSimulation : public QObject
{
    Q_OBJECT

private slots:
    void lampWordFollowsAWrittenCommandWord()
    {
        SimRig rig;
        Recorder lamp;
        auto* lampNode = rig.space.find(rig.sim.nodeId(0, DriveVariable::LampWord));
        rig.space.watch(*lampNode, &lamp);

        rig.clock.advance(milliseconds(3));
        QCOMPARE(rig.write(0, DriveVariable::CommandWord, kRun), opcua::status::Good);
        rig.clock.advance(milliseconds(49));
        QVERIFY(lamp.values.empty());
        rig.clock.advance(milliseconds(1));
        QCOMPARE(lamp.values, std::vector<Variant>{kRun});
        QCOMPARE(rig.valueOf(1, DriveVariable::LampWord), kStop); // servo 3 is untouched
        rig.space.unwatch(*lampNode, &lamp);
    }

    void actualSpeedRampsOnTheClock()
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
        rig.write(1, DriveVariable::CommandWord, kStop);
        rig.clock.advance(milliseconds(600));
        QCOMPARE(rig.valueOf(1, DriveVariable::ActualSpeed), Variant::fromScalar(0.0));
    }

    void writesAreCheckedByTypeAccessAndRange_data()
    {
        QTest::addColumn<int>("variable");
        QTest::addColumn<Variant>("value");
        QTest::addColumn<quint32>("expected");
        const auto cmd = int(DriveVariable::CommandWord);
        const auto set = int(DriveVariable::SetSpeed);
        QTest::newRow("command word Int16") << cmd << Variant::fromScalar(int16_t(5)) << 0u;
        QTest::newRow("command word Int32")
            << cmd << Variant::fromScalar(int32_t(5)) << opcua::status::BadTypeMismatch.code;
        QTest::newRow("set speed 100") << set << Variant::fromScalar(100.0) << 0u;
        QTest::newRow("set speed Float")
            << set << Variant::fromScalar(50.0f) << opcua::status::BadTypeMismatch.code;
        QTest::newRow("set speed 101")
            << set << Variant::fromScalar(101.0) << opcua::status::BadOutOfRange.code;
        QTest::newRow("set speed -1")
            << set << Variant::fromScalar(-1.0) << opcua::status::BadOutOfRange.code;
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
        QCOMPARE(rig.valueOf(0, DriveVariable(variable)), expected == 0 ? value : before);
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
        if (parsed.outcome == ParsedOptions::Outcome::Run) {
            const SimOptions& o = parsed.options;
            const QString shown = QString("%1:%2 %3 %4 %5")
                                      .arg(QString::fromStdString(o.host))
                                      .arg(o.port)
                                      .arg(o.drive.lampDelayMs)
                                      .arg(o.drive.tickMs)
                                      .arg(o.drive.noise ? "noise" : "quiet");
            QCOMPARE(shown, check);
        } else {
            QVERIFY(!parsed.text.empty());
        }
    }
};

QTEST_GUILESS_MAIN(TestSimulation)
#include "tst_simulation.moc"
