#pragma once

#include "opcua/types.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <string>
#include <string_view>
#include <vector>

// X.509 certificates, revocation lists and RSA private keys as value types. Copies share the
// parsed OpenSSL object, which is never changed after parsing, so copies are cheap and may be
// used from several threads. Every parse failure throws opcua::Error with a status code and a
// description; nothing here prompts for a pass phrase or reads beyond the bytes given.
namespace opcua::pki {

using TimePoint = std::chrono::system_clock::time_point;

// The most certificates one DER blob or PEM file may hold: a peer's chain is a leaf and a few
// issuers, so more is refused rather than parsed.
inline constexpr std::size_t kMaxCertificatesPerBlob = 8;

class Certificate
{
public:
    // Exactly one DER certificate; trailing bytes are refused. Throws BadCertificateInvalid.
    static Certificate fromDer(ByteView der);

    const ByteBuffer& der() const { return m_der; }
    // The parsed form, owned by this certificate and its copies.
    X509* x509() const { return m_x509.get(); }
    // The subject's public key, owned by this certificate and its copies.
    EVP_PKEY* publicKey() const;

    // The subject as one line, e.g. "CN=servo-sim, O=Servo Panel".
    std::string subjectName() const;
    std::string issuerName() const;
    // The subject's common name; empty when it has none.
    std::string commonName() const;
    // The first URI of the subjectAltName extension, which names the OPC UA application;
    // empty when there is none.
    std::string applicationUri() const;
    std::vector<std::string> dnsNames() const;
    TimePoint notBefore() const;
    TimePoint notAfter() const;
    int keyBits() const;
    // The SHA-1 digest of the DER bytes, by which OPC UA names a certificate.
    ByteBuffer thumbprint() const;
    // The thumbprint as 40 lower-case hex digits.
    std::string thumbprintHex() const;
    // True when subject and issuer name are the same, as for a self-signed certificate or a
    // root CA. Whether the signature verifies is a separate check.
    bool isSelfIssued() const;

    friend bool operator==(const Certificate& a, const Certificate& b)
    {
        return a.m_der == b.m_der;
    }

private:
    // Certificates read from a blob or a file are made from what was parsed, not parsed again.
    friend std::vector<Certificate> parseCertificateChain(ByteView der);
    friend std::vector<Certificate> parseCertificateFile(ByteView bytes);

    Certificate(ByteBuffer der, std::shared_ptr<X509> x509);

    ByteBuffer m_der;
    std::shared_ptr<X509> m_x509;
};

// The certificates of a DER blob holding one or more of them back to back, as a peer sends its
// chain (leaf first). Throws BadCertificateInvalid when a part is not a certificate or there
// are more than kMaxCertificatesPerBlob.
std::vector<Certificate> parseCertificateChain(ByteView der);

// The certificates of a file: DER (one or a chain) or PEM (every CERTIFICATE block), at most
// kMaxCertificatesPerBlob. Throws BadCertificateInvalid.
std::vector<Certificate> parseCertificateFile(ByteView bytes);

// A certificate revocation list, DER or PEM.
class RevocationList
{
public:
    // Throws BadCertificateInvalid when the bytes are not one revocation list.
    static RevocationList fromBytes(ByteView bytes);

    // True when the list names the issuer as its issuer and its signature verifies with the
    // issuer's key.
    bool isIssuedBy(const Certificate& issuer) const;
    // True when the certificate's serial number is on the list.
    bool revokes(const Certificate& certificate) const;

private:
    explicit RevocationList(std::shared_ptr<X509_CRL> crl) : m_crl(std::move(crl)) {}

    std::shared_ptr<X509_CRL> m_crl;
};

// An RSA private key.
class PrivateKey
{
public:
    // Throws BadInternalError when OpenSSL cannot make the key.
    static PrivateKey generateRsa(int bits);
    // An unencrypted PEM key (PKCS#8 or PKCS#1). An encrypted one is refused, never prompted
    // for. Throws BadCertificateInvalid.
    static PrivateKey fromPem(std::string_view pem);

    // Unencrypted PKCS#8 PEM.
    std::string toPem() const;
    // The key, owned by this object and its copies.
    EVP_PKEY* get() const { return m_key.get(); }
    // True when the certificate carries this key's public half.
    bool matches(const Certificate& certificate) const;

private:
    explicit PrivateKey(std::shared_ptr<EVP_PKEY> key) : m_key(std::move(key)) {}

    std::shared_ptr<EVP_PKEY> m_key;
};

} // namespace opcua::pki
