#include "opcua/client/backoff.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>

namespace opcua {

ReconnectBackoff::ReconnectBackoff(Random random) : m_random(std::move(random)) {}

std::chrono::milliseconds ReconnectBackoff::nextDelay()
{
    // The doubling stops at the cap, so the shift never grows past a few bits.
    const int doublings = std::min(m_attempts, 8);
    ++m_attempts;
    const auto base = std::min(kFirstDelay * (1 << doublings), kLongestDelay);
    const double r = std::clamp(m_random ? m_random() : 0.5, 0.0, 1.0);
    const double factor = 1.0 + kJitter * (2.0 * r - 1.0);
    return std::chrono::milliseconds(
        std::max<long long>(1, std::llround(double(base.count()) * factor)));
}

ReconnectBackoff::Random systemRandom()
{
    auto engine = std::make_shared<std::minstd_rand>(std::random_device{}());
    return [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
}

} // namespace opcua
