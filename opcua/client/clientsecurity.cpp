#include "opcua/client/clientsecurity.h"

#include "opcua/pki/checker.h"
#include "opcua/security/policy.h"
#include "opcua/security/sessioncrypto.h"
#include "text/printable.h"

#include <algorithm>

namespace opcua {

namespace {

// A server's list of endpoints is short; a longer one is cut in messages.
constexpr size_t kMostEndpointsListed = 16;
constexpr size_t kLongestPolicyText = 80;

constexpr std::string_view kStandardPolicyPrefix = "http://opcfoundation.org/UA/SecurityPolicy#";

// The name of a policy URI as the settings spell it: the fragment of a standard policy's URI,
// whether the client speaks it or not; any other URI made printable.
std::string policyName(const String& uri)
{
    std::string_view name = uri.str();
    if (name.starts_with(kStandardPolicyPrefix))
        name.remove_prefix(kStandardPolicyPrefix.size());
    return text::printable(name, kLongestPolicyText);
}

bool speaksTransport(const EndpointDescription& endpoint)
{
    return endpoint.transportProfileUri.isEmpty() ||
           endpoint.transportProfileUri.str() == kTransportProfileUaTcp;
}

const EndpointDescription* findEndpoint(const std::vector<EndpointDescription>& offered,
                                        MessageSecurityMode mode, std::string_view policy)
{
    for (const auto& endpoint : offered) {
        if (endpoint.securityMode == mode && speaksTransport(endpoint) &&
            security::findSecurityPolicy(endpoint.securityPolicyUri.str()) &&
            policyName(endpoint.securityPolicyUri) == policy)
            return &endpoint;
    }
    return nullptr;
}

// The URI of the security policy that protects a password: the token policy's, or the
// endpoint's when the token policy names none.
const String& passwordPolicyUri(const EndpointDescription& endpoint,
                                const UserTokenPolicy& tokenPolicy)
{
    return tokenPolicy.securityPolicyUri.isEmpty() ? endpoint.securityPolicyUri
                                                   : tokenPolicy.securityPolicyUri;
}

// The endpoint's token policy for this type of user. Of several user name policies, the one
// whose password protection ranks highest among those this client speaks: servers offer one for
// each policy they know on an endpoint without security.
const UserTokenPolicy* findTokenPolicy(const EndpointDescription& endpoint, UserTokenType type)
{
    const UserTokenPolicy* found = nullptr;
    int foundRank = -1;
    for (const UserTokenPolicy& tokenPolicy : endpoint.userIdentityTokens) {
        if (tokenPolicy.tokenType != type)
            continue;
        const auto* policy =
            security::findSecurityPolicy(passwordPolicyUri(endpoint, tokenPolicy).str());
        const int rank = policy ? policy->strength : -1;
        if (!found || rank > foundRank) {
            found = &tokenPolicy;
            foundRank = rank;
        }
    }
    return found;
}

const security::SecurityPolicy& passwordPolicy(const EndpointDescription& endpoint,
                                               const UserTokenPolicy& tokenPolicy)
{
    const String& uri = passwordPolicyUri(endpoint, tokenPolicy);
    if (const auto* policy = security::findSecurityPolicy(uri.str()))
        return *policy;
    throw Error(status::BadSecurityPolicyRejected,
                "the server asks for passwords protected with \"" + policyName(uri) +
                    "\", which this client does not speak");
}

// The policy the server's certificate serves: the endpoint's, or on an endpoint without
// security, which a client uses only with a user name, the one that encrypts the password.
const security::SecurityPolicy& certificatePolicy(const EndpointDescription& endpoint)
{
    const security::SecurityPolicy& policy =
        security::securityPolicy(endpoint.securityPolicyUri.str());
    if (!policy.isNone())
        return policy;
    const UserTokenPolicy* tokenPolicy = findTokenPolicy(endpoint, UserTokenType::UserName);
    if (!tokenPolicy)
        throw Error(status::BadIdentityTokenRejected,
                    "the server's endpoint accepts no user name and password");
    const security::SecurityPolicy& protecting = passwordPolicy(endpoint, *tokenPolicy);
    if (protecting.isNone())
        throw Error(status::BadSecurityModeInsufficient,
                    "the server would take the password unencrypted over a channel without "
                    "security; it is not sent. Use security_mode=SignAndEncrypt");
    return protecting;
}

ExtensionObject userNameToken(const EndpointDescription& endpoint, const UserIdentity& user,
                              EVP_PKEY* serverKey, ByteView serverNonce)
{
    const UserTokenPolicy* tokenPolicy = findTokenPolicy(endpoint, UserTokenType::UserName);
    if (!tokenPolicy)
        throw Error(status::BadIdentityTokenRejected,
                    "the server's endpoint accepts no user name and password");
    const security::SecurityPolicy& policy = passwordPolicy(endpoint, *tokenPolicy);
    UserNameIdentityToken token;
    token.policyId = tokenPolicy->policyId;
    token.userName = String(user.userName);
    const ByteView password(reinterpret_cast<const uint8_t*>(user.password.data()),
                            user.password.size());
    if (policy.isNone()) {
        if (endpoint.securityMode != MessageSecurityMode::SignAndEncrypt)
            throw Error(status::BadSecurityModeInsufficient,
                        "the server would take the password unencrypted over a channel in "
                        "security mode " +
                            std::string(securityModeName(endpoint.securityMode)) +
                            "; it is not sent. Use security_mode=SignAndEncrypt");
        token.password = ByteString(ByteBuffer(password.begin(), password.end()));
        return packBody(token);
    }
    if (!serverKey)
        throw Error(status::BadCertificateInvalid,
                    "the server's endpoint has no certificate to encrypt the password for");
    token.password = security::encryptUserPassword(policy, serverKey, password, serverNonce);
    token.encryptionAlgorithm = String(std::string(policy.asymmetricEncryptionUri));
    return packBody(token);
}

} // namespace

std::string describeEndpoints(const std::vector<EndpointDescription>& endpoints)
{
    if (endpoints.empty())
        return "no endpoints at all";
    std::string text;
    const size_t listed = std::min(endpoints.size(), kMostEndpointsListed);
    for (size_t i = 0; i < listed; ++i) {
        if (i > 0)
            text += ", ";
        text += std::string(securityModeName(endpoints[i].securityMode)) + "/" +
                policyName(endpoints[i].securityPolicyUri);
    }
    if (listed < endpoints.size())
        text += " and " + std::to_string(endpoints.size() - listed) + " more";
    return text;
}

const EndpointDescription& chooseEndpoint(const std::vector<EndpointDescription>& offered,
                                          const SecuritySettings& settings)
{
    const MessageSecurityMode mode = settings.mode;
    const EndpointDescription* found = nullptr;
    if (mode == MessageSecurityMode::None) {
        found = findEndpoint(offered, mode, "None");
    } else if (!settings.policy.empty()) {
        found = findEndpoint(offered, mode, settings.policy);
    } else {
        for (std::string_view policy : kPoliciesByStrength) {
            if ((found = findEndpoint(offered, mode, policy)))
                break;
        }
    }
    if (found)
        return *found;
    const bool modeOffered = std::ranges::any_of(
        offered, [mode](const auto& endpoint) { return endpoint.securityMode == mode; });
    const std::string asked =
        std::string(securityModeName(mode)) +
        (mode == MessageSecurityMode::None
             ? std::string()
             : "/" + (settings.policy.empty() ? std::string("any") : settings.policy));
    throw Error(modeOffered ? status::BadSecurityPolicyRejected : status::BadSecurityModeRejected,
                "the server offers no endpoint with security " + asked +
                    "; it offers: " + describeEndpoints(offered));
}

ConnectionCertificates connectionCertificates(const EndpointDescription& endpoint,
                                              const pki::PkiFolder& folder,
                                              const pki::ApplicationIdentity& identity,
                                              const Clock& clock)
{
    const security::SecurityPolicy& policy = certificatePolicy(endpoint);
    pki::PeerRequirements requirements;
    requirements.role = pki::PeerRole::Server;
    requirements.applicationUri = endpoint.server.applicationUri.str();
    requirements.minKeyBits = policy.minKeyBits;
    requirements.maxKeyBits = policy.maxKeyBits;
    const pki::CertificateChecker checker(folder, {}, clock);
    const pki::CheckResult result = checker.check(endpoint.serverCertificate.bytes(), requirements);
    if (!result.replacedThumbprint.empty())
        throw ServerCertificateChanged(result.status, result.reason);
    if (!result.isGood())
        throw Error(result.status, "the server's certificate: " + result.reason);
    return {pki::parseCertificateChain(endpoint.serverCertificate.bytes()).front(),
            pki::loadOrCreateOwnCertificate(folder, identity, clock.utcNow().toTimePoint())};
}

PasswordDigest passwordDigest(std::string_view password)
{
    PasswordDigest digest{};
    if (!EVP_Digest(password.data(), password.size(), digest.data(), nullptr, EVP_sha256(),
                    nullptr))
        throw Error(status::BadInternalError, "SHA-256 failed");
    return digest;
}

ExtensionObject identityToken(const EndpointDescription& endpoint, const UserIdentity& user,
                              EVP_PKEY* serverKey, ByteView serverNonce)
{
    if (!user.userName.empty())
        return userNameToken(endpoint, user, serverKey, serverNonce);
    const UserTokenPolicy* anonymous = findTokenPolicy(endpoint, UserTokenType::Anonymous);
    if (!anonymous)
        throw Error(status::BadIdentityTokenRejected,
                    "the server's endpoint accepts no anonymous session; a user name is needed");
    return packBody(AnonymousIdentityToken{anonymous->policyId});
}

ChannelSecurity channelSecurityFor(const SecuredEndpoint& secured)
{
    const ConnectionCertificates& certificates = secured.certificates;
    return {&security::securityPolicy(secured.endpoint.securityPolicyUri.str()),
            secured.endpoint.securityMode, certificates.own.certificate, certificates.own.key,
            certificates.server};
}

namespace {

// The endpoints GetEndpoints named travelled unprotected; CreateSession's come over the secured
// channel. The settings must choose the same policy among them: else someone on the way lowered
// what the server offers. Servers may leave the certificates out of CreateSession's list, so
// what is compared is what they must fill in.
void checkEndpointsUnaltered(const SecuredEndpoint& secured,
                             const std::vector<EndpointDescription>& authentic,
                             const SecuritySettings& settings)
{
    bool unaltered = false;
    try {
        const EndpointDescription& again = chooseEndpoint(authentic, settings);
        unaltered = again.securityPolicyUri == secured.endpoint.securityPolicyUri;
    } catch (const Error&) {
    }
    if (!unaltered)
        throw Error(status::BadSecurityChecksFailed,
                    "the endpoints the server named in CreateSession are not those it offered "
                    "before the channel was secured");
}

} // namespace

void checkCreatedSession(const SecuredEndpoint& secured, const CreateSessionResponse& response,
                         ByteView clientNonce, const SecuritySettings& settings)
{
    const security::SecurityPolicy& policy =
        security::securityPolicy(secured.endpoint.securityPolicyUri.str());
    if (policy.isNone())
        return;
    const pki::Certificate& server = secured.certificates.server;
    if (!leadsWith(response.serverCertificate, server))
        throw Error(status::BadCertificateInvalid,
                    "the server answered CreateSession with another certificate than its "
                    "endpoint's (" +
                        server.thumbprintHex() + ")");
    security::checkSessionSignature(policy, server.publicKey(),
                                    secured.certificates.own.certificate.der(), clientNonce,
                                    response.serverSignature);
    checkEndpointsUnaltered(secured, response.serverEndpoints, settings);
}

void authenticate(ActivateSessionRequest& request, const SecuredEndpoint& secured,
                  const UserIdentity& user, ByteView serverNonce)
{
    const security::SecurityPolicy& policy =
        security::securityPolicy(secured.endpoint.securityPolicyUri.str());
    const pki::Certificate& server = secured.certificates.server;
    request.clientSignature = security::sessionSignature(policy, secured.certificates.own.key.get(),
                                                         server.der(), serverNonce);
    request.userIdentityToken =
        identityToken(secured.endpoint, user, server.publicKey(), serverNonce);
}

} // namespace opcua
