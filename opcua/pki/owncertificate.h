#pragma once

#include "opcua/pki/issue.h"
#include "opcua/pki/pkifolder.h"

#include <filesystem>

namespace opcua::pki {

// This application's certificate and private key, and where they are kept.
struct OwnCertificate
{
    Certificate certificate;
    PrivateKey key;
    std::filesystem::path certificateFile; // own/certs/<name>.der
    std::filesystem::path keyFile;         // own/private/<name>.pem
};

// Loads the application instance certificate from own/certs/<name>.der and its key from
// own/private/<name>.pem, where <name> is the application name made safe as a file name
// ("servo-panel.der", "servo-panel.pem"). Makes the PKI folder's layout first.
//
// On first use, when neither file exists, makes a new RSA key and a self-signed certificate
// (applicationCertificateProfile) and writes them, the key file with mode 0600 from the moment it
// is created. A key whose certificate is missing, as an interrupted first use leaves it, gets a
// new certificate.
//
// Files that exist are never replaced: a damaged file, a key that does not belong to the
// certificate, or a certificate naming another application URI is an Error
// (BadCertificateInvalid) telling which file and what to do; a certificate without its key is
// one too (BadConfigurationError), as is a file that cannot be written.
OwnCertificate loadOrCreateOwnCertificate(const PkiFolder& folder,
                                          const ApplicationIdentity& identity, TimePoint now);

} // namespace opcua::pki
