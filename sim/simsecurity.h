#pragma once

#include "opcua/server/serversecurity.h"
#include "sim/options.h"

#include <filesystem>
#include <string>

namespace servo::sim {

// Where the PKI folder is when --pki names none: $XDG_DATA_HOME/servo-sim/pki, else
// $HOME/.local/share/servo-sim/pki (either may be null or empty). Throws opcua::Error
// (BadConfigurationError) when neither is set.
std::filesystem::path defaultPkiDir(const char* xdgDataHome, const char* home);

// The first line of a password file, as opcua::pki::readPasswordFile reads it; an empty password
// is refused too. Throws opcua::Error (BadConfigurationError) naming the file.
std::string readPasswordFile(const std::filesystem::path& file);

// The server's security as the options ask for it: an endpoint per mode and policy and, when one
// is secured or a user is given, the simulator's certificate from `pkiDir` (made on first use,
// naming the server's application URI), the check of client certificates and the user with the
// password file's password. Throws opcua::Error naming what is wrong.
opcua::ServerSecurity loadServerSecurity(const SimOptions& options,
                                         const std::filesystem::path& pkiDir,
                                         const std::string& applicationUri);

// What servo-sim tells at start, a line each: its certificate's file and SHA-1 thumbprint, for
// whoever trusts it on a client, when it has one, and the endpoints it offers
// ("SignAndEncrypt/Basic256Sha256").
std::string describeSecurity(const opcua::ServerSecurity& security,
                             const std::filesystem::path& pkiDir);

} // namespace servo::sim
