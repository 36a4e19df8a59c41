#include "opcua/security/sessioncrypto.h"

#include "opcua/binary.h"
#include "opcua/security/crypto.h"
#include "text/printable.h"

#include <algorithm>
#include <openssl/crypto.h>

namespace opcua::security {

namespace {

constexpr size_t kLengthSize = 4;

ByteBuffer concat(ByteView first, ByteView second)
{
    ByteBuffer out(first.begin(), first.end());
    out.insert(out.end(), second.begin(), second.end());
    return out;
}

[[noreturn]] void tokenInvalid(const std::string& why)
{
    throw Error(status::BadIdentityTokenInvalid, "the user name token is invalid: " + why);
}

// A signature or secret over a short nonce can be replayed: with an empty one, whoever saw it
// once could present it to every later session.
void checkNonce(const SecurityPolicy& policy, ByteView nonce)
{
    if (nonce.size() < policy.nonceLength)
        throw Error(status::BadNonceInvalid, "the server's nonce has " +
                                                 std::to_string(nonce.size()) + " bytes; " +
                                                 std::string(policy.name) + " needs at least " +
                                                 std::to_string(policy.nonceLength));
}

// The longest secret a password of kMaxPasswordSecretSize bytes, nonce included, encrypts to:
// whole RSA blocks, each carrying plainTextBlockSize bytes.
size_t maxSecretSize(const SecurityPolicy& policy, const EVP_PKEY* key)
{
    const size_t block = plainTextBlockSize(policy, key);
    if (block == 0)
        return 0;
    return (kLengthSize + kMaxPasswordSecretSize + block - 1) / block * rsaKeySize(key);
}

// Some clients fill the secret up to whole RSA blocks with zero bytes after the nonce, as the
// protocol allows. Anything else after the declared length, or more than such filling needs, is
// not padding but a secret put together wrongly.
bool isPadding(ByteView tail, size_t blockSize)
{
    return tail.size() < std::max<size_t>(blockSize, 1) &&
           std::ranges::all_of(tail, [](uint8_t byte) { return byte == 0; });
}

ByteBuffer decryptSecret(const SecurityPolicy& policy, EVP_PKEY* privateKey, ByteView secret)
{
    try {
        return asymmetricDecrypt(policy, privateKey, secret);
    } catch (const Error& e) {
        if (e.status() != status::BadSecurityChecksFailed)
            throw;
        tokenInvalid(e.what());
    }
}

} // namespace

SignatureData sessionSignature(const SecurityPolicy& policy, EVP_PKEY* privateKey,
                               ByteView certificate, ByteView nonce)
{
    if (policy.isNone())
        return {};
    checkNonce(policy, nonce);
    const ByteBuffer signature = asymmetricSign(policy, privateKey, concat(certificate, nonce));
    return {String(policy.asymmetricSignatureUri), ByteString(signature)};
}

void checkSessionSignature(const SecurityPolicy& policy, EVP_PKEY* publicKey, ByteView certificate,
                           ByteView nonce, const SignatureData& signature)
{
    if (policy.isNone())
        return;
    checkNonce(policy, nonce);
    if (signature.algorithm.str() != policy.asymmetricSignatureUri)
        throw Error(status::BadApplicationSignatureInvalid,
                    "the signature's algorithm " + text::quoted(signature.algorithm.str()) +
                        " is not " + std::string(policy.name) + "'s");
    if (!asymmetricVerify(policy, publicKey, concat(certificate, nonce),
                          signature.signature.bytes()))
        throw Error(status::BadApplicationSignatureInvalid,
                    "the signature does not match the certificate and nonce");
}

ByteString encryptUserPassword(const SecurityPolicy& policy, EVP_PKEY* serverPublicKey,
                               ByteView password, ByteView serverNonce)
{
    checkNonce(policy, serverNonce);
    const size_t length = password.size() + serverNonce.size();
    if (length > kMaxPasswordSecretSize)
        throw Error(status::BadIdentityTokenInvalid,
                    "a password of " + std::to_string(password.size()) + " bytes is too long");
    Encoder encoder;
    // Room for all at once, so that no copy of the password is left behind by a reallocation.
    encoder.reserve(kLengthSize + length);
    encoder.encode(uint32_t(length));
    encoder.writeRaw(password);
    encoder.writeRaw(serverNonce);
    ByteBuffer plain = encoder.take();
    const ssl::Wiped wiped(plain);
    return ByteString(asymmetricEncrypt(policy, serverPublicKey, plain));
}

ByteBuffer decryptUserPassword(const SecurityPolicy& policy, EVP_PKEY* serverPrivateKey,
                               std::string_view encryptionAlgorithm, ByteView secret,
                               ByteView serverNonce)
{
    if (policy.isNone() || encryptionAlgorithm != policy.asymmetricEncryptionUri)
        tokenInvalid("the encryption algorithm " + text::quoted(encryptionAlgorithm) + " is not " +
                     std::string(policy.name) + "'s");
    checkNonce(policy, serverNonce);
    if (secret.size() > maxSecretSize(policy, serverPrivateKey))
        tokenInvalid("a secret of " + std::to_string(secret.size()) + " bytes is too long");
    ByteBuffer plain = decryptSecret(policy, serverPrivateKey, secret);
    const ssl::Wiped wiped(plain);
    const bool hasLength = plain.size() >= kLengthSize;
    const uint32_t length = hasLength ? Decoder(plain).read<uint32_t>() : 0;
    const bool lengthFits =
        hasLength && length <= plain.size() - kLengthSize && length <= kMaxPasswordSecretSize;
    const size_t end = lengthFits ? kLengthSize + length : 0;
    if (!lengthFits)
        tokenInvalid("the secret's length field does not match its size");
    if (!isPadding(ByteView(plain).subspan(end), plainTextBlockSize(policy, serverPrivateKey)))
        tokenInvalid("what follows the secret's declared length is not zero padding within one "
                     "block");
    const bool endsWithNonce =
        length >= serverNonce.size() && CRYPTO_memcmp(plain.data() + end - serverNonce.size(),
                                                      serverNonce.data(), serverNonce.size()) == 0;
    if (!endsWithNonce)
        tokenInvalid("the secret does not end with the server's nonce");
    return ByteBuffer(plain.begin() + kLengthSize,
                      plain.begin() + ptrdiff_t(end - serverNonce.size()));
}

} // namespace opcua::security
