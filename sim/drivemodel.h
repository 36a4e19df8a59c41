#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace servo::sim {

// The command words the panel writes: stopped and running.
inline constexpr std::int16_t kStopWord = 1150;
inline constexpr std::int16_t kRunWord = 1151;

// The speed a set point of 100 % asks for.
inline constexpr double kMaxSpeedRpm = 3000.0;
// The set point a drive starts with, in percent of kMaxSpeedRpm.
inline constexpr double kDefaultSetSpeed = 70.25;
inline constexpr double kMinSetSpeed = 0.0;
inline constexpr double kMaxSetSpeed = 100.0;

// How a simulated drive behaves. One set of settings serves both drives.
struct DriveSettings
{
    // Time from a write of the command word to the drive taking it over (the lamp word).
    std::int64_t lampDelayMs = 50;
    // How fast the actual speed follows its target, up and down.
    double accelerationRpmPerS = 1500.0;
    // The drive's own time step: the actual speed moves once per tick.
    std::int64_t tickMs = 10;
    // Measurement noise on the actual speed while the drive turns: uniform in +-noiseRpm.
    bool noise = true;
    double noiseRpm = 1.0;
    // Seeds the noise; the same seed gives the same speeds at the same ticks.
    std::uint64_t seed = 1;
};

// Empty when the settings can be used, else what is wrong with them: the tick must be at least
// 1 ms, the lamp delay not negative, the acceleration above 0 and the noise not negative.
std::string settingsError(const DriveSettings& settings);

// One simulated servo drive. Plain time arithmetic, no clock of its own: every call takes the
// current time in milliseconds, which must never go backwards between calls.
//
// The drive starts stopped: command word and lamp word kStopWord, actual speed 0, set speed
// kDefaultSetSpeed. A command word written at time t becomes the lamp word at t + lampDelayMs
// (several writes in flight are taken over in order). While the command word is kRunWord the
// speed ramps towards setSpeed * kMaxSpeedRpm / 100 at the fixed acceleration, moving only at
// tick boundaries (startMs + k * tickMs); with any other command word it ramps down to 0.
// The reported actual speed carries noise while the drive turns (never below 0); the noise at
// a tick depends only on the seed and the tick's number, so it does not matter how often the
// model is advanced.
class DriveModel
{
public:
    // The settings must pass settingsError(); out-of-range values are clamped to the limits.
    explicit DriveModel(const DriveSettings& settings, std::int64_t startMs = 0);

    // Runs every tick and lamp take-over due up to nowMs.
    void advanceTo(std::int64_t nowMs);
    // The earliest time after the last advance at which something is due (a tick or a lamp
    // take-over), so a driver can sleep until then.
    std::int64_t nextDueMs() const;

    // Advances to nowMs, then takes the word.
    void writeCommandWord(std::int16_t word, std::int64_t nowMs);
    // Advances to nowMs, then takes the set point. Refuses (returns false, keeps the old set
    // point) a value outside kMinSetSpeed..kMaxSetSpeed or not a number.
    bool writeSetSpeed(double percent, std::int64_t nowMs);

    std::int16_t commandWord() const { return m_commandWord; }
    std::int16_t lampWord() const { return m_lampWord; }
    double setSpeed() const { return m_setSpeed; }
    // The speed as measured, noise included.
    double actualSpeed() const { return m_measuredSpeed; }
    // The speed without noise.
    double trueSpeed() const { return m_trueSpeed; }
    double targetSpeed() const;

    const DriveSettings& settings() const { return m_settings; }

private:
    struct PendingWord
    {
        std::int64_t dueMs;
        std::int16_t word;
    };

    void runTicks(std::int64_t ticks, std::int64_t lastTick);
    double noiseAt(std::int64_t tick) const;

    DriveSettings m_settings;
    std::int64_t m_startMs;
    std::int64_t m_nowMs;
    std::int64_t m_ticksDone =
        0; // ticks at startMs + 1 * tickMs ... startMs + m_ticksDone * tickMs
    std::int16_t m_commandWord = kStopWord;
    std::int16_t m_lampWord = kStopWord;
    double m_setSpeed = kDefaultSetSpeed;
    double m_trueSpeed = 0.0;
    double m_measuredSpeed = 0.0;
    std::deque<PendingWord> m_pending;
};

} // namespace servo::sim
