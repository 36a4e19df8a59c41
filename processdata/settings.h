#pragma once

#include "processdata/colour.h"

#include <array>
#include <string_view>

namespace servo {

// Design-time settings of DatCon1, in the order the connection is handed them at creation.
// They are kept as given; the OPC UA connection uses none of them. The server identifier is the
// programmatic identifier under which another protocol's registry knows the server; it is not
// an OPC UA application URI and never goes on the wire. The endpoint and the items come from the
// connection's settings file instead.
struct DataConnectionSettings
{
    int setting1 = 0;
    int setting2 = 1;
    int extentX = 847; // hundredths of a millimetre: 32 x 32 pixels at 96 dots per inch
    int extentY = 847;
    int setting4 = 0;
    std::string_view serverId = "OPC.TelvaroNET";
    std::string_view nodeName = "localhost";
    int setting7 = 1;
    int setting8 = 1;
    double setting9 = 5.0;
    int setting10 = 100;
    int setting11 = 100;
    int setting12 = 0;
};

inline constexpr DataConnectionSettings kDatCon1Settings{};

// The name by which every field finds its data connection.
inline constexpr std::string_view kDataConnectionName = "DatCon1";

struct FieldFont
{
    std::string_view family;
    double pointSize;
};

// Design-time settings of a process-value field that show on screen. The two number pairs are
// kept as given (first pair high value first, second pair low value first); they scale nothing
// and never change the value shown.
struct FieldSettings
{
    int number; // ZqNumber<number>
    bool visible;
    Colour textColour;
    Colour background;
    FieldFont font;
    double firstHigh, firstLow;
    double secondLow, secondHigh;
};

inline constexpr FieldFont kFieldFont{"MS Sans Serif", 8.25};

inline constexpr std::array<FieldSettings, 8> kFieldSettings{{
    {1, false, Colour::fromRgb(0x000000), Colour::fromRgb(0xFFFFFF), kFieldFont, 100, 0, 0, 100},
    {2, false, Colour::fromRgb(0x000000), Colour::fromRgb(0xFFFFFF), kFieldFont, 100, 0, 0, 100},
    {3, false, Colour::fromRgb(0x000000), Colour::fromRgb(0xFFFFFF), kFieldFont, 100, 0, 0, 100},
    {4, false, Colour::fromRgb(0x000000), Colour::fromRgb(0xFFFFFF), kFieldFont, 100, 0, 0, 100},
    {5, true, Colour::fromRgb(0x000000), Colour::fromRgb(0x80FFFF), kFieldFont, 3000, -3000, -3000,
     3000},
    {6, true, Colour::fromRgb(0x000000), Colour::fromRgb(0x8080FF), kFieldFont, 100, 0, 0, 100},
    {7, true, Colour::fromRgb(0x000000), Colour::fromRgb(0x80FFFF), kFieldFont, 3000, 0, -3000,
     3000},
    {8, true, Colour::fromRgb(0x000000), Colour::fromRgb(0x8080FF), kFieldFont, 100, 0, 0, 100},
}};

// Design-time settings of both speed sliders. "direction" 1 puts the maximum at the top.
struct SliderSettings
{
    int extentX = 1561; // hundredths of a millimetre: 885 twips
    int extentY = 7858; // 4455 twips
    double min = -3000;
    double max = 3000;
    double currentPos = 2107.5;
    int direction = 1;
};

inline constexpr SliderSettings kSliderSettings{};

} // namespace servo
