#include "opcua/securechannel.h"
#include "opcua/security/keys.h"
#include "tests/opcua/testbytes.h"
#include "tests/security/testcrypto.h"
#include "tests/security/vectors.h"

#include <QTest>

using namespace opcua;
using namespace opcua::security;
using testbytes::hex;
using testcrypto::statusOf;

class TestKeys : public QObject
{
    Q_OBJECT

private slots:
    void refusesPoliciesItDoesNotSpeak_data();
    void refusesPoliciesItDoesNotSpeak();
    void channelKeysMatchNodeOpcua_data();
    void channelKeysMatchNodeOpcua();
    void refusesNoncesOfOtherLengths_data();
    void refusesNoncesOfOtherLengths();
};

void TestKeys::refusesPoliciesItDoesNotSpeak_data()
{
    QTest::addColumn<QString>("uri");
    const QString prefix = "http://opcfoundation.org/UA/SecurityPolicy#";
    // Policies with SHA-1 signatures or RSA-PKCS#1 v1.5 encryption are deprecated and unsafe.
    QTest::newRow("Basic256") << prefix + "Basic256";
    QTest::newRow("Basic128Rsa15") << prefix + "Basic128Rsa15";
    QTest::newRow("case differs") << prefix + "basic256sha256";
    QTest::newRow("empty") << QString();
}

// The policies it speaks are found by every test that reads node-opcua's bytes.
void TestKeys::refusesPoliciesItDoesNotSpeak()
{
    QFETCH(QString, uri);
    const std::string text = uri.toStdString();
    QVERIFY(findSecurityPolicy(text) == nullptr);
    QCOMPARE(statusOf([&] { securityPolicy(text); }), "BadSecurityPolicyRejected");
}

void TestKeys::channelKeysMatchNodeOpcua_data()
{
    vectors::addRows("channelKeys");
}

void TestKeys::channelKeysMatchNodeOpcua()
{
    QFETCH(QJsonObject, vector);
    const ChannelKeys derived = deriveChannelKeys(
        securityPolicy(vector["policyUri"].toString().toStdString()),
        vectors::bytes(vector["clientNonce"]), vectors::bytes(vector["serverNonce"]));
    for (const auto& [side, keys] :
         {std::pair{"client", derived.client}, {"server", derived.server}}) {
        const QJsonValue expected = vector[side];
        QCOMPARE(hex(keys.signingKey), hex(vectors::bytes(expected["signingKey"])));
        QCOMPARE(hex(keys.encryptingKey), hex(vectors::bytes(expected["encryptingKey"])));
        QCOMPARE(hex(keys.iv), hex(vectors::bytes(expected["iv"])));
    }
}

void TestKeys::refusesNoncesOfOtherLengths_data()
{
    QTest::addColumn<int>("clientNonceSize");
    QTest::addColumn<int>("serverNonceSize");
    QTest::addColumn<QString>("expected");

    QTest::newRow("both 32 bytes") << 32 << 32 << "Good";
    QTest::newRow("client's short") << 31 << 32 << "BadNonceInvalid";
    QTest::newRow("server's long") << 32 << 33 << "BadNonceInvalid";
    QTest::newRow("client's missing") << 0 << 32 << "BadNonceInvalid";
}

void TestKeys::refusesNoncesOfOtherLengths()
{
    QFETCH(int, clientNonceSize);
    QFETCH(int, serverNonceSize);
    QFETCH(QString, expected);

    const ByteBuffer clientNonce(size_t(clientNonceSize), 0x11);
    const ByteBuffer serverNonce(size_t(serverNonceSize), 0x22);
    const SecurityPolicy& policy = testcrypto::policyNamed("Basic256Sha256");
    QCOMPARE(QString::fromStdString(
                 statusOf([&] { deriveChannelKeys(policy, clientNonce, serverNonce); })),
             expected);
    // Policy None derives nothing, so it has no nonce to check.
    const ChannelKeys none =
        deriveChannelKeys(securityPolicy(kSecurityPolicyNone), clientNonce, serverNonce);
    QVERIFY(none.client == SymmetricKeys{} && none.server == SymmetricKeys{});
}

QTEST_GUILESS_MAIN(TestKeys)
#include "tst_keys.moc"
