#include "opcua/server/serversecurity.h"

#include "opcua/security/openssl.h"
#include "opcua/security/sessioncrypto.h"

#include <algorithm>
#include <array>
#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace opcua {

namespace {

constexpr std::string_view kPasswordPolicyWithoutSecurity =
    "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";

const security::SecurityPolicy& passwordPolicy(const security::SecurityPolicy& channelPolicy)
{
    return channelPolicy.isNone() ? security::securityPolicy(kPasswordPolicyWithoutSecurity)
                                  : channelPolicy;
}

using Digest = std::array<uint8_t, 32>;

Digest sha256(std::string_view text)
{
    Digest digest{};
    if (!EVP_Digest(text.data(), text.size(), digest.data(), nullptr, EVP_sha256(), nullptr))
        throw Error(status::BadInternalError, "SHA-256 failed");
    return digest;
}

// Compares digests of equal length in constant time, so that the time taken tells a guesser
// nothing about how much of a guess was right, nor how long the secret is.
bool sameSecret(std::string_view given, std::string_view expected)
{
    const Digest a = sha256(given);
    const Digest b = sha256(expected);
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool isAnonymous(const ExtensionObject& token)
{
    if (token.isNull())
        return true;
    const auto anonymous = unpackBody<AnonymousIdentityToken>(token);
    return anonymous &&
           (anonymous->policyId.isEmpty() || anonymous->policyId.str() == kAnonymousPolicyId);
}

StatusCode checkUserName(const ServerSecurity& settings,
                         const security::SecurityPolicy& channelPolicy,
                         const UserNameIdentityToken& token, ByteView serverNonce)
{
    if (!settings.user || !settings.key)
        return status::BadIdentityTokenRejected;
    if (token.policyId.str() != kUserNamePolicyId)
        return status::BadIdentityTokenInvalid;
    ByteBuffer password = security::decryptUserPassword(
        passwordPolicy(channelPolicy), settings.key->get(), token.encryptionAlgorithm.str(),
        token.password.bytes(), serverNonce);
    const ssl::Wiped wiped(password);
    const std::string_view given(reinterpret_cast<const char*>(password.data()), password.size());
    // Both parts are compared every time, so that a refusal does not tell which was wrong.
    const bool nameMatches = sameSecret(token.userName.str(), settings.user->name);
    const bool passwordMatches = sameSecret(given, settings.user->password);
    return nameMatches && passwordMatches ? status::Good : status::BadUserAccessDenied;
}

} // namespace

bool ServerSecurity::opens(const security::SecurityPolicy& policy, MessageSecurityMode mode) const
{
    return (policy.isNone() && mode == MessageSecurityMode::None) || offers(policy, mode);
}

bool ServerSecurity::offers(const security::SecurityPolicy& policy, MessageSecurityMode mode) const
{
    return std::ranges::any_of(endpoints, [&](const EndpointSecurity& endpoint) {
        return endpoint.policy == &policy && endpoint.mode == mode;
    });
}

ChannelSecurity acceptChannel(const ServerSecurity& settings,
                              const AsymmetricSecurityHeader& header)
{
    const security::SecurityPolicy& policy =
        security::securityPolicy(header.securityPolicyUri.str());
    if (policy.isNone())
        return {};
    const bool offered = std::ranges::any_of(
        settings.endpoints, [&](const EndpointSecurity& e) { return e.policy == &policy; });
    if (!offered)
        throw ChannelError(status::BadSecurityPolicyRejected,
                           "security policy " + std::string(policy.name) + " is not offered");
    if (!settings.clientCertificates)
        throw ChannelError(status::BadSecurityChecksFailed, "no client certificate is trusted");
    const pki::PeerRequirements requirements{
        pki::PeerRole::Client, {}, policy.minKeyBits, policy.maxKeyBits};
    const pki::CheckResult verdict =
        settings.clientCertificates->check(header.senderCertificate.bytes(), requirements);
    if (!verdict.isGood())
        throw ChannelError(status::BadSecurityChecksFailed,
                           "the client certificate is refused: " + statusName(verdict.status) +
                               ": " + verdict.reason);
    const auto chain = pki::parseCertificateChain(header.senderCertificate.bytes());
    return {&policy, MessageSecurityMode::None, settings.certificate, settings.key, chain.front()};
}

std::vector<UserTokenPolicy> userTokenPolicies(const ServerSecurity& settings,
                                               const EndpointSecurity& endpoint)
{
    std::vector<UserTokenPolicy> policies;
    if (settings.servesAnonymous()) {
        UserTokenPolicy anonymous;
        anonymous.policyId = String(kAnonymousPolicyId);
        anonymous.tokenType = UserTokenType::Anonymous;
        policies.push_back(anonymous);
    }
    if (settings.user && settings.certificate) {
        UserTokenPolicy userName;
        userName.policyId = String(kUserNamePolicyId);
        userName.tokenType = UserTokenType::UserName;
        userName.securityPolicyUri = String(std::string(passwordPolicy(*endpoint.policy).uri));
        policies.push_back(userName);
    }
    return policies;
}

uint8_t securityLevel(const EndpointSecurity& endpoint)
{
    const int modeRank = endpoint.mode == MessageSecurityMode::SignAndEncrypt ? 2
                         : endpoint.mode == MessageSecurityMode::Sign         ? 1
                                                                              : 0;
    // Every policy's strength is below the number of policies, so the mode ranks first.
    return uint8_t(modeRank * int(security::kSecurityPolicies.size()) + endpoint.policy->strength);
}

StatusCode checkUserIdentity(const ServerSecurity& settings,
                             const security::SecurityPolicy& channelPolicy,
                             const ExtensionObject& token, ByteView serverNonce)
{
    try {
        if (isAnonymous(token))
            return settings.servesAnonymous() ? status::Good : status::BadIdentityTokenRejected;
        const auto userName = unpackBody<UserNameIdentityToken>(token);
        if (!userName)
            return status::BadIdentityTokenInvalid;
        return checkUserName(settings, channelPolicy, *userName, serverNonce);
    } catch (const DecodeError&) {
        return status::BadIdentityTokenInvalid;
    } catch (const Error& e) {
        return e.status();
    }
}

} // namespace opcua
