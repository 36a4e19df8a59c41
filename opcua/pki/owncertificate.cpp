#include "opcua/pki/owncertificate.h"

#include "opcua/pki/files.h"
#include "opcua/security/openssl.h"

#include <cstdio>
#include <sys/stat.h>

namespace opcua::pki {

namespace fs = std::filesystem;

namespace {

// Room for a certificate or key with many extensions; a larger file is not one of ours.
constexpr std::uintmax_t kMaxOwnFileBytes = std::uintmax_t{64} * 1024;
constexpr mode_t kKeyFileMode = 0600;
constexpr mode_t kKeyFolderMode = 0700;
constexpr mode_t kCertificateFileMode = 0644;
// Permission bits for the group and for others.
constexpr mode_t kSharedBits = 077;

struct OwnFiles
{
    fs::path certificate;
    fs::path key;

    [[noreturn]] void refuse(StatusCode status, const fs::path& file,
                             const std::string& problem) const
    {
        throw Error(status, "the application's own " + file.string() + " " + problem +
                                "; replace it, or remove both " + certificate.string() + " and " +
                                key.string() + " to have new ones made");
    }
};

// True when the file exists, or when it cannot be told, so that reading it reports why.
bool present(const fs::path& file)
{
    std::error_code error;
    return fs::exists(file, error) || error;
}

ByteView bytesOf(const std::string& text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// A key that others could read, or a folder in which they could swap it, is no longer this
// application's alone; it is refused until its owner closes it, rather than used silently.
void checkPrivate(const fs::path& path, mode_t wanted)
{
    struct stat info
    {
    };
    if (::stat(path.c_str(), &info) != 0 || (info.st_mode & kSharedBits) == 0)
        return;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(info.st_mode & 07777));
    char fix[8];
    std::snprintf(fix, sizeof fix, "%o", unsigned(wanted));
    throw Error(status::BadConfigurationError,
                "the application's private key must be readable by its user alone, but " +
                    path.string() + " has mode " + mode + ": run chmod " + fix + " " +
                    path.string());
}

PrivateKey loadKey(const OwnFiles& files)
{
    checkPrivate(files.key, kKeyFileMode);
    try {
        ByteBuffer pem = readFileBounded(files.key, kMaxOwnFileBytes);
        const ssl::Wiped wiped(pem);
        return PrivateKey::fromPem({reinterpret_cast<const char*>(pem.data()), pem.size()});
    } catch (const Error& error) {
        files.refuse(status::BadCertificateInvalid, files.key,
                     std::string("cannot be used: ") + error.what());
    }
}

Certificate loadCertificate(const OwnFiles& files)
{
    try {
        return Certificate::fromDer(readFileBounded(files.certificate, kMaxOwnFileBytes));
    } catch (const Error& error) {
        files.refuse(status::BadCertificateInvalid, files.certificate,
                     std::string("cannot be used: ") + error.what());
    }
}

PrivateKey makeKey(const OwnFiles& files)
{
    PrivateKey key = PrivateKey::generateRsa(kApplicationKeyBits);
    std::string pem = key.toPem();
    const ssl::Wiped wiped(pem);
    writeFileAtomically(files.key, bytesOf(pem), kKeyFileMode);
    return key;
}

Certificate makeCertificate(const OwnFiles& files, const ApplicationIdentity& identity,
                            const PrivateKey& key, TimePoint now)
{
    Certificate certificate = issueCertificate(applicationCertificateProfile(identity, now), key);
    writeFileAtomically(files.certificate, certificate.der(), kCertificateFileMode);
    return certificate;
}

void checkBelongTogether(const OwnFiles& files, const Certificate& certificate,
                         const PrivateKey& key, const ApplicationIdentity& identity)
{
    if (!key.matches(certificate))
        files.refuse(status::BadCertificateInvalid, files.key,
                     "is not the key of " + files.certificate.string());
    if (certificate.applicationUri() != identity.applicationUri)
        files.refuse(status::BadCertificateInvalid, files.certificate,
                     "names the application URI \"" + certificate.applicationUri() +
                         "\" instead of \"" + identity.applicationUri + "\"");
}

} // namespace

OwnCertificate loadOrCreateOwnCertificate(const PkiFolder& folder,
                                          const ApplicationIdentity& identity, TimePoint now)
{
    folder.create();
    folder.checkPermissions();
    const std::string name = safeFileName(identity.applicationName, "application");
    const OwnFiles files{folder.path(Store::OwnCerts) / (name + ".der"),
                         folder.path(Store::OwnPrivate) / (name + ".pem")};
    checkPrivate(files.key.parent_path(), kKeyFolderMode);
    const bool haveCertificate = present(files.certificate);
    if (haveCertificate && !present(files.key))
        throw Error(status::BadConfigurationError,
                    "the application's own certificate " + files.certificate.string() +
                        " has no private key " + files.key.string() +
                        "; put the key back, or remove the certificate to have a new pair made");
    const PrivateKey key = present(files.key) ? loadKey(files) : makeKey(files);
    const Certificate certificate =
        haveCertificate ? loadCertificate(files) : makeCertificate(files, identity, key, now);
    checkBelongTogether(files, certificate, key, identity);
    return {certificate, key, files.certificate, files.key};
}

} // namespace opcua::pki
