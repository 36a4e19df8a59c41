#include "opcua/securechannel.h"
#include "opcua/security/chunkcrypto.h"
#include "tests/opcua/testbytes.h"
#include "tests/security/testcrypto.h"
#include "tests/security/vectors.h"

#include <QTest>
#include <functional>
#include <memory>
#include <numeric>

using namespace opcua;
using namespace opcua::security;
using testbytes::hex;
using testcrypto::fromHex;
using testcrypto::statusOf;

namespace {

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

AsymmetricSecurityHeader openHeader(const SecurityPolicy& policy)
{
    return {String(policy.uri), ByteString(pattern(40, 1, 0xc0)), ByteString(pattern(20, 1, 0xe0))};
}

ByteBuffer openChunk(const SecurityPolicy& policy, ByteView body)
{
    return plainChunk(MessageType::OpenSecureChannel, openHeader(policy), body);
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

void fitMessageSize(ByteBuffer& chunk)
{
    setMessageSize(chunk, chunk.size());
}

const SecurityPolicy& policyNamed(const QString& name)
{
    for (const SecurityPolicy& policy : kSecurityPolicies)
        if (QString::fromLatin1(policy.name.data(), qsizetype(policy.name.size())) == name)
            return policy;
    throw std::invalid_argument("no policy " + name.toStdString());
}

ChannelKeys testKeys(const SecurityPolicy& policy, uint8_t salt = 0)
{
    return deriveChannelKeys(policy, pattern(policy.nonceLength, 3, salt),
                             pattern(policy.nonceLength, 5, 0x80));
}

// The kinds of exchange the tampering tests run on.
enum class Exchange {
    MessageSigned,    // MSG, Basic256Sha256, Sign
    MessageEncrypted, // MSG, Basic256Sha256, SignAndEncrypt
    Open,             // OPN, Aes256_Sha256_RsaPss, 2048-bit keys
    OpenToLargeKey,   // OPN, Basic256Sha256, to a 4096-bit key: the extra padding byte
};

} // namespace

Q_DECLARE_METATYPE(Exchange)

class TestChunks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void protectsMessagesAsNodeOpcuaDoes_data();
    void protectsMessagesAsNodeOpcuaDoes();
    void acceptsNodeOpcuasOpenChunks_data();
    void acceptsNodeOpcuasOpenChunks();
    void roundTripsMessagesInEveryPolicyAndMode_data();
    void roundTripsMessagesInEveryPolicyAndMode();
    void roundTripsOpenChunksAroundBlockEdges_data();
    void roundTripsOpenChunksAroundBlockEdges();
    void fillsButNeverOverfillsAChunk_data();
    void fillsButNeverOverfillsAChunk();
    void refusesTamperedChunks_data();
    void refusesTamperedChunks();
    void refusesEveryAlteredByteAndEveryShorterLength_data();
    void refusesEveryAlteredByteAndEveryShorterLength();
    void checksThePaddingUnderAValidSignature_data();
    void checksThePaddingUnderAValidSignature();
    void refusesChunksProtectedWithOtherKeys();
    void refusesKeysAndModesThePolicyDoesNotAllow();

private:
    // A sender's and a receiver's view of one exchange, and a plain chunk to send.
    struct Pair
    {
        std::unique_ptr<ChunkCrypto> sender;
        std::unique_ptr<ChunkCrypto> receiver;
        size_t headerSize = 0;
        size_t blockSize = 0; // of the cipher text, or of AES when only signed
    };
    Pair pair(Exchange exchange) const;
    ByteBuffer plain(Exchange exchange, ByteView body) const;
    ByteBuffer seal(Exchange exchange, ByteBuffer chunk, size_t headerSize) const;
    std::unique_ptr<AsymmetricChunkCrypto> openCrypto(const SecurityPolicy& policy, int own,
                                                      int peer) const;

    // Keys 0 and 1 have 2048 bits, key 2 has 4096; key 3 has 2048 and stands for a stranger.
    std::vector<ssl::Pkey> m_private;
    std::vector<ssl::Pkey> m_public;
};

void TestChunks::initTestCase()
{
    m_private.push_back(testcrypto::privateKeyFromPem(vectors::kKey2048));
    m_private.push_back(testcrypto::newRsaKey(2048));
    m_private.push_back(testcrypto::privateKeyFromPem(vectors::kKey4096));
    m_private.push_back(testcrypto::newRsaKey(2048));
    for (const auto& key : m_private)
        m_public.push_back(testcrypto::publicHalf(key.get()));
}

std::unique_ptr<AsymmetricChunkCrypto> TestChunks::openCrypto(const SecurityPolicy& policy, int own,
                                                              int peer) const
{
    return std::make_unique<AsymmetricChunkCrypto>(policy, m_private[size_t(own)].get(),
                                                   m_public[size_t(peer)].get());
}

TestChunks::Pair TestChunks::pair(Exchange exchange) const
{
    Pair p;
    const auto message = [&](MessageSecurityMode mode) {
        const SecurityPolicy& policy = policyNamed("Basic256Sha256");
        const ChannelKeys keys = testKeys(policy);
        p.sender = std::make_unique<SymmetricChunkCrypto>(policy, mode, keys.client, keys.server);
        p.receiver = std::make_unique<SymmetricChunkCrypto>(policy, mode, keys.server, keys.client);
        p.headerSize = kSymmetricHeaderSize;
        p.blockSize = AesCbc::kBlockSize;
    };
    const auto open = [&](const char* name, int receiver) {
        const SecurityPolicy& policy = policyNamed(name);
        p.sender = openCrypto(policy, 0, receiver);
        p.receiver = openCrypto(policy, receiver, 0);
        p.headerSize = openHeaderSize(policy);
        p.blockSize = rsaKeySize(m_public[size_t(receiver)].get());
    };
    switch (exchange) {
    case Exchange::MessageSigned:
        message(MessageSecurityMode::Sign);
        break;
    case Exchange::MessageEncrypted:
        message(MessageSecurityMode::SignAndEncrypt);
        break;
    case Exchange::Open:
        open("Aes256_Sha256_RsaPss", 1);
        break;
    case Exchange::OpenToLargeKey:
        open("Basic256Sha256", 2);
        break;
    }
    return p;
}

ByteBuffer TestChunks::plain(Exchange exchange, ByteView body) const
{
    switch (exchange) {
    case Exchange::MessageSigned:
    case Exchange::MessageEncrypted:
        return messageChunk(body);
    case Exchange::Open:
        return openChunk(policyNamed("Aes256_Sha256_RsaPss"), body);
    case Exchange::OpenToLargeKey:
        return openChunk(policyNamed("Basic256Sha256"), body);
    }
    return {};
}

void TestChunks::protectsMessagesAsNodeOpcuaDoes_data()
{
    QTest::addColumn<int>("index");
    for (size_t i = 0; i < std::size(vectors::kSymmetricChunks); ++i) {
        const auto& v = vectors::kSymmetricChunks[i];
        const std::string name = std::string(securityPolicy(v.policyUri).name) +
                                 (v.mode == vectors::Mode::Sign ? " Sign, " : " SignAndEncrypt, ") +
                                 std::to_string(fromHex(v.body).size()) + "-byte body";
        QTest::newRow(name.c_str()) << int(i);
    }
}

// The same keys and chunk give node-opcua's bytes exactly, and node-opcua's bytes give the chunk
// back, the second time as the first: every chunk starts from the token's IV, not from where the
// one before ended.
void TestChunks::protectsMessagesAsNodeOpcuaDoes()
{
    QFETCH(int, index);
    const auto& v = vectors::kSymmetricChunks[index];
    const SymmetricKeys keys{fromHex(v.keys.signingKey), fromHex(v.keys.encryptingKey),
                             fromHex(v.keys.iv)};
    const auto mode = v.mode == vectors::Mode::Sign ? MessageSecurityMode::Sign
                                                    : MessageSecurityMode::SignAndEncrypt;
    const SymmetricChunkCrypto crypto(securityPolicy(v.policyUri), mode, keys, keys);
    const ByteBuffer chunk = messageChunk(fromHex(v.body));

    for (int time = 0; time < 2; ++time) {
        QCOMPARE(hex(crypto.protect(chunk, kSymmetricHeaderSize)), hex(fromHex(v.wire)));
        QCOMPARE(hex(crypto.verify(fromHex(v.wire), kSymmetricHeaderSize)), hex(chunk));
    }
}

void TestChunks::acceptsNodeOpcuasOpenChunks_data()
{
    QTest::addColumn<int>("index");
    for (size_t i = 0; i < std::size(vectors::kAsymmetricChunks); ++i) {
        const auto& v = vectors::kAsymmetricChunks[i];
        const auto bits = [](const char* pem) {
            return pem == vectors::kKey2048 ? "2048" : "4096";
        };
        const std::string name = std::string(securityPolicy(v.policyUri).name) + ", " +
                                 bits(v.senderKeyPem) + " bits to " + bits(v.receiverKeyPem);
        QTest::newRow(name.c_str()) << int(i);
    }
}

// OAEP and PSS are randomised, so node-opcua's OPN chunks are checked by taking them apart.
void TestChunks::acceptsNodeOpcuasOpenChunks()
{
    QFETCH(int, index);
    const auto& v = vectors::kAsymmetricChunks[index];
    const SecurityPolicy& policy = securityPolicy(v.policyUri);
    const ssl::Pkey receiver = testcrypto::privateKeyFromPem(v.receiverKeyPem);
    const ssl::Pkey sender = testcrypto::privateKeyFromPem(v.senderKeyPem);
    const ssl::Pkey senderPublic = testcrypto::publicHalf(sender.get());
    const AsymmetricChunkCrypto crypto(policy, receiver.get(), senderPublic.get());

    const ByteBuffer opened = crypto.verify(fromHex(v.wire), openHeaderSize(policy));
    QCOMPARE(hex(opened), hex(openChunk(policy, fromHex(v.body))));
}

void TestChunks::roundTripsMessagesInEveryPolicyAndMode_data()
{
    QTest::addColumn<QString>("policy");
    QTest::addColumn<int>("mode");

    QTest::newRow("None") << "None" << int(MessageSecurityMode::None);
    for (const char* policy : {"Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"})
        for (const auto mode : {MessageSecurityMode::Sign, MessageSecurityMode::SignAndEncrypt}) {
            const std::string name =
                std::string(policy) +
                (mode == MessageSecurityMode::Sign ? " Sign" : " SignAndEncrypt");
            QTest::newRow(name.c_str()) << policy << int(mode);
        }
}

// Every body length over three AES blocks and two large ones, from client to server and back:
// each comes out as it went in, padded to whole blocks with the fewest bytes that do.
void TestChunks::roundTripsMessagesInEveryPolicyAndMode()
{
    QFETCH(QString, policy);
    QFETCH(int, mode);

    const SecurityPolicy& p = policyNamed(policy);
    const auto m = MessageSecurityMode(mode);
    const ChannelKeys keys = testKeys(p);
    const SymmetricChunkCrypto client(p, m, keys.client, keys.server);
    const SymmetricChunkCrypto server(p, m, keys.server, keys.client);
    std::vector<size_t> bodySizes(48);
    std::iota(bodySizes.begin(), bodySizes.end(), 0);
    bodySizes.insert(bodySizes.end(), {1000, 65000});

    for (const size_t bodySize : bodySizes) {
        const ByteBuffer chunk = messageChunk(pattern(bodySize, 7, 1));
        const size_t afterHeader = chunk.size() - kSymmetricHeaderSize;
        const size_t expectedSize =
            m == MessageSecurityMode::None ? chunk.size()
            : m == MessageSecurityMode::Sign
                ? chunk.size() + 32
                : kSymmetricHeaderSize + (afterHeader + 1 + 32 + 15) / 16 * 16;
        for (const auto* ends : {&client, &server}) {
            const auto& receiver = ends == &client ? server : client;
            const ByteBuffer sent = ends->protect(chunk, kSymmetricHeaderSize);
            QCOMPARE(sent.size(), expectedSize);
            QCOMPARE(hex(receiver.verify(sent, kSymmetricHeaderSize)), hex(chunk));
        }
    }
}

void TestChunks::roundTripsOpenChunksAroundBlockEdges_data()
{
    QTest::addColumn<QString>("policy");
    QTest::addColumn<int>("sender");
    QTest::addColumn<int>("receiver");

    for (const char* policy : {"Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"}) {
        QTest::newRow((std::string(policy) + ", 2048 bits to 2048").c_str()) << policy << 0 << 1;
        QTest::newRow((std::string(policy) + ", 2048 bits to 4096").c_str()) << policy << 0 << 2;
        QTest::newRow((std::string(policy) + ", 4096 bits to 2048").c_str()) << policy << 2 << 0;
    }
}

// Bodies that fill the last RSA block exactly, leave one byte of padding, or need a whole block
// more, an empty body and one of many blocks: each comes out as it went in, in the number of
// blocks the fewest padding bytes give.
void TestChunks::roundTripsOpenChunksAroundBlockEdges()
{
    QFETCH(QString, policy);
    QFETCH(int, sender);
    QFETCH(int, receiver);

    const SecurityPolicy& p = policyNamed(policy);
    const auto from = openCrypto(p, sender, receiver);
    const auto to = openCrypto(p, receiver, sender);
    const size_t signatureSize = rsaKeySize(m_public[size_t(sender)].get());
    const size_t cipherBlock = rsaKeySize(m_public[size_t(receiver)].get());
    const size_t plainBlock = cipherBlock - p.oaepOverhead;
    const size_t overhead = 8 + 1 + (cipherBlock > 256 ? 1 : 0) + signatureSize;
    const size_t blocksForEdge = overhead / plainBlock + 1;
    const size_t edge = blocksForEdge * plainBlock - overhead;

    for (const size_t bodySize : {edge - 1, edge, edge + 1, size_t(0), size_t(3000)}) {
        const ByteBuffer chunk = openChunk(p, pattern(bodySize, 11, 2));
        const ByteBuffer sent = from->protect(chunk, openHeaderSize(p));
        const size_t blocks = (bodySize + overhead + plainBlock - 1) / plainBlock;
        QCOMPARE(sent.size(), openHeaderSize(p) + blocks * cipherBlock);
        QCOMPARE(hex(to->verify(sent, openHeaderSize(p))), hex(chunk));
    }
}

void TestChunks::fillsButNeverOverfillsAChunk_data()
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
    QTest::newRow("OPN, too small for a byte") << Exchange::Open << 147 + 256 << 0;
}

// A body of maxBodySize bytes fits within the chunk size, one byte more does not.
void TestChunks::fillsButNeverOverfillsAChunk()
{
    QFETCH(Exchange, exchange);
    QFETCH(int, chunkSize);
    QFETCH(int, expected);

    const Pair p = pair(exchange);
    const size_t most = p.sender->maxBodySize(size_t(chunkSize), p.headerSize);
    QCOMPARE(most, size_t(expected));
    if (most == 0)
        return;
    QVERIFY(p.sender->protect(plain(exchange, pattern(most, 1, 0)), p.headerSize).size() <=
            size_t(chunkSize));
    QVERIFY(p.sender->protect(plain(exchange, pattern(most + 1, 1, 0)), p.headerSize).size() >
            size_t(chunkSize));
}

namespace {

struct Tampering
{
    const char* name;
    void (*apply)(ByteBuffer& chunk, size_t headerSize, size_t blockSize);
};

const Tampering kTamperings[] = {
    {"signature byte flipped", [](ByteBuffer& c, size_t, size_t) { c.back() ^= 0x01; }},
    {"last byte cut off", [](ByteBuffer& c, size_t, size_t) { c.pop_back(); }},
    {"last byte cut off, size adjusted",
     [](ByteBuffer& c, size_t, size_t) {
         c.pop_back();
         fitMessageSize(c);
     }},
    {"last block cut off, size adjusted",
     [](ByteBuffer& c, size_t, size_t block) {
         c.resize(c.size() - block);
         fitMessageSize(c);
     }},
    {"byte appended", [](ByteBuffer& c, size_t, size_t) { c.push_back(0); }},
    {"byte appended, size adjusted: not whole blocks",
     [](ByteBuffer& c, size_t, size_t) {
         c.push_back(0);
         fitMessageSize(c);
     }},
    {"block appended, size adjusted",
     [](ByteBuffer& c, size_t, size_t block) {
         c.insert(c.end(), block, 0x5a);
         fitMessageSize(c);
     }},
    {"size says a byte more",
     [](ByteBuffer& c, size_t, size_t) { setMessageSize(c, c.size() + 1); }},
    {"headers only, size adjusted",
     [](ByteBuffer& c, size_t headerSize, size_t) {
         c.resize(headerSize);
         fitMessageSize(c);
     }},
    {"nothing", [](ByteBuffer& c, size_t, size_t) { c.clear(); }},
};

struct NamedExchange
{
    const char* name;
    Exchange exchange;
};

const NamedExchange kExchanges[] = {
    {"MSG signed", Exchange::MessageSigned},
    {"MSG encrypted", Exchange::MessageEncrypted},
    {"OPN", Exchange::Open},
    {"OPN to 4096 bits", Exchange::OpenToLargeKey},
};

} // namespace

void TestChunks::refusesTamperedChunks_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<int>("tampering");
    for (const auto& e : kExchanges)
        for (size_t t = 0; t < std::size(kTamperings); ++t)
            QTest::newRow((std::string(e.name) + ": " + kTamperings[t].name).c_str())
                << e.exchange << int(t);
}

void TestChunks::refusesTamperedChunks()
{
    QFETCH(Exchange, exchange);
    QFETCH(int, tampering);

    const Pair p = pair(exchange);
    ByteBuffer chunk = p.sender->protect(plain(exchange, pattern(100, 1, 0)), p.headerSize);
    kTamperings[tampering].apply(chunk, p.headerSize, p.blockSize);
    QCOMPARE(statusOf([&] { p.receiver->verify(chunk, p.headerSize); }), "BadSecurityChecksFailed");
}

void TestChunks::refusesEveryAlteredByteAndEveryShorterLength_data()
{
    QTest::addColumn<Exchange>("exchange");
    QTest::addColumn<int>("stride"); // every stride-th byte is altered, to bound the RSA work
    QTest::newRow("MSG signed") << Exchange::MessageSigned << 1;
    QTest::newRow("MSG encrypted") << Exchange::MessageEncrypted << 1;
    QTest::newRow("OPN") << Exchange::Open << 7;
}

// No single altered byte gets through, and no shorter chunk, whatever size it announces; under
// the sanitizers this also shows that no check reads outside the chunk.
void TestChunks::refusesEveryAlteredByteAndEveryShorterLength()
{
    QFETCH(Exchange, exchange);
    QFETCH(int, stride);

    const Pair p = pair(exchange);
    const ByteBuffer sent = p.sender->protect(plain(exchange, pattern(40, 1, 0)), p.headerSize);
    const auto refused = [&](const ByteBuffer& chunk) {
        return statusOf([&] { p.receiver->verify(chunk, p.headerSize); }) ==
               "BadSecurityChecksFailed";
    };
    for (size_t at = 0; at < sent.size(); at += size_t(stride)) {
        ByteBuffer altered = sent;
        altered[at] ^= 0x20;
        QVERIFY2(refused(altered), ("byte " + std::to_string(at)).c_str());
    }
    for (size_t size = 0; size < sent.size(); ++size) {
        ByteBuffer shorter(sent.begin(), sent.begin() + ptrdiff_t(size));
        QVERIFY2(refused(shorter), ("length " + std::to_string(size)).c_str());
        if (size >= kMessageHeaderSize) {
            fitMessageSize(shorter);
            QVERIFY2(refused(shorter),
                     ("length " + std::to_string(size) + ", size adjusted").c_str());
        }
    }
}

// Signs and encrypts a chunk whose padding the caller wrote, as a sender holding the keys could.
ByteBuffer TestChunks::seal(Exchange exchange, ByteBuffer chunk, size_t headerSize) const
{
    if (exchange == Exchange::MessageEncrypted) {
        const SymmetricKeys keys = testKeys(policyNamed("Basic256Sha256")).client;
        setMessageSize(chunk, chunk.size() + Hmac::kSize);
        const Hmac::Signature signature = Hmac(keys.signingKey).sign(chunk);
        chunk.insert(chunk.end(), signature.begin(), signature.end());
        AesCbc(keys.encryptingKey, keys.iv).encrypt(std::span(chunk).subspan(headerSize));
        return chunk;
    }
    const bool large = exchange == Exchange::OpenToLargeKey;
    const SecurityPolicy& policy = policyNamed(large ? "Basic256Sha256" : "Aes256_Sha256_RsaPss");
    EVP_PKEY* receiver = m_public[large ? 2 : 1].get();
    const size_t plainBlock = plainTextBlockSize(policy, receiver);
    const size_t signedSize = chunk.size() - headerSize + 256;
    setMessageSize(chunk, headerSize + signedSize / plainBlock * rsaKeySize(receiver));
    const ByteBuffer signature = asymmetricSign(policy, m_private[0].get(), chunk);
    chunk.insert(chunk.end(), signature.begin(), signature.end());
    const ByteBuffer encrypted =
        asymmetricEncrypt(policy, receiver, ByteView(chunk).subspan(headerSize));
    chunk.resize(headerSize);
    chunk.insert(chunk.end(), encrypted.begin(), encrypted.end());
    return chunk;
}

namespace {

ByteBuffer repeat(int value, int count)
{
    return ByteBuffer(size_t(count), uint8_t(value));
}

} // namespace

void TestChunks::checksThePaddingUnderAValidSignature_data()
{
    using testbytes::concat;
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

void TestChunks::checksThePaddingUnderAValidSignature()
{
    QFETCH(Exchange, exchange);
    QFETCH(int, bodySize);
    QFETCH(ByteBuffer, padding);
    QFETCH(QString, expected);

    const Pair p = pair(exchange);
    const ByteBuffer chunk = plain(exchange, pattern(size_t(bodySize), 1, 0));
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

void TestChunks::refusesChunksProtectedWithOtherKeys()
{
    const SecurityPolicy& policy = policyNamed("Basic256Sha256");
    const auto mode = MessageSecurityMode::SignAndEncrypt;
    const ChannelKeys keys = testKeys(policy);
    const ChannelKeys otherToken = testKeys(policy, 1);
    const size_t openSize = openHeaderSize(policy);
    const ByteBuffer message = SymmetricChunkCrypto(policy, mode, keys.client, keys.server)
                                   .protect(messageChunk({}), kSymmetricHeaderSize);
    const ByteBuffer open = openCrypto(policy, 0, 1)->protect(openChunk(policy, {}), openSize);
    const ByteBuffer strangersOpen =
        openCrypto(policy, 3, 1)->protect(openChunk(policy, {}), openSize);

    struct Case
    {
        const char* name;
        std::function<void()> verify;
    };
    const Case cases[] = {
        {"MSG checked with the keys of the other direction",
         [&] {
             SymmetricChunkCrypto(policy, mode, keys.client, keys.server)
                 .verify(message, kSymmetricHeaderSize);
         }},
        {"MSG checked with another token's keys",
         [&] {
             SymmetricChunkCrypto(policy, mode, otherToken.server, otherToken.client)
                 .verify(message, kSymmetricHeaderSize);
         }},
        {"OPN decrypted with another private key",
         [&] { openCrypto(policy, 3, 0)->verify(open, openSize); }},
        {"OPN signed by a stranger",
         [&] { openCrypto(policy, 1, 0)->verify(strangersOpen, openSize); }},
    };
    for (const Case& c : cases)
        QVERIFY2(statusOf(c.verify) == "BadSecurityChecksFailed", c.name);
    QCOMPARE(statusOf([&] {
                 SymmetricChunkCrypto(policy, mode, keys.server, keys.client)
                     .verify(message, kSymmetricHeaderSize);
             }),
             "Good");
    QCOMPARE(statusOf([&] { openCrypto(policy, 1, 0)->verify(open, openSize); }), "Good");
}

void TestChunks::refusesKeysAndModesThePolicyDoesNotAllow()
{
    const SecurityPolicy& basic = policyNamed("Basic256Sha256");
    const SecurityPolicy& none = policyNamed("None");
    const ssl::Pkey shortKey = testcrypto::newRsaKey(1024);
    const ssl::Pkey ecKey(EVP_EC_gen("P-256"));
    const ChannelKeys keys = testKeys(basic);
    const ChannelKeys aes128Keys = testKeys(policyNamed("Aes128_Sha256_RsaOaep"));
    EVP_PKEY* own = m_private[0].get();
    EVP_PKEY* peer = m_public[1].get();

    struct Case
    {
        const char* name;
        std::function<void()> make;
        const char* expected;
    };
    const Case cases[] = {
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
        QVERIFY2(statusOf(c.make) == c.expected, c.name);
}

QTEST_GUILESS_MAIN(TestChunks)
#include "tst_chunks.moc"
