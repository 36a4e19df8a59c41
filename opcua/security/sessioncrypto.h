#pragma once

#include "opcua/security/policy.h"
#include "opcua/services.h"
#include "opcua/types.h"

#include <openssl/evp.h>

// The cryptography of the session services: the signatures by which client and server prove
// they hold their certificates' private keys, and the encrypted secret that carries a user's
// password. Keys are borrowed for the call.
namespace opcua::security {

// A peer may send a longer secret than any password needs, and each block costs an RSA
// decryption; a secret beyond this many bytes is refused unread.
inline constexpr size_t kMaxPasswordSecretSize = 4096;

// The signature of `certificate` (the DER bytes of the peer's certificate; with a chain, the
// first one alone) followed by `nonce` (the nonce the peer sent), with the policy's asymmetric
// signature: the server's in CreateSession, the client's in ActivateSession. Policy None gives
// an empty SignatureData.
SignatureData sessionSignature(const SecurityPolicy& policy, EVP_PKEY* privateKey,
                               ByteView certificate, ByteView nonce);
// Checks such a signature with the signer's public key. Throws opcua::Error
// (BadApplicationSignatureInvalid) when the algorithm is not the policy's or the signature does
// not match. Policy None checks nothing.
void checkSessionSignature(const SecurityPolicy& policy, EVP_PKEY* publicKey, ByteView certificate,
                           ByteView nonce, const SignatureData& signature);

// The encrypted secret of a UserNameIdentityToken: the length of password and nonce together
// (UInt32, little-endian), the password bytes and the server's last nonce, encrypted with the
// policy's asymmetric encryption to the server certificate's key. The token's
// encryptionAlgorithm is policy.asymmetricEncryptionUri.
ByteString encryptUserPassword(const SecurityPolicy& policy, EVP_PKEY* serverPublicKey,
                               ByteView password, ByteView serverNonce);
// The password inside such a secret. Throws opcua::Error (BadIdentityTokenInvalid) when the
// algorithm is not the policy's, the secret is too long or does not decrypt, its length field
// does not match, or it does not end with `serverNonce`.
ByteBuffer decryptUserPassword(const SecurityPolicy& policy, EVP_PKEY* serverPrivateKey,
                               std::string_view encryptionAlgorithm, ByteView secret,
                               ByteView serverNonce);

} // namespace opcua::security
