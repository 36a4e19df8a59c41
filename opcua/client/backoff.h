#pragma once

#include <chrono>
#include <functional>

namespace opcua {

// The waits between attempts to reach a server that has gone away: 0.5 s, doubling with each
// failed attempt up to 5 s, each spread by up to a tenth either way so that panels that lost the
// same server do not all come back in step. A successful connection starts the series again.
class ReconnectBackoff
{
public:
    static constexpr std::chrono::milliseconds kFirstDelay{500};
    static constexpr std::chrono::milliseconds kLongestDelay{5000};
    static constexpr double kJitter = 0.1; // the fraction either way

    // random() returns a number in [0, 1); it is called once per delay. Tests pass a fixed one.
    using Random = std::function<double()>;
    explicit ReconnectBackoff(Random random);

    // The wait before the next attempt; each call counts one failed attempt.
    std::chrono::milliseconds nextDelay();
    // Called once connected again.
    void reset() { m_attempts = 0; }
    int attempts() const { return m_attempts; }

private:
    Random m_random;
    int m_attempts = 0;
};

// A generator of jitter values for real use, seeded from the system's random source.
ReconnectBackoff::Random systemRandom();

} // namespace opcua
