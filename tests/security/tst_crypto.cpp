// The security layer's cryptography: the keys of a secure channel and the chunks they protect,
// the signatures and password secrets of a session, against bytes node-opcua produced and against
// what a peer or the network could alter.

#include "opcua/securechannel.h"
#include "opcua/security/chunkcrypto.h"
#include "opcua/security/keys.h"
#include "opcua/security/openssl.h"
#include "opcua/security/policy.h"
#include "opcua/security/sessioncrypto.h"
#include "tests/opcua/testbytes.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>
#include <functional>
#include <memory>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

using namespace opcua;
using namespace opcua::security;
using testbytes::concat;
using testbytes::hex;
using testbytes::statusOf;
using testbytes::u32;

// The bytes node-opcua produced for these tests, kept in vectors.json (written by
// make_vectors.mjs): one array of vectors per group, each an object with a row name, byte strings
// as hex, and the names of the keys it uses.
namespace vectors {

const QJsonObject& all()
{
    static const QJsonObject vectors =
        testbytes::readJsonFile(QStringLiteral(SECURITY_TEST_VECTORS));
    return vectors;
}

// One data row per vector of `group`, in a column "vector".
void addRows(const char* group)
{
    QTest::addColumn<QJsonObject>("vector");
    for (const QJsonValue vector : all()[group].toArray())
        QTest::newRow(qPrintable(vector["name"].toString())) << vector.toObject();
}

ByteBuffer bytes(const QJsonValue& hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex.toString().toLatin1());
    return ByteBuffer(bytes.begin(), bytes.end());
}

const SecurityPolicy& policy(const QJsonObject& vector)
{
    return securityPolicy(vector["policyUri"].toString().toStdString());
}

// The private key of that name: "key2048" or "key4096".
ssl::Pkey key(const QJsonValue& name)
{
    const QByteArray pem = all()["keys"][name.toString()].toString().toLatin1();
    const ssl::Bio bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    ssl::Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key)
        throw std::runtime_error("unreadable test key " + name.toString().toStdString());
    return key;
}

} // namespace vectors

namespace {

const SecurityPolicy& policyNamed(const QString& name)
{
    return securityPolicy(("http://opcfoundation.org/UA/SecurityPolicy#" + name).toStdString());
}

ssl::Pkey newRsaKey(unsigned bits)
{
    ssl::Pkey key(EVP_RSA_gen(bits));
    if (!key)
        throw std::runtime_error("RSA key generation failed");
    return key;
}

// The public half of a key alone, as a peer's certificate gives it, so that no test leans on a
// peer's private key by mistake.
ssl::Pkey publicHalf(EVP_PKEY* key)
{
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    const unsigned char* read = der;
    ssl::Pkey out(size > 0 ? d2i_PUBKEY(nullptr, &read, size) : nullptr);
    OPENSSL_free(der);
    if (!out)
        throw std::runtime_error("cannot copy the public key");
    return out;
}

// The same bytes the vector script makes, so that chunks built here match its chunks.
ByteBuffer pattern(size_t length, int step, int start)
{
    ByteBuffer out(length);
    for (size_t i = 0; i < length; ++i)
        out[i] = uint8_t(start + int(i) * step);
    return out;
}

ByteBuffer plainChunk(MessageType type, SecurityHeader security, ByteView body)
{
    SecureChunk chunk;
    chunk.header.type = type;
    chunk.secureChannelId = 0x01020304;
    chunk.security = std::move(security);
    chunk.sequence = {type == MessageType::OpenSecureChannel ? 0x33u : 0x05060708u, 0x0a0b0c0du};
    chunk.body.assign(body.begin(), body.end());
    return encodeSecureChunk(chunk);
}

ByteBuffer messageChunk(ByteView body)
{
    return plainChunk(MessageType::Message, SymmetricSecurityHeader{0x11223344}, body);
}

ByteBuffer openChunk(const SecurityPolicy& policy, ByteView body)
{
    const AsymmetricSecurityHeader header{String(policy.uri), ByteString(pattern(40, 1, 0xc0)),
                                          ByteString(pattern(20, 1, 0xe0))};
    return plainChunk(MessageType::OpenSecureChannel, header, body);
}

// Message header, channel id and the policy URI, certificate and thumbprint with their lengths.
size_t openHeaderSize(const SecurityPolicy& policy)
{
    return 12 + 4 + policy.uri.size() + 4 + 40 + 4 + 20;
}

void setMessageSize(ByteBuffer& chunk, size_t size)
{
    for (size_t i = 0; i < 4; ++i)
        chunk[4 + i] = uint8_t(size >> (8 * i));
}

ByteBuffer repeat(int value, int count)
{
    return ByteBuffer(size_t(count), uint8_t(value));
}

ChannelKeys testKeys(const SecurityPolicy& policy)
{
    return deriveChannelKeys(policy, pattern(policy.nonceLength, 3, 0),
                             pattern(policy.nonceLength, 5, 0x80));
}

// The kinds of exchange the tests of sizes, tampering and padding run on, indexing kExchanges.
enum class Exchange { MessageSigned, MessageEncrypted, Open, OpenToLargeKey, OpenFromLargeKey };

struct ExchangeSetup
{
    const char* policy;
    MessageSecurityMode mode;
    int senderKey; // an OPN chunk's; -1 for MSG
    int receiverKey;
};

const ExchangeSetup kExchanges[] = {
    {"Basic256Sha256", MessageSecurityMode::Sign, -1, -1},
    {"Basic256Sha256", MessageSecurityMode::SignAndEncrypt, -1, -1},
    {"Aes256_Sha256_RsaPss", MessageSecurityMode::SignAndEncrypt, 0, 1},
    // To a 4096-bit key: the extra padding byte.
    {"Basic256Sha256", MessageSecurityMode::SignAndEncrypt, 0, 2},
    // From a 4096-bit key: a 512-byte signature.
    {"Aes128_Sha256_RsaOaep", MessageSecurityMode::SignAndEncrypt, 2, 0},
};

} // namespace

Q_DECLARE_METATYPE(Exchange)

class TestCrypto : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void channelKeysMatchNodeOpcua_data();
    void channelKeysMatchNodeOpcua();
    void protectsMessagesAsNodeOpcuaDoes_data();
    void protectsMessagesAsNodeOpcuaDoes();
    void acceptsNodeOpcuasOpenChunks_data();
    void acceptsNodeOpcuasOpenChunks();
    void fillsButNeverOverfillsAChunk_data();
    void fillsButNeverOverfillsAChunk();
    void refusesAlteredChunks_data();
    void refusesAlteredChunks();
    void checksThePaddingUnderAValidSignature_data();
    void checksThePaddingUnderAValidSignature();
    void refusesWhatThePoliciesDoNotAllow();
    void signsAsNodeOpcuaDoes_data();
    void signsAsNodeOpcuaDoes();
    void readsPasswordsAsNodeOpcuaSendsThem_data();
    void readsPasswordsAsNodeOpcuaSendsThem();
    void refusesReplayableNonces_data();
    void refusesReplayableNonces();
    void escapesThePeersTextInErrors();

private:
    // A sender's and a receiver's view of one exchange.
    struct Pair
    {
        std::unique_ptr<ChunkCrypto> sender;
        std::unique_ptr<ChunkCrypto> receiver;
        const SecurityPolicy* policy = nullptr;
        bool open = false;
        size_t headerSize = 0;
        size_t blockSize = 0; // of the cipher text, or of AES when only signed

        ByteBuffer plain(ByteView body) const
        {
            return open ? openChunk(*policy, body) : messageChunk(body);
        }
        bool refuses(const ByteBuffer& chunk) const
        {
            return statusOf([&] { receiver->verify(chunk, headerSize); }) ==
                   "BadSecurityChecksFailed";
        }
    };
    Pair pair(Exchange exchange) const;
    ByteBuffer seal(Exchange exchange, ByteBuffer chunk, size_t headerSize) const;
    std::unique_ptr<AsymmetricChunkCrypto> openCrypto(const SecurityPolicy& policy, int own,
                                                      int peer) const;

    // Keys 0 (the vectors' own) and 1 have 2048 bits, key 2 (the vectors' other) has 4096; key 3
    // has 2048 and stands for a stranger.
    std::vector<ssl::Pkey> m_private;
    std::vector<ssl::Pkey> m_public;
};

void TestCrypto::initTestCase()
{
    m_private.push_back(vectors::key("key2048"));
    m_private.push_back(newRsaKey(2048));
    m_private.push_back(vectors::key("key4096"));
    m_private.push_back(newRsaKey(2048));
    for (const auto& key : m_private)
        m_public.push_back(publicHalf(key.get()));
}

std::unique_ptr<AsymmetricChunkCrypto> TestCrypto::openCrypto(const SecurityPolicy& policy, int own,
                                                              int peer) const
{
    return std::make_unique<AsymmetricChunkCrypto>(policy, m_private[size_t(own)].get(),
                                                   m_public[size_t(peer)].get());
}

TestCrypto::Pair TestCrypto::pair(Exchange exchange) const
{
    const ExchangeSetup& setup = kExchanges[int(exchange)];
    Pair p;
    p.policy = &policyNamed(setup.policy);
    p.open = setup.senderKey >= 0;
    if (p.open) {
        p.sender = openCrypto(*p.policy, setup.senderKey, setup.receiverKey);
        p.receiver = openCrypto(*p.policy, setup.receiverKey, setup.senderKey);
        p.headerSize = openHeaderSize(*p.policy);
        p.blockSize = rsaKeySize(m_public[size_t(setup.receiverKey)].get());
        return p;
    }
    const ChannelKeys keys = testKeys(*p.policy);
    p.sender =
        std::make_unique<SymmetricChunkCrypto>(*p.policy, setup.mode, keys.client, keys.server);
    p.receiver =
        std::make_unique<SymmetricChunkCrypto>(*p.policy, setup.mode, keys.server, keys.client);
    p.headerSize = kSymmetricHeaderSize;
    p.blockSize = AesCbc::kBlockSize;
    return p;
}

void TestCrypto::channelKeysMatchNodeOpcua_data()
{
    vectors::addRows("channelKeys");
}

void TestCrypto::channelKeysMatchNodeOpcua()
{
    QFETCH(QJsonObject, vector);
    const ChannelKeys derived =
        deriveChannelKeys(vectors::policy(vector), vectors::bytes(vector["clientNonce"]),
                          vectors::bytes(vector["serverNonce"]));
    for (const auto& [side, keys] :
         {std::pair{"client", derived.client}, {"server", derived.server}}) {
        const QJsonValue expected = vector[side];
        QCOMPARE(hex(keys.signingKey), hex(vectors::bytes(expected["signingKey"])));
        QCOMPARE(hex(keys.encryptingKey), hex(vectors::bytes(expected["encryptingKey"])));
        QCOMPARE(hex(keys.iv), hex(vectors::bytes(expected["iv"])));
    }
}

void TestCrypto::protectsMessagesAsNodeOpcuaDoes_data()
{
    vectors::addRows("symmetricChunks");
}

// The same keys and chunk give node-opcua's bytes exactly, and node-opcua's bytes give the chunk
// back, the second time as the first: every chunk starts from the token's IV, not from where the
// one before ended.
void TestCrypto::protectsMessagesAsNodeOpcuaDoes()
{
    QFETCH(QJsonObject, vector);
    const QJsonValue k = vector["keys"];
    const SymmetricKeys keys{vectors::bytes(k["signingKey"]), vectors::bytes(k["encryptingKey"]),
                             vectors::bytes(k["iv"])};
    const auto mode =
        vector["mode"] == "Sign" ? MessageSecurityMode::Sign : MessageSecurityMode::SignAndEncrypt;
    const SymmetricChunkCrypto crypto(vectors::policy(vector), mode, keys, keys);
    const ByteBuffer chunk = messageChunk(vectors::bytes(vector["body"]));
    const ByteBuffer wire = vectors::bytes(vector["wire"]);

    for (int time = 0; time < 2; ++time) {
        QCOMPARE(hex(crypto.protect(chunk, kSymmetricHeaderSize)), hex(wire));
        QCOMPARE(hex(crypto.verify(wire, kSymmetricHeaderSize)), hex(chunk));
    }
}

void TestCrypto::acceptsNodeOpcuasOpenChunks_data()
{
    vectors::addRows("asymmetricChunks");
}

// OAEP and PSS are randomised, so node-opcua's OPN chunks are checked by taking them apart.
void TestCrypto::acceptsNodeOpcuasOpenChunks()
{
    QFETCH(QJsonObject, vector);
    const SecurityPolicy& policy = vectors::policy(vector);
    const ssl::Pkey receiver = vectors::key(vector["receiver"]);
    const ssl::Pkey sender = publicHalf(vectors::key(vector["sender"]).get());
    const AsymmetricChunkCrypto crypto(policy, receiver.get(), sender.get());

    const ByteBuffer opened = crypto.verify(vectors::bytes(vector["wire"]), openHeaderSize(policy));
    QCOMPARE(hex(opened), hex(openChunk(policy, vectors::bytes(vector["body"]))));
}

void TestCrypto::fillsButNeverOverfillsAChunk_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<int>("expected");

    // 8192 - 16 header bytes leave 511 AES blocks: 8176 bytes less sequence header, padding size
    // and signature.
    QTest::newRow("MSG signed, 8192") << Exchange::MessageSigned << 8192 << 8192 - 16 - 8 - 32;
    QTest::newRow("MSG encrypted, 8192") << Exchange::MessageEncrypted << 8192 << 8176 - 8 - 1 - 32;
    QTest::newRow("MSG encrypted, 8200: half a block unused")
        << Exchange::MessageEncrypted << 8200 << 8176 - 8 - 1 - 32;
    // The OPN headers of Aes256_Sha256_RsaPss take 147 bytes; the 8045 after them hold 31 RSA
    // blocks of 256 bytes, each carrying 190.
    QTest::newRow("OPN, 8192") << Exchange::Open << 8192 << 31 * 190 - 8 - 1 - 256;
    // Basic256Sha256's take 141; the 8051 after them hold 15 blocks of 512, each carrying 470.
    QTest::newRow("OPN to 4096 bits, 8192")
        << Exchange::OpenToLargeKey << 8192 << 15 * 470 - 8 - 2 - 256;
    // Aes128_Sha256_RsaOaep's take 148; the 8044 after them hold 31 blocks of 256, each carrying
    // 214, and the signature takes 512.
    QTest::newRow("OPN from 4096 bits, 8192")
        << Exchange::OpenFromLargeKey << 8192 << 31 * 214 - 8 - 1 - 512;
    QTest::newRow("OPN, too small for a byte") << Exchange::Open << 147 + 256 << 0;
}

// A body of maxBodySize bytes fills the last block of the chunk size exactly; one byte more
// needs another block. Both come out as they went in.
void TestCrypto::fillsButNeverOverfillsAChunk()
{
    QFETCH(Exchange, exchange);
    QFETCH(int, chunkSize);
    QFETCH(int, expected);

    const Pair p = pair(exchange);
    const size_t most = p.sender->maxBodySize(size_t(chunkSize), p.headerSize);
    QCOMPARE(most, size_t(expected));
    if (most == 0)
        return;
    for (const size_t bodySize : {most, most + 1}) {
        const ByteBuffer chunk = p.plain(pattern(bodySize, 11, 2));
        const ByteBuffer sent = p.sender->protect(chunk, p.headerSize);
        QCOMPARE(sent.size() <= size_t(chunkSize), bodySize == most);
        QCOMPARE(hex(p.receiver->verify(sent, p.headerSize)), hex(chunk));
    }
}

void TestCrypto::refusesAlteredChunks_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<int>("stride"); // every stride-th byte is altered, to bound the RSA work
    QTest::newRow("MSG signed") << Exchange::MessageSigned << 1;
    QTest::newRow("MSG encrypted") << Exchange::MessageEncrypted << 1;
    QTest::newRow("OPN") << Exchange::Open << 7;
    QTest::newRow("OPN to 4096 bits") << Exchange::OpenToLargeKey << 13;
}

// No single altered byte gets through, and no shorter or longer chunk, whatever size it
// announces; under the sanitizers this also shows that no check reads outside the chunk.
void TestCrypto::refusesAlteredChunks()
{
    QFETCH(Exchange, exchange);
    QFETCH(int, stride);

    const Pair p = pair(exchange);
    const ByteBuffer sent = p.sender->protect(p.plain(pattern(40, 1, 0)), p.headerSize);
    // Counted from the end, so that the signature's last byte is always among them.
    for (size_t back = 0; back < sent.size(); back += size_t(stride)) {
        ByteBuffer altered = sent;
        altered[sent.size() - 1 - back] ^= 0x20;
        QVERIFY2(p.refuses(altered), ("byte " + std::to_string(back) + " from the end").c_str());
    }
    for (size_t size = 0; size < sent.size(); ++size) {
        ByteBuffer shorter(sent.begin(), sent.begin() + ptrdiff_t(size));
        QVERIFY2(p.refuses(shorter), ("length " + std::to_string(size)).c_str());
        if (size >= kMessageHeaderSize) {
            setMessageSize(shorter, shorter.size());
            QVERIFY2(p.refuses(shorter),
                     ("length " + std::to_string(size) + ", size adjusted").c_str());
        }
    }
    for (const size_t extra : {size_t(1), p.blockSize}) {
        ByteBuffer longer = sent;
        longer.insert(longer.end(), extra, 0x5a);
        QVERIFY2(p.refuses(longer), (std::to_string(extra) + " bytes more").c_str());
        setMessageSize(longer, longer.size());
        QVERIFY2(p.refuses(longer), (std::to_string(extra) + " bytes more, size adjusted").c_str());
    }
    ByteBuffer claimsMore = sent;
    setMessageSize(claimsMore, sent.size() + 1);
    QVERIFY(p.refuses(claimsMore));
}

// Signs and encrypts a chunk whose padding the caller wrote, as a sender holding the keys could.
ByteBuffer TestCrypto::seal(Exchange exchange, ByteBuffer chunk, size_t headerSize) const
{
    const ExchangeSetup& setup = kExchanges[int(exchange)];
    const SecurityPolicy& policy = policyNamed(setup.policy);
    if (setup.senderKey < 0) {
        const SymmetricKeys keys = testKeys(policy).client;
        setMessageSize(chunk, chunk.size() + Hmac::kSize);
        const Hmac::Signature signature = Hmac(keys.signingKey).sign(chunk);
        chunk.insert(chunk.end(), signature.begin(), signature.end());
        AesCbc(keys.encryptingKey, keys.iv).encrypt(std::span(chunk).subspan(headerSize));
        return chunk;
    }
    EVP_PKEY* sender = m_private[size_t(setup.senderKey)].get();
    EVP_PKEY* receiver = m_public[size_t(setup.receiverKey)].get();
    const size_t plainBlock = plainTextBlockSize(policy, receiver);
    const size_t signedSize = chunk.size() - headerSize + rsaKeySize(sender);
    setMessageSize(chunk, headerSize + signedSize / plainBlock * rsaKeySize(receiver));
    const ByteBuffer signature = asymmetricSign(policy, sender, chunk);
    chunk.insert(chunk.end(), signature.begin(), signature.end());
    const ByteBuffer encrypted =
        asymmetricEncrypt(policy, receiver, ByteView(chunk).subspan(headerSize));
    chunk.resize(headerSize);
    chunk.insert(chunk.end(), encrypted.begin(), encrypted.end());
    return chunk;
}

void TestCrypto::checksThePaddingUnderAValidSignature_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<ByteBuffer>("padding"); // the padding size byte(s) included
    QTest::addColumn<QString>("expected");

    // MSG: sequence header, body, padding and a 32-byte signature fill whole 16-byte blocks.
    const Exchange msg = Exchange::MessageEncrypted;
    QTest::newRow("MSG, fewest padding bytes") << msg << 8 << repeat(15, 16) << "Good";
    QTest::newRow("MSG, a whole block of padding, as some senders do")
        << msg << 7 << repeat(16, 17) << "Good";
    QTest::newRow("MSG, a padding byte differs")
        << msg << 8 << concat({repeat(15, 7), repeat(14, 1), repeat(15, 8)})
        << "BadSecurityChecksFailed";
    QTest::newRow("MSG, the size byte differs")
        << msg << 8 << concat({repeat(15, 15), repeat(14, 1)}) << "BadSecurityChecksFailed";
    QTest::newRow("MSG, padding reaching into the sequence header")
        << msg << 0 << repeat(8, 8) << "BadSecurityChecksFailed";
    QTest::newRow("MSG, padding longer than a block")
        << msg << 15 << repeat(24, 25) << "BadSecurityChecksFailed";
    // OPN to 2048 bits: blocks of 190 plain bytes, a 256-byte signature.
    QTest::newRow("OPN, fewest padding bytes") << Exchange::Open << 6 << repeat(109, 110) << "Good";
    QTest::newRow("OPN, a padding byte differs")
        << Exchange::Open << 6 << concat({repeat(109, 50), repeat(108, 1), repeat(109, 59)})
        << "BadSecurityChecksFailed";
    // OPN to 4096 bits: blocks of 470 plain bytes, and ExtraPaddingSize after the padding.
    const Exchange large = Exchange::OpenToLargeKey;
    QTest::newRow("OPN to 4096 bits, fewest padding bytes")
        << large << 10 << concat({repeat(194, 195), repeat(0, 1)}) << "Good";
    QTest::newRow("OPN to 4096 bits, 374 padding bytes counted in two bytes")
        << large << 300 << concat({repeat(0x76, 375), repeat(1, 1)}) << "Good";
    QTest::newRow("OPN to 4096 bits, the extra size byte says 256 more")
        << large << 10 << concat({repeat(194, 195), repeat(1, 1)}) << "BadSecurityChecksFailed";
}

void TestCrypto::checksThePaddingUnderAValidSignature()
{
    QFETCH(Exchange, exchange);
    QFETCH(int, bodySize);
    QFETCH(ByteBuffer, padding);
    QFETCH(QString, expected);

    const Pair p = pair(exchange);
    const ByteBuffer chunk = p.plain(pattern(size_t(bodySize), 1, 0));
    ByteBuffer padded = chunk;
    padded.insert(padded.end(), padding.begin(), padding.end());
    const ByteBuffer sent = seal(exchange, padded, p.headerSize);
    ByteBuffer received;
    QCOMPARE(QString::fromStdString(
                 statusOf([&] { received = p.receiver->verify(sent, p.headerSize); })),
             expected);
    if (expected == "Good")
        QCOMPARE(hex(received), hex(chunk));
}

// Policies it does not speak, nonces of other lengths than the policy's, chunks checked with keys
// other than those they were protected with, and crypto set up with keys or modes the policy does
// not allow. The policies it speaks are found by every test that reads node-opcua's bytes.
void TestCrypto::refusesWhatThePoliciesDoNotAllow()
{
    const SecurityPolicy& basic = policyNamed("Basic256Sha256");
    const SecurityPolicy& none = policyNamed("None");
    const auto mode = MessageSecurityMode::SignAndEncrypt;
    const ChannelKeys keys = testKeys(basic);
    const ChannelKeys aes128Keys = testKeys(policyNamed("Aes128_Sha256_RsaOaep"));
    const size_t openSize = openHeaderSize(basic);
    const ByteBuffer message = SymmetricChunkCrypto(basic, mode, keys.client, keys.server)
                                   .protect(messageChunk({}), kSymmetricHeaderSize);
    const ByteBuffer open = openCrypto(basic, 0, 1)->protect(openChunk(basic, {}), openSize);
    const ssl::Pkey shortKey = newRsaKey(1024);
    const ssl::Pkey ecKey(EVP_EC_gen("P-256"));
    EVP_PKEY* own = m_private[0].get();
    EVP_PKEY* peer = m_public[1].get();
    const std::string prefix = "http://opcfoundation.org/UA/SecurityPolicy#";
    const ByteBuffer nonce(32, 0x11);

    struct Case
    {
        const char* name;
        std::function<void()> call;
        const char* expected;
    };
    const Case cases[] = {
        // SHA-1 signatures and RSA-PKCS#1 v1.5 encryption are deprecated and unsafe.
        {"policy Basic256", [&] { securityPolicy(prefix + "Basic256"); },
         "BadSecurityPolicyRejected"},
        {"policy Basic128Rsa15", [&] { securityPolicy(prefix + "Basic128Rsa15"); },
         "BadSecurityPolicyRejected"},
        {"a policy URI in other case", [&] { securityPolicy(prefix + "basic256sha256"); },
         "BadSecurityPolicyRejected"},
        {"no policy URI", [&] { securityPolicy(""); }, "BadSecurityPolicyRejected"},
        {"a short client nonce", [&] { deriveChannelKeys(basic, ByteBuffer(31, 1), nonce); },
         "BadNonceInvalid"},
        {"a long server nonce", [&] { deriveChannelKeys(basic, nonce, ByteBuffer(33, 1)); },
         "BadNonceInvalid"},
        {"no client nonce", [&] { deriveChannelKeys(basic, {}, nonce); }, "BadNonceInvalid"},
        {"MSG checked with the keys of the other direction",
         [&] {
             SymmetricChunkCrypto(basic, mode, keys.client, keys.server)
                 .verify(message, kSymmetricHeaderSize);
         },
         "BadSecurityChecksFailed"},
        {"OPN decrypted with another private key",
         [&] { openCrypto(basic, 3, 0)->verify(open, openSize); }, "BadSecurityChecksFailed"},
        {"a 1024-bit own key", [&] { AsymmetricChunkCrypto(basic, shortKey.get(), peer); },
         "BadSecurityPolicyRejected"},
        {"an elliptic curve peer key", [&] { AsymmetricChunkCrypto(basic, own, ecKey.get()); },
         "BadSecurityPolicyRejected"},
        {"no peer key", [&] { AsymmetricChunkCrypto(basic, own, nullptr); },
         "BadSecurityPolicyRejected"},
        {"no keys with policy None", [&] { AsymmetricChunkCrypto(none, nullptr, nullptr); },
         "Good"},
        {"mode None with Basic256Sha256",
         [&] { SymmetricChunkCrypto(basic, MessageSecurityMode::None, keys.client, keys.server); },
         "BadSecurityModeRejected"},
        {"mode Sign with policy None",
         [&] { SymmetricChunkCrypto(none, MessageSecurityMode::Sign, {}, {}); },
         "BadSecurityModeRejected"},
        {"mode Invalid", [&] { SymmetricChunkCrypto(none, MessageSecurityMode::Invalid, {}, {}); },
         "BadSecurityModeRejected"},
        {"AES-128 keys for an AES-256 policy",
         [&] {
             SymmetricChunkCrypto(basic, MessageSecurityMode::Sign, aes128Keys.client, keys.server);
         },
         "BadInternalError"},
    };
    for (const Case& c : cases)
        QVERIFY2(statusOf(c.call) == c.expected, c.name);
    // Policy None derives nothing, so it has no nonce to check.
    const ChannelKeys noKeys = deriveChannelKeys(none, {}, nonce);
    QVERIFY(noKeys.client == SymmetricKeys{} && noKeys.server == SymmetricKeys{});
}

void TestCrypto::signsAsNodeOpcuaDoes_data()
{
    vectors::addRows("sessionSignatures");
}

// RSA-PKCS#1 v1.5 signatures come out as node-opcua's byte for byte; PSS signatures are salted,
// so node-opcua's is checked, and ours checked by ourselves. node-opcua's signature is refused
// over other data, by another key, under another algorithm or cut short.
void TestCrypto::signsAsNodeOpcuaDoes()
{
    QFETCH(QJsonObject, vector);
    const SecurityPolicy& policy = vectors::policy(vector);
    const ByteBuffer certificate = vectors::bytes(vector["certificate"]);
    const ByteBuffer nonce = vectors::bytes(vector["nonce"]);
    const std::string algorithm = vector["algorithm"].toString().toStdString();
    const SignatureData theirs{String(algorithm), ByteString(vectors::bytes(vector["signature"]))};

    const SignatureData ours = sessionSignature(policy, m_private[0].get(), certificate, nonce);
    QCOMPARE(ours.algorithm.str(), algorithm);
    if (policy.asymmetricSignature == RsaSignature::Pkcs1v15)
        QCOMPARE(hex(ours.signature.bytes()), hex(theirs.signature.bytes()));
    for (const SignatureData& signature : {theirs, ours})
        QCOMPARE(statusOf([&] {
                     checkSessionSignature(policy, m_public[0].get(), certificate, nonce,
                                           signature);
                 }),
                 "Good");

    ByteBuffer cut = theirs.signature.bytes();
    cut.pop_back();
    const SignatureData shortened{theirs.algorithm, ByteString(cut)};
    const ByteBuffer otherNonce(nonce.size(), 0x44);
    const SignatureData otherAlgorithm{
        String(algorithm == kRsaSha256Uri ? kRsaPssSha256Uri : kRsaSha256Uri), theirs.signature};
    struct Altered
    {
        const char* name;
        EVP_PKEY* key;
        ByteView certificate;
        ByteView nonce;
        SignatureData signature;
    };
    const Altered altered[] = {
        {"another nonce", m_public[0].get(), certificate, otherNonce, theirs},
        {"another certificate", m_public[0].get(), nonce, nonce, theirs},
        {"another key", m_private[3].get(), certificate, nonce, theirs},
        {"another algorithm", m_public[0].get(), certificate, nonce, otherAlgorithm},
        {"a byte short", m_public[0].get(), certificate, nonce, shortened},
        {"missing", m_public[0].get(), certificate, nonce, {}},
    };
    for (const Altered& a : altered)
        QVERIFY2(statusOf([&] {
                     checkSessionSignature(policy, a.key, a.certificate, a.nonce, a.signature);
                 }) == "BadApplicationSignatureInvalid",
                 a.name);
}

void TestCrypto::readsPasswordsAsNodeOpcuaSendsThem_data()
{
    vectors::addRows("passwords");
}

// node-opcua's secrets give its passwords back, and so do ours up to the longest password, which
// both sides hold to, and secrets zero-padded to whole blocks; nothing comes back with another
// nonce, algorithm or key, with a byte altered or missing, or from a secret a client with the
// server's public key put together wrongly.
void TestCrypto::readsPasswordsAsNodeOpcuaSendsThem()
{
    QFETCH(QJsonObject, vector);
    const SecurityPolicy& policy = vectors::policy(vector);
    const ssl::Pkey key = vectors::key(vector["key"]);
    const ssl::Pkey publicKey = publicHalf(key.get());
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
    // Some clients fill the secret with zero bytes up to whole RSA blocks after the nonce.
    const size_t block = plainTextBlockSize(policy, publicKey.get());
    const ByteBuffer plain = concat({u32(40), eight, nonce});
    const ByteBuffer toBlock(block - plain.size() % block, 0);
    QCOMPARE(hex(decryptUserPassword(policy, key.get(), algorithm,
                                     secretOf(concat({plain, toBlock})), nonce)),
             hex(eight));
    ByteBuffer notZeros = toBlock;
    notZeros.back() = 0x01;
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
        {"another key", m_private[3].get(), algorithm, secret, nonce},
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
        {"padding not zeros", key.get(), algorithm, secretOf(concat({plain, notZeros})), nonce},
        {"padding longer than a block", key.get(), algorithm,
         secretOf(concat({plain, toBlock, ByteBuffer(block, 0)})), nonce},
        {"a block longer than the longest password needs", key.get(), algorithm,
         concat({longest, secretOf(eight)}), nonce},
    };
    for (const Altered& a : altered)
        QVERIFY2(statusOf([&] {
                     decryptUserPassword(policy, a.key, a.algorithm, a.secret, a.nonce);
                 }) == "BadIdentityTokenInvalid",
                 a.name);
}

void TestCrypto::refusesReplayableNonces_data()
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
void TestCrypto::refusesReplayableNonces()
{
    QFETCH(QString, policy);
    QFETCH(int, nonceSize);
    QFETCH(QString, expected);
    const SecurityPolicy& p = policyNamed(policy);
    const ByteBuffer nonce(size_t(nonceSize), 0x6e);
    const ByteBuffer bytes(256, 0x5a);
    const std::pair<const char*, std::function<void()>> uses[] = {
        {"sign", [&] { sessionSignature(p, m_private[0].get(), bytes, nonce); }},
        {"check a signature",
         [&] { checkSessionSignature(p, m_public[0].get(), bytes, nonce, {}); }},
        {"encrypt a password", [&] { encryptUserPassword(p, m_public[0].get(), bytes, nonce); }},
        {"decrypt a password",
         [&] {
             decryptUserPassword(p, m_private[0].get(), p.asymmetricEncryptionUri, bytes, nonce);
         }},
    };
    // Policy None signs nothing; it has no password secrets at all.
    for (const auto& [name, use] : std::span(uses).first(p.isNone() ? 2 : 4)) {
        const std::string status = statusOf(use);
        QVERIFY2(QString::fromStdString(status) == expected, (name + (": " + status)).c_str());
    }
}

// A peer's algorithm or policy URI in an error cannot forge a second log line.
void TestCrypto::escapesThePeersTextInErrors()
{
    const SecurityPolicy& policy = policyNamed("Basic256Sha256");
    const std::string forged = "x\n2026-12-07 12:00:00 user accepted";
    const ByteBuffer nonce(32, 0x6e);
    const SignatureData signature{String(forged), ByteString(ByteBuffer(256, 0))};
    const testbytes::Failure failures[] = {
        testbytes::failure([&] { securityPolicy(forged); }),
        testbytes::failure(
            [&] { checkSessionSignature(policy, m_public[0].get(), nonce, nonce, signature); }),
        testbytes::failure([&] {
            decryptUserPassword(policy, m_private[0].get(), forged, ByteBuffer(256, 0), nonce);
        }),
    };
    for (const testbytes::Failure& failure : failures)
        QVERIFY2(failure.text.contains("\"x\\n2026-12-07"), qPrintable(failure.text));
}

QTEST_GUILESS_MAIN(TestCrypto)
#include "tst_crypto.moc"
