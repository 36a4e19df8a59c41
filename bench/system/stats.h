#pragma once

// Small helpers the system benchmarks share: clocks, order statistics and the one output
// format every figure is printed in, "name: value unit".

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace bench {

// Nanoseconds on the monotonic clock that every process on the machine shares, so that times
// taken in different processes can be subtracted.
inline std::int64_t monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Nanoseconds since the Unix epoch, the clock the server's source timestamps are taken from.
inline std::int64_t realtimeNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The q-quantile (0 to 1) by the nearest-rank method; 0 for no samples. Sorts samples.
template <typename T> double quantile(std::vector<T>& samples, double q)
{
    if (samples.empty())
        return 0.0;
    std::sort(samples.begin(), samples.end());
    const auto rank = std::size_t(std::ceil(q * double(samples.size())));
    return double(samples[std::min(samples.size() - 1, rank == 0 ? 0 : rank - 1)]);
}

// Prints one figure: whole numbers as they are, others with four significant digits but never
// in exponent form for figures of a thousand and more.
inline void printFigure(std::string_view name, double value, std::string_view unit)
{
    char text[64];
    if (std::abs(value) < 1e15 && value == std::floor(value))
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    else if (std::abs(value) >= 1000)
        std::snprintf(text, sizeof text, "%.1f", value);
    else
        std::snprintf(text, sizeof text, "%.4g", value);
    std::printf("%.*s: %s %.*s\n", int(name.size()), name.data(), text, int(unit.size()),
                unit.data());
    std::fflush(stdout);
}

} // namespace bench
