// servo-sim against node-opcua's client: the test starts the simulator on a free port and
// runs conformance.js once per case; it also checks how servo-sim starts and stops.

#include "tests/support/childprocess.h"
#include "tests/support/nodeopcua.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

using servo::test::Simulator;

namespace {

constexpr int kStartMs = Simulator::kWaitMs;
constexpr int kCaseMs = 40000;

// Runs one case of a node-opcua script; its output when it fails, else an empty string.
QString runCase(const QStringList& arguments)
{
    QProcess node;
    node.setProcessChannelMode(QProcess::MergedChannels);
    node.setWorkingDirectory(SERVER_INTEROP_SCRIPTS);
    node.start(NODE_EXECUTABLE, arguments);
    if (!node.waitForStarted(kStartMs))
        return "node did not start";
    if (!node.waitForFinished(kCaseMs)) {
        node.kill();
        node.waitForFinished(kStartMs);
        return "the case did not finish in time";
    }
    const QString output = QString::fromUtf8(node.readAll());
    const bool passed = node.exitStatus() == QProcess::NormalExit && node.exitCode() == 0;
    return passed ? QString() : output + "\n(" + arguments.value(1) + ")";
}

} // namespace

class TestInteropServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        SKIP_OR_FAIL_WITHOUT_NODE_OPCUA(SERVO_PANEL_INTEROP_DIR);
        QVERIFY2(m_sim.start(SERVO_SIM), "servo-sim did not start");
        m_pki = QDir(QCoreApplication::applicationDirPath()).filePath("interop-server-pki");
    }

    // The shared simulator is stopped as a service manager stops it, and leaves cleanly.
    void cleanupTestCase()
    {
        if (m_sim.url.isEmpty())
            return; // never started: node-opcua is missing
        QCOMPARE(m_sim.process.state(), QProcess::Running);
        ::kill(pid_t(m_sim.process.processId()), SIGTERM);
        QVERIFY(m_sim.process.waitForFinished(kStartMs));
        QCOMPARE(m_sim.stop(), 0);
    }

    void nodeOpcuaClient_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* name : {"browse", "read", "write", "subscribe", "many-clients", "vanish"})
            QTest::newRow(name) << QString(name);
    }
    void nodeOpcuaClient()
    {
        QFETCH(QString, name);
        const QString failure =
            runCase({SERVER_INTEROP_SCRIPTS "/conformance.js", m_sim.url, name, m_pki});
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        // The simulator survived the case.
        QCOMPARE(m_sim.process.state(), QProcess::Running);
    }

    // Secured endpoints and a user: an unknown client is refused and kept in rejected/certs
    // until a person trusts it by moving the file; then every policy in both modes, token
    // renewals while encrypted, and right, wrong and missing passwords. node-opcua's client
    // takes servo-sim's certificate unknown, but only once its dates, signature and uses pass,
    // so a certificate it would refuse fails this test too.
    void nodeOpcuaClientInSecureMode()
    {
        QTemporaryDir dir;
        QVERIFY(servo::test::writePasswordFile(dir.filePath("password"), "s3cret word"));
        const QString pki = dir.filePath("pki");
        Simulator sim;
        QVERIFY(
            sim.start(SERVO_SIM, {"--security-mode", "Sign,SignAndEncrypt", "--user", "operator",
                                  "--password-file", dir.filePath("password"), "--pki", pki}));
        const auto secureCase = [&](const char* name) {
            return runCase({SERVER_INTEROP_SCRIPTS "/secure.js", sim.url, name,
                            dir.filePath("client-pki"), "operator", "s3cret word"});
        };
        QCOMPARE(secureCase("endpoints"), QString());
        QCOMPARE(secureCase("untrusted"), QString());
        const QDir rejected(pki + "/rejected/certs");
        const QStringList kept = rejected.entryList({"*.der"}, QDir::Files);
        QCOMPARE(kept.size(), 1);
        QVERIFY(QFile::rename(rejected.filePath(kept[0]), pki + "/trusted/certs/" + kept[0]));
        for (const char* name : {"policies", "renewals", "wrong-password", "missing-password"})
            QCOMPARE(secureCase(name), QString());
        QCOMPARE(sim.stop(), 0);
    }

    void badOptionsAreRefusedAndHelpIsShown_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("text");
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--lamp-delay-ms";
        QTest::newRow("port taken") << QStringList{"--port", "PORT"} << 1 << "cannot listen";
        QTest::newRow("user without password")
            << QStringList{"--user", "operator"} << 2 << "--password-file";
        QTest::newRow("unknown policy")
            << QStringList{"--security-policy", "Basic128Rsa15"} << 2 << "--security-policy";
    }
    void badOptionsAreRefusedAndHelpIsShown()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, text);
        if (arguments.contains("PORT")) {
            if (m_sim.url.isEmpty())
                QSKIP("no simulator running");
            arguments.replace(arguments.indexOf("PORT"), m_sim.url.section(':', -1));
        }
        QProcess sim;
        sim.start(SERVO_SIM, arguments);
        sim.closeWriteChannel();
        QVERIFY(sim.waitForFinished(kStartMs));
        QCOMPARE(sim.exitCode(), exitCode);
        const QString output =
            QString::fromUtf8(sim.readAllStandardOutput() + sim.readAllStandardError());
        QVERIFY2(output.contains(text), qPrintable(output));
    }

private:
    Simulator m_sim;
    QString m_pki;
};

QTEST_GUILESS_MAIN(TestInteropServer)
#include "tst_interop_server.moc"
