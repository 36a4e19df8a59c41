#include "sim/drivemodel.h"

#include <algorithm>
#include <cmath>

namespace servo::sim {

namespace {

// A counter-based generator (SplitMix64's finaliser): the same input always gives the same
// output, so the noise at a tick needs no state carried from the tick before.
std::uint64_t mix(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

DriveSettings clamped(DriveSettings s)
{
    s.tickMs = std::max<std::int64_t>(s.tickMs, 1);
    s.lampDelayMs = std::max<std::int64_t>(s.lampDelayMs, 0);
    if (!(s.accelerationRpmPerS > 0.0))
        s.accelerationRpmPerS = 1.0;
    if (!(s.noiseRpm >= 0.0))
        s.noiseRpm = 0.0;
    return s;
}

} // namespace

std::string settingsError(const DriveSettings& s)
{
    if (s.tickMs < 1)
        return "the tick must be at least 1 ms";
    if (s.lampDelayMs < 0)
        return "the lamp delay must not be negative";
    if (!(s.accelerationRpmPerS > 0.0) || !std::isfinite(s.accelerationRpmPerS))
        return "the acceleration must be a number above 0";
    if (!(s.noiseRpm >= 0.0) || !std::isfinite(s.noiseRpm))
        return "the noise amplitude must be a number not below 0";
    return {};
}

DriveModel::DriveModel(const DriveSettings& settings, std::int64_t startMs)
    : m_settings(clamped(settings)), m_startMs(startMs), m_nowMs(startMs)
{}

double DriveModel::targetSpeed() const
{
    return m_commandWord == kRunWord ? m_setSpeed * kMaxSpeedRpm / 100.0 : 0.0;
}

void DriveModel::advanceTo(std::int64_t nowMs)
{
    if (nowMs <= m_nowMs)
        return;
    m_nowMs = nowMs;

    while (!m_pending.empty() && m_pending.front().dueMs <= nowMs) {
        m_lampWord = m_pending.front().word;
        m_pending.pop_front();
    }

    const std::int64_t ticksDue = (nowMs - m_startMs) / m_settings.tickMs;
    if (ticksDue > m_ticksDone) {
        runTicks(ticksDue - m_ticksDone, ticksDue);
        m_ticksDone = ticksDue;
    }
}

// Between two calls the command word and the set point are constant (every write advances
// first), so the target is too and many ticks move the speed in one step.
void DriveModel::runTicks(std::int64_t ticks, std::int64_t lastTick)
{
    const double step = m_settings.accelerationRpmPerS * double(m_settings.tickMs) / 1000.0;
    const double target = targetSpeed();
    const double reach = step * double(ticks);
    if (m_trueSpeed < target)
        m_trueSpeed = std::min(target, m_trueSpeed + reach);
    else
        m_trueSpeed = std::max(target, m_trueSpeed - reach);

    if (m_settings.noise && m_trueSpeed > 0.0)
        m_measuredSpeed = std::max(0.0, m_trueSpeed + noiseAt(lastTick));
    else
        m_measuredSpeed = m_trueSpeed;
}

double DriveModel::noiseAt(std::int64_t tick) const
{
    const std::uint64_t bits = mix(m_settings.seed ^ mix(std::uint64_t(tick)));
    // 53 random bits as a fraction in [0, 1), then spread over +-noiseRpm.
    const double unit = double(bits >> 11) * 0x1.0p-53;
    return (2.0 * unit - 1.0) * m_settings.noiseRpm;
}

std::int64_t DriveModel::nextDueMs() const
{
    const std::int64_t nextTick = m_startMs + (m_ticksDone + 1) * m_settings.tickMs;
    if (!m_pending.empty())
        return std::min(nextTick, m_pending.front().dueMs);
    return nextTick;
}

void DriveModel::writeCommandWord(std::int16_t word, std::int64_t nowMs)
{
    advanceTo(nowMs);
    m_commandWord = word;
    if (m_settings.lampDelayMs == 0 && m_pending.empty())
        m_lampWord = word;
    else
        m_pending.push_back({m_nowMs + m_settings.lampDelayMs, word});
}

bool DriveModel::writeSetSpeed(double percent, std::int64_t nowMs)
{
    if (!(percent >= kMinSetSpeed && percent <= kMaxSetSpeed))
        return false;
    advanceTo(nowMs);
    m_setSpeed = percent;
    return true;
}

} // namespace servo::sim
