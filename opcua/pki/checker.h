#pragma once

#include "opcua/io.h"
#include "opcua/pki/pkifolder.h"
#include "opcua/security/policy.h"

// Whether a peer's certificate may be used: trusted through the PKI folder, inside its validity
// period, issued to the application the peer claims to be, allowed for its use, with a key the
// security policy accepts, and not revoked.
namespace opcua::pki {

// Whose certificate is checked; it must be allowed for that use.
enum class PeerRole {
    Client, // a client's certificate, checked by a server: its extended key usage, if any,
            // must include clientAuth
    Server, // a server's certificate, checked by a client: serverAuth
};

// What a peer's certificate must satisfy besides being trusted.
struct PeerRequirements
{
    PeerRole role = PeerRole::Server;
    // The application URI the peer announced (in the endpoint or the session request); empty
    // while it is not known, and then not compared.
    std::string applicationUri;
    // The RSA key lengths the security policy in use allows.
    int minKeyBits = security::kMinRsaKeyBits;
    int maxKeyBits = security::kMaxRsaKeyBits;
};

enum class TrustMode {
    TrustList, // trusted when the certificate or a CA of its chain is in trusted/certs
    AnyPeer,   // every peer is trusted, for demonstrations and tests; every other check applies
};

enum class RevocationMode {
    // A CA's revocation list is consulted when the folder holds one; a CA without one is
    // accepted. The default: plant networks rarely run a CA, and one that does can require
    // its lists with the other mode.
    WhenListed,
    // Every CA in the chain must have a revocation list in trusted/crl or issuers/crl.
    Required,
};

struct CheckSettings
{
    TrustMode trust = TrustMode::TrustList;
    RevocationMode revocation = RevocationMode::WhenListed;
};

// The verdict on a peer's certificate.
struct CheckResult
{
    StatusCode status = status::Good;
    std::string reason;                 // what is wrong and what to do; empty when Good
    std::filesystem::path rejectedFile; // where an untrusted certificate was kept
    // With BadCertificateUntrusted, the thumbprint of the trusted certificate of the same
    // application URI that the peer presented before; empty at a first contact.
    std::string replacedThumbprint;
    std::vector<std::string> skipped; // files of the PKI folder left out, for the log

    bool isGood() const { return status.isGood(); }
};

// Checks a peer's chain (its certificate first, then any issuers it sent along) against the
// trust lists at `now`, step by step: structure (BadCertificateInvalid), chain to a self-signed
// root through the lists (BadCertificateChainIncomplete), signatures (BadCertificateInvalid),
// RSA key length (BadCertificatePolicyCheckFailed), trust (BadCertificateUntrusted), validity
// (BadCertificateTimeInvalid, BadCertificateIssuerTimeInvalid), application URI
// (BadCertificateUriInvalid), key usage (BadCertificateUseNotAllowed,
// BadCertificateIssuerUseNotAllowed), revocation lists (BadCertificateRevocationUnknown,
// BadCertificateIssuerRevocationUnknown) and revocation (BadCertificateRevoked,
// BadCertificateIssuerRevoked). The first failure is the verdict.
//
// Those codes are for this side's operator. A server refusing a client's certificate answers
// BadSecurityChecksFailed for a chain or key length failure, which its client has no code for.
CheckResult verifyChain(const std::vector<Certificate>& chain, const TrustLists& lists,
                        const PeerRequirements& requirements, const CheckSettings& settings,
                        TimePoint now);

// The application URI step alone, for a server that learns the client's URI only with the
// session request, after the channel's certificate check.
CheckResult verifyApplicationUri(const Certificate& certificate, const std::string& uri);

// Checks peer certificates against the PKI folder, read afresh for every check, so that a
// certificate moved from rejected/certs to trusted/certs is trusted at the next attempt.
class CertificateChecker
{
public:
    // Checks validity periods against this computer's time.
    explicit CertificateChecker(PkiFolder folder, CheckSettings settings = {});
    // Checks them against clock.utcNow(); the clock must outlive the checker.
    CertificateChecker(PkiFolder folder, CheckSettings settings, const Clock& clock);

    // The peer's certificate as it arrives, DER, possibly followed by its issuers. An untrusted
    // certificate is written to rejected/certs; the reason names the file and what to do.
    CheckResult check(ByteView peerCertificate, const PeerRequirements& requirements) const;

private:
    void keepRejected(const Certificate& certificate, CheckResult& result) const;
    void logRefusal(const Certificate& certificate, const CheckResult& result) const;
    TimePoint now() const;

    PkiFolder m_folder;
    CheckSettings m_settings;
    const Clock* m_clock = nullptr; // null: this computer's time
};

} // namespace opcua::pki
