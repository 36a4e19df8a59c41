#include "opcua/eventloop.h"
#include "opcua/log.h"
#include "opcua/server/server.h"
#include "sim/options.h"
#include "sim/simsecurity.h"
#include "sim/simulation.h"
#include "sim/stopsignals.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

// SERVO_SIM_LOG: "warning" keeps only the warnings, "debug" adds the protocol's details.
std::optional<opcua::LogLevel> logLevelOf(const char* setting)
{
    const std::string_view text = setting ? setting : "info";
    if (text == "debug")
        return opcua::LogLevel::Debug;
    if (text == "info")
        return opcua::LogLevel::Info;
    if (text == "warning")
        return opcua::LogLevel::Warning;
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace servo::sim;
    const ParsedOptions parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    switch (parsed.outcome) {
    case ParsedOptions::Outcome::Run:
        break;
    case ParsedOptions::Outcome::ShowHelp:
        std::fputs(parsed.text.c_str(), stdout);
        return 0;
    case ParsedOptions::Outcome::BadOption:
        std::fputs(parsed.text.c_str(), stderr);
        return 2;
    }
    const SimOptions& options = parsed.options;
    const std::optional<opcua::LogLevel> logLevel = logLevelOf(std::getenv("SERVO_SIM_LOG"));
    if (!logLevel) {
        std::fputs("servo-sim: SERVO_SIM_LOG must be debug, info or warning\n", stderr);
        return 2;
    }
    opcua::StderrLogSink log(*logLevel);
    opcua::setLogSink(&log);

    // Signals are caught before anyone can learn the port and send one.
    opcua::EventLoop loop;
    StopSignals stop(loop, options.exitOnStdinClose ? StdinWatch::StopOnClose : StdinWatch::Ignore,
                     [&loop] { loop.quit(); });

    opcua::AddressSpace space("urn:servo-panel:sim:server");
    Simulation simulation(space, loop, options.drive);
    opcua::ServerSettings settings = serverSettings(options);
    std::string security;
    try {
        const auto pkiDir = options.pkiDir.empty()
                                ? defaultPkiDir(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"))
                                : std::filesystem::path(options.pkiDir);
        settings.security = loadServerSecurity(options, pkiDir, settings.applicationUri);
        security = describeSecurity(settings.security, pkiDir);
    } catch (const opcua::Error& e) {
        std::fprintf(stderr, "servo-sim: %s\n", e.what());
        return 1;
    }
    opcua::Server server(space, loop, std::move(settings));
    if (!server.listen(loop, options.host, options.port)) {
        std::fprintf(stderr, "servo-sim: cannot listen on %s:%u: %s\n", options.host.c_str(),
                     unsigned(options.port), server.errorString().c_str());
        return 1;
    }
    std::fputs(security.c_str(), stdout);
    std::printf("servo-sim listening on %s\n", server.endpointUrl().c_str());
    std::fflush(stdout);
    loop.run();
    return 0;
}
