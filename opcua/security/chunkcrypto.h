#pragma once

#include "opcua/securechannel.h"
#include "opcua/security/crypto.h"
#include "opcua/security/keys.h"
#include "opcua/security/policy.h"
#include "opcua/services.h"
#include "opcua/types.h"

#include <optional>

// The protection of secure channel chunks: padding, signature and encryption added to the chunks
// one side sends, and checked and removed from those it receives.
//
// A chunk is handled as laid out on the wire: message header (8 bytes), secure channel id (4),
// security header, sequence header (8), body. `headerSize` counts the bytes before the sequence
// header; they travel in clear (signed, never encrypted). When the chunk is encrypted, the body
// is followed by PaddingSize (one byte), PaddingSize bytes of that value and, when the key
// encrypting it is longer than 2048 bits, ExtraPaddingSize (the high byte of the count); the
// signature covers everything from the first byte up to there and is appended; encryption covers
// everything from the sequence header on. A chunk signed but not encrypted has no padding.
namespace opcua::security {

// Message header, secure channel id and token id: what precedes the sequence header in MSG and
// CLO chunks.
inline constexpr size_t kSymmetricHeaderSize = 16;

// What protection appends after a chunk's body, for one direction; the sizes are in bytes.
struct ChunkFooter
{
    size_t signatureSize = 0;    // 0: not signed
    size_t plainBlockSize = 0;   // 0: not encrypted, so not padded either
    size_t cipherBlockSize = 0;  // what one plain block becomes when encrypted
    size_t extraPaddingSize = 0; // 1 when encrypted with an RSA key over 2048 bits
};

// OPN chunks: with any policy but None, signed with the sender's private key and encrypted to the
// receiver's public key with RSA, whatever the security mode. Each side makes one with its own
// private key and the peer's public key; both must outlive this object. Policy None passes chunks
// unchanged and takes null keys.
class AsymmetricChunkCrypto final : public ChunkCrypto
{
public:
    // Throws ChannelError (BadSecurityPolicyRejected) when a key is not an RSA key the policy
    // allows.
    AsymmetricChunkCrypto(const SecurityPolicy& policy, EVP_PKEY* ownPrivateKey,
                          EVP_PKEY* peerPublicKey);

    size_t maxBodySize(size_t chunkSize, size_t headerSize) const override;
    ByteBuffer protect(ByteBuffer plainChunk, size_t headerSize) const override;
    ByteBuffer verify(ByteView chunk, size_t headerSize) const override;

private:
    const SecurityPolicy* m_policy;
    EVP_PKEY* m_own;
    EVP_PKEY* m_peer;
    ChunkFooter m_sending;   // signed with the own key, encrypted to the peer's
    ChunkFooter m_receiving; // signed with the peer's key, encrypted to the own
};

// MSG and CLO chunks of one security token: in mode Sign signed with HMAC-SHA256, in
// SignAndEncrypt also padded and encrypted with AES-CBC, each side with its own keys of the
// token. `ownKeys` protect what this side sends, `peerKeys` check what it receives.
class SymmetricChunkCrypto final : public ChunkCrypto
{
public:
    // Throws ChannelError (BadSecurityModeRejected) when mode and policy do not go together
    // (None with None, Sign or SignAndEncrypt with any other), and (BadInternalError) when a key
    // is not as long as the policy says.
    SymmetricChunkCrypto(const SecurityPolicy& policy, MessageSecurityMode mode,
                         const SymmetricKeys& ownKeys, const SymmetricKeys& peerKeys);

    size_t maxBodySize(size_t chunkSize, size_t headerSize) const override;
    ByteBuffer protect(ByteBuffer plainChunk, size_t headerSize) const override;
    ByteBuffer verify(ByteView chunk, size_t headerSize) const override;

private:
    struct Keyed
    {
        Hmac hmac;
        AesCbc aes;
    };

    ChunkFooter m_footer;
    std::optional<Keyed> m_own;
    std::optional<Keyed> m_peer;
};

} // namespace opcua::security
