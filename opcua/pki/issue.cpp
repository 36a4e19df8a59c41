#include "opcua/pki/issue.h"

#include "opcua/security/openssl.h"

#include <algorithm>
#include <openssl/bn.h>
#include <openssl/x509v3.h>
#include <unistd.h>

namespace opcua::pki {

namespace {

using Bignum = std::unique_ptr<BIGNUM, ssl::Deleter<BN_free>>;
using Asn1Integer = std::unique_ptr<ASN1_INTEGER, ssl::Deleter<ASN1_INTEGER_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, ssl::Deleter<X509_EXTENSION_free>>;

// A certificate made now is dated back this far, so that a peer whose clock is somewhat behind
// does not find it "not yet valid".
constexpr std::chrono::hours kBackdating{24};
constexpr int kValidityYears = 5;
// Random, positive and at most 20 bytes long, as serial numbers must be.
constexpr int kSerialBits = 159;

void require(bool ok, const std::string& what)
{
    if (!ok)
        ssl::fail(status::BadInternalError, "cannot make the certificate: " + what);
}

TimePoint yearsLater(TimePoint start, int count)
{
    using namespace std::chrono;
    const sys_days day = floor<days>(start);
    year_month_day date = year_month_day(day) + years(count);
    if (!date.ok()) // 29 February in a year that has none
        date = date.year() / date.month() / last;
    return time_point_cast<system_clock::duration>(sys_days(date) + (start - day));
}

void setSerial(X509* cert)
{
    const Bignum number(BN_new());
    require(number && BN_rand(number.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY),
            "random serial number");
    const Asn1Integer serial(BN_to_ASN1_INTEGER(number.get(), nullptr));
    require(serial && X509_set_serialNumber(cert, serial.get()), "serial number");
}

void setTime(ASN1_TIME* field, TimePoint when)
{
    require(ASN1_TIME_set(field, std::chrono::system_clock::to_time_t(when)), "validity period");
}

void setSubject(X509* cert, const CertificateProfile& profile)
{
    X509_NAME* subject = X509_get_subject_name(cert);
    // Most general part first, as distinguished names are stored.
    const std::pair<const char*, const std::string*> fields[] = {{"O", &profile.organization},
                                                                 {"CN", &profile.commonName}};
    for (const auto& [field, value] : fields) {
        if (value->empty())
            continue;
        require(X509_NAME_add_entry_by_txt(subject, field, MBSTRING_UTF8,
                                           reinterpret_cast<const unsigned char*>(value->data()),
                                           static_cast<int>(value->size()), -1, 0),
                std::string("subject ") + field);
    }
}

void addAltName(GENERAL_NAMES* names, int kind, const std::string& value)
{
    const bool ascii = std::all_of(value.begin(), value.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii || value.empty())
        throw Error(status::BadConfigurationError,
                    "a certificate's URI or DNS name must be plain ASCII: \"" + value + "\"");
    ASN1_IA5STRING* text = ASN1_IA5STRING_new();
    GENERAL_NAME* name = GENERAL_NAME_new();
    if (!text || !name || !ASN1_STRING_set(text, value.data(), static_cast<int>(value.size()))) {
        ASN1_IA5STRING_free(text);
        GENERAL_NAME_free(name);
        require(false, "subjectAltName entry");
    }
    GENERAL_NAME_set0_value(name, kind, text);
    if (!sk_GENERAL_NAME_push(names, name)) {
        GENERAL_NAME_free(name);
        require(false, "subjectAltName entry");
    }
}

void addAltNames(X509* cert, const CertificateProfile& profile)
{
    if (profile.applicationUri.empty() && profile.dnsNames.empty())
        return;
    const ssl::GeneralNames names(GENERAL_NAMES_new());
    require(names != nullptr, "subjectAltName");
    if (!profile.applicationUri.empty())
        addAltName(names.get(), GEN_URI, profile.applicationUri);
    for (const std::string& dns : profile.dnsNames)
        addAltName(names.get(), GEN_DNS, dns);
    require(X509_add1_ext_i2d(cert, NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT) == 1,
            "subjectAltName");
}

// The extensions given as text, in order; the subject key identifier comes before the
// authority key identifier, which for a self-signed certificate repeats it.
void addExtensions(X509* cert, const CertificateProfile& profile, X509* issuerCert,
                   EVP_PKEY* issuerKey)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuerCert, cert, nullptr, nullptr, 0);
    require(X509V3_set_issuer_pkey(&context, issuerKey) == 1, "issuer key");
    const std::pair<int, const std::string> extensions[] = {
        {NID_basic_constraints, profile.basicConstraints}, {NID_key_usage, profile.keyUsage},
        {NID_ext_key_usage, profile.extendedKeyUsage},     {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, "keyid:always"},
    };
    for (const auto& [nid, value] : extensions) {
        if (value.empty())
            continue;
        const Extension extension(X509V3_EXT_nconf_nid(nullptr, &context, nid, value.c_str()));
        require(extension && X509_add_ext(cert, extension.get(), -1),
                std::string(OBJ_nid2sn(nid)) + " \"" + value + "\"");
    }
    addAltNames(cert, profile);
}

} // namespace

Certificate issueCertificate(const CertificateProfile& profile, const PrivateKey& subjectKey,
                             const Issuer* issuer)
{
    const ssl::X509Ptr cert(X509_new());
    require(cert && X509_set_version(cert.get(), X509_VERSION_3), "version");
    setSerial(cert.get());
    setTime(X509_getm_notBefore(cert.get()), profile.notBefore);
    setTime(X509_getm_notAfter(cert.get()), profile.notAfter);
    setSubject(cert.get(), profile);
    X509* issuerCert = issuer ? issuer->certificate.x509() : cert.get();
    EVP_PKEY* signingKey = issuer ? issuer->key.get() : subjectKey.get();
    require(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuerCert)), "issuer name");
    require(X509_set_pubkey(cert.get(), subjectKey.get()), "public key");
    addExtensions(cert.get(), profile, issuerCert, signingKey);
    require(X509_sign(cert.get(), signingKey, EVP_sha256()) > 0, "signature");

    unsigned char* der = nullptr;
    const int length = i2d_X509(cert.get(), &der);
    require(length > 0, "DER encoding");
    const ByteBuffer bytes(der, der + length);
    OPENSSL_free(der);
    return Certificate::fromDer(bytes);
}

CertificateProfile applicationCertificateProfile(const ApplicationIdentity& identity, TimePoint now)
{
    CertificateProfile profile;
    profile.commonName = identity.applicationName;
    profile.organization = identity.organization;
    profile.applicationUri = identity.applicationUri;
    profile.dnsNames = {identity.hostName};
    profile.notBefore = now - kBackdating;
    profile.notAfter = yearsLater(now, kValidityYears);
    return profile;
}

std::string localHostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

} // namespace opcua::pki
