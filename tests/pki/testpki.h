#pragma once

// Certificates, CAs and revocation lists for the PKI tests, made with OpenSSL at test time.

#include "opcua/pki/issue.h"
#include "opcua/security/openssl.h"

#include <QByteArray>
#include <filesystem>
#include <fstream>
#include <openssl/x509v3.h>

namespace testpki {

using namespace opcua::pki;
using opcua::ByteBuffer;
using opcua::ByteView;
using opcua::StatusCode;
using opcua::statusName;
namespace status = opcua::status;
namespace fs = std::filesystem;

inline TimePoint utc(int year, unsigned month, unsigned day)
{
    using namespace std::chrono;
    return sys_days(std::chrono::year(year) / std::chrono::month(month) / std::chrono::day(day));
}

// An application certificate's contents, valid through 2026, for "urn:test:<name>".
inline CertificateProfile peerSpec(const std::string& name)
{
    CertificateProfile profile;
    profile.commonName = name;
    profile.organization = "Test";
    profile.applicationUri = "urn:test:" + name;
    profile.dnsNames = {"test-host"};
    profile.notBefore = utc(2026, 1, 1);
    profile.notAfter = utc(2027, 1, 1);
    return profile;
}

inline CertificateProfile caSpec(const std::string& name, TimePoint notAfter = utc(2035, 1, 1))
{
    CertificateProfile profile = peerSpec(name);
    profile.applicationUri.clear();
    profile.dnsNames.clear();
    profile.notBefore = utc(2025, 1, 1);
    profile.notAfter = notAfter;
    profile.basicConstraints = "critical,CA:TRUE";
    profile.keyUsage = "critical,keyCertSign,cRLSign";
    profile.extendedKeyUsage.clear();
    return profile;
}

// The DER encoding of an OpenSSL object, by its i2d_ function.
template <class Object, class Encode> ByteBuffer derOf(const Object* object, Encode encode)
{
    unsigned char* der = nullptr;
    const int length = encode(object, &der);
    ByteBuffer bytes(der, der + std::max(length, 0));
    OPENSSL_free(der);
    return bytes;
}

// A revocation list of `ca` naming `revoked`, valid through 2026.
inline ByteBuffer revocationListDer(const Issuer& ca, const std::vector<Certificate>& revoked)
{
    using Crl = opcua::ssl::X509Crl;
    using Time = std::unique_ptr<ASN1_TIME, opcua::ssl::Deleter<ASN1_TIME_free>>;
    const Crl crl(X509_CRL_new());
    const Time thisUpdate(
        ASN1_TIME_set(nullptr, std::chrono::system_clock::to_time_t(utc(2026, 1, 1))));
    const Time nextUpdate(
        ASN1_TIME_set(nullptr, std::chrono::system_clock::to_time_t(utc(2027, 1, 1))));
    X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca.certificate.x509()));
    X509_CRL_set1_lastUpdate(crl.get(), thisUpdate.get());
    X509_CRL_set1_nextUpdate(crl.get(), nextUpdate.get());
    for (const Certificate& certificate : revoked) {
        X509_REVOKED* entry = X509_REVOKED_new();
        X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(certificate.x509()));
        X509_REVOKED_set_revocationDate(entry, thisUpdate.get());
        X509_CRL_add0_revoked(crl.get(), entry);
    }
    X509_CRL_sort(crl.get());
    X509_CRL_sign(crl.get(), ca.key.get(), EVP_sha256());
    return derOf(crl.get(), i2d_X509_CRL);
}

// The certificate changed by `change` and signed again with `key`: for what issueCertificate
// would never make.
template <class Change>
Certificate changed(const Certificate& certificate, const PrivateKey& key, Change change)
{
    const opcua::ssl::X509Ptr copy(X509_dup(certificate.x509()));
    change(copy.get());
    X509_sign(copy.get(), key.get(), EVP_sha256());
    return Certificate::fromDer(derOf(copy.get(), i2d_X509));
}

// PEM text made from DER by hand, not by the code under test.
inline ByteBuffer pemOf(const ByteBuffer& der, const char* label = "CERTIFICATE")
{
    QByteArray text = QByteArray("-----BEGIN ") + label + "-----\n";
    const QByteArray base64 =
        QByteArray(reinterpret_cast<const char*>(der.data()), static_cast<qsizetype>(der.size()))
            .toBase64();
    for (qsizetype at = 0; at < base64.size(); at += 64)
        text += base64.mid(at, 64) + "\n";
    text += QByteArray("-----END ") + label + "-----\n";
    return ByteBuffer(text.begin(), text.end());
}

inline void writeFile(const fs::path& file, ByteView bytes)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

inline ByteBuffer readFile(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return ByteBuffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The application certificate node-opcua made (make_nodeopcua_peer.js).
inline ByteBuffer nodeOpcuaPeerDer()
{
    return readFile(fs::path(PKI_TEST_DATA_DIR) / "nodeopcua-peer.der");
}

inline std::vector<std::string> fileNames(const fs::path& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace testpki
