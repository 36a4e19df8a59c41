#include "opcua/security/crypto.h"
#include "opcua/security/sessioncrypto.h"
#include "tests/opcua/testbytes.h"
#include "tests/security/testcrypto.h"
#include "tests/security/vectors.h"

#include <QTest>
#include <functional>
#include <span>

using namespace opcua;
using namespace opcua::security;
using testbytes::concat;
using testbytes::hex;
using testbytes::u32;
using testcrypto::policyNamed;
using testcrypto::statusOf;

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signsAsNodeOpcuaDoes_data();
    void signsAsNodeOpcuaDoes();
    void readsPasswordsAsNodeOpcuaSendsThem_data();
    void readsPasswordsAsNodeOpcuaSendsThem();
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
    const String otherAlgorithm(algorithm == kRsaSha256Uri ? kRsaPssSha256Uri : kRsaSha256Uri);
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
        {"another algorithm",
         m_public.get(),
         certificate,
         nonce,
         {otherAlgorithm, theirs.signature}},
        {"a byte short", m_public.get(), certificate, nonce, {theirs.algorithm, ByteString(cut)}},
        {"missing", m_public.get(), certificate, nonce, {}},
    };
    for (const Altered& a : altered)
        QVERIFY2(statusOf([&] {
                     checkSessionSignature(policy, a.key, a.certificate, a.nonce, a.signature);
                 }) == "BadApplicationSignatureInvalid",
                 a.name);
}

void TestSession::readsPasswordsAsNodeOpcuaSendsThem_data()
{
    vectors::addRows("passwords");
}

// node-opcua's secrets give its passwords back, and so do ours up to the longest password, which
// both sides hold to; nothing comes back with another nonce, algorithm or key, with a byte altered
// or missing, or from a secret a client with the server's public key put together wrongly.
void TestSession::readsPasswordsAsNodeOpcuaSendsThem()
{
    QFETCH(QJsonObject, vector);
    const SecurityPolicy& policy = vectors::policy(vector);
    const ssl::Pkey key = vectors::key(vector["key"]);
    const ssl::Pkey publicKey = testcrypto::publicHalf(key.get());
    const std::string algorithm = vector["algorithm"].toString().toStdString();
    const ByteBuffer secret = vectors::bytes(vector["secret"]);
    const ByteBuffer nonce = vectors::bytes(vector["nonce"]);
    const ByteBuffer password = decryptUserPassword(policy, key.get(), algorithm, secret, nonce);
    QCOMPARE(hex(password), hex(vectors::bytes(vector["password"])));

    const ByteBuffer longestPassword(kMaxPasswordSecretSize - nonce.size(), 'p');
    const ByteBuffer longest =
        encryptUserPassword(policy, publicKey.get(), longestPassword, nonce).bytes();
    QCOMPARE(hex(decryptUserPassword(policy, key.get(), algorithm, longest, nonce)),
             hex(longestPassword));
    QCOMPARE(
        statusOf([&] {
            encryptUserPassword(policy, publicKey.get(), concat({longestPassword, {'p'}}), nonce);
        }),
        "BadIdentityTokenInvalid");

    ByteBuffer flipped = secret;
    flipped[100] ^= 0x01;
    const ByteBuffer otherNonce(nonce.size(), 0x6f);
    const std::string_view otherAlgorithm =
        algorithm == kRsaOaepUri ? kRsaOaepSha256Uri : kRsaOaepUri;
    const auto secretOf = [&](const ByteBuffer& plain) {
        return asymmetricEncrypt(policy, publicKey.get(), plain);
    };
    const ByteBuffer eight(8, 'p');
    struct Altered
    {
        const char* name;
        EVP_PKEY* key;
        std::string_view algorithm;
        ByteBuffer secret;
        ByteView nonce;
    };
    const Altered altered[] = {
        {"another nonce", key.get(), algorithm, secret, otherNonce},
        {"another algorithm", key.get(), otherAlgorithm, secret, nonce},
        {"no algorithm", key.get(), {}, secret, nonce},
        {"another key", m_stranger.get(), algorithm, secret, nonce},
        {"a byte flipped", key.get(), algorithm, flipped, nonce},
        {"a byte short", key.get(), algorithm, ByteBuffer(secret.begin(), secret.end() - 1), nonce},
        {"empty", key.get(), algorithm, {}, nonce},
        {"length field too large", key.get(), algorithm, secretOf(concat({u32(41), eight, nonce})),
         nonce},
        {"length field too small", key.get(), algorithm, secretOf(concat({u32(39), eight, nonce})),
         nonce},
        {"shorter than a length field", key.get(), algorithm, secretOf({0x01, 0x00}), nonce},
        {"shorter than the nonce", key.get(), algorithm,
         secretOf(concat({u32(4), ByteBuffer(4, 'p')})), nonce},
        {"a block longer than the longest password needs", key.get(), algorithm,
         concat({longest, secretOf(eight)}), nonce},
    };
    for (const Altered& a : altered)
        QVERIFY2(statusOf([&] {
                     decryptUserPassword(policy, a.key, a.algorithm, a.secret, a.nonce);
                 }) == "BadIdentityTokenInvalid",
                 a.name);
}

void TestSession::refusesReplayableNonces_data()
{
    QTest::addColumn<QString>("policy");
    QTest::addColumn<int>("nonceSize");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty nonce") << "Basic256Sha256" << 0 << "BadNonceInvalid";
    QTest::newRow("31-byte nonce") << "Basic256Sha256" << 31 << "BadNonceInvalid";
    QTest::newRow("policy None, empty nonce") << "None" << 0 << "Good";
}

// With an empty or short server nonce, a signature or password secret seen once could be sent
// again to every later session; the nonce is what makes each one good for one session only. The
// nonce is judged before the signature or secret, so these need not be valid to show it; that
// 32-byte nonces pass shows in the tests against node-opcua's bytes.
void TestSession::refusesReplayableNonces()
{
    QFETCH(QString, policy);
    QFETCH(int, nonceSize);
    QFETCH(QString, expected);
    const SecurityPolicy& p = policyNamed(policy);
    const ByteBuffer nonce(size_t(nonceSize), 0x6e);
    const ByteBuffer bytes(256, 0x5a);
    const std::pair<const char*, std::function<void()>> uses[] = {
        {"sign", [&] { sessionSignature(p, m_key.get(), bytes, nonce); }},
        {"check a signature", [&] { checkSessionSignature(p, m_public.get(), bytes, nonce, {}); }},
        {"encrypt a password", [&] { encryptUserPassword(p, m_public.get(), bytes, nonce); }},
        {"decrypt a password",
         [&] { decryptUserPassword(p, m_key.get(), p.asymmetricEncryptionUri, bytes, nonce); }},
    };
    // Policy None signs nothing; it has no password secrets at all.
    for (const auto& [name, use] : std::span(uses).first(p.isNone() ? 2 : 4)) {
        const std::string status = statusOf(use);
        QVERIFY2(QString::fromStdString(status) == expected, (name + (": " + status)).c_str());
    }
}

// A peer's algorithm or policy URI in an error cannot forge a second log line.
void TestSession::escapesThePeersTextInErrors()
{
    const SecurityPolicy& policy = policyNamed("Basic256Sha256");
    const std::string forged = "x\n2026-12-07 12:00:00 user accepted";
    const ByteBuffer nonce(32, 0x6e);
    const SignatureData signature{String(forged), ByteString(ByteBuffer(256, 0))};
    const testbytes::Failure failures[] = {
        testbytes::failure([&] { securityPolicy(forged); }),
        testbytes::failure(
            [&] { checkSessionSignature(policy, m_public.get(), nonce, nonce, signature); }),
        testbytes::failure(
            [&] { decryptUserPassword(policy, m_key.get(), forged, ByteBuffer(256, 0), nonce); }),
    };
    for (const testbytes::Failure& failure : failures)
        QVERIFY2(failure.text.contains("\"x\\n2026-12-07"), qPrintable(failure.text));
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
