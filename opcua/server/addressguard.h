#pragma once

#include "opcua/io.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace opcua {

struct ServerSettings;

// What the server remembers of each client address between connections: how fast it may open
// secured channels, and how slowly its activations are answered after refused ones.
//
// Activations from one address are answered one after the other: each waits its turn, which
// comes at once for an address without recent refusals, and a delay after a refused one that
// doubles with each further refusal up to a cap. So one address guesses no faster than the
// delay allows however many connections it opens, other addresses are not slowed, and the
// right password is only ever made to wait. Records of quiet addresses are forgotten.
class AddressGuard
{
public:
    AddressGuard(Clock& clock, const ServerSettings& settings);
    ~AddressGuard();

    AddressGuard(const AddressGuard&) = delete;
    AddressGuard& operator=(const AddressGuard&) = delete;

    // Whether `host` may open a secured channel now (the token bucket of its OPN rate); takes a
    // token when it may.
    bool allowSecureOpen(const std::string& host);
    // How many secured opens of `host` were refused since the last report, or 0 when the last
    // report is under a second old: a flood of refusals makes one log line a second, not one
    // each.
    uint64_t refusedOpensToReport(const std::string& host);

    // Runs `activation` at the address's next turn: now, when nothing waits and no refusal
    // delays it, else from a timer. The activation calls activationRefused() when it refuses.
    void whenTurnComes(const std::string& host, std::function<void()> activation);
    // Delays the address's next activation.
    void activationRefused(const std::string& host);
    // How long the address's next activation would wait now.
    std::chrono::milliseconds activationDelay(const std::string& host) const;

private:
    struct Record
    {
        int refusals = 0;
        std::chrono::milliseconds lastRefusal{0};
        std::chrono::milliseconds nextTurn{0};
        std::deque<std::function<void()>> waiting;
        TimerId timer = 0;
        double openTokens = 0;
        std::chrono::milliseconds tokensAt{0};
        uint64_t refusedOpens = 0;
        std::optional<std::chrono::milliseconds> refusalsReportedAt;
    };

    Record& record(const std::string& host);
    void runTurns(const std::string& host);
    void forgetQuietAddresses();

    Clock& m_clock;
    const ServerSettings& m_settings;
    std::map<std::string, Record> m_records;
};

} // namespace opcua
