// node-opcua's certificate manager, an independent judge, on the application certificate this
// system makes: refused while unknown to it, accepted once in its trusted folder. The node
// process is started by the test, bounded in time, and works offline.

#include "opcua/pki/owncertificate.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

using namespace opcua::pki;
namespace fs = std::filesystem;

namespace {

const QString kNode = QStringLiteral(NODE_EXECUTABLE);
const QString kInteropDir = QStringLiteral(SERVO_PANEL_INTEROP_DIR);
const QString kScript = QStringLiteral(PKI_TEST_DATA_DIR "/verify_with_nodeopcua.js");
constexpr int kNodeTimeoutMs = 60000;

// node-opcua's verdict ("Good", "BadCertificateUntrusted", ...) with its PKI folder `pki`.
QString verdict(const fs::path& pki, const fs::path& certificate)
{
    QProcess node;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("NODE_PATH", kInteropDir + "/node_modules");
    node.setProcessEnvironment(environment);
    node.start(kNode, {kScript, QString::fromStdString(pki.string()),
                       QString::fromStdString(certificate.string())});
    if (!node.waitForFinished(kNodeTimeoutMs)) {
        node.kill();
        node.waitForFinished();
        return "node did not finish";
    }
    const QString output = QString::fromUtf8(node.readAllStandardOutput());
    const qsizetype at = output.indexOf("STATUS ");
    if (at < 0)
        return "no verdict: " + QString::fromUtf8(node.readAllStandardError());
    return output.mid(at + 7).section('\n', 0, 0).trimmed();
}

} // namespace

class TestNodeOpcua : public QObject
{
    Q_OBJECT

private slots:
    void trustsOurApplicationCertificateOnceTrusted();
};

void TestNodeOpcua::trustsOurApplicationCertificateOnceTrusted()
{
    QTemporaryDir dir;
    const fs::path root = dir.path().toStdString();
    const ApplicationIdentity identity{"servo-panel", "Servo Panel",
                                       "urn:" + localHostName() + ":servo-panel", localHostName()};
    const OwnCertificate own = loadOrCreateOwnCertificate(PkiFolder(root / "ours"), identity,
                                                          std::chrono::system_clock::now());
    const fs::path theirs = root / "theirs";

    QCOMPARE(verdict(theirs, own.certificateFile), "BadCertificateUntrusted");
    fs::copy_file(own.certificateFile, theirs / "trusted/certs/servo-panel.der");
    QCOMPARE(verdict(theirs, own.certificateFile), "Good");
}

QTEST_GUILESS_MAIN(TestNodeOpcua)
#include "tst_nodeopcua.moc"
