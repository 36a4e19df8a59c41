#include "opcua/pki/checker.h"

#include "opcua/log.h"
#include "text/printable.h"

#include <algorithm>
#include <ctime>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <optional>

namespace opcua::pki {

namespace {

constexpr LogCategory lcPki("servo.opcua.pki");

// A peer's chain longer than this is refused rather than followed.
constexpr std::size_t kMaxChainLength = kMaxCertificatesPerBlob;

// One check in progress. The chain starts as the peer's certificate and grows to a root.
struct Verification
{
    std::vector<Certificate> chain;
    std::vector<Certificate> sentIssuers; // what the peer sent along with its certificate
    const TrustLists& lists;
    const PeerRequirements& requirements;
    const CheckSettings& settings;
    TimePoint now;
    // For chain[i], every revocation list of chain[i + 1]: a CA may publish several, and a
    // certificate on any of them is revoked.
    std::vector<std::vector<const RevocationList*>> revocationLists;
};

struct KeyUsageRow
{
    uint32_t bit;
    const char* name;
};

// What an application instance certificate's key is used for on a secure channel.
constexpr KeyUsageRow kNeededKeyUsage[] = {
    {KU_DIGITAL_SIGNATURE, "digitalSignature"},
    {KU_KEY_ENCIPHERMENT, "keyEncipherment"},
    {KU_DATA_ENCIPHERMENT, "dataEncipherment"},
};

CheckResult refused(StatusCode status, std::string reason)
{
    CheckResult result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
}

// Names and URIs in a certificate are the peer's text: quoted printable and short.
std::string quoted(const Certificate& certificate)
{
    return text::quoted(certificate.subjectName());
}

std::string utcText(TimePoint when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm fields{};
    gmtime_r(&seconds, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &fields);
    return text;
}

bool contains(const std::vector<Certificate>& certificates, const Certificate& certificate)
{
    return std::find(certificates.begin(), certificates.end(), certificate) != certificates.end();
}

bool signedBy(const Certificate& certificate, const Certificate& signer)
{
    const bool verified = X509_verify(certificate.x509(), signer.publicKey()) == 1;
    ERR_clear_error();
    return verified;
}

// Names and key identifiers agree; the signature is checked separately.
bool couldHaveIssued(const Certificate& issuer, const Certificate& certificate)
{
    if (X509_NAME_cmp(X509_get_subject_name(issuer.x509()),
                      X509_get_issuer_name(certificate.x509())) != 0)
        return false;
    const ASN1_OCTET_STRING* authorityKey = X509_get0_authority_key_id(certificate.x509());
    const ASN1_OCTET_STRING* subjectKey = X509_get0_subject_key_id(issuer.x509());
    return !authorityKey || !subjectKey || ASN1_OCTET_STRING_cmp(authorityKey, subjectKey) == 0;
}

// The issuer of the chain's last certificate among those sent, the issuers and the trusted;
// one whose signature verifies is preferred over one that merely has the right name.
std::optional<Certificate> findIssuer(const Verification& v)
{
    const Certificate& certificate = v.chain.back();
    std::optional<Certificate> named;
    for (const auto* pool : {&v.sentIssuers, &v.lists.issuers, &v.lists.trusted}) {
        for (const Certificate& candidate : *pool) {
            if (contains(v.chain, candidate) || !couldHaveIssued(candidate, certificate))
                continue;
            if (signedBy(certificate, candidate))
                return candidate;
            if (!named)
                named = candidate;
        }
    }
    return named;
}

std::string structureProblem(const Certificate& certificate)
{
    const uint32_t flags = X509_get_extension_flags(certificate.x509());
    if (X509_get_version(certificate.x509()) != X509_VERSION_3)
        return "is not an X.509 v3 certificate";
    if (flags & EXFLAG_INVALID)
        return "has malformed extensions";
    if (flags & EXFLAG_CRITICAL)
        return "has a critical extension this system does not know";
    return {};
}

CheckResult checkStructure(Verification& v)
{
    const std::string problem = structureProblem(v.chain.front());
    if (problem.empty())
        return {};
    return refused(status::BadCertificateInvalid,
                   "the certificate " + quoted(v.chain.front()) + " " + problem);
}

CheckResult buildChain(Verification& v)
{
    while (!v.chain.back().isSelfIssued()) {
        if (v.chain.size() == kMaxChainLength)
            return refused(status::BadCertificateChainIncomplete,
                           "the chain of " + quoted(v.chain.front()) + " is longer than " +
                               std::to_string(kMaxChainLength) + " certificates");
        const std::optional<Certificate> issuer = findIssuer(v);
        if (!issuer && v.settings.trust == TrustMode::AnyPeer)
            return {};
        if (!issuer)
            return refused(status::BadCertificateChainIncomplete,
                           "the CA " + text::quoted(v.chain.back().issuerName()) + " that issued " +
                               quoted(v.chain.back()) +
                               " is not known: put its certificate into issuers/certs, or into "
                               "trusted/certs to trust every certificate it issues");
        const std::string problem = structureProblem(*issuer);
        if (!problem.empty())
            return refused(status::BadCertificateInvalid,
                           "the CA certificate " + quoted(*issuer) + " " + problem);
        v.chain.push_back(*issuer);
    }
    return {};
}

CheckResult checkSignatures(Verification& v)
{
    for (size_t i = 0; i < v.chain.size(); ++i) {
        const bool isLast = i + 1 == v.chain.size();
        if (isLast && !v.chain[i].isSelfIssued())
            break; // a peer trusted without its CA
        const Certificate& signer = isLast ? v.chain[i] : v.chain[i + 1];
        if (!signedBy(v.chain[i], signer))
            return refused(status::BadCertificateInvalid,
                           "the signature of " + quoted(v.chain[i]) +
                               " does not verify with the key of " + quoted(signer) +
                               ": the certificate was altered or forged");
    }
    return {};
}

CheckResult checkKeyLength(Verification& v)
{
    const Certificate& certificate = v.chain.front();
    const int bits = certificate.keyBits();
    const PeerRequirements& wanted = v.requirements;
    const EVP_PKEY* key = certificate.publicKey(); // null for a key OpenSSL cannot read
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        return refused(status::BadCertificatePolicyCheckFailed,
                       "the certificate " + quoted(certificate) +
                           " has no RSA key, which the security policy needs");
    if (bits < wanted.minKeyBits || bits > wanted.maxKeyBits)
        return refused(status::BadCertificatePolicyCheckFailed,
                       "the certificate " + quoted(certificate) + " has a " + std::to_string(bits) +
                           "-bit key; the security policy allows " +
                           std::to_string(wanted.minKeyBits) + " to " +
                           std::to_string(wanted.maxKeyBits) + " bits");
    return {};
}

// The trusted certificate of the application `leaf` names, when `leaf` is not it: the one the
// peer presented before it presented this one.
const Certificate* trustedBefore(const Verification& v, const Certificate& leaf)
{
    std::string uri = leaf.applicationUri();
    if (uri.empty())
        uri = v.requirements.applicationUri;
    if (uri.empty())
        return nullptr;
    const auto found = std::ranges::find_if(v.lists.trusted, [&](const Certificate& trusted) {
        return trusted.applicationUri() == uri;
    });
    return found == v.lists.trusted.end() ? nullptr : &*found;
}

// Another certificate under a trusted one's application URI is told apart from a first
// contact: it is either a reinstalled peer or someone posing as it.
CheckResult certificateChanged(const Verification& v, const Certificate& leaf,
                               const Certificate& before)
{
    const std::string peer = v.requirements.role == PeerRole::Server ? "server" : "client";
    CheckResult result = refused(
        status::BadCertificateUntrusted,
        "the " + peer + "'s certificate has changed: the one trusted for " +
            text::quoted(before.applicationUri()) + " has thumbprint " + before.thumbprintHex() +
            ", the " + peer + " now presents " + quoted(leaf) + " with thumbprint " +
            leaf.thumbprintHex() + ". Either the " + peer + " was reinstalled or someone is " +
            "posing as it: confirm the new thumbprint with the " + peer +
            "'s administrator before trusting it");
    result.replacedThumbprint = before.thumbprintHex();
    return result;
}

CheckResult checkTrust(Verification& v)
{
    if (v.settings.trust == TrustMode::AnyPeer)
        return {};
    for (const Certificate& certificate : v.chain) {
        if (contains(v.lists.trusted, certificate))
            return {};
    }
    const Certificate& leaf = v.chain.front();
    if (const Certificate* before = trustedBefore(v, leaf))
        return certificateChanged(v, leaf, *before);
    return refused(status::BadCertificateUntrusted,
                   "the certificate " + quoted(leaf) + " (thumbprint " + leaf.thumbprintHex() +
                       ") is not trusted: neither it nor a CA of its chain is in trusted/certs");
}

CheckResult checkValidity(Verification& v)
{
    for (size_t i = 0; i < v.chain.size(); ++i) {
        const Certificate& certificate = v.chain[i];
        if (v.now >= certificate.notBefore() && v.now <= certificate.notAfter())
            continue;
        return refused(
            i == 0 ? status::BadCertificateTimeInvalid : status::BadCertificateIssuerTimeInvalid,
            std::string(i == 0 ? "the certificate " : "the CA certificate ") + quoted(certificate) +
                " is valid from " + utcText(certificate.notBefore()) + " to " +
                utcText(certificate.notAfter()) + ", not at " + utcText(v.now) +
                ": renew it, or correct this computer's clock");
    }
    return {};
}

CheckResult checkApplicationUri(Verification& v)
{
    return verifyApplicationUri(v.chain.front(), v.requirements.applicationUri);
}

std::string missingKeyUsage(const Certificate& certificate)
{
    const uint32_t usage = X509_get_key_usage(certificate.x509());
    std::string missing;
    for (const KeyUsageRow& row : kNeededKeyUsage) {
        if (!(usage & row.bit))
            missing += std::string(missing.empty() ? "" : ", ") + row.name;
    }
    return missing;
}

CheckResult checkLeafUsage(const Verification& v)
{
    const Certificate& leaf = v.chain.front();
    const uint32_t flags = X509_get_extension_flags(leaf.x509());
    const std::string missing =
        (flags & EXFLAG_KUSAGE) ? missingKeyUsage(leaf) : "the keyUsage extension";
    if (!missing.empty())
        return refused(status::BadCertificateUseNotAllowed,
                       "the certificate " + quoted(leaf) +
                           " is not an application certificate: it lacks " + missing);
    const bool server = v.requirements.role == PeerRole::Server;
    const uint32_t purpose = server ? XKU_SSL_SERVER : XKU_SSL_CLIENT;
    if ((flags & EXFLAG_XKUSAGE) && !(X509_get_extended_key_usage(leaf.x509()) & purpose))
        return refused(
            status::BadCertificateUseNotAllowed,
            "the certificate " + quoted(leaf) + " may not be used by a " +
                (server ? "server: it lacks serverAuth" : "client: it lacks clientAuth"));
    return {};
}

CheckResult checkUsage(Verification& v)
{
    if (CheckResult leaf = checkLeafUsage(v); !leaf.isGood())
        return leaf;
    for (size_t i = 1; i < v.chain.size(); ++i) {
        const uint32_t flags = X509_get_extension_flags(v.chain[i].x509());
        const bool signsCertificates =
            !(flags & EXFLAG_KUSAGE) || (X509_get_key_usage(v.chain[i].x509()) & KU_KEY_CERT_SIGN);
        if (!(flags & EXFLAG_CA) || !signsCertificates)
            return refused(status::BadCertificateIssuerUseNotAllowed,
                           "the certificate " + quoted(v.chain[i]) + " issued " +
                               quoted(v.chain[i - 1]) +
                               " but is not a CA allowed to sign certificates");
    }
    return {};
}

// The lists that name the issuer and carry its signature; one that merely names it is not the
// issuer's and is passed over.
std::vector<const RevocationList*> revocationListsOf(const Certificate& issuer,
                                                     const TrustLists& lists)
{
    std::vector<const RevocationList*> found;
    for (const RevocationList& list : lists.revocationLists) {
        if (list.isIssuedBy(issuer))
            found.push_back(&list);
    }
    return found;
}

CheckResult findRevocationLists(Verification& v)
{
    for (size_t i = 0; i + 1 < v.chain.size(); ++i) {
        v.revocationLists.push_back(revocationListsOf(v.chain[i + 1], v.lists));
        if (!v.revocationLists.back().empty() ||
            v.settings.revocation == RevocationMode::WhenListed)
            continue;
        return refused(i == 0 ? status::BadCertificateRevocationUnknown
                              : status::BadCertificateIssuerRevocationUnknown,
                       "no revocation list of the CA " + quoted(v.chain[i + 1]) +
                           " is in trusted/crl or issuers/crl, so whether " + quoted(v.chain[i]) +
                           " was revoked is unknown: put the CA's current list there");
    }
    return {};
}

CheckResult checkRevocation(Verification& v)
{
    for (size_t i = 0; i < v.revocationLists.size(); ++i) {
        const auto revokes = [&](const RevocationList* list) { return list->revokes(v.chain[i]); };
        if (std::ranges::none_of(v.revocationLists[i], revokes))
            continue;
        return refused(i == 0 ? status::BadCertificateRevoked : status::BadCertificateIssuerRevoked,
                       "the certificate " + quoted(v.chain[i]) + " is revoked: the CA " +
                           quoted(v.chain[i + 1]) + " lists it as revoked");
    }
    return {};
}

using Step = CheckResult (*)(Verification&);

// In this order: a later step relies on what an earlier one established (the chain, its
// signatures), and an operator is told about the most basic fault first.
constexpr Step kSteps[] = {
    checkStructure, buildChain,          checkSignatures, checkKeyLength,      checkTrust,
    checkValidity,  checkApplicationUri, checkUsage,      findRevocationLists, checkRevocation,
};

} // namespace

CheckResult verifyChain(const std::vector<Certificate>& chain, const TrustLists& lists,
                        const PeerRequirements& requirements, const CheckSettings& settings,
                        TimePoint now)
{
    if (chain.empty())
        return refused(status::BadCertificateInvalid, "the peer sent no certificate");
    Verification v{
        {chain.front()}, {chain.begin() + 1, chain.end()}, lists, requirements, settings, now, {}};
    for (const Step step : kSteps) {
        if (CheckResult result = step(v); !result.isGood())
            return result;
    }
    return {};
}

CheckResult verifyApplicationUri(const Certificate& certificate, const std::string& uri)
{
    const std::string named = certificate.applicationUri();
    if (uri.empty() || named == uri)
        return {};
    return refused(status::BadCertificateUriInvalid,
                   "the certificate " + quoted(certificate) + " names the application URI " +
                       text::quoted(named) + ", but the peer says it is " + text::quoted(uri));
}

CertificateChecker::CertificateChecker(PkiFolder folder, CheckSettings settings)
    : m_folder(std::move(folder)), m_settings(settings)
{}

CertificateChecker::CertificateChecker(PkiFolder folder, CheckSettings settings, const Clock& clock)
    : m_folder(std::move(folder)), m_settings(settings), m_clock(&clock)
{}

TimePoint CertificateChecker::now() const
{
    return m_clock ? m_clock->utcNow().toTimePoint() : std::chrono::system_clock::now();
}

CheckResult CertificateChecker::check(ByteView peerCertificate,
                                      const PeerRequirements& requirements) const
{
    std::vector<Certificate> chain;
    try {
        chain = parseCertificateChain(peerCertificate);
    } catch (const Error& error) {
        return refused(error.status(),
                       std::string("the peer's certificate cannot be read: ") + error.what());
    }
    CheckResult result;
    try {
        m_folder.checkPermissions();
    } catch (const Error& error) {
        result = refused(error.status(), error.what());
    }
    if (result.isGood()) {
        const TrustLists lists = m_folder.readTrustLists();
        result = verifyChain(chain, lists, requirements, m_settings, now());
        result.skipped = lists.skipped;
    }
    if (result.status == status::BadCertificateUntrusted)
        keepRejected(chain.front(), result);
    if (!result.isGood())
        logRefusal(chain.front(), result);
    return result;
}

// One line per refused certificate, for whoever decides what to trust.
void CertificateChecker::logRefusal(const Certificate& certificate, const CheckResult& result) const
{
    const std::string line =
        "refused certificate " + quoted(certificate) + " (SHA-1 thumbprint " +
        certificate.thumbprintHex() + ", kept as " +
        (result.rejectedFile.empty() ? std::string("nothing") : result.rejectedFile.string()) +
        "): " + statusName(result.status) + ": " + result.reason;
    lcPki.warning(line);
}

void CertificateChecker::keepRejected(const Certificate& certificate, CheckResult& result) const
{
    try {
        result.rejectedFile = m_folder.keepRejected(certificate);
        result.reason += "; it was kept as " + result.rejectedFile.string() +
                         ", move that file to " + m_folder.path(Store::TrustedCerts).string() +
                         " to trust it";
    } catch (const Error& error) {
        result.reason += std::string("; it could not be kept in rejected/certs: ") + error.what();
    }
}

} // namespace opcua::pki
