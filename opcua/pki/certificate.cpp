#include "opcua/pki/certificate.h"

#include "opcua/security/openssl.h"

#include <climits>
#include <ctime>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace opcua::pki {

namespace {

constexpr std::string_view kPemMarker = "-----BEGIN ";

// Refuses every pass phrase request, so that reading an encrypted key fails instead of
// waiting for someone to type at a terminal.
int noPassPhrase(char*, int, int, void*)
{
    return -1;
}

bool looksLikePem(ByteView bytes)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return text.find(kPemMarker) != std::string_view::npos;
}

ssl::Bio readBio(ByteView bytes)
{
    if (bytes.size() > INT_MAX)
        throw Error(status::BadCertificateInvalid, "the data is too large to be a certificate");
    ssl::Bio bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio)
        ssl::fail(status::BadOutOfMemory, "cannot read the data");
    return bio;
}

std::string bioText(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::string nameText(const X509_NAME* name)
{
    // Most significant part first ("CN=..., O=..."), UTF-8 kept as it is.
    constexpr unsigned long kFlags = (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) |
                                     XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN;
    ssl::Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, kFlags) < 0)
        return {};
    return bioText(bio.get());
}

std::string asn1Text(const ASN1_STRING* text)
{
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, text);
    if (length < 0)
        return {};
    std::string result(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return result;
}

TimePoint timePoint(const ASN1_TIME* time)
{
    std::tm fields{};
    if (!time || ASN1_TIME_to_tm(time, &fields) != 1)
        return {};
    return std::chrono::system_clock::from_time_t(timegm(&fields));
}

// The subjectAltName entries of one kind (GEN_URI, GEN_DNS), in their order.
std::vector<std::string> altNames(X509* x509, int kind)
{
    std::vector<std::string> names;
    const ssl::GeneralNames all(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(x509, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; all && i < sk_GENERAL_NAME_num(all.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(all.get(), i);
        if (name->type == kind)
            names.push_back(asn1Text(name->d.ia5));
    }
    return names;
}

// Reads one certificate at the start of `der`, and returns how many bytes it took.
std::pair<std::shared_ptr<X509>, size_t> readDer(ByteView der)
{
    if (der.empty())
        throw Error(status::BadCertificateInvalid, "the certificate is empty");
    if (der.size() > LONG_MAX)
        throw Error(status::BadCertificateInvalid, "the certificate is too large");
    const unsigned char* next = der.data();
    X509* x509 = d2i_X509(nullptr, &next, static_cast<long>(der.size()));
    if (!x509)
        ssl::fail(status::BadCertificateInvalid, "not a DER encoded certificate");
    return {std::shared_ptr<X509>(x509, X509_free), static_cast<size_t>(next - der.data())};
}

// A certificate's DER bytes and their parsed form.
using Parsed = std::pair<ByteBuffer, std::shared_ptr<X509>>;

std::vector<Parsed> readPem(ByteView pem)
{
    std::vector<Parsed> certificates;
    const ssl::Bio bio = readBio(pem);
    ERR_clear_error();
    while (ssl::X509Ptr x509{PEM_read_bio_X509(bio.get(), nullptr, noPassPhrase, nullptr)}) {
        if (certificates.size() == kMaxCertificatesPerBlob)
            throw Error(status::BadCertificateInvalid,
                        "more than " + std::to_string(kMaxCertificatesPerBlob) + " certificates");
        unsigned char* der = nullptr;
        const int length = i2d_X509(x509.get(), &der);
        if (length <= 0)
            ssl::fail(status::BadCertificateInvalid, "cannot encode a PEM certificate as DER");
        ByteBuffer bytes(der, der + length);
        OPENSSL_free(der);
        certificates.emplace_back(std::move(bytes),
                                  std::shared_ptr<X509>(x509.release(), X509_free));
    }
    // Running out of PEM blocks ends the loop with "no start line"; anything else is a
    // damaged block.
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) != ERR_LIB_PEM || ERR_GET_REASON(error) != PEM_R_NO_START_LINE)
        ssl::fail(status::BadCertificateInvalid, "damaged PEM certificate");
    ERR_clear_error();
    if (certificates.empty())
        throw Error(status::BadCertificateInvalid, "no PEM certificate");
    return certificates;
}

} // namespace

Certificate::Certificate(ByteBuffer der, std::shared_ptr<X509> x509)
    : m_der(std::move(der)), m_x509(std::move(x509))
{}

Certificate Certificate::fromDer(ByteView der)
{
    auto [x509, used] = readDer(der);
    if (used != der.size())
        throw Error(status::BadCertificateInvalid,
                    std::to_string(der.size() - used) + " bytes follow the certificate");
    return Certificate(ByteBuffer(der.begin(), der.end()), std::move(x509));
}

EVP_PKEY* Certificate::publicKey() const
{
    return X509_get0_pubkey(m_x509.get());
}

std::string Certificate::subjectName() const
{
    return nameText(X509_get_subject_name(m_x509.get()));
}

std::string Certificate::issuerName() const
{
    return nameText(X509_get_issuer_name(m_x509.get()));
}

std::string Certificate::commonName() const
{
    const X509_NAME* subject = X509_get_subject_name(m_x509.get());
    const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (at < 0)
        return {};
    return asn1Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
}

std::string Certificate::applicationUri() const
{
    const std::vector<std::string> uris = altNames(m_x509.get(), GEN_URI);
    return uris.empty() ? std::string() : uris.front();
}

std::vector<std::string> Certificate::dnsNames() const
{
    return altNames(m_x509.get(), GEN_DNS);
}

TimePoint Certificate::notBefore() const
{
    return timePoint(X509_get0_notBefore(m_x509.get()));
}

TimePoint Certificate::notAfter() const
{
    return timePoint(X509_get0_notAfter(m_x509.get()));
}

int Certificate::keyBits() const
{
    const EVP_PKEY* key = publicKey();
    return key ? EVP_PKEY_get_bits(key) : 0;
}

ByteBuffer Certificate::thumbprint() const
{
    ByteBuffer digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(m_der.data(), m_der.size(), digest.data(), &length, EVP_sha1(), nullptr) != 1)
        ssl::fail(status::BadInternalError, "cannot compute a certificate thumbprint");
    digest.resize(length);
    return digest;
}

std::string Certificate::thumbprintHex() const
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : thumbprint()) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

bool Certificate::isSelfIssued() const
{
    return X509_NAME_cmp(X509_get_subject_name(m_x509.get()), X509_get_issuer_name(m_x509.get())) ==
           0;
}

std::vector<Certificate> parseCertificateChain(ByteView der)
{
    std::vector<Certificate> chain;
    while (!der.empty()) {
        if (chain.size() == kMaxCertificatesPerBlob)
            throw Error(status::BadCertificateInvalid,
                        "more than " + std::to_string(kMaxCertificatesPerBlob) + " certificates");
        auto [x509, used] = readDer(der);
        chain.push_back(
            Certificate(ByteBuffer(der.begin(), der.begin() + ptrdiff_t(used)), std::move(x509)));
        der = der.subspan(used);
    }
    if (chain.empty())
        throw Error(status::BadCertificateInvalid, "the certificate is empty");
    return chain;
}

std::vector<Certificate> parseCertificateFile(ByteView bytes)
{
    if (!looksLikePem(bytes))
        return parseCertificateChain(bytes);
    std::vector<Certificate> certificates;
    for (auto& [der, x509] : readPem(bytes))
        certificates.push_back(Certificate(std::move(der), std::move(x509)));
    return certificates;
}

RevocationList RevocationList::fromBytes(ByteView bytes)
{
    X509_CRL* crl = nullptr;
    if (looksLikePem(bytes)) {
        crl = PEM_read_bio_X509_CRL(readBio(bytes).get(), nullptr, noPassPhrase, nullptr);
    } else if (!bytes.empty() && bytes.size() <= LONG_MAX) {
        const unsigned char* next = bytes.data();
        crl = d2i_X509_CRL(nullptr, &next, static_cast<long>(bytes.size()));
        if (crl && next != bytes.data() + bytes.size()) {
            X509_CRL_free(crl);
            throw Error(status::BadCertificateInvalid, "bytes follow the revocation list");
        }
    }
    if (!crl)
        ssl::fail(status::BadCertificateInvalid, "not a certificate revocation list");
    return RevocationList(std::shared_ptr<X509_CRL>(crl, X509_CRL_free));
}

bool RevocationList::isIssuedBy(const Certificate& issuer) const
{
    if (X509_NAME_cmp(X509_CRL_get_issuer(m_crl.get()), X509_get_subject_name(issuer.x509())))
        return false;
    const bool verified = X509_CRL_verify(m_crl.get(), issuer.publicKey()) == 1;
    ERR_clear_error();
    return verified;
}

bool RevocationList::revokes(const Certificate& certificate) const
{
    X509_REVOKED* entry = nullptr;
    // 2 marks an entry that lifts an earlier hold ("removeFromCRL"): not revoked.
    return X509_CRL_get0_by_cert(m_crl.get(), &entry, certificate.x509()) == 1;
}

PrivateKey PrivateKey::generateRsa(int bits)
{
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned int>(bits));
    if (!key)
        ssl::fail(status::BadInternalError,
                  "cannot generate a " + std::to_string(bits) + "-bit RSA key");
    return PrivateKey(std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free));
}

PrivateKey PrivateKey::fromPem(std::string_view pem)
{
    const ssl::Bio bio = readBio({reinterpret_cast<const uint8_t*>(pem.data()), pem.size()});
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassPhrase, nullptr);
    if (!key)
        ssl::fail(status::BadCertificateInvalid, "not an unencrypted PEM private key");
    std::shared_ptr<EVP_PKEY> owned(key, EVP_PKEY_free);
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        throw Error(status::BadCertificateInvalid, "the private key is not an RSA key");
    return PrivateKey(std::move(owned));
}

std::string PrivateKey::toPem() const
{
    // Secure memory is overwritten when freed, so the key's text does not outlive the BIO.
    ssl::Bio bio(BIO_new(BIO_s_secmem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), m_key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1)
        ssl::fail(status::BadInternalError, "cannot write the private key as PEM");
    return bioText(bio.get());
}

bool PrivateKey::matches(const Certificate& certificate) const
{
    const bool same = EVP_PKEY_eq(m_key.get(), certificate.publicKey()) == 1;
    ERR_clear_error();
    return same;
}

} // namespace opcua::pki
