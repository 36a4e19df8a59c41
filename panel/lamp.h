#pragma once

#include "processdata/colour.h"

namespace servo {

// A lamp: a shape with a fill colour and a border colour. Setting either redraws the lamp and
// may throw Failure(LampFailed).
class Lamp
{
public:
    virtual ~Lamp() = default;
    virtual void setFillColour(Colour colour) = 0;
    virtual void setBorderColour(Colour colour) = 0;
};

struct LampColours
{
    Colour fill;
    Colour border;
};

inline constexpr LampColours kBitSetColours{Colour::fromColourNumber(65280),
                                            Colour::fromColourNumber(32768)};
inline constexpr LampColours kBitClearColours{Colour::fromColourNumber(255),
                                              Colour::fromColourNumber(192)};
// What a lamp shows until the first tick recolours it.
inline constexpr LampColours kSavedLampColours{Colour::fromRgb(0x800000),
                                               Colour::fromRgb(0xFF0000)};

} // namespace servo
