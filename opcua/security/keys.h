#pragma once

#include "opcua/security/policy.h"
#include "opcua/types.h"

// The symmetric keys of a secure channel, derived per security token from the nonces the
// OpenSecureChannel request and response carried.
namespace opcua::security {

// The protocol's pseudo-random function P_SHA256: `length` bytes of HMAC-SHA256 in feedback
// mode, A(0) = seed, A(i) = HMAC(secret, A(i-1)), output = HMAC(secret, A(1) + seed) +
// HMAC(secret, A(2) + seed) + ...
ByteBuffer pSha256(ByteView secret, ByteView seed, size_t length);

// What one side signs, encrypts and seeds AES-CBC with; empty for policy None. The bytes are
// overwritten when the keys are released, so that freed memory does not keep them; copies are
// wiped alike.
struct SymmetricKeys
{
    ByteBuffer signingKey;
    ByteBuffer encryptingKey;
    ByteBuffer iv;
    ~SymmetricKeys();
    friend bool operator==(const SymmetricKeys&, const SymmetricKeys&) = default;
};

// The keys of one token: `client` protects what the client sends, `server` what the server
// sends.
struct ChannelKeys
{
    SymmetricKeys client;
    SymmetricKeys server;
};

// The client's keys come from P_SHA256(serverNonce, clientNonce), the server's from
// P_SHA256(clientNonce, serverNonce), each cut into signing key, encrypting key and IV with the
// policy's lengths. Throws ChannelError (BadNonceInvalid) when a nonce is not as long as the
// policy says; policy None gives empty keys.
ChannelKeys deriveChannelKeys(const SecurityPolicy& policy, ByteView clientNonce,
                              ByteView serverNonce);

} // namespace opcua::security
