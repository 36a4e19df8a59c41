#pragma once

#include "opcua/channelendpoint.h"
#include "opcua/io.h"
#include "opcua/pki/owncertificate.h"
#include "opcua/security/policy.h"
#include "opcua/securitymode.h"
#include "opcua/services.h"
#include "opcua/types.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <openssl/evp.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What the client decides about security before and while it opens a session: which of the
// server's endpoints to use, and which identity token to send.
namespace opcua {

// The security the client asks for.
struct SecuritySettings
{
    MessageSecurityMode mode = MessageSecurityMode::None;
    // A policy's name ("Basic256Sha256"); empty for the strongest the server offers for the
    // mode. Mode None always uses policy None.
    std::string policy;
    // The client's PKI folder; needed by every mode but None.
    std::filesystem::path pkiFolder;
    // Empty for an anonymous session.
    std::string userName;
    // The user's password, asked for at every connection attempt so that a corrected password
    // file is read afresh. Throws opcua::Error (BadConfigurationError) when it cannot be had.
    std::function<std::string()> password;
};

// The names of the policies the client speaks besides None, strongest first: the order in which
// it picks one when the settings leave the choice to it.
inline constexpr auto kPoliciesByStrength = [] {
    auto policies = security::kSecurityPolicies;
    std::ranges::sort(policies, std::ranges::greater{}, &security::SecurityPolicy::strength);
    std::array<std::string_view, security::kSecurityPolicies.size() - 1> names{};
    std::ranges::transform(std::span(policies).first(names.size()), names.begin(),
                           &security::SecurityPolicy::name);
    return names;
}();

// "SignAndEncrypt/Basic256Sha256, Sign/Basic256Sha256": the endpoints as an operator reads
// them, for the message that none matches.
std::string describeEndpoints(const std::vector<EndpointDescription>& endpoints);

// The endpoint of `offered` with the settings' mode and policy, over UA-TCP. With no policy
// given, the strongest of kPoliciesByStrength the server offers in the mode. Throws
// opcua::Error when none matches, listing what the server offers: BadSecurityModeRejected when
// it offers nothing in the mode, BadSecurityPolicyRejected when not the policy.
const EndpointDescription& chooseEndpoint(const std::vector<EndpointDescription>& offered,
                                          const SecuritySettings& settings);

// The certificates of one secured connection attempt.
struct ConnectionCertificates
{
    pki::Certificate server; // the endpoint's, checked against the PKI folder
    pki::OwnCertificate own;
};

// The endpoint presents another certificate than the one trusted for its application URI: a
// reinstalled server or someone posing as it, which the operator must tell from a first contact.
class ServerCertificateChanged : public Error
{
public:
    using Error::Error;
};

// Reads the PKI folder afresh, so that a certificate moved to trusted/certs since the last
// attempt counts: checks the endpoint's server certificate as a server's, issued to the
// endpoint's application URI, with a key length its policy allows (on an endpoint without
// security, the policy of the user token that encrypts the password); then loads this
// application's certificate, creating it on first use. Throws opcua::Error with the check's
// status and reason: BadCertificateUntrusted names the file kept in rejected/certs and where to
// move it, and is a ServerCertificateChanged when another certificate of the same application
// URI is trusted. Validity periods are checked against clock.utcNow().
ConnectionCertificates connectionCertificates(const EndpointDescription& endpoint,
                                              const pki::PkiFolder& folder,
                                              const pki::ApplicationIdentity& identity,
                                              const Clock& clock);

// A password is kept only as its SHA-256 digest, to tell whether it has changed.
using PasswordDigest = std::array<uint8_t, 32>;
PasswordDigest passwordDigest(std::string_view password);

// Who the session is for.
struct UserIdentity
{
    std::string userName; // empty: anonymous
    std::string password;
};

// The identity token of ActivateSession for `user` at `endpoint`. An anonymous user takes the
// endpoint's anonymous token policy. A user name takes its UserName token policy, and the
// password is encrypted with that policy's security policy (the endpoint's when it names none)
// to `serverKey` (the public key of the endpoint's certificate) together with `serverNonce`.
//
// Throws opcua::Error, sending nothing: BadIdentityTokenRejected when the endpoint has no
// token policy for the kind of user; BadSecurityModeInsufficient when the password would
// travel unencrypted, i.e. the token policy is None and the channel does not encrypt;
// BadSecurityPolicyRejected for a token policy the client does not speak.
ExtensionObject identityToken(const EndpointDescription& endpoint, const UserIdentity& user,
                              EVP_PKEY* serverKey, ByteView serverNonce);

// The endpoint a secured connection attempt uses and the certificates checked for it.
struct SecuredEndpoint
{
    EndpointDescription endpoint;
    ConnectionCertificates certificates;
};

// The protection of the channel to `secured`: the endpoint's policy and mode, this application's
// certificate and key, and the endpoint's certificate as the one the server must open with.
ChannelSecurity channelSecurityFor(const SecuredEndpoint& secured);

// Checks the server's answer to CreateSession on a secured channel: the certificate it names
// must be the endpoint's, and its signature over this application's certificate and
// `clientNonce` must verify with that certificate's key, and `settings` must choose the same
// policy among the endpoints it names as among those GetEndpoints named. Throws
// opcua::Error: BadCertificateInvalid for another certificate, BadApplicationSignatureInvalid or
// BadNonceInvalid for the signature, BadSecurityChecksFailed for altered endpoints.
void checkCreatedSession(const SecuredEndpoint& secured, const CreateSessionResponse& response,
                         ByteView clientNonce, const SecuritySettings& settings);

// Fills in what proves the client and its user in ActivateSession: the signature over the
// server's certificate and `serverNonce` (the nonce of the server's last CreateSession or
// ActivateSession response), and the identity token, its password encrypted with that nonce.
// Throws opcua::Error as sessionSignature and identityToken do.
void authenticate(ActivateSessionRequest& request, const SecuredEndpoint& secured,
                  const UserIdentity& user, ByteView serverNonce);

} // namespace opcua
