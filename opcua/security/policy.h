#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// The security policies this system speaks: which algorithms protect a secure channel's chunks,
// a session's signatures and a user's password, and with which sizes. A policy says nothing about
// the MessageSecurityMode (Sign or SignAndEncrypt), which an endpoint pairs with it.
namespace opcua::security {

// How a policy signs with an RSA key. The digest is SHA-256 in every policy.
enum class RsaSignature {
    None,     // the policy signs nothing
    Pkcs1v15, // RSASSA-PKCS1-v1_5
    Pss,      // RSASSA-PSS with MGF1-SHA-256 and a salt as long as the digest
};

// How a policy encrypts with an RSA key: RSA-OAEP with this digest (and MGF1 with the same).
enum class RsaEncryption {
    None, // the policy encrypts nothing
    OaepSha1,
    OaepSha256,
};

struct SecurityPolicy
{
    std::string_view uri;
    std::string_view name; // the URI's fragment, for messages and configuration files
    RsaSignature asymmetricSignature = RsaSignature::None;
    std::string_view asymmetricSignatureUri = {}; // SignatureData.algorithm
    RsaEncryption asymmetricEncryption = RsaEncryption::None;
    std::string_view asymmetricEncryptionUri = {}; // UserNameIdentityToken.encryptionAlgorithm
    size_t oaepOverhead = 0;        // bytes of every RSA block the OAEP padding takes
    size_t signatureKeyLength = 0;  // bytes of the HMAC-SHA256 key derived per token
    size_t signatureSize = 0;       // bytes of an HMAC-SHA256 signature
    size_t encryptionKeyLength = 0; // bytes of the AES-CBC key derived per token
    size_t encryptionBlockSize = 0; // bytes of an AES block and of the IV
    size_t nonceLength = 0;         // bytes of the OpenSecureChannel nonces
    int minKeyBits = 0;             // the RSA key lengths the policy accepts
    int maxKeyBits = 0;
    // How strong the policy is against the others: None 0, each other one a distinct higher
    // number. The client's choice among the server's endpoints and of a user token policy,
    // and the securityLevel the server gives its endpoints, all follow it.
    int strength = 0;

    bool isNone() const { return asymmetricSignature == RsaSignature::None; }
};

inline constexpr std::string_view kRsaSha256Uri =
    "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
inline constexpr std::string_view kRsaPssSha256Uri =
    "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
inline constexpr std::string_view kRsaOaepUri = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
inline constexpr std::string_view kRsaOaepSha256Uri =
    "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";

// OAEP takes two digests and two bytes of every block: 42 bytes with SHA-1, 66 with SHA-256.
inline constexpr size_t kOaepSha1Overhead = 2 * 20 + 2;
inline constexpr size_t kOaepSha256Overhead = 2 * 32 + 2;

// The RSA key lengths every policy but None accepts.
inline constexpr int kMinRsaKeyBits = 2048;
inline constexpr int kMaxRsaKeyBits = 4096;

// What the RSA policies share: HMAC-SHA256 keys and signatures of 32 bytes, AES blocks, 32-byte
// nonces and RSA keys of kMinRsaKeyBits to kMaxRsaKeyBits.
constexpr SecurityPolicy withRsaCommons(SecurityPolicy policy)
{
    policy.signatureKeyLength = 32;
    policy.signatureSize = 32;
    policy.encryptionBlockSize = 16;
    policy.nonceLength = 32;
    policy.minKeyBits = kMinRsaKeyBits;
    policy.maxKeyBits = kMaxRsaKeyBits;
    return policy;
}

// Every policy this system speaks, None first. Adding one takes a row here with its algorithms,
// sizes and strength, and a case in crypto.cpp for any algorithm no row used before; the client's
// order of preference, the server's endpoint levels, the settings file's security_policy and
// servo-sim's --security-policy follow the table. Then the key derivation and chunk vectors in
// tests/security (made by node-opcua) get rows for it, and README.md, the manual pages and
// servo-sim's --help name it.
inline constexpr std::array kSecurityPolicies = {
    SecurityPolicy{.uri = "http://opcfoundation.org/UA/SecurityPolicy#None", .name = "None"},
    withRsaCommons({
        .uri = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
        .name = "Basic256Sha256",
        .asymmetricSignature = RsaSignature::Pkcs1v15,
        .asymmetricSignatureUri = kRsaSha256Uri,
        .asymmetricEncryption = RsaEncryption::OaepSha1,
        .asymmetricEncryptionUri = kRsaOaepUri,
        .oaepOverhead = kOaepSha1Overhead,
        .encryptionKeyLength = 32,
        .strength = 2,
    }),
    withRsaCommons({
        .uri = "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep",
        .name = "Aes128_Sha256_RsaOaep",
        .asymmetricSignature = RsaSignature::Pkcs1v15,
        .asymmetricSignatureUri = kRsaSha256Uri,
        .asymmetricEncryption = RsaEncryption::OaepSha1,
        .asymmetricEncryptionUri = kRsaOaepUri,
        .oaepOverhead = kOaepSha1Overhead,
        .encryptionKeyLength = 16,
        .strength = 1,
    }),
    withRsaCommons({
        .uri = "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss",
        .name = "Aes256_Sha256_RsaPss",
        .asymmetricSignature = RsaSignature::Pss,
        .asymmetricSignatureUri = kRsaPssSha256Uri,
        .asymmetricEncryption = RsaEncryption::OaepSha256,
        .asymmetricEncryptionUri = kRsaOaepSha256Uri,
        .oaepOverhead = kOaepSha256Overhead,
        .encryptionKeyLength = 32,
        .strength = 3,
    }),
};
static_assert(kSecurityPolicies.size() == 4);

// The policy with this URI, or null when this system does not speak it.
const SecurityPolicy* findSecurityPolicy(std::string_view uri);
// The same, throwing ChannelError (BadSecurityPolicyRejected) naming the URI when unknown.
const SecurityPolicy& securityPolicy(std::string_view uri);

} // namespace opcua::security
