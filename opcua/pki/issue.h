#pragma once

#include "opcua/pki/certificate.h"

#include <string>
#include <vector>

// Making X.509 v3 certificates: the application instance certificate this system creates for
// itself, and, with other settings, the CA and peer certificates its tests need.
namespace opcua::pki {

// What a certificate states. The extension values are in OpenSSL's configuration syntax
// ("critical,CA:FALSE"); an empty value leaves that extension out. Subject and authority key
// identifiers are always added.
struct CertificateProfile
{
    std::string commonName;
    std::string organization;
    // Goes into subjectAltName as a URI, with every DNS name; both may be left empty.
    std::string applicationUri;
    std::vector<std::string> dnsNames;
    TimePoint notBefore;
    TimePoint notAfter;
    std::string basicConstraints = "critical,CA:FALSE";
    std::string keyUsage =
        "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment";
    std::string extendedKeyUsage = "serverAuth,clientAuth";
};

// The CA that signs a certificate.
struct Issuer
{
    Certificate certificate;
    PrivateKey key;
};

// A certificate for `subjectKey`'s public half, signed with SHA-256 by the issuer, or by
// `subjectKey` itself when there is none. The serial number is random. Throws
// Error(BadInternalError) when OpenSSL refuses a part, e.g. a malformed extension value.
Certificate issueCertificate(const CertificateProfile& profile, const PrivateKey& subjectKey,
                             const Issuer* issuer = nullptr);

// Who this application is, as its certificate states it.
struct ApplicationIdentity
{
    std::string applicationName; // the subject's common name, e.g. "servo-panel"
    std::string organization;
    std::string applicationUri; // e.g. "urn:panel-host:servo-panel"
    std::string hostName;       // see localHostName()
};

inline constexpr int kApplicationKeyBits = 2048;

// The application instance certificate's contents: self-signed RSA with the key usages every
// OPC UA peer expects of one, for client and server use, valid five years from `now`.
CertificateProfile applicationCertificateProfile(const ApplicationIdentity& identity,
                                                 TimePoint now);

// This computer's host name, for the certificate's DNS entry; "localhost" when it has none.
std::string localHostName();

} // namespace opcua::pki
