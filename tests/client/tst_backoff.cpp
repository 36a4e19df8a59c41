#include "opcua/client/backoff.h"
#include "opcua/client/endpoint.h"

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

    void endpoints_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("host"); // empty when the URL is refused
        QTest::addColumn<int>("port");
        QTest::newRow("host and port") << "opc.tcp://localhost:4840"
                                       << "localhost" << 4840;
        QTest::newRow("default port") << "opc.tcp://plc"
                                      << "plc" << 4840;
        QTest::newRow("path") << "opc.tcp://10.1.2.3:48010/UA/Server"
                              << "10.1.2.3" << 48010;
        QTest::newRow("scheme in capitals") << "OPC.TCP://h:1"
                                            << "h" << 1;
        QTest::newRow("IPv6") << "opc.tcp://[::1]:4841"
                              << "::1" << 4841;
        QTest::newRow("IPv6 default port") << "opc.tcp://[fe80::1]"
                                           << "fe80::1" << 4840;
        QTest::newRow("other scheme") << "opc.https://h:1"
                                      << "" << 0;
        QTest::newRow("no host") << "opc.tcp://:4840"
                                 << "" << 0;
        QTest::newRow("port zero") << "opc.tcp://h:0"
                                   << "" << 0;
        QTest::newRow("port too big") << "opc.tcp://h:65536"
                                      << "" << 0;
        QTest::newRow("port not a number") << "opc.tcp://h:48a"
                                           << "" << 0;
        QTest::newRow("empty port") << "opc.tcp://h:"
                                    << "" << 0;
        QTest::newRow("blank in host") << "opc.tcp://my host:1"
                                       << "" << 0;
        QTest::newRow("unclosed bracket") << "opc.tcp://[::1:4840"
                                          << "" << 0;
        QTest::newRow("empty") << ""
                               << "" << 0;
    }

    void endpoints()
    {
        QFETCH(QString, url);
        QFETCH(QString, host);
        QFETCH(int, port);
        std::string error;
        const auto endpoint = opcua::parseEndpoint(url.toStdString(), &error);
        if (host.isEmpty()) {
            QVERIFY(!endpoint);
            QVERIFY(!error.empty());
            return;
        }
        QVERIFY2(endpoint, error.c_str());
        QCOMPARE(QString::fromStdString(endpoint->host), host);
        QCOMPARE(int(endpoint->port), port);
        QCOMPARE(QString::fromStdString(endpoint->url), url);
    }
};

QTEST_GUILESS_MAIN(TestBackoff)
#include "tst_backoff.moc"
