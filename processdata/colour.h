#pragma once

#include <cstdint>

namespace servo {

// A 24-bit RGB colour, written #RRGGBB. The drives' own tools number colours with red in the
// low byte (0x00BBGGRR); fromColourNumber() reads that form.
struct Colour
{
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;

    static constexpr Colour fromRgb(std::uint32_t rgb)
    {
        return {std::uint8_t(rgb >> 16), std::uint8_t(rgb >> 8), std::uint8_t(rgb)};
    }
    static constexpr Colour fromColourNumber(std::uint32_t bgr)
    {
        return {std::uint8_t(bgr), std::uint8_t(bgr >> 8), std::uint8_t(bgr >> 16)};
    }
    constexpr std::uint32_t rgb() const { return (red << 16) | (green << 8) | blue; }

    friend constexpr bool operator==(Colour, Colour) = default;
};

} // namespace servo
