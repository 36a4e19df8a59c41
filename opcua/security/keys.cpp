#include "opcua/security/keys.h"

#include "opcua/securechannel.h"
#include "opcua/security/crypto.h"
#include "opcua/security/openssl.h"

namespace opcua::security {

namespace {

void checkNonce(const SecurityPolicy& policy, ByteView nonce, const char* whose)
{
    if (nonce.size() != policy.nonceLength)
        throw ChannelError(status::BadNonceInvalid, std::string(whose) + " nonce has " +
                                                        std::to_string(nonce.size()) + " bytes; " +
                                                        std::string(policy.name) + " needs " +
                                                        std::to_string(policy.nonceLength));
}

SymmetricKeys deriveKeys(const SecurityPolicy& policy, ByteView secret, ByteView seed)
{
    const size_t signing = policy.signatureKeyLength;
    const size_t encrypting = policy.encryptionKeyLength;
    ByteBuffer bytes = pSha256(secret, seed, signing + encrypting + policy.encryptionBlockSize);
    const ssl::Wiped wiped(bytes);
    const auto at = [&](size_t offset) { return bytes.begin() + ptrdiff_t(offset); };
    return {ByteBuffer(at(0), at(signing)), ByteBuffer(at(signing), at(signing + encrypting)),
            ByteBuffer(at(signing + encrypting), bytes.end())};
}

} // namespace

SymmetricKeys::~SymmetricKeys()
{
    for (ByteBuffer* key : {&signingKey, &encryptingKey, &iv})
        OPENSSL_cleanse(key->data(), key->size());
}

ByteBuffer pSha256(ByteView secret, ByteView seed, size_t length)
{
    const Hmac hmac(secret);
    ByteBuffer out;
    out.reserve(length + Hmac::kSize);
    Hmac::Signature a = hmac.sign(seed);
    while (out.size() < length) {
        const Hmac::Signature block = hmac.sign(a, seed);
        out.insert(out.end(), block.begin(), block.end());
        a = hmac.sign(a);
    }
    out.resize(length);
    return out;
}

ChannelKeys deriveChannelKeys(const SecurityPolicy& policy, ByteView clientNonce,
                              ByteView serverNonce)
{
    if (policy.isNone())
        return {};
    checkNonce(policy, clientNonce, "the client's");
    checkNonce(policy, serverNonce, "the server's");
    return {deriveKeys(policy, serverNonce, clientNonce),
            deriveKeys(policy, clientNonce, serverNonce)};
}

} // namespace opcua::security
