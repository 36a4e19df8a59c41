#include "sim/options.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <string_view>

namespace servo::sim {

namespace {

// Sets an integer option of any width from text that is a decimal number within [min, max].
template <class T> bool setInteger(std::string_view text, int64_t min, int64_t max, T& out)
{
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return false;
    out = T(value);
    return true;
}

bool setNumber(std::string_view text, double min, double max, double& out)
{
    // std::from_chars for double is in GCC 12's library; it ignores the locale.
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value < min || value > max)
        return false;
    out = value;
    return true;
}

// Splits a comma-separated list and hands each item to `add`; false for an empty item or one
// `add` refuses.
template <class Add> bool forEachItem(std::string_view list, Add add)
{
    while (true) {
        const size_t comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        if (item.empty() || !add(item))
            return false;
        if (comma == std::string_view::npos)
            return true;
        list.remove_prefix(comma + 1);
    }
}

struct ModeName
{
    std::string_view name;
    opcua::MessageSecurityMode mode;
};

constexpr ModeName kModeNames[] = {
    {"None", opcua::MessageSecurityMode::None},
    {"Sign", opcua::MessageSecurityMode::Sign},
    {"SignAndEncrypt", opcua::MessageSecurityMode::SignAndEncrypt},
};

bool setSecurityModes(std::string_view list, SimOptions& o)
{
    o.securityModes.clear();
    return forEachItem(list, [&](std::string_view item) {
        const auto* known = std::ranges::find(kModeNames, item, &ModeName::name);
        if (known == std::end(kModeNames))
            return false;
        o.securityModes.push_back(known->mode);
        return true;
    });
}

bool setSecurityPolicies(std::string_view list, SimOptions& o)
{
    o.securityPolicies.clear();
    return forEachItem(list, [&](std::string_view item) {
        const auto& all = opcua::security::kSecurityPolicies;
        const auto* policy = std::ranges::find(all, item, &opcua::security::SecurityPolicy::name);
        if (policy == all.end() || policy->isNone())
            return false;
        o.securityPolicies.push_back(policy);
        return true;
    });
}

bool setText(std::string_view value, std::string& out)
{
    out = std::string(value);
    return !value.empty();
}

struct OptionRow
{
    std::string_view name;
    std::string_view value; // "" for a switch
    std::string_view help;
    // Takes the value (empty for a switch) into the options; false when it is invalid. Null
    // for --help and --version, which stop the parsing.
    bool (*apply)(std::string_view value, SimOptions& options);
};

// Every option, in the order --help lists them.
constexpr OptionRow kOptions[] = {
    {"--host", "ADDRESS", "IP address to listen on (default 127.0.0.1; 0.0.0.0 for all)",
     [](std::string_view v, SimOptions& o) {
         if (v.empty())
             return false;
         o.host = std::string(v);
         return true;
     }},
    {"--port", "PORT", "TCP port to listen on, 0 for any free one (default 4840)",
     [](std::string_view v, SimOptions& o) { return setInteger(v, 0, 65535, o.port); }},
    {"--lamp-delay-ms", "MS", "delay from a command word write to the lamp word (default 50)",
     [](std::string_view v, SimOptions& o) {
         return setInteger(v, 0, 3600000, o.drive.lampDelayMs);
     }},
    {"--acceleration", "RPM_PER_S", "ramp of the actual speed, up and down (default 1500)",
     [](std::string_view v, SimOptions& o) {
         return setNumber(v, 1e-6, 1e9, o.drive.accelerationRpmPerS);
     }},
    {"--tick-ms", "MS", "time step of the drive model (default 10)",
     [](std::string_view v, SimOptions& o) { return setInteger(v, 1, 60000, o.drive.tickMs); }},
    {"--noise", "on|off", "measurement noise on the actual speed while turning (default on)",
     [](std::string_view v, SimOptions& o) {
         if (v != "on" && v != "off")
             return false;
         o.drive.noise = v == "on";
         return true;
     }},
    {"--no-noise", "", "same as --noise off",
     [](std::string_view, SimOptions& o) {
         o.drive.noise = false;
         return true;
     }},
    {"--noise-rpm", "RPM", "noise amplitude, uniform in +-RPM (default 1)",
     [](std::string_view v, SimOptions& o) { return setNumber(v, 0.0, 1e6, o.drive.noiseRpm); }},
    {"--seed", "N", "seed of the noise; the same seed gives the same speeds (default 1)",
     [](std::string_view v, SimOptions& o) {
         return setInteger(v, 0, std::numeric_limits<int64_t>::max(), o.drive.seed);
     }},
    {"--min-publishing-interval-ms", "MS",
     "publishing floor: shorter requested intervals are raised to it (default 1)",
     [](std::string_view v, SimOptions& o) {
         return setNumber(v, 1.0, 3600000.0, o.minPublishingIntervalMs);
     }},
    {"--min-sampling-interval-ms", "MS",
     "sampling floor: shorter requested intervals are raised to it (default 1)",
     [](std::string_view v, SimOptions& o) {
         return setNumber(v, 1.0, 3600000.0, o.minSamplingIntervalMs);
     }},
    {"--max-session-timeout-ms", "MS", "longest session timeout granted (default 600000)",
     [](std::string_view v, SimOptions& o) {
         return setNumber(v, 100.0, 86400000.0, o.maxSessionTimeoutMs);
     }},
    {"--max-sessions", "N", "sessions served at once (default 50)",
     [](std::string_view v, SimOptions& o) { return setInteger(v, 1, 10000, o.maxSessions); }},
    {"--max-subscriptions", "N", "subscriptions on the whole server (default 200)",
     [](std::string_view v, SimOptions& o) {
         return setInteger(v, 1, 100000, o.maxSubscriptions);
     }},
    {"--max-monitored-items", "N", "monitored items on the whole server (default 50000)",
     [](std::string_view v, SimOptions& o) {
         return setInteger(v, 1, 10000000, o.maxMonitoredItems);
     }},
    {"--max-connections-per-address", "N",
     "connections from one client address (default 20; 100 on the whole server)",
     [](std::string_view v, SimOptions& o) {
         return setInteger(v, 1, 100, o.maxConnectionsPerAddress);
     }},
    {"--max-sessions-per-address", "N", "sessions of one client address (default 10)",
     [](std::string_view v, SimOptions& o) {
         return setInteger(v, 1, 10000, o.maxSessionsPerAddress);
     }},
    {"--max-subscriptions-per-address", "N", "subscriptions of one client address (default 50)",
     [](std::string_view v, SimOptions& o) {
         return setInteger(v, 1, 100000, o.maxSubscriptionsPerAddress);
     }},
    {"--max-monitored-items-per-address", "N",
     "monitored items of one client address (default 10000)",
     [](std::string_view v, SimOptions& o) {
         return setInteger(v, 1, 10000000, o.maxMonitoredItemsPerAddress);
     }},
    {"--exit-on-stdin-close", "", "exit when standard input reaches its end",
     [](std::string_view, SimOptions& o) {
         o.exitOnStdinClose = true;
         return true;
     }},
    {"--security-mode", "LIST",
     "endpoints' security modes, comma-separated from None, Sign, SignAndEncrypt (default None)",
     setSecurityModes},
    {"--security-policy", "LIST",
     "policies of the secure modes, comma-separated from Basic256Sha256, "
     "Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss (default all three)",
     setSecurityPolicies},
    {"--user", "NAME", "the user name sessions must give; anonymous ones are then refused",
     [](std::string_view v, SimOptions& o) { return setText(v, o.user); }},
    {"--password-file", "PATH",
     "file whose first line is the user's password; group and others must not read it. "
     "Clients encrypt it to the simulator's certificate, on endpoints without security "
     "with Basic256Sha256",
     [](std::string_view v, SimOptions& o) { return setText(v, o.passwordFile); }},
    {"--allow-anonymous", "", "serve anonymous sessions although --user is given",
     [](std::string_view, SimOptions& o) {
         o.allowAnonymous = true;
         return true;
     }},
    {"--pki", "DIR",
     "certificate folder: own/, trusted/, issuers/, rejected/ "
     "(default $XDG_DATA_HOME/servo-sim/pki, i.e. ~/.local/share/servo-sim/pki)",
     [](std::string_view v, SimOptions& o) { return setText(v, o.pkiDir); }},
    {"--accept-client-certificates", "",
     "trust every client certificate (demos and tests); otherwise an unknown one is refused and "
     "kept in DIR/rejected/certs/",
     [](std::string_view, SimOptions& o) {
         o.acceptClientCertificates = true;
         return true;
     }},
    {"--help", "", "show this text and exit", nullptr},
    {"--version", "", "show the version and exit", nullptr},
};

std::string seconds(std::chrono::milliseconds ms)
{
    return std::to_string(ms.count() / 1000) + " s";
}

// What the server grants and how long it waits, for the end of --help.
std::string limitsText()
{
    const opcua::ServerSettings s;
    using std::chrono::milliseconds;
    return "\nLimits (fixed):\n  Hello within " + seconds(s.helloTimeout) +
           " of connecting, OpenSecureChannel within " + seconds(s.openTimeout) +
           " of the Hello;\n  a message begun completes within " + seconds(s.messageTimeout) +
           "; a session is activated within " + seconds(s.activationTimeout) +
           ".\n  Token lifetimes granted: " + seconds(milliseconds(s.minTokenLifetimeMs)) + " to " +
           seconds(milliseconds(s.maxTokenLifetimeMs)) +
           "; a channel whose token is not renewed\n  within its lifetime and a quarter is "
           "closed.\n  At " +
           std::to_string(s.maxConnections) +
           " connections the oldest without an activated session makes room for a\n  new "
           "one; at the session limit, the oldest session never activated.\n";
}

} // namespace

std::string helpText()
{
    std::string text = "Usage: servo-sim [options]\n"
                       "Simulates the two servo drives (Servo2, Servo3) on an OPC UA server,\n"
                       "namespace urn:servo-panel:sim. At start it prints its certificate's file "
                       "and SHA-1\nthumbprint (when it has one, for clients to compare) and the "
                       "endpoints it offers,\nthen \"servo-sim listening on opc.tcp://HOST:PORT\" "
                       "once it accepts connections;\nstops on SIGINT or SIGTERM.\n\nOptions:\n";
    for (const OptionRow& row : kOptions) {
        std::string left = "  " + std::string(row.name);
        if (!row.value.empty())
            left += " " + std::string(row.value);
        if (left.size() < 34)
            left.resize(34, ' ');
        else
            left += "\n" + std::string(34, ' ');
        text += left + std::string(row.help) + "\n";
    }
    return text + limitsText();
}

ParsedOptions parseOptions(const std::vector<std::string>& arguments)
{
    ParsedOptions parsed;
    SimOptions& o = parsed.options;
    auto bad = [&](const std::string& message) {
        parsed.outcome = ParsedOptions::Outcome::BadOption;
        parsed.text = "servo-sim: " + message + "\nTry 'servo-sim --help'.\n";
        return parsed;
    };

    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::string value;
        bool hasValue = false;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        const OptionRow* row = nullptr;
        for (const OptionRow& candidate : kOptions) {
            if (candidate.name == name)
                row = &candidate;
        }
        if (!row)
            return bad("unknown option '" + arguments[i] + "'");
        if (row->value.empty()) {
            if (hasValue)
                return bad("option " + name + " takes no value");
        } else if (!hasValue) {
            if (i + 1 >= arguments.size())
                return bad("option " + name + " needs a value (" + std::string(row->value) + ")");
            value = arguments[++i];
        }
        if (!row->apply) {
            parsed.outcome = ParsedOptions::Outcome::ShowHelp;
            parsed.text = name == "--version" ? "servo-sim " SERVO_PANEL_VERSION "\n" : helpText();
            return parsed;
        }
        if (!row->apply(value, o))
            return bad("invalid value '" + value + "' for " + name + " (" +
                       std::string(row->value) + ")");
    }
    if (const std::string error = settingsError(o.drive); !error.empty())
        return bad(error);
    if (o.user.empty() != o.passwordFile.empty())
        return bad("--user and --password-file go together");
    return parsed;
}

opcua::ServerSettings serverSettings(const SimOptions& options)
{
    opcua::ServerSettings settings;
    settings.applicationUri = "urn:servo-panel:sim:server";
    settings.applicationName = "servo-sim";
    settings.maxSessions = options.maxSessions;
    settings.maxSessionTimeoutMs = options.maxSessionTimeoutMs;
    settings.maxSubscriptions = options.maxSubscriptions;
    settings.maxMonitoredItems = options.maxMonitoredItems;
    settings.maxConnectionsPerAddress = options.maxConnectionsPerAddress;
    settings.maxSessionsPerAddress = options.maxSessionsPerAddress;
    settings.maxSubscriptionsPerAddress = options.maxSubscriptionsPerAddress;
    settings.maxMonitoredItemsPerAddress = options.maxMonitoredItemsPerAddress;
    settings.subscriptions.minPublishingIntervalMs = options.minPublishingIntervalMs;
    settings.subscriptions.minSamplingIntervalMs = options.minSamplingIntervalMs;
    return settings;
}

} // namespace servo::sim
