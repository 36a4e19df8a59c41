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
using testcrypto::statusOf;

namespace {

const SecurityPolicy& basic256Sha256()
{
    return securityPolicy("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
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
    void readsNodeOpcuasPasswords_data();
    void readsNodeOpcuasPasswords();
    void holdsOnePasswordLimitOnBothSides_data();
    void holdsOnePasswordLimitOnBothSides();
    void refusesMalformedPasswordSecrets();
    void refusesReplayableNonces_data();
    void refusesReplayableNonces();
    void escapesThePeersTextInErrors();

private:
    ssl::Pkey m_key;      // the vectors' 2048-bit key
    ssl::Pkey m_public;   // its public half
    ssl::Pkey m_stranger; // another 2048-bit key
};

void TestSession::initTestCase()
{
    m_key = vectors::key("key2048");
    m_public = testcrypto::publicHalf(m_key.get());
    m_stranger = testcrypto::newRsaKey(2048);
}

void TestSession::signsAsNodeOpcuaDoes_data()
{
    vectors::addRows("sessionSignatures");
}

// RSA-PKCS#1 v1.5 signatures come out as node-opcua's byte for byte; PSS signatures are salted,
// so node-opcua's is checked, and ours checked by ourselves. node-opcua's signature is refused
// over other data, by another key, under another algorithm or cut short.
void TestSession::signsAsNodeOpcuaDoes()
{
    QFETCH(QJsonObject, vector);
    const SecurityPolicy& policy = vectors::policy(vector);
    const ByteBuffer certificate = vectors::bytes(vector["certificate"]);
    const ByteBuffer nonce = vectors::bytes(vector["nonce"]);
    const std::string algorithm = vector["algorithm"].toString().toStdString();
    const SignatureData theirs{String(algorithm), ByteString(vectors::bytes(vector["signature"]))};

    const SignatureData ours = sessionSignature(policy, m_key.get(), certificate, nonce);
    QCOMPARE(ours.algorithm.str(), algorithm);
    if (policy.asymmetricSignature == RsaSignature::Pkcs1v15)
        QCOMPARE(hex(ours.signature.bytes()), hex(theirs.signature.bytes()));
    for (const SignatureData& signature : {theirs, ours})
        QCOMPARE(statusOf([&] {
                     checkSessionSignature(policy, m_public.get(), certificate, nonce, signature);
                 }),
                 "Good");

    ByteBuffer cut = theirs.signature.bytes();
    cut.pop_back();
    const ByteBuffer otherNonce(nonce.size(), 0x44);
    const String sha1("http://www.w3.org/2000/09/xmldsig#rsa-sha1");
    struct Altered
    {
        const char* name;
        EVP_PKEY* key;
        ByteView certificate;
        ByteView nonce;
        SignatureData signature;
    };
    const Altered altered[] = {
        {"another nonce", m_public.get(), certificate, otherNonce, theirs},
        {"another certificate", m_public.get(), nonce, nonce, theirs},
        {"another key", m_stranger.get(), certificate, nonce, theirs},
        {"another algorithm", m_public.get(), certificate, nonce, {sha1, theirs.signature}},
        {"a byte short", m_public.get(), certificate, nonce, {theirs.algorithm, ByteString(cut)}},
        {"missing", m_public.get(), certificate, nonce, {}},
    };
    for (const Altered& a : altered)
        QVERIFY2(statusOf([&] {
                     checkSessionSignature(policy, a.key, a.certificate, a.nonce, a.signature);
                 }) == "BadApplicationSignatureInvalid",
                 a.name);
}

void TestSession::readsNodeOpcuasPasswords_data()
{
    vectors::addRows("passwords");
}

void TestSession::readsNodeOpcuasPasswords()
{
    QFETCH(QJsonObject, vector);
    const ssl::Pkey key = vectors::key(vector["key"]);
    const ByteBuffer password = decryptUserPassword(
        vectors::policy(vector), key.get(), vector["algorithm"].toString().toStdString(),
        vectors::bytes(vector["secret"]), vectors::bytes(vector["nonce"]));
    QCOMPARE(hex(password), hex(vectors::bytes(vector["password"])));
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
    const SecurityPolicy& policy = basic256Sha256();
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
    }
    QTest::newRow("sign, policy None, empty nonce") << NonceUse::Sign << none << 0 << "Good";
    QTest::newRow("check a signature, policy None, empty nonce")
        << NonceUse::CheckSignature << none << 0 << "Good";
}

// With an empty or short server nonce, a signature or password secret seen once could be sent
// again to every later session; the nonce is what makes each one good for one session only. The
// nonce is judged before the signature or secret, so these need not be valid to show it; that
// 32-byte nonces pass shows in the tests against node-opcua's bytes.
void TestSession::refusesReplayableNonces()
{
    QFETCH(NonceUse, use);
    QFETCH(QString, policyUri);
    QFETCH(int, nonceSize);
    QFETCH(QString, expected);
    const SecurityPolicy& policy = securityPolicy(policyUri.toStdString());
    const ByteBuffer nonce(size_t(nonceSize), 0x6e);
    const ByteBuffer bytes(256, 0x5a);
    const auto call = [&] {
        switch (use) {
        case NonceUse::Sign:
            sessionSignature(policy, m_key.get(), bytes, nonce);
            return;
        case NonceUse::CheckSignature:
            checkSessionSignature(policy, m_public.get(), bytes, nonce, {});
            return;
        case NonceUse::EncryptPassword:
            encryptUserPassword(policy, m_public.get(), bytes, nonce);
            return;
        case NonceUse::DecryptPassword:
            decryptUserPassword(policy, m_key.get(), policy.asymmetricEncryptionUri, bytes, nonce);
            return;
        }
    };
    QCOMPARE(QString::fromStdString(statusOf(call)), expected);
}

// A peer's algorithm or policy URI in an error cannot forge a second log line.
void TestSession::escapesThePeersTextInErrors()
{
    const SecurityPolicy& policy = basic256Sha256();
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
