#pragma once

#include "opcua/channelendpoint.h"
#include "opcua/pki/checker.h"
#include "opcua/security/policy.h"
#include "opcua/services.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How the server secures its channels and sessions: the endpoints it offers, its certificate,
// the check of client certificates and the user it accepts.
namespace opcua {

// The policy ids of the user tokens the server takes.
inline constexpr std::string_view kAnonymousPolicyId = "anonymous";
inline constexpr std::string_view kUserNamePolicyId = "username";

// One endpoint the server offers: a security mode with a policy, None with None.
struct EndpointSecurity
{
    MessageSecurityMode mode = MessageSecurityMode::None;
    const security::SecurityPolicy* policy = &security::kSecurityPolicies[0];
};

// The one user a server may be given besides anonymous sessions.
struct ServerUser
{
    std::string name;
    std::string password;
};

struct ServerSecurity
{
    std::vector<EndpointSecurity> endpoints = {EndpointSecurity{}};
    // The application instance certificate and its key: every endpoint but None needs them, and
    // a user's password is encrypted to the certificate.
    std::optional<pki::Certificate> certificate;
    std::optional<pki::PrivateKey> key;
    // Decides on client certificates; without it every secured channel is refused.
    std::optional<pki::CertificateChecker> clientCertificates;
    std::optional<ServerUser> user;
    // Whether anonymous sessions are served although a user is configured.
    bool allowAnonymous = false;

    // Whether sessions are served on a channel with this policy and mode.
    bool offers(const security::SecurityPolicy& policy, MessageSecurityMode mode) const;
    // Whether such a channel is opened: any that is offered, and one without security for
    // discovery, so that a client can learn the endpoints before it chooses one.
    bool opens(const security::SecurityPolicy& policy, MessageSecurityMode mode) const;
    bool servesAnonymous() const { return !user || allowAnonymous; }
};

// The security of a channel whose first OPN chunk has this header: the policy it names if the
// server offers it (None always, for discovery), the server's certificate and key, and the client's
// certificate once the checker passed it. Throws ChannelError: BadSecurityPolicyRejected for a
// policy not offered, BadSecurityChecksFailed (naming the check) for a client certificate refused.
ChannelSecurity acceptChannel(const ServerSecurity& settings,
                              const AsymmetricSecurityHeader& header);

// The endpoint's user token policies: anonymous when served, and the user name with the policy
// that encrypts its password, the endpoint's own or, on an endpoint without security,
// Basic256Sha256.
std::vector<UserTokenPolicy> userTokenPolicies(const ServerSecurity& settings,
                                               const EndpointSecurity& endpoint);
// Higher for stronger endpoints, so that clients choosing by it take the best one offered.
uint8_t securityLevel(const EndpointSecurity& endpoint);

// The verdict on the user identity token of an ActivateSession request on a channel with
// `channelPolicy`, whose session's last nonce is `serverNonce`: Good, BadIdentityTokenRejected
// (anonymous where not served, or a user name where none is configured), BadIdentityTokenInvalid
// (a token that does not decode or decrypt) or BadUserAccessDenied (a wrong name or password,
// without saying which).
StatusCode checkUserIdentity(const ServerSecurity& settings,
                             const security::SecurityPolicy& channelPolicy,
                             const ExtensionObject& token, ByteView serverNonce);

} // namespace opcua
