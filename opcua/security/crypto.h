#pragma once

#include "opcua/security/openssl.h"
#include "opcua/security/policy.h"
#include "opcua/types.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

// The cryptographic primitives of the security policies, on OpenSSL's EVP interfaces. Keys
// come in as EVP_PKEY pointers (a private key, or a certificate's public key) that the caller
// keeps alive. Failures throw ChannelError: BadSecurityChecksFailed when bytes from a peer do
// not check out, BadSecurityPolicyRejected for a key the policy does not allow, and
// BadInternalError when OpenSSL fails on this side's own data.
namespace opcua::security {

// Throws ChannelError (BadSecurityChecksFailed) saying why. Every check of a peer's bytes fails
// with this one status, so that the peer cannot learn which check it failed; the description is
// for this side's log.
[[noreturn]] void securityChecksFailed(const std::string& why);

// Cryptographically random bytes, for nonces.
ByteBuffer randomBytes(size_t count);

// HMAC-SHA256 under one key, set up once and used for many messages.
class Hmac
{
public:
    static constexpr size_t kSize = 32;
    using Signature = std::array<uint8_t, kSize>;

    explicit Hmac(ByteView key);

    // The signature of `first` followed by `second`.
    Signature sign(ByteView first, ByteView second = {}) const;
    // True when `signature` is that of `data`. Compares in constant time, so that the time taken
    // tells a forger nothing about how much of a guess was right.
    bool verify(ByteView data, ByteView signature) const;

private:
    ssl::MacCtx m_keyed; // duplicated for every message
};

// AES-CBC without padding under one key and initialisation vector; the key's length (16 or 32
// bytes) picks AES-128 or AES-256. Data must be whole 16-byte blocks and is transformed in place,
// each call starting from the initialisation vector. Each direction keeps one OpenSSL context,
// keyed once, so one object must not be used from two threads at once.
class AesCbc
{
public:
    static constexpr size_t kBlockSize = 16;

    AesCbc(ByteView key, ByteView iv);

    void encrypt(std::span<uint8_t> data) const;
    void decrypt(std::span<uint8_t> data) const;

private:
    void run(EVP_CIPHER_CTX* context, std::span<uint8_t> data) const;

    ssl::Cipher m_cipher;
    ssl::CipherCtx m_encrypting;
    ssl::CipherCtx m_decrypting;
    ByteBuffer m_iv;
};

// The bytes of an RSA key's modulus: the size of its signatures and of its ciphertext blocks.
size_t rsaKeySize(const EVP_PKEY* key);
// The plaintext bytes one RSA-OAEP block carries with this policy and key.
size_t plainTextBlockSize(const SecurityPolicy& policy, const EVP_PKEY* key);
// Throws ChannelError (BadSecurityPolicyRejected) unless the key is an RSA key with a length the
// policy allows.
void checkKeyFitsPolicy(const SecurityPolicy& policy, const EVP_PKEY* key);

// The policy's asymmetric signature of data; rsaKeySize(privateKey) bytes.
ByteBuffer asymmetricSign(const SecurityPolicy& policy, EVP_PKEY* privateKey, ByteView data);
// True when signature is the policy's asymmetric signature of data under publicKey.
bool asymmetricVerify(const SecurityPolicy& policy, EVP_PKEY* publicKey, ByteView data,
                      ByteView signature);
// The policy's asymmetric encryption of plaintext, cut into blocks of plainTextBlockSize bytes
// (the last may be shorter), each encrypted to rsaKeySize(publicKey) bytes.
ByteBuffer asymmetricEncrypt(const SecurityPolicy& policy, EVP_PKEY* publicKey, ByteView plaintext);
// The reverse. Throws ChannelError (BadSecurityChecksFailed) when the ciphertext is not whole
// blocks or a block does not decrypt.
ByteBuffer asymmetricDecrypt(const SecurityPolicy& policy, EVP_PKEY* privateKey,
                             ByteView ciphertext);

} // namespace opcua::security
