#include "sim/simsecurity.h"

#include "opcua/log.h"
#include "opcua/pki/files.h"
#include "opcua/pki/owncertificate.h"
#include "opcua/securitymode.h"

#include <algorithm>
#include <fstream>

namespace servo::sim {

namespace fs = std::filesystem;

namespace {

constexpr opcua::LogCategory lcSim("servo.sim");

// The name of the simulator's certificate in own/certs, as loadOrCreateOwnCertificate makes it.
constexpr const char* kApplicationName = "servo-sim";

[[noreturn]] void misconfigured(const std::string& what)
{
    throw opcua::Error(opcua::status::BadConfigurationError, what);
}

std::vector<opcua::EndpointSecurity> endpointsOf(const SimOptions& options)
{
    std::vector<const opcua::security::SecurityPolicy*> policies = options.securityPolicies;
    if (policies.empty()) {
        for (const auto& policy : opcua::security::kSecurityPolicies) {
            if (!policy.isNone())
                policies.push_back(&policy);
        }
    }
    std::vector<opcua::EndpointSecurity> endpoints;
    for (const opcua::MessageSecurityMode mode : options.securityModes) {
        if (mode == opcua::MessageSecurityMode::None) {
            endpoints.push_back({});
            continue;
        }
        for (const auto* policy : policies)
            endpoints.push_back({mode, policy});
    }
    return endpoints;
}

} // namespace

fs::path defaultPkiDir(const char* xdgDataHome, const char* home)
{
    if (xdgDataHome && *xdgDataHome)
        return fs::path(xdgDataHome) / "servo-sim" / "pki";
    if (home && *home)
        return fs::path(home) / ".local" / "share" / "servo-sim" / "pki";
    misconfigured("neither XDG_DATA_HOME nor HOME is set; name the certificate folder with --pki");
}

std::string readPasswordFile(const fs::path& file)
{
    std::string password = opcua::pki::readPasswordFile(file);
    if (password.empty())
        misconfigured("the password file " + file.string() + " holds no password");
    return password;
}

opcua::ServerSecurity loadServerSecurity(const SimOptions& options, const fs::path& pkiDir,
                                         const std::string& applicationUri)
{
    opcua::ServerSecurity security;
    security.endpoints = endpointsOf(options);
    security.allowAnonymous = options.allowAnonymous;
    const bool secured = std::ranges::any_of(
        security.endpoints, [](const auto& endpoint) { return !endpoint.policy->isNone(); });
    if (!secured && options.user.empty())
        return security;
    // The password first: a file others can read is refused before any key is made.
    if (!options.user.empty())
        security.user = opcua::ServerUser{options.user, readPasswordFile(options.passwordFile)};
    const opcua::pki::PkiFolder folder(pkiDir);
    const opcua::pki::ApplicationIdentity identity{kApplicationName, "servo-panel", applicationUri,
                                                   opcua::pki::localHostName()};
    const opcua::pki::OwnCertificate own =
        opcua::pki::loadOrCreateOwnCertificate(folder, identity, std::chrono::system_clock::now());
    security.certificate = own.certificate;
    security.key = own.key;
    const auto trust = options.acceptClientCertificates ? opcua::pki::TrustMode::AnyPeer
                                                        : opcua::pki::TrustMode::TrustList;
    security.clientCertificates.emplace(folder, opcua::pki::CheckSettings{trust});
    lcSim.info("certificates in " + pkiDir.string() + "; client certificates " +
               (options.acceptClientCertificates ? "all trusted" : "trusted from trusted/certs"));
    return security;
}

std::string describeSecurity(const opcua::ServerSecurity& security, const fs::path& pkiDir)
{
    std::string text;
    if (security.certificate) {
        const fs::path file = opcua::pki::PkiFolder(pkiDir).path(opcua::pki::Store::OwnCerts) /
                              (std::string(kApplicationName) + ".der");
        text += "servo-sim certificate: " + file.string() + "\n";
        text += "servo-sim certificate SHA-1 thumbprint: " + security.certificate->thumbprintHex() +
                "\n";
    }
    text += "servo-sim endpoints:";
    for (const opcua::EndpointSecurity& endpoint : security.endpoints)
        text += " " + std::string(opcua::securityModeName(endpoint.mode)) + "/" +
                std::string(endpoint.policy->name);
    return text + "\n";
}

} // namespace servo::sim
