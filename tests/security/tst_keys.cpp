#include "opcua/securechannel.h"
#include "opcua/security/keys.h"
#include "tests/opcua/testbytes.h"
#include "tests/security/testcrypto.h"
#include "tests/security/vectors.h"

#include <QTest>

using namespace opcua;
using namespace opcua::security;
using testbytes::hex;
using testcrypto::fromHex;
using testcrypto::statusOf;

class TestKeys : public QObject
{
    Q_OBJECT

private slots:
    void findsThePoliciesItSpeaks_data();
    void findsThePoliciesItSpeaks();
    void pSha256MatchesNodeOpcua_data();
    void pSha256MatchesNodeOpcua();
    void channelKeysMatchNodeOpcua_data();
    void channelKeysMatchNodeOpcua();
    void refusesNoncesOfOtherLengths_data();
    void refusesNoncesOfOtherLengths();
};

void TestKeys::findsThePoliciesItSpeaks_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("name"); // empty: refused

    const QString prefix = "http://opcfoundation.org/UA/SecurityPolicy#";
    for (const char* name :
         {"None", "Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"})
        QTest::newRow(name) << prefix + name << QString(name);
    // Policies with SHA-1 signatures or RSA-PKCS#1 v1.5 encryption are deprecated and unsafe.
    QTest::newRow("Basic256") << prefix + "Basic256" << QString();
    QTest::newRow("Basic128Rsa15") << prefix + "Basic128Rsa15" << QString();
    QTest::newRow("case differs") << prefix + "basic256sha256" << QString();
    QTest::newRow("empty") << QString() << QString();
}

void TestKeys::findsThePoliciesItSpeaks()
{
    QFETCH(QString, uri);
    QFETCH(QString, name);

    const std::string text = uri.toStdString();
    const SecurityPolicy* policy = findSecurityPolicy(text);
    if (name.isEmpty()) {
        QVERIFY(policy == nullptr);
        QCOMPARE(statusOf([&] { securityPolicy(text); }), "BadSecurityPolicyRejected");
        return;
    }
    QVERIFY(policy != nullptr);
    QCOMPARE(QString::fromLatin1(policy->name.data(), qsizetype(policy->name.size())), name);
    QCOMPARE(&securityPolicy(text), policy);
}

void TestKeys::pSha256MatchesNodeOpcua_data()
{
    QTest::addColumn<ByteBuffer>("secret");
    QTest::addColumn<ByteBuffer>("seed");
    QTest::addColumn<int>("length");
    QTest::addColumn<ByteBuffer>("expected");

    for (const auto& v : vectors::kPrf) {
        const ByteBuffer secret = fromHex(v.secret);
        const ByteBuffer seed = fromHex(v.seed);
        const QByteArray name = QByteArray::number(qsizetype(secret.size())) + "-byte secret, " +
                                QByteArray::number(qsizetype(seed.size())) + "-byte seed, " +
                                QByteArray::number(qsizetype(v.length)) + " bytes";
        QTest::newRow(name.constData()) << secret << seed << int(v.length) << fromHex(v.output);
    }
}

void TestKeys::pSha256MatchesNodeOpcua()
{
    QFETCH(ByteBuffer, secret);
    QFETCH(ByteBuffer, seed);
    QFETCH(int, length);
    QFETCH(ByteBuffer, expected);

    QCOMPARE(hex(pSha256(secret, seed, size_t(length))), hex(expected));
}

void TestKeys::channelKeysMatchNodeOpcua_data()
{
    QTest::addColumn<int>("index");
    for (size_t i = 0; i < std::size(vectors::kKeys); ++i)
        QTest::newRow(std::string(securityPolicy(vectors::kKeys[i].policyUri).name).c_str())
            << int(i);
}

void TestKeys::channelKeysMatchNodeOpcua()
{
    QFETCH(int, index);
    const vectors::KeyVector& v = vectors::kKeys[index];
    const auto keys = [](const vectors::KeySet& k) {
        return SymmetricKeys{fromHex(k.signingKey), fromHex(k.encryptingKey), fromHex(k.iv)};
    };

    const ChannelKeys derived = deriveChannelKeys(securityPolicy(v.policyUri),
                                                  fromHex(v.clientNonce), fromHex(v.serverNonce));
    QCOMPARE(hex(derived.client.signingKey), hex(keys(v.client).signingKey));
    QCOMPARE(hex(derived.client.encryptingKey), hex(keys(v.client).encryptingKey));
    QCOMPARE(hex(derived.client.iv), hex(keys(v.client).iv));
    QCOMPARE(hex(derived.server.signingKey), hex(keys(v.server).signingKey));
    QCOMPARE(hex(derived.server.encryptingKey), hex(keys(v.server).encryptingKey));
    QCOMPARE(hex(derived.server.iv), hex(keys(v.server).iv));
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
    const SecurityPolicy& policy = securityPolicy(vectors::kKeys[0].policyUri);
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
