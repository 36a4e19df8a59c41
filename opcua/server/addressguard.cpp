#include "opcua/server/addressguard.h"

#include "opcua/server/server.h"

#include <algorithm>
#include <utility>

namespace opcua {

using std::chrono::milliseconds;

namespace {

// Records are looked over for quiet addresses once this many are kept.
constexpr size_t kRecordsBeforeCleanup = 1024;

} // namespace

AddressGuard::AddressGuard(Clock& clock, const ServerSettings& settings)
    : m_clock(clock), m_settings(settings)
{}

AddressGuard::~AddressGuard()
{
    for (const auto& [host, record] : m_records) {
        if (record.timer)
            m_clock.cancel(record.timer);
    }
}

AddressGuard::Record& AddressGuard::record(const std::string& host)
{
    auto it = m_records.find(host);
    if (it != m_records.end())
        return it->second;
    if (m_records.size() >= kRecordsBeforeCleanup)
        forgetQuietAddresses();
    Record& fresh = m_records[host];
    fresh.openTokens = m_settings.secureOpenBurst;
    fresh.tokensAt = m_clock.now();
    return fresh;
}

bool AddressGuard::allowSecureOpen(const std::string& host)
{
    Record& r = record(host);
    const milliseconds now = m_clock.now();
    const double refill =
        double((now - r.tokensAt).count()) / 1000.0 * m_settings.secureOpensPerSecond;
    r.openTokens = std::min(m_settings.secureOpenBurst, r.openTokens + refill);
    r.tokensAt = now;
    if (r.openTokens < 1.0) {
        ++r.refusedOpens;
        return false;
    }
    r.openTokens -= 1.0;
    return true;
}

uint64_t AddressGuard::refusedOpensToReport(const std::string& host)
{
    Record& r = record(host);
    const milliseconds now = m_clock.now();
    if (r.refusedOpens == 0 ||
        (r.refusalsReportedAt && now - *r.refusalsReportedAt < std::chrono::seconds(1)))
        return 0;
    r.refusalsReportedAt = now;
    return std::exchange(r.refusedOpens, 0);
}

void AddressGuard::whenTurnComes(const std::string& host, std::function<void()> activation)
{
    Record& r = record(host);
    r.waiting.push_back(std::move(activation));
    if (!r.timer && r.waiting.size() == 1)
        runTurns(host);
}

void AddressGuard::activationRefused(const std::string& host)
{
    Record& r = record(host);
    const milliseconds now = m_clock.now();
    if (now - r.lastRefusal > m_settings.failedActivationMemory)
        r.refusals = 0;
    r.refusals = std::min(r.refusals + 1, 30);
    r.lastRefusal = now;
    const milliseconds delay = m_settings.failedActivationDelay * (int64_t(1) << (r.refusals - 1));
    r.nextTurn = now + std::min(delay, m_settings.maxFailedActivationDelay);
}

milliseconds AddressGuard::activationDelay(const std::string& host) const
{
    auto it = m_records.find(host);
    if (it == m_records.end())
        return milliseconds(0);
    return std::max(milliseconds(0), it->second.nextTurn - m_clock.now());
}

// An activation may close sessions and connections, but never forgets its own address, so the
// record is looked up again after each.
void AddressGuard::runTurns(const std::string& host)
{
    for (;;) {
        auto it = m_records.find(host);
        if (it == m_records.end() || it->second.waiting.empty())
            return;
        Record& r = it->second;
        const milliseconds wait = r.nextTurn - m_clock.now();
        if (wait > milliseconds(0)) {
            r.timer = m_clock.start(wait, [this, host] {
                m_records[host].timer = 0;
                runTurns(host);
            });
            return;
        }
        const std::function<void()> activation = std::move(r.waiting.front());
        r.waiting.pop_front();
        activation();
    }
}

void AddressGuard::forgetQuietAddresses()
{
    const milliseconds now = m_clock.now();
    const auto refillTime = milliseconds(
        int64_t(1000.0 * m_settings.secureOpenBurst / m_settings.secureOpensPerSecond));
    std::erase_if(m_records, [&](const auto& entry) {
        const Record& r = entry.second;
        return r.waiting.empty() && !r.timer && now >= r.nextTurn &&
               now - r.lastRefusal > m_settings.failedActivationMemory &&
               now - r.tokensAt >= refillTime;
    });
}

} // namespace opcua
