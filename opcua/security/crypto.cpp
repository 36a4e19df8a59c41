#include "opcua/security/crypto.h"

#include "opcua/securechannel.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <sys/random.h>

namespace opcua::security {

namespace {

void requireSecurePolicy(const SecurityPolicy& policy)
{
    if (policy.isNone())
        throw ChannelError(status::BadInternalError,
                           "security policy None has no asymmetric algorithms");
}

// OpenSSL reads no key bytes for a null pointer, even with a length of zero.
const uint8_t* keyBytes(ByteView key)
{
    static constexpr uint8_t kEmpty = 0;
    return key.empty() ? &kEmpty : key.data();
}

const char* oaepDigest(const SecurityPolicy& policy)
{
    switch (policy.asymmetricEncryption) {
    case RsaEncryption::OaepSha1:
        return "SHA1";
    case RsaEncryption::OaepSha256:
        return "SHA256";
    case RsaEncryption::None:
        break;
    }
    throw ChannelError(status::BadInternalError, "the policy encrypts nothing");
}

bool setSignaturePadding(const SecurityPolicy& policy, EVP_PKEY_CTX* context)
{
    switch (policy.asymmetricSignature) {
    case RsaSignature::Pkcs1v15:
        return EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1;
    case RsaSignature::Pss:
        return EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING) == 1 &&
               EVP_PKEY_CTX_set_rsa_pss_saltlen(context, RSA_PSS_SALTLEN_DIGEST) == 1 &&
               EVP_PKEY_CTX_set_rsa_mgf1_md_name(context, "SHA256", nullptr) == 1;
    case RsaSignature::None:
        break;
    }
    return false;
}

ssl::PkeyCtx oaepContext(const SecurityPolicy& policy, EVP_PKEY* key, bool encrypting)
{
    const char* digest = oaepDigest(policy);
    ssl::PkeyCtx context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!context ||
        (encrypting ? EVP_PKEY_encrypt_init(context.get())
                    : EVP_PKEY_decrypt_init(context.get())) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_oaep_md_name(context.get(), digest, nullptr) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md_name(context.get(), digest, nullptr) != 1)
        ssl::fail<ChannelError>(status::BadInternalError, "cannot set up RSA-OAEP");
    return context;
}

// A context for one direction, keyed and without padding.
ssl::CipherCtx cipherContext(const EVP_CIPHER* cipher, ByteView key, ByteView iv, int encrypting)
{
    ssl::CipherCtx context(EVP_CIPHER_CTX_new());
    if (!context ||
        EVP_CipherInit_ex2(context.get(), cipher, key.data(), iv.data(), encrypting, nullptr) !=
            1 ||
        EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1)
        ssl::fail<ChannelError>(status::BadInternalError, "cannot set up AES-CBC");
    return context;
}

} // namespace

void securityChecksFailed(const std::string& why)
{
    throw ChannelError(status::BadSecurityChecksFailed, "security checks failed: " + why);
}

// The kernel's generator rather than OpenSSL's: a client or server without security then
// never starts OpenSSL's random generator and its providers, about 3 MB of resident memory.
ByteBuffer randomBytes(size_t count)
{
    ByteBuffer out(count);
    size_t filled = 0;
    while (filled < count) {
        const ssize_t n = ::getrandom(out.data() + filled, count - filled, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw ChannelError(status::BadInternalError,
                               "cannot make " + std::to_string(count) +
                                   " random bytes: " + std::strerror(errno));
        filled += size_t(n);
    }
    return out;
}

Hmac::Hmac(ByteView key)
{
    const ssl::Mac mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    m_keyed.reset(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    if (!m_keyed || EVP_MAC_init(m_keyed.get(), keyBytes(key), key.size(), params) != 1)
        ssl::fail<ChannelError>(status::BadInternalError, "cannot set up HMAC-SHA256");
}

Hmac::Signature Hmac::sign(ByteView first, ByteView second) const
{
    const ssl::MacCtx context(EVP_MAC_CTX_dup(m_keyed.get()));
    Signature out{};
    size_t written = 0;
    if (!context || EVP_MAC_update(context.get(), first.data(), first.size()) != 1 ||
        EVP_MAC_update(context.get(), second.data(), second.size()) != 1 ||
        EVP_MAC_final(context.get(), out.data(), &written, out.size()) != 1 || written != kSize)
        ssl::fail<ChannelError>(status::BadInternalError, "cannot compute HMAC-SHA256");
    return out;
}

bool Hmac::verify(ByteView data, ByteView signature) const
{
    const Signature expected = sign(data);
    return signature.size() == kSize &&
           CRYPTO_memcmp(expected.data(), signature.data(), kSize) == 0;
}

AesCbc::AesCbc(ByteView key, ByteView iv) : m_iv(iv.begin(), iv.end())
{
    if ((key.size() != 16 && key.size() != 32) || iv.size() != kBlockSize)
        throw ChannelError(status::BadInternalError,
                           "AES-CBC needs a 16 or 32 byte key and a 16 byte IV, not " +
                               std::to_string(key.size()) + " and " + std::to_string(iv.size()));
    m_cipher.reset(
        EVP_CIPHER_fetch(nullptr, key.size() == 16 ? "AES-128-CBC" : "AES-256-CBC", nullptr));
    if (!m_cipher)
        ssl::fail<ChannelError>(status::BadInternalError, "cannot fetch AES-CBC");
    m_encrypting = cipherContext(m_cipher.get(), key, iv, 1);
    m_decrypting = cipherContext(m_cipher.get(), key, iv, 0);
}

void AesCbc::encrypt(std::span<uint8_t> data) const
{
    run(m_encrypting.get(), data);
}

void AesCbc::decrypt(std::span<uint8_t> data) const
{
    run(m_decrypting.get(), data);
}

void AesCbc::run(EVP_CIPHER_CTX* context, std::span<uint8_t> data) const
{
    if (data.size() % kBlockSize != 0 || data.size() > INT_MAX)
        throw ChannelError(status::BadInternalError, "AES-CBC data of " +
                                                         std::to_string(data.size()) +
                                                         " bytes is not whole blocks");
    if (data.empty())
        return;
    int written = 0;
    int last = 0;
    // Only the IV is set again: the key schedule made in the constructor is kept.
    if (EVP_CipherInit_ex2(context, nullptr, nullptr, m_iv.data(), -1, nullptr) != 1 ||
        EVP_CipherUpdate(context, data.data(), &written, data.data(), int(data.size())) != 1 ||
        EVP_CipherFinal_ex(context, data.data() + written, &last) != 1 ||
        size_t(written) + size_t(last) != data.size())
        ssl::fail<ChannelError>(status::BadInternalError, "cannot run AES-CBC");
}

size_t rsaKeySize(const EVP_PKEY* key)
{
    const int bits = key ? EVP_PKEY_get_bits(key) : 0;
    return bits > 0 ? size_t(bits + 7) / 8 : 0;
}

size_t plainTextBlockSize(const SecurityPolicy& policy, const EVP_PKEY* key)
{
    const size_t keySize = rsaKeySize(key);
    return keySize > policy.oaepOverhead ? keySize - policy.oaepOverhead : 0;
}

void checkKeyFitsPolicy(const SecurityPolicy& policy, const EVP_PKEY* key)
{
    requireSecurePolicy(policy);
    if (!key || !EVP_PKEY_is_a(key, "RSA"))
        throw ChannelError(status::BadSecurityPolicyRejected,
                           std::string(policy.name) + " needs an RSA key");
    const int bits = EVP_PKEY_get_bits(key);
    if (bits < policy.minKeyBits || bits > policy.maxKeyBits)
        throw ChannelError(
            status::BadSecurityPolicyRejected,
            std::string(policy.name) + " allows RSA keys of " + std::to_string(policy.minKeyBits) +
                " to " + std::to_string(policy.maxKeyBits) + " bits, not " + std::to_string(bits));
}

ByteBuffer asymmetricSign(const SecurityPolicy& policy, EVP_PKEY* privateKey, ByteView data)
{
    requireSecurePolicy(policy);
    const ssl::MdCtx context(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyContext = nullptr; // owned by context
    ByteBuffer signature(rsaKeySize(privateKey));
    size_t written = signature.size();
    if (!context ||
        EVP_DigestSignInit_ex(context.get(), &keyContext, "SHA256", nullptr, nullptr, privateKey,
                              nullptr) != 1 ||
        !setSignaturePadding(policy, keyContext) ||
        EVP_DigestSign(context.get(), signature.data(), &written, data.data(), data.size()) != 1 ||
        written != signature.size())
        ssl::fail<ChannelError>(status::BadInternalError,
                                "cannot sign with " + std::string(policy.name));
    return signature;
}

bool asymmetricVerify(const SecurityPolicy& policy, EVP_PKEY* publicKey, ByteView data,
                      ByteView signature)
{
    requireSecurePolicy(policy);
    const ssl::MdCtx context(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyContext = nullptr; // owned by context
    if (!context ||
        EVP_DigestVerifyInit_ex(context.get(), &keyContext, "SHA256", nullptr, nullptr, publicKey,
                                nullptr) != 1 ||
        !setSignaturePadding(policy, keyContext))
        ssl::fail<ChannelError>(status::BadInternalError,
                                "cannot set up " + std::string(policy.name) + " signature checks");
    const bool valid = EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                                        data.data(), data.size()) == 1;
    ERR_clear_error();
    return valid;
}

ByteBuffer asymmetricEncrypt(const SecurityPolicy& policy, EVP_PKEY* publicKey, ByteView plaintext)
{
    const ssl::PkeyCtx context = oaepContext(policy, publicKey, true);
    const size_t keySize = rsaKeySize(publicKey);
    const size_t blockSize = plainTextBlockSize(policy, publicKey);
    if (blockSize == 0)
        throw ChannelError(status::BadInternalError, "the RSA key is too short for OAEP");
    ByteBuffer out((plaintext.size() + blockSize - 1) / blockSize * keySize);
    for (size_t in = 0, at = 0; in < plaintext.size(); in += blockSize, at += keySize) {
        const ByteView block = plaintext.subspan(in, std::min(blockSize, plaintext.size() - in));
        size_t written = keySize;
        if (EVP_PKEY_encrypt(context.get(), out.data() + at, &written, block.data(),
                             block.size()) != 1 ||
            written != keySize)
            ssl::fail<ChannelError>(status::BadInternalError,
                                    "cannot encrypt with " + std::string(policy.name));
    }
    return out;
}

ByteBuffer asymmetricDecrypt(const SecurityPolicy& policy, EVP_PKEY* privateKey,
                             ByteView ciphertext)
{
    const ssl::PkeyCtx context = oaepContext(policy, privateKey, false);
    const size_t keySize = rsaKeySize(privateKey);
    if (keySize == 0 || ciphertext.size() % keySize != 0)
        securityChecksFailed("RSA ciphertext of " + std::to_string(ciphertext.size()) +
                             " bytes is not whole " + std::to_string(keySize) + "-byte blocks");
    ByteBuffer out(ciphertext.size());
    size_t end = 0;
    for (size_t in = 0; in < ciphertext.size(); in += keySize) {
        size_t written = out.size() - end;
        if (EVP_PKEY_decrypt(context.get(), out.data() + end, &written, ciphertext.data() + in,
                             keySize) != 1) {
            ERR_clear_error();
            // The blocks before may hold a password or a nonce.
            OPENSSL_cleanse(out.data(), out.size());
            securityChecksFailed("an RSA block does not decrypt");
        }
        end += written;
    }
    out.resize(end);
    return out;
}

} // namespace opcua::security
