#include "opcua/client/backoff.h"

#include <QTest>

using opcua::ReconnectBackoff;

class TestBackoff : public QObject
{
    Q_OBJECT
private slots:
    void delaysStartAtHalfASecondDoubleAndStopNearFiveSeconds_data()
    {
        QTest::addColumn<double>("random");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("no jitter") << 0.5 << QList<int>{500, 1000, 2000, 4000, 5000, 5000, 5000};
        QTest::newRow("shortest jitter") << 0.0 << QList<int>{450, 900, 1800, 3600, 4500, 4500};
        QTest::newRow("longest jitter") << 1.0 << QList<int>{550, 1100, 2200, 4400, 5500, 5500};
    }

    void delaysStartAtHalfASecondDoubleAndStopNearFiveSeconds()
    {
        QFETCH(double, random);
        QFETCH(QList<int>, expected);
        ReconnectBackoff backoff([random] { return random; });
        for (int delay : expected)
            QCOMPARE(backoff.nextDelay().count(), delay);
    }

    void manyFailedAttemptsStayCapped()
    {
        ReconnectBackoff backoff([] { return 0.999; });
        for (int i = 0; i < 1000; ++i)
            QVERIFY(backoff.nextDelay().count() <= 5500);
    }

    void aConnectionStartsTheSeriesAgain()
    {
        ReconnectBackoff backoff([] { return 0.5; });
        backoff.nextDelay();
        backoff.nextDelay();
        backoff.reset();
        QCOMPARE(backoff.nextDelay().count(), 500);
    }

    void systemJitterStaysWithinATenth()
    {
        ReconnectBackoff backoff(opcua::systemRandom());
        const auto first = backoff.nextDelay().count();
        QVERIFY(first >= 450 && first <= 550);
    }
};

QTEST_GUILESS_MAIN(TestBackoff)
#include "tst_backoff.moc"
