#include "sim/drivemodel.h"
#include "tests/support/quietdrive.h"

#include <QTest>
#include <cmath>
#include <vector>

using namespace servo::sim;
using servo::test::quietDriveSettings;

class TestDriveModel : public QObject
{
    Q_OBJECT

private slots:
    void startsStoppedWithDefaultSetPoint()
    {
        DriveModel drive(DriveSettings{});
        QCOMPARE(drive.commandWord(), kStopWord);
        QCOMPARE(drive.lampWord(), kStopWord);
        QCOMPARE(drive.setSpeed(), 70.25);
        QCOMPARE(drive.actualSpeed(), 0.0);
    }

    void lampWordFollowsAfterTheDelay_data()
    {
        QTest::addColumn<qint64>("delayMs");
        QTest::addColumn<qint64>("tickMs");
        QTest::newRow("default 50 ms, 10 ms tick") << qint64(50) << qint64(10);
        QTest::newRow("delay between ticks") << qint64(33) << qint64(10);
        QTest::newRow("delay shorter than a tick") << qint64(3) << qint64(100);
        QTest::newRow("1 ms tick") << qint64(50) << qint64(1);
    }
    void lampWordFollowsAfterTheDelay()
    {
        QFETCH(qint64, delayMs);
        QFETCH(qint64, tickMs);
        DriveSettings s = quietDriveSettings();
        s.lampDelayMs = delayMs;
        s.tickMs = tickMs;
        DriveModel drive(s, 1000);

        drive.writeCommandWord(kRunWord, 1007);
        QCOMPARE(drive.commandWord(), kRunWord);
        QCOMPARE(drive.lampWord(), kStopWord);
        drive.advanceTo(1007 + delayMs - 1);
        QCOMPARE(drive.lampWord(), kStopWord);
        drive.advanceTo(1007 + delayMs);
        QCOMPARE(drive.lampWord(), kRunWord);
    }

    void nextDueNamesTheLampTakeOverWhenItComesFirst()
    {
        DriveSettings s = quietDriveSettings();
        s.lampDelayMs = 5;
        s.tickMs = 100;
        DriveModel drive(s, 0);
        QCOMPARE(drive.nextDueMs(), qint64(100));
        drive.writeCommandWord(kRunWord, 12);
        QCOMPARE(drive.nextDueMs(), qint64(17));
        drive.advanceTo(drive.nextDueMs());
        QCOMPARE(drive.lampWord(), kRunWord);
        QCOMPARE(drive.nextDueMs(), qint64(100));
    }

    void writesInFlightAreTakenOverInOrder()
    {
        DriveModel drive(quietDriveSettings(), 0);
        drive.writeCommandWord(kRunWord, 0);
        drive.writeCommandWord(kStopWord, 20);
        drive.writeCommandWord(1234, 30);
        drive.advanceTo(50);
        QCOMPARE(drive.lampWord(), kRunWord);
        drive.advanceTo(70);
        QCOMPARE(drive.lampWord(), kStopWord);
        drive.advanceTo(79);
        QCOMPARE(drive.lampWord(), kStopWord);
        drive.advanceTo(80);
        QCOMPARE(drive.lampWord(), std::int16_t(1234));
    }

    void zeroDelayTakesTheWordAtOnce()
    {
        DriveSettings s = quietDriveSettings();
        s.lampDelayMs = 0;
        DriveModel drive(s, 0);
        drive.writeCommandWord(kRunWord, 3);
        QCOMPARE(drive.lampWord(), kRunWord);
    }

    void rampsUpAtTheAccelerationAndHoldsTheTarget()
    {
        DriveModel drive(quietDriveSettings(), 0); // 1000 rpm/s, 10 ms ticks
        drive.writeCommandWord(kRunWord, 0);
        drive.advanceTo(9);
        QCOMPARE(drive.actualSpeed(), 0.0); // no tick yet
        drive.advanceTo(10);
        QCOMPARE(drive.actualSpeed(), 10.0);
        drive.advanceTo(1000);
        QCOMPARE(drive.actualSpeed(), 1000.0);
        drive.advanceTo(2000);
        QCOMPARE(drive.actualSpeed(), 2000.0);
        // 70.25 % of 3000 rpm = 2107.5 rpm, reached after 2.1075 s and held there.
        drive.advanceTo(2100);
        QCOMPARE(drive.actualSpeed(), 2100.0);
        drive.advanceTo(2110);
        QCOMPARE(drive.actualSpeed(), 2107.5);
        drive.advanceTo(60000);
        QCOMPARE(drive.actualSpeed(), 2107.5);
    }

    void rampsDownToZeroOnAnyOtherWord_data()
    {
        QTest::addColumn<int>("word");
        QTest::newRow("stop word") << int(kStopWord);
        QTest::newRow("zero") << 0;
        QTest::newRow("run word plus one") << int(kRunWord) + 1;
    }
    void rampsDownToZeroOnAnyOtherWord()
    {
        QFETCH(int, word);
        DriveModel drive(quietDriveSettings(), 0);
        drive.writeCommandWord(kRunWord, 0);
        drive.advanceTo(3000);
        QCOMPARE(drive.actualSpeed(), 2107.5);
        drive.writeCommandWord(std::int16_t(word), 3000);
        drive.advanceTo(4000);
        QCOMPARE(drive.actualSpeed(), 1107.5);
        drive.advanceTo(5110);
        QCOMPARE(drive.actualSpeed(), 0.0);
        drive.advanceTo(9000);
        QCOMPARE(drive.actualSpeed(), 0.0);
    }

    void stopInMidRampTurnsBackFromWhereItWas()
    {
        DriveModel drive(quietDriveSettings(), 0);
        drive.writeCommandWord(kRunWord, 0);
        drive.advanceTo(505);
        QCOMPARE(drive.actualSpeed(), 500.0);
        drive.writeCommandWord(kStopWord, 505);
        drive.advanceTo(510);
        QCOMPARE(drive.actualSpeed(), 490.0);
        drive.advanceTo(800);
        QCOMPARE(drive.actualSpeed(), 200.0);
        drive.writeCommandWord(kRunWord, 800);
        drive.advanceTo(900);
        QCOMPARE(drive.actualSpeed(), 300.0);
    }

    void newSetPointWhileRunningMovesTheTarget()
    {
        DriveModel drive(quietDriveSettings(), 0);
        drive.writeCommandWord(kRunWord, 0);
        drive.advanceTo(3000);
        QVERIFY(drive.writeSetSpeed(50.0, 3000));
        QCOMPARE(drive.targetSpeed(), 1500.0);
        drive.advanceTo(3500);
        QCOMPARE(drive.actualSpeed(), 1607.5);
        drive.advanceTo(4000);
        QCOMPARE(drive.actualSpeed(), 1500.0);
    }

    void setSpeedOutsideItsRangeIsRefused_data()
    {
        QTest::addColumn<double>("percent");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("0") << 0.0 << true;
        QTest::newRow("100") << 100.0 << true;
        QTest::newRow("42.5") << 42.5 << true;
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

    void noiseOffGivesTheExactRamp()
    {
        DriveModel drive(quietDriveSettings(), 0);
        drive.writeCommandWord(kRunWord, 0);
        for (int t = 10; t <= 3000; t += 10) {
            drive.advanceTo(t);
            QCOMPARE(drive.actualSpeed(), drive.trueSpeed());
        }
    }

    void noiseStaysWithinItsAmplitudeAndNeverBelowZero()
    {
        DriveSettings s = quietDriveSettings();
        s.noise = true;
        s.noiseRpm = 5.0;
        DriveModel drive(s, 0);
        drive.writeCommandWord(kRunWord, 0);
        bool sawNoise = false;
        for (int t = 10; t <= 3000; t += 10) {
            drive.advanceTo(t);
            const double deviation = drive.actualSpeed() - drive.trueSpeed();
            QVERIFY(drive.actualSpeed() >= 0.0);
            QVERIFY(std::abs(deviation) <= 5.0);
            sawNoise = sawNoise || deviation != 0.0;
        }
        QVERIFY(sawNoise);
        // Stopped and at rest, the drive reports exactly 0.
        drive.writeCommandWord(kStopWord, 3000);
        drive.advanceTo(8000);
        QCOMPARE(drive.actualSpeed(), 0.0);
    }

    void sameSeedSameSpeedsHoweverOftenAdvanced()
    {
        DriveSettings s = quietDriveSettings();
        s.noise = true;
        s.seed = 77;
        DriveModel everyTick(s, 0);
        DriveModel sometimes(s, 0);
        everyTick.writeCommandWord(kRunWord, 0);
        sometimes.writeCommandWord(kRunWord, 0);
        std::vector<double> a, b;
        for (int t = 1; t <= 1000; ++t) {
            everyTick.advanceTo(t);
            if (t % 70 == 0) {
                sometimes.advanceTo(t);
                a.push_back(everyTick.actualSpeed());
                b.push_back(sometimes.actualSpeed());
            }
        }
        QCOMPARE(a, b);
    }

    void otherSeedOtherNoise()
    {
        DriveSettings s = quietDriveSettings();
        s.noise = true;
        s.seed = 1;
        DriveModel one(s, 0);
        s.seed = 2;
        DriveModel two(s, 0);
        one.writeCommandWord(kRunWord, 0);
        two.writeCommandWord(kRunWord, 0);
        one.advanceTo(500);
        two.advanceTo(500);
        QCOMPARE(one.trueSpeed(), two.trueSpeed());
        QVERIFY(one.actualSpeed() != two.actualSpeed());
    }

    void timeGoingBackwardsChangesNothing()
    {
        DriveModel drive(quietDriveSettings(), 0);
        drive.writeCommandWord(kRunWord, 100);
        drive.advanceTo(200);
        const double speed = drive.actualSpeed();
        drive.advanceTo(150);
        QCOMPARE(drive.actualSpeed(), speed);
        drive.writeCommandWord(kStopWord, 120); // taken as written at 200
        drive.advanceTo(249);
        QCOMPARE(drive.lampWord(), kRunWord);
        drive.advanceTo(250);
        QCOMPARE(drive.lampWord(), kStopWord);
    }

    void settingsAreChecked_data()
    {
        QTest::addColumn<qint64>("tickMs");
        QTest::addColumn<qint64>("delayMs");
        QTest::addColumn<double>("acceleration");
        QTest::addColumn<double>("noise");
        QTest::addColumn<bool>("valid");
        QTest::newRow("defaults") << qint64(10) << qint64(50) << 1500.0 << 1.0 << true;
        QTest::newRow("1 ms tick, no delay") << qint64(1) << qint64(0) << 1.0 << 0.0 << true;
        QTest::newRow("zero tick") << qint64(0) << qint64(50) << 1500.0 << 1.0 << false;
        QTest::newRow("negative delay") << qint64(10) << qint64(-1) << 1500.0 << 1.0 << false;
        QTest::newRow("zero acceleration") << qint64(10) << qint64(50) << 0.0 << 1.0 << false;
        QTest::newRow("nan acceleration")
            << qint64(10) << qint64(50) << std::nan("") << 1.0 << false;
        QTest::newRow("negative noise") << qint64(10) << qint64(50) << 1500.0 << -1.0 << false;
    }
    void settingsAreChecked()
    {
        QFETCH(qint64, tickMs);
        QFETCH(qint64, delayMs);
        QFETCH(double, acceleration);
        QFETCH(double, noise);
        QFETCH(bool, valid);
        DriveSettings s;
        s.tickMs = tickMs;
        s.lampDelayMs = delayMs;
        s.accelerationRpmPerS = acceleration;
        s.noiseRpm = noise;
        QCOMPARE(settingsError(s).empty(), valid);
    }
};

QTEST_GUILESS_MAIN(TestDriveModel)
#include "tst_drivemodel.moc"
