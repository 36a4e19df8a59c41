#pragma once

#include "opcua/server/server.h"
#include "sim/drivemodel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace servo::sim {

// Everything servo-sim can be told on its command line.
struct SimOptions
{
    std::string host = "127.0.0.1";
    uint16_t port = 4840;
    DriveSettings drive;
    double minPublishingIntervalMs = 1.0;
    double minSamplingIntervalMs = 1.0;
    double maxSessionTimeoutMs = opcua::ServerSettings{}.maxSessionTimeoutMs;
    unsigned maxSessions = 50;
    unsigned maxSubscriptions = unsigned(opcua::ServerSettings{}.maxSubscriptions);
    unsigned maxMonitoredItems = unsigned(opcua::ServerSettings{}.maxMonitoredItems);
    unsigned maxConnectionsPerAddress = unsigned(opcua::ServerSettings{}.maxConnectionsPerAddress);
    unsigned maxSessionsPerAddress = unsigned(opcua::ServerSettings{}.maxSessionsPerAddress);
    unsigned maxSubscriptionsPerAddress =
        unsigned(opcua::ServerSettings{}.maxSubscriptionsPerAddress);
    unsigned maxMonitoredItemsPerAddress =
        unsigned(opcua::ServerSettings{}.maxMonitoredItemsPerAddress);
    bool exitOnStdinClose = false;
    // Secure endpoints: one per mode and policy; None alone by default. No policies named: all.
    std::vector<opcua::MessageSecurityMode> securityModes = {opcua::MessageSecurityMode::None};
    std::vector<const opcua::security::SecurityPolicy*> securityPolicies;
    std::string user;         // empty: anonymous sessions only
    std::string passwordFile; // the user's password on its first line
    bool allowAnonymous = false;
    std::string pkiDir; // empty: $XDG_DATA_HOME/servo-sim/pki
    bool acceptClientCertificates = false;
};

// The outcome of reading the command line: options to run with, or text to print and an
// exit code (the help, or what is wrong with an argument).
struct ParsedOptions
{
    enum class Outcome {
        Run,       // start the simulator with `options`
        ShowHelp,  // print `text` (the help or the version) on stdout and exit 0
        BadOption, // print `text` on stderr and exit 2
    };
    Outcome outcome = Outcome::Run;
    SimOptions options;
    std::string text;
};

// Reads the arguments (without the program name). Every value is checked: numbers must be
// numbers in range, "--noise" takes on or off, lists name known modes and policies, and a user
// comes with a password file.
ParsedOptions parseOptions(const std::vector<std::string>& arguments);

// The --help text.
std::string helpText();

// The server settings the options ask for.
opcua::ServerSettings serverSettings(const SimOptions& options);

} // namespace servo::sim
