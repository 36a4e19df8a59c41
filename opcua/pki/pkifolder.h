#pragma once

#include "opcua/pki/certificate.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The PKI folder in the layout OPC UA applications share, so that certificates can be trusted
// by moving files, with the same habits as for any other OPC UA tool:
//
//   own/certs/       this application's certificate, <name>.der
//   own/private/     its private key, <name>.pem (folder mode 0700, file mode 0600)
//   trusted/certs/   peers and CAs trusted (DER or PEM files)
//   trusted/crl/     revocation lists of the trusted CAs
//   issuers/certs/   CAs needed to complete a chain, not trusted by being here
//   issuers/crl/     their revocation lists
//   rejected/certs/  peer certificates refused as untrusted, as DER, for a person to trust by
//                    moving them to trusted/certs/
namespace opcua::pki {

enum class Store {
    OwnCerts,      // own/certs
    OwnPrivate,    // own/private
    TrustedCerts,  // trusted/certs
    TrustedCrl,    // trusted/crl
    IssuerCerts,   // issuers/certs
    IssuerCrl,     // issuers/crl
    RejectedCerts, // rejected/certs
};

// Bounds on what is read, so that a huge or endless folder cannot stall a connection attempt.
struct FolderLimits
{
    std::size_t maxEntries = 256;          // per folder; further entries are not looked at
    std::uintmax_t maxFileBytes = 1 << 20; // larger files are skipped
    std::size_t maxRejected = 64;          // the oldest rejected certificates beyond this go
};

// The contents of the trust folders at one moment. `skipped` names every file left out and why,
// one line each ("trusted/certs/x.der: larger than 1048576 bytes"), for the log.
struct TrustLists
{
    std::vector<Certificate> trusted;
    std::vector<Certificate> issuers;
    std::vector<RevocationList> revocationLists; // from trusted/crl and issuers/crl
    std::vector<std::string> skipped;
};

class PkiFolder
{
public:
    explicit PkiFolder(std::filesystem::path root, FolderLimits limits = {});

    const std::filesystem::path& root() const { return m_root; }
    std::filesystem::path path(Store store) const;

    // Makes every folder of the layout that is missing, own/private with mode 0700.
    // Throws Error(BadConfigurationError) naming the folder that cannot be made.
    void create() const;

    // Throws Error(BadConfigurationError) naming the first of the folders that decide whom this
    // application trusts (the root, trusted/ and issuers/ with their subfolders, own/ and
    // own/private/) that its group or others may write, and the chmod that closes it; missing
    // folders pass.
    void checkPermissions() const;

    // Reads the trust folders afresh; a missing folder is an empty one. Never throws for a
    // file's contents: unreadable, oversized or malformed files are skipped and listed.
    TrustLists readTrustLists() const;

    // Makes the layout as create() does and writes the certificate to rejected/certs/ as "<common
    // name> [<thumbprint>].der" (the name reduced to characters safe in a file name) and removes
    // the oldest files there beyond FolderLimits::maxRejected. Returns the file written. Throws
    // Error(BadConfigurationError) when it cannot be written.
    std::filesystem::path keepRejected(const Certificate& certificate) const;

    // "servo-sim [1a2b...].der" for a certificate whose common name is "servo-sim".
    static std::string rejectedFileName(const Certificate& certificate);

private:
    std::filesystem::path m_root;
    FolderLimits m_limits;
};

} // namespace opcua::pki
