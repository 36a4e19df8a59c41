#include "opcua/security/chunkcrypto.h"

#include "opcua/binary.h"
#include "opcua/securechannel.h"

#include <algorithm>
#include <cstdint>

namespace opcua::security {

namespace {

// Where the message size sits in the message header.
constexpr size_t kMessageSizeOffset = 4;
// Message header and secure channel id: the least any chunk has before its security header.
constexpr size_t kMinHeaderSize = kMessageHeaderSize + 4;

uint32_t messageSize(ByteView chunk)
{
    return Decoder(chunk.subspan(kMessageSizeOffset)).read<uint32_t>();
}

void setMessageSize(ByteBuffer& chunk, size_t size)
{
    if (size > UINT32_MAX)
        throw ChannelError(status::BadInternalError,
                           "a chunk cannot hold " + std::to_string(size) + " bytes");
    Encoder encoder(std::move(chunk));
    encoder.patchUInt32(kMessageSizeOffset, uint32_t(size));
    chunk = encoder.take();
}

void checkPlainChunk(ByteView chunk, size_t headerSize)
{
    if (headerSize < kMinHeaderSize || chunk.size() < headerSize + kSequenceHeaderSize)
        throw ChannelError(status::BadInternalError,
                           "a chunk of " + std::to_string(chunk.size()) +
                               " bytes cannot hold a sequence header after " +
                               std::to_string(headerSize) + " header bytes");
}

// The checks that need no key: the chunk is long enough for its headers and protection, and the
// message size it announces is the number of bytes received.
void checkReceivedSize(ByteView chunk, size_t headerSize, size_t minimumSize)
{
    if (headerSize < kMinHeaderSize)
        throw ChannelError(status::BadInternalError, "header size " + std::to_string(headerSize) +
                                                         " is below " +
                                                         std::to_string(kMinHeaderSize));
    if (chunk.size() < std::max(minimumSize, headerSize + kSequenceHeaderSize))
        securityChecksFailed("a chunk of " + std::to_string(chunk.size()) + " bytes is too short");
    if (messageSize(chunk) != chunk.size())
        securityChecksFailed("the message size " + std::to_string(messageSize(chunk)) +
                             " does not match the " + std::to_string(chunk.size()) +
                             " bytes received");
}

// The shortest a chunk can be before encryption: headers, padding size and signature.
size_t minimumPlainSize(const ChunkFooter& footer, size_t headerSize)
{
    const size_t paddingSize = footer.plainBlockSize == 0 ? 0 : 1 + footer.extraPaddingSize;
    return headerSize + kSequenceHeaderSize + paddingSize + footer.signatureSize;
}

// A lower bound of the same once encrypted: encryption never shrinks a chunk and gives at least
// one block.
size_t minimumProtectedSize(const ChunkFooter& footer, size_t headerSize)
{
    return std::max(minimumPlainSize(footer, headerSize), headerSize + footer.cipherBlockSize);
}

size_t maxBody(const ChunkFooter& footer, size_t chunkSize, size_t headerSize)
{
    const size_t room = chunkSize > headerSize ? chunkSize - headerSize : 0;
    const size_t plainRoom =
        footer.plainBlockSize == 0 ? room : room / footer.cipherBlockSize * footer.plainBlockSize;
    const size_t overhead = kSequenceHeaderSize + footer.signatureSize +
                            (footer.plainBlockSize == 0 ? 0 : 1 + footer.extraPaddingSize);
    return plainRoom > overhead ? plainRoom - overhead : 0;
}

// Pads the chunk so that everything from its sequence header to the end of the signature to come
// fills whole blocks, with the fewest padding bytes that do.
void pad(const ChunkFooter& footer, ByteBuffer& chunk, size_t headerSize)
{
    if (footer.plainBlockSize == 0)
        return;
    const size_t used =
        chunk.size() - headerSize + 1 + footer.extraPaddingSize + footer.signatureSize;
    const size_t count =
        (footer.plainBlockSize - used % footer.plainBlockSize) % footer.plainBlockSize;
    chunk.insert(chunk.end(), count + 1, uint8_t(count & 0xFF));
    if (footer.extraPaddingSize != 0)
        chunk.push_back(uint8_t(count >> 8));
}

// The size of a padded chunk, its signature included, once encrypted.
size_t protectedSize(const ChunkFooter& footer, size_t headerSize, size_t signedSize)
{
    if (footer.plainBlockSize == 0)
        return signedSize;
    return headerSize + (signedSize - headerSize) / footer.plainBlockSize * footer.cipherBlockSize;
}

// Where the body of a decrypted chunk with a valid signature ends: before its padding, which must
// be one size (one or two bytes) and that many bytes of its low byte, no more than a block, and
// must leave the sequence header whole.
size_t unpad(const ChunkFooter& footer, ByteView plain, size_t headerSize, size_t signatureStart)
{
    if (footer.plainBlockSize == 0)
        return signatureStart;
    const size_t bodyStart = headerSize + kSequenceHeaderSize;
    const size_t sizeAt = signatureStart - 1 - footer.extraPaddingSize;
    const uint8_t low = plain[sizeAt];
    const size_t high = footer.extraPaddingSize != 0 ? plain[signatureStart - 1] : 0;
    const size_t count = high << 8 | low;
    if (count > footer.plainBlockSize || count > sizeAt - bodyStart)
        securityChecksFailed("a padding of " + std::to_string(count) + " bytes does not fit");
    const auto padding = plain.subspan(sizeAt - count, count);
    if (!std::ranges::all_of(padding, [low](uint8_t b) { return b == low; }))
        securityChecksFailed("the padding bytes differ from the padding size");
    return sizeAt - count;
}

ChunkFooter rsaFooter(const SecurityPolicy& policy, const EVP_PKEY* signingKey,
                      const EVP_PKEY* encryptionKey)
{
    const size_t cipherBlockSize = rsaKeySize(encryptionKey);
    // One byte counts at most 255 padding bytes, too few for the blocks of a longer key.
    const size_t extraPaddingSize = cipherBlockSize > 256 ? 1 : 0;
    return {rsaKeySize(signingKey), plainTextBlockSize(policy, encryptionKey), cipherBlockSize,
            extraPaddingSize};
}

ChunkFooter symmetricFooter(const SecurityPolicy& policy, MessageSecurityMode mode)
{
    switch (mode) {
    case MessageSecurityMode::Sign:
        return {policy.signatureSize, 0, 0, 0};
    case MessageSecurityMode::SignAndEncrypt:
        return {policy.signatureSize, policy.encryptionBlockSize, policy.encryptionBlockSize, 0};
    case MessageSecurityMode::None:
    case MessageSecurityMode::Invalid:
        break;
    }
    return {};
}

void checkModeFitsPolicy(const SecurityPolicy& policy, MessageSecurityMode mode)
{
    const bool secureMode =
        mode == MessageSecurityMode::Sign || mode == MessageSecurityMode::SignAndEncrypt;
    if (mode == MessageSecurityMode::Invalid || secureMode == policy.isNone())
        throw ChannelError(status::BadSecurityModeRejected,
                           "security mode " + std::to_string(int(mode)) +
                               " does not go with security policy " + std::string(policy.name));
}

void checkKeyLengths(const SecurityPolicy& policy, const SymmetricKeys& keys)
{
    if (keys.signingKey.size() != policy.signatureKeyLength ||
        keys.encryptingKey.size() != policy.encryptionKeyLength ||
        keys.iv.size() != policy.encryptionBlockSize)
        throw ChannelError(status::BadInternalError,
                           "the keys are not the lengths " + std::string(policy.name) + " needs");
}

} // namespace

AsymmetricChunkCrypto::AsymmetricChunkCrypto(const SecurityPolicy& policy, EVP_PKEY* ownPrivateKey,
                                             EVP_PKEY* peerPublicKey)
    : m_policy(&policy), m_own(ownPrivateKey), m_peer(peerPublicKey)
{
    if (policy.isNone())
        return;
    checkKeyFitsPolicy(policy, ownPrivateKey);
    checkKeyFitsPolicy(policy, peerPublicKey);
    m_sending = rsaFooter(policy, ownPrivateKey, peerPublicKey);
    m_receiving = rsaFooter(policy, peerPublicKey, ownPrivateKey);
}

size_t AsymmetricChunkCrypto::maxBodySize(size_t chunkSize, size_t headerSize) const
{
    return maxBody(m_sending, chunkSize, headerSize);
}

ByteBuffer AsymmetricChunkCrypto::protect(ByteBuffer chunk, size_t headerSize) const
{
    checkPlainChunk(chunk, headerSize);
    if (m_policy->isNone()) {
        setMessageSize(chunk, chunk.size());
        return chunk;
    }
    pad(m_sending, chunk, headerSize);
    setMessageSize(chunk,
                   protectedSize(m_sending, headerSize, chunk.size() + m_sending.signatureSize));
    const ByteBuffer signature = asymmetricSign(*m_policy, m_own, chunk);
    chunk.insert(chunk.end(), signature.begin(), signature.end());
    const ByteBuffer encrypted =
        asymmetricEncrypt(*m_policy, m_peer, ByteView(chunk).subspan(headerSize));
    chunk.resize(headerSize);
    chunk.insert(chunk.end(), encrypted.begin(), encrypted.end());
    return chunk;
}

ByteBuffer AsymmetricChunkCrypto::verify(ByteView chunk, size_t headerSize) const
{
    checkReceivedSize(chunk, headerSize, minimumProtectedSize(m_receiving, headerSize));
    if (m_policy->isNone())
        return ByteBuffer(chunk.begin(), chunk.end());
    const ByteView encrypted = chunk.subspan(headerSize);
    const size_t blocks = encrypted.size() / m_receiving.cipherBlockSize;
    if (encrypted.size() % m_receiving.cipherBlockSize != 0)
        securityChecksFailed("the encrypted part is not whole RSA blocks");
    const ByteBuffer decrypted = asymmetricDecrypt(*m_policy, m_own, encrypted);
    if (decrypted.size() != blocks * m_receiving.plainBlockSize)
        securityChecksFailed("an RSA block did not carry a whole plaintext block");
    ByteBuffer plain(chunk.begin(), chunk.begin() + ptrdiff_t(headerSize));
    plain.insert(plain.end(), decrypted.begin(), decrypted.end());
    if (plain.size() < minimumPlainSize(m_receiving, headerSize))
        securityChecksFailed("the decrypted chunk is too short for its signature");
    const size_t signatureStart = plain.size() - m_receiving.signatureSize;
    const ByteView signedPart = ByteView(plain).first(signatureStart);
    if (!asymmetricVerify(*m_policy, m_peer, signedPart, ByteView(plain).subspan(signatureStart)))
        securityChecksFailed("the signature does not match");
    plain.resize(unpad(m_receiving, plain, headerSize, signatureStart));
    setMessageSize(plain, plain.size());
    return plain;
}

SymmetricChunkCrypto::SymmetricChunkCrypto(const SecurityPolicy& policy, MessageSecurityMode mode,
                                           const SymmetricKeys& ownKeys,
                                           const SymmetricKeys& peerKeys)
    : m_footer(symmetricFooter(policy, mode))
{
    checkModeFitsPolicy(policy, mode);
    if (policy.isNone())
        return;
    checkKeyLengths(policy, ownKeys);
    checkKeyLengths(policy, peerKeys);
    m_own.emplace(Keyed{Hmac(ownKeys.signingKey), AesCbc(ownKeys.encryptingKey, ownKeys.iv)});
    m_peer.emplace(Keyed{Hmac(peerKeys.signingKey), AesCbc(peerKeys.encryptingKey, peerKeys.iv)});
}

size_t SymmetricChunkCrypto::maxBodySize(size_t chunkSize, size_t headerSize) const
{
    return maxBody(m_footer, chunkSize, headerSize);
}

ByteBuffer SymmetricChunkCrypto::protect(ByteBuffer chunk, size_t headerSize) const
{
    checkPlainChunk(chunk, headerSize);
    if (!m_own) {
        setMessageSize(chunk, chunk.size());
        return chunk;
    }
    pad(m_footer, chunk, headerSize);
    setMessageSize(chunk, chunk.size() + m_footer.signatureSize);
    const Hmac::Signature signature = m_own->hmac.sign(chunk);
    chunk.insert(chunk.end(), signature.begin(), signature.end());
    if (m_footer.plainBlockSize != 0)
        m_own->aes.encrypt(std::span(chunk).subspan(headerSize));
    return chunk;
}

ByteBuffer SymmetricChunkCrypto::verify(ByteView chunk, size_t headerSize) const
{
    checkReceivedSize(chunk, headerSize, minimumProtectedSize(m_footer, headerSize));
    ByteBuffer plain(chunk.begin(), chunk.end());
    if (!m_peer)
        return plain;
    if (m_footer.plainBlockSize != 0) {
        if ((plain.size() - headerSize) % m_footer.cipherBlockSize != 0)
            securityChecksFailed("the encrypted part is not whole AES blocks");
        m_peer->aes.decrypt(std::span(plain).subspan(headerSize));
    }
    const size_t signatureStart = plain.size() - m_footer.signatureSize;
    const ByteView signedPart = ByteView(plain).first(signatureStart);
    if (!m_peer->hmac.verify(signedPart, ByteView(plain).subspan(signatureStart)))
        securityChecksFailed("the signature does not match");
    plain.resize(unpad(m_footer, plain, headerSize, signatureStart));
    setMessageSize(plain, plain.size());
    return plain;
}

} // namespace opcua::security
