#pragma once

#include "opcua/security/policy.h"
#include "opcua/services.h"
#include "opcua/types.h"

#include <openssl/evp.h>

// The cryptography of the session services: the signatures by which client and server prove
// they hold their certificates' private keys, and the encrypted secret that carries a user's
// password. Keys are borrowed for the call.
namespace opcua::security {

// The most bytes of password and server nonce together that a password secret carries, on both
// sides: a password this system encrypts is one it would accept. Each block costs an RSA
// decryption, so a secret longer than such a password needs is refused unread.
inline constexpr size_t kMaxPasswordSecretSize = 4096;

// The signature of `certificate` (the DER bytes of the peer's certificate; with a chain, the
// first one alone) followed by `nonce` (the nonce the peer sent), with the policy's asymmetric
// signature: the server's in CreateSession, the client's in ActivateSession. Policy None gives
// an empty SignatureData. Throws opcua::Error (BadNonceInvalid) when the nonce is shorter than
// the policy's nonceLength, as such a signature could be replayed.
SignatureData sessionSignature(const SecurityPolicy& policy, EVP_PKEY* privateKey,
                               ByteView certificate, ByteView nonce);
// Checks such a signature with the signer's public key. Throws opcua::Error
// (BadApplicationSignatureInvalid) when the algorithm is not the policy's or the signature does
// not match, and BadNonceInvalid as sessionSignature does. Policy None checks nothing.
void checkSessionSignature(const SecurityPolicy& policy, EVP_PKEY* publicKey, ByteView certificate,
                           ByteView nonce, const SignatureData& signature);

// The encrypted secret of a UserNameIdentityToken: the length of password and nonce together
// (UInt32, little-endian), the password bytes and the server's last nonce, encrypted with the
// policy's asymmetric encryption to the server certificate's key. The token's
// encryptionAlgorithm is policy.asymmetricEncryptionUri. Throws opcua::Error
// (BadIdentityTokenInvalid) when password and nonce exceed kMaxPasswordSecretSize, and
// (BadNonceInvalid) when the nonce is shorter than the policy's nonceLength.
ByteString encryptUserPassword(const SecurityPolicy& policy, EVP_PKEY* serverPublicKey,
                               ByteView password, ByteView serverNonce);
// The password inside such a secret. Zero bytes after the declared length, fewer than one RSA
// block holds, are padding and accepted. Throws opcua::Error (BadIdentityTokenInvalid) when the
// algorithm is not the policy's, the secret is too long or does not decrypt, its length field
// exceeds it, anything else follows the declared length, or that does not end with
// `serverNonce`; BadNonceInvalid as encryptUserPassword.
ByteBuffer decryptUserPassword(const SecurityPolicy& policy, EVP_PKEY* serverPrivateKey,
                               std::string_view encryptionAlgorithm, ByteView secret,
                               ByteView serverNonce);

} // namespace opcua::security
