#include "opcua/security/crypto.h"
#include "opcua/security/sessioncrypto.h"
#include "tests/opcua/testbytes.h"
#include "tests/security/testcrypto.h"
#include "tests/security/vectors.h"

#include <QTest>
#include <functional>

using namespace opcua;
using namespace opcua::security;
using testbytes::hex;
using testcrypto::fromHex;
using testcrypto::statusOf;

namespace {

std::string policyName(const char* uri)
{
    return std::string(securityPolicy(uri).name);
}

// The session operations that take a nonce from the server.
enum class NonceUse {
    Sign,
    CheckSignature,
    EncryptPassword,
    DecryptPassword,
};

} // namespace

Q_DECLARE_METATYPE(NonceUse)

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signsAsNodeOpcuaDoes_data();
    void signsAsNodeOpcuaDoes();
    void refusesSignaturesOverOtherData();
    void readsNodeOpcuasPasswords_data();
    void readsNodeOpcuasPasswords();
    void encryptsPasswordsForEveryPolicy();
    void holdsOnePasswordLimitOnBothSides_data();
    void holdsOnePasswordLimitOnBothSides();
    void refusesMalformedPasswordSecrets();
    void refusesReplayableNonces_data();
    void refusesReplayableNonces();
    void escapesThePeersTextInErrors();

private:
    ssl::Pkey m_key;      // the 2048-bit key of the vectors
    ssl::Pkey m_public;   // its public half
    ssl::Pkey m_stranger; // another 2048-bit key
};

void TestSession::initTestCase()
{
    m_key = testcrypto::privateKeyFromPem(vectors::kKey2048);
    m_public = testcrypto::publicHalf(m_key.get());
    m_stranger = testcrypto::newRsaKey(2048);
}

void TestSession::signsAsNodeOpcuaDoes_data()
{
    QTest::addColumn<int>("index");
    for (size_t i = 0; i < std::size(vectors::kSessionSignatures); ++i)
        QTest::newRow(policyName(vectors::kSessionSignatures[i].policyUri).c_str()) << int(i);
}

// RSA-PKCS#1 v1.5 signatures come out as node-opcua's byte for byte; PSS signatures are salted,
// so node-opcua's is checked, and ours checked by ourselves.
void TestSession::signsAsNodeOpcuaDoes()
{
    QFETCH(int, index);
    const auto& v = vectors::kSessionSignatures[index];
    const SecurityPolicy& policy = securityPolicy(v.policyUri);
    const ByteBuffer certificate = fromHex(v.certificate);
    const ByteBuffer nonce = fromHex(v.nonce);
    const SignatureData theirs{String(v.algorithm), ByteString(fromHex(v.signature))};

    const SignatureData ours = sessionSignature(policy, m_key.get(), certificate, nonce);
    QCOMPARE(ours.algorithm.str(), std::string(v.algorithm));
    if (policy.asymmetricSignature == RsaSignature::Pkcs1v15)
        QCOMPARE(hex(ours.signature.bytes()), hex(theirs.signature.bytes()));
    for (const SignatureData& signature : {theirs, ours})
        QCOMPARE(statusOf([&] {
                     checkSessionSignature(policy, m_public.get(), certificate, nonce, signature);
                 }),
                 "Good");
}

void TestSession::refusesSignaturesOverOtherData()
{
    const auto& v = vectors::kSessionSignatures[0];
    const SecurityPolicy& policy = securityPolicy(v.policyUri);
    const ByteBuffer certificate = fromHex(v.certificate);
    const ByteBuffer nonce = fromHex(v.nonce);
    const SignatureData good{String(v.algorithm), ByteString(fromHex(v.signature))};
    SignatureData otherAlgorithm = good;
    otherAlgorithm.algorithm = String(std::string(kRsaPssSha256Uri));
    ByteBuffer cut = good.signature.bytes();
    cut.pop_back();
    const ByteBuffer otherNonce(nonce.size(), 0x44);
    EVP_PKEY* key = m_public.get();

    struct Case
    {
        const char* name;
        std::function<void()> check;
    };
    const Case cases[] = {
        {"another nonce",
         [&] { checkSessionSignature(policy, key, certificate, otherNonce, good); }},
        {"another certificate", [&] { checkSessionSignature(policy, key, nonce, nonce, good); }},
        {"another key",
         [&] { checkSessionSignature(policy, m_stranger.get(), certificate, nonce, good); }},
        {"another algorithm",
         [&] { checkSessionSignature(policy, key, certificate, nonce, otherAlgorithm); }},
        {"a byte short",
         [&] {
             checkSessionSignature(policy, key, certificate, nonce,
                                   {good.algorithm, ByteString(cut)});
         }},
        {"missing", [&] { checkSessionSignature(policy, key, certificate, nonce, {}); }},
    };
    for (const Case& c : cases)
        QVERIFY2(statusOf(c.check) == "BadApplicationSignatureInvalid", c.name);
}

void TestSession::readsNodeOpcuasPasswords_data()
{
    QTest::addColumn<int>("index");
    for (size_t i = 0; i < std::size(vectors::kPasswords); ++i) {
        const auto& v = vectors::kPasswords[i];
        const std::string name = policyName(v.policyUri) + ", " +
                                 std::to_string(fromHex(v.password).size()) + "-byte password";
        QTest::newRow(name.c_str()) << int(i);
    }
}

void TestSession::readsNodeOpcuasPasswords()
{
    QFETCH(int, index);
    const auto& v = vectors::kPasswords[index];
    const ssl::Pkey key = testcrypto::privateKeyFromPem(v.keyPem);

    const ByteBuffer password = decryptUserPassword(
        securityPolicy(v.policyUri), key.get(), v.algorithm, fromHex(v.secret), fromHex(v.nonce));
    QCOMPARE(hex(password), hex(fromHex(v.password)));
}

// A 300-byte password and the nonce take two RSA blocks under every policy.
void TestSession::encryptsPasswordsForEveryPolicy()
{
    const ByteBuffer password(300, 'p');
    const ByteBuffer nonce(32, 0x6e);
    for (const SecurityPolicy& policy : kSecurityPolicies) {
        if (policy.isNone())
            continue;
        const ByteString secret = encryptUserPassword(policy, m_public.get(), password, nonce);
        QCOMPARE(secret.size(), size_t(2 * 256));
        QCOMPARE(hex(decryptUserPassword(policy, m_key.get(), policy.asymmetricEncryptionUri,
                                         secret.bytes(), nonce)),
                 hex(password));
    }
}

void TestSession::holdsOnePasswordLimitOnBothSides_data()
{
    QTest::addColumn<QString>("policyUri");
    QTest::addColumn<int>("passwordSize");
    QTest::addColumn<QString>("expected");
    const int longest = int(kMaxPasswordSecretSize) - 32; // beside a 32-byte nonce
    for (const SecurityPolicy& policy : kSecurityPolicies) {
        if (policy.isNone())
            continue;
        const QString uri = QString::fromLatin1(policy.uri.data(), qsizetype(policy.uri.size()));
        const std::string name(policy.name);
        QTest::newRow((name + ", longest password").c_str()) << uri << longest << "Good";
        QTest::newRow((name + ", a byte longer").c_str())
            << uri << longest + 1 << "BadIdentityTokenInvalid";
    }
}

// What the client side encrypts, the server side reads back; what it refuses to encrypt is
// refused with a status, not cut.
void TestSession::holdsOnePasswordLimitOnBothSides()
{
    QFETCH(QString, policyUri);
    QFETCH(int, passwordSize);
    QFETCH(QString, expected);
    const SecurityPolicy& policy = securityPolicy(policyUri.toStdString());
    const ByteBuffer password(size_t(passwordSize), 'p');
    const ByteBuffer nonce(32, 0x6e);
    ByteBuffer decrypted;
    const std::string status = statusOf([&] {
        const ByteString secret = encryptUserPassword(policy, m_public.get(), password, nonce);
        decrypted = decryptUserPassword(policy, m_key.get(), policy.asymmetricEncryptionUri,
                                        secret.bytes(), nonce);
    });
    QCOMPARE(QString::fromStdString(status), expected);
    if (expected == "Good")
        QCOMPARE(hex(decrypted), hex(password));
}

// Secrets that a client with the server's public key could make, and ones damaged on the way.
void TestSession::refusesMalformedPasswordSecrets()
{
    const SecurityPolicy& policy = securityPolicy(vectors::kPasswords[0].policyUri);
    const std::string_view algorithm = policy.asymmetricEncryptionUri;
    const ByteBuffer nonce(32, 0x6e);
    const ByteBuffer good =
        encryptUserPassword(policy, m_public.get(), ByteBuffer(8, 'p'), nonce).bytes();
    const auto secretOf = [&](ByteBuffer plain) {
        return asymmetricEncrypt(policy, m_public.get(), plain);
    };
    // Length field, password, nonce.
    const ByteBuffer lengthTooLarge =
        secretOf(testbytes::concat({testbytes::u32(41), ByteBuffer(8, 'p'), nonce}));
    const ByteBuffer lengthTooSmall =
        secretOf(testbytes::concat({testbytes::u32(39), ByteBuffer(8, 'p'), nonce}));
    const ByteBuffer noLength = secretOf(testbytes::bytes({0x01, 0x00}));
    const ByteBuffer shorterThanTheNonce =
        secretOf(testbytes::concat({testbytes::u32(4), ByteBuffer(4, 'p')}));
    ByteBuffer flipped = good;
    flipped[100] ^= 0x01;
    ByteBuffer cut = good;
    cut.pop_back();
    const ByteBuffer otherNonce(32, 0x6f);
    const ByteBuffer tooLong =
        testbytes::concat({encryptUserPassword(policy, m_public.get(),
                                               ByteBuffer(kMaxPasswordSecretSize - 32, 'p'), nonce)
                               .bytes(),
                           secretOf(ByteBuffer(1, 'p'))});

    struct Case
    {
        const char* name;
        std::string_view algorithm;
        ByteView secret;
        ByteView nonce;
    };
    const Case cases[] = {
        {"another nonce", algorithm, good, otherNonce},
        {"another algorithm", kRsaOaepSha256Uri, good, nonce},
        {"no algorithm", {}, good, nonce},
        {"a byte flipped", algorithm, flipped, nonce},
        {"a byte short", algorithm, cut, nonce},
        {"empty", algorithm, {}, nonce},
        {"length field too large", algorithm, lengthTooLarge, nonce},
        {"length field too small", algorithm, lengthTooSmall, nonce},
        {"shorter than a length field", algorithm, noLength, nonce},
        {"shorter than the nonce", algorithm, shorterThanTheNonce, nonce},
        {"a block longer than the longest password needs", algorithm, tooLong, nonce},
    };
    for (const Case& c : cases)
        QVERIFY2(statusOf([&] {
                     decryptUserPassword(policy, m_key.get(), c.algorithm, c.secret, c.nonce);
                 }) == "BadIdentityTokenInvalid",
                 c.name);
    QCOMPARE(
        statusOf([&] { decryptUserPassword(policy, m_stranger.get(), algorithm, good, nonce); }),
        "BadIdentityTokenInvalid");
}

void TestSession::refusesReplayableNonces_data()
{
    QTest::addColumn<NonceUse>("use");
    QTest::addColumn<QString>("policyUri");
    QTest::addColumn<int>("nonceSize");
    QTest::addColumn<QString>("expected");
    const QString secure = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
    const QString none = "http://opcfoundation.org/UA/SecurityPolicy#None";
    const std::pair<const char*, NonceUse> uses[] = {
        {"sign", NonceUse::Sign},
        {"check a signature", NonceUse::CheckSignature},
        {"encrypt a password", NonceUse::EncryptPassword},
        {"decrypt a password", NonceUse::DecryptPassword},
    };
    for (const auto& [name, use] : uses) {
        const std::string prefix = std::string(name) + ", ";
        QTest::newRow((prefix + "empty nonce").c_str()) << use << secure << 0 << "BadNonceInvalid";
        QTest::newRow((prefix + "31-byte nonce").c_str())
            << use << secure << 31 << "BadNonceInvalid";
        QTest::newRow((prefix + "32-byte nonce").c_str()) << use << secure << 32 << "Good";
    }
    QTest::newRow("sign, policy None, empty nonce") << NonceUse::Sign << none << 0 << "Good";
    QTest::newRow("check a signature, policy None, empty nonce")
        << NonceUse::CheckSignature << none << 0 << "Good";
}

// With an empty or short server nonce, a signature or password secret seen once could be sent
// again to every later session; the nonce is what makes each one good for one session only.
void TestSession::refusesReplayableNonces()
{
    QFETCH(NonceUse, use);
    QFETCH(QString, policyUri);
    QFETCH(int, nonceSize);
    QFETCH(QString, expected);
    const SecurityPolicy& policy = securityPolicy(policyUri.toStdString());
    const ByteBuffer nonce(size_t(nonceSize), 0x6e);
    const ByteBuffer certificate(40, 0xce);
    const ByteBuffer password(8, 'p');
    const auto call = [&] {
        switch (use) {
        case NonceUse::Sign:
            sessionSignature(policy, m_key.get(), certificate, nonce);
            return;
        case NonceUse::CheckSignature: {
            const ByteBuffer signedBytes = testbytes::concat({certificate, nonce});
            const SignatureData signature =
                policy.isNone()
                    ? SignatureData{}
                    : SignatureData{String(policy.asymmetricSignatureUri),
                                    ByteString(asymmetricSign(policy, m_key.get(), signedBytes))};
            checkSessionSignature(policy, m_public.get(), certificate, nonce, signature);
            return;
        }
        case NonceUse::EncryptPassword:
            encryptUserPassword(policy, m_public.get(), password, nonce);
            return;
        case NonceUse::DecryptPassword: {
            const ByteBuffer secret = asymmetricEncrypt(
                policy, m_public.get(),
                testbytes::concat(
                    {testbytes::u32(uint32_t(password.size() + nonce.size())), password, nonce}));
            decryptUserPassword(policy, m_key.get(), policy.asymmetricEncryptionUri, secret, nonce);
            return;
        }
        }
    };
    QCOMPARE(QString::fromStdString(statusOf(call)), expected);
}

// A peer's algorithm or policy URI in an error cannot forge a second log line.
void TestSession::escapesThePeersTextInErrors()
{
    const SecurityPolicy& policy = securityPolicy(vectors::kSessionSignatures[0].policyUri);
    const std::string forged = "x\n2026-12-07 12:00:00 user accepted";
    const ByteBuffer nonce(32, 0x6e);
    const SignatureData signature{String(forged), ByteString(ByteBuffer(256, 0))};
    const std::function<void()> calls[] = {
        [&] { securityPolicy(forged); },
        [&] { checkSessionSignature(policy, m_public.get(), nonce, nonce, signature); },
        [&] { decryptUserPassword(policy, m_key.get(), forged, ByteBuffer(256, 0), nonce); },
    };
    for (const auto& call : calls) {
        try {
            call();
            QFAIL("no error");
        } catch (const Error& e) {
            const std::string message = e.what();
            QVERIFY2(message.find("\"x\\n2026-12-07") != std::string::npos, e.what());
        }
    }
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
