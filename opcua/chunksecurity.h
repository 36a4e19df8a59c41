#pragma once

#include "opcua/securechannel.h"
#include "opcua/tcp.h"
#include "opcua/types.h"

#include <cstddef>
#include <cstdint>

namespace opcua {

// How the chunks of one channel are protected: the one place where a security policy signs,
// encrypts, checks and decrypts. ChannelEndpoint hands every chunk it sends to protect() once
// the chunk is laid out, and every OPN, MSG and CLO chunk it receives to verify() once the
// plain headers are read, before the sequence header and body are decoded.
//
// A chunk on the wire is laid out as
//
//     message header | channel id | security header | sequence header | body | padding | signature
//     \________________ plain ___________________/
//
// The signature covers the chunk from its first byte to the end of the padding; encryption
// covers the sequence header to the end of the signature. The size in the message header
// counts the chunk as sent, padding and signature included. OPN chunks use the asymmetric keys
// their security header names (policy, sender certificate, receiver thumbprint); MSG and CLO
// chunks the symmetric keys of the token their security header names. A policy other than None
// implements this over security::ChunkCrypto: the asymmetric one for OPN chunks, the symmetric
// one of each token for MSG and CLO chunks.
class ChunkSecurity
{
public:
    virtual ~ChunkSecurity() = default;

    // The most body bytes a chunk of `chunkSize` bytes carries when its plain part takes
    // `plainSize` bytes: what is left for the body after the sequence header, padding and
    // signature, rounded to whole cipher blocks. 0 when nothing fits.
    virtual size_t maxBodySize(MessageType type, size_t chunkSize, size_t plainSize) const = 0;

    // The bytes to send for a chunk laid out as above up to the end of its body, with its size
    // field counting exactly those bytes. Adds padding and signature, encrypts, and sets the
    // size field to the final size.
    virtual ByteBuffer protect(MessageType type, ByteBuffer chunk, size_t plainSize) = 0;

    // Checks a received chunk whose plain headers are `headers` and returns it with its
    // protection undone: decrypted, without padding and signature, laid out as protect()
    // takes it. Throws ChannelError: BadSecurityPolicyRejected for a policy this side does not
    // speak, BadSecurityChecksFailed for a signature that does not match.
    virtual ByteBuffer verify(const ChunkHeaders& headers, ByteBuffer chunk) = 0;

    // The channel's tokens: a token was issued (or renewed), so chunks may name it from now
    // on; a token was retired, so its keys can go.
    virtual void tokenIssued(uint32_t tokenId) = 0;
    virtual void tokenRetired(uint32_t tokenId) = 0;
};

// Security policy None: nothing is signed or encrypted, and an OPN chunk naming any other
// policy is refused with BadSecurityPolicyRejected.
class NoSecurity final : public ChunkSecurity
{
public:
    size_t maxBodySize(MessageType type, size_t chunkSize, size_t plainSize) const override;
    ByteBuffer protect(MessageType type, ByteBuffer chunk, size_t plainSize) override;
    ByteBuffer verify(const ChunkHeaders& headers, ByteBuffer chunk) override;
    void tokenIssued(uint32_t) override {}
    void tokenRetired(uint32_t) override {}
};

} // namespace opcua
