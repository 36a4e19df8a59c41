// The whole system on one machine: servo-sim on a free loopback port, and the panel's window,
// offscreen, with DatCon1 connected to it over OPC UA, without security anonymously and with a
// user name, and signed and encrypted with a user name.
#include "processdata/opcua/dataconnectionconfig.h"
#include "processdata/opcua/opcuaprocessdata.h"
#include "tests/support/childprocess.h"
#include "window/form1.h"
#include "window/lampwidget.h"

#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace servo;

Q_DECLARE_METATYPE(opcua::MessageSecurityMode)

namespace {

constexpr int kWaitMs = 10000;

const Colour kGreen = Colour::fromRgb(0x00FF00);
const Colour kRed = Colour::fromRgb(0xFF0000);

const QString kUser = QStringLiteral("operator");

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home; // the simulator's PKI, the password file and the panel's data folder
    test::Simulator m_sim;

private slots:
    void initTestCase()
    {
        const QString passwordFile = m_home.filePath("operator.password");
        QVERIFY(test::writePasswordFile(passwordFile, "drive on"));
        QVERIFY2(
            m_sim.start(SERVO_SIM, {"--security-mode", "None,SignAndEncrypt", "--user", kUser,
                                    "--password-file", passwordFile, "--allow-anonymous", "--pki",
                                    m_home.filePath("sim-pki"), "--accept-client-certificates"}),
            "servo-sim did not get ready");
    }

    // Without security, a user name's password is encrypted as the simulator's user token
    // policy says, to its certificate.
    void clicksStartAndStopServo2_data()
    {
        QTest::addColumn<opcua::MessageSecurityMode>("mode");
        QTest::addColumn<bool>("user");
        QTest::newRow("security None, anonymous") << opcua::MessageSecurityMode::None << false;
        QTest::newRow("security None with a user name") << opcua::MessageSecurityMode::None << true;
        QTest::newRow("SignAndEncrypt with a user name")
            << opcua::MessageSecurityMode::SignAndEncrypt << true;
    }

    void clicksStartAndStopServo2()
    {
        QFETCH(opcua::MessageSecurityMode, mode);
        QFETCH(bool, user);
        DataConnectionConfig config = DataConnectionConfig::defaults();
        config.endpoint = m_sim.url.toStdString();
        config.publishingIntervalMs = 10;
        config.samplingIntervalMs = 10;
        if (user) {
            // The panel trusts the simulator as an operator would: its certificate copied into the
            // panel's trusted/certs before the start.
            qputenv("XDG_DATA_HOME", m_home.filePath("panel").toUtf8());
            const QString trusted = panelPkiPath() + "/trusted/certs";
            QVERIFY(QDir().mkpath(trusted));
            QVERIFY(QFile::exists(trusted + "/servo-sim.der") ||
                    QFile::copy(m_home.filePath("sim-pki/own/certs/servo-sim.der"),
                                trusted + "/servo-sim.der"));
            config.securityMode = mode;
            config.user = kUser.toStdString();
            config.passwordFile = m_home.filePath("operator.password").toStdString();
        }
        Form1 form(makeOpcUaProcessData(config));
        form.show();

        const auto lamp = [&form](int number) {
            return form.findChild<LampWidget*>(QStringLiteral("Shape%1").arg(number));
        };
        auto* command1 = form.findChild<QPushButton*>("Command1");
        QVERIFY(command1 && lamp(1) && lamp(2) && lamp(25) && lamp(26));

        // The drives start stopped: once live values have arrived, servo 2's "ON/OFF 2" lamp is
        // green and its "ON/OFF 1" lamp red.
        QTRY_VERIFY_WITH_TIMEOUT(
            lamp(2)->fillColour() == kGreen && lamp(25)->fillColour() == kGreen, kWaitMs);
        QCOMPARE(lamp(1)->fillColour(), kRed);

        QTest::mouseClick(command1, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(lamp(1)->fillColour(), kGreen, kWaitMs);
        // Servo 3's lamps show servo 3's own word, which the click left at stop.
        QCOMPARE(lamp(26)->fillColour(), kRed);

        QTest::mouseClick(command1, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(lamp(1)->fillColour(), kRed, kWaitMs);

        QVERIFY(!form.failureReports().openReport());
    }
};

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
