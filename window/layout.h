#pragma once

#include "panel/tables.h"
#include "processdata/colour.h"
#include "processdata/settings.h"

#include <array>
#include <string_view>

// The layout of the window Form1: every place, size, colour and font of what the operator sees.
// Texts come from the panel's tables (kDriveChannels, kLampRows) and the components' settings
// (kFieldSettings, kSliderSettings); these tables add only where and how things are drawn.
// Form1 walks them in one routine; no coordinate appears anywhere else.
//
// Places are in twips, 1/1440 inch: 15 twips make one logical pixel. Qt scales logical pixels to
// the screen's density, so the window keeps its proportions on a high-density screen.
namespace servo::layout {

inline constexpr int kTwipsPerPixel = 15;

struct TwipRect
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

// A font as the window asks for it; window/fonts.h maps it to an installed family.
struct FontSpec
{
    std::string_view family;
    double pointSize = 0;
    bool bold = false;
};

struct TextStyle
{
    Colour colour;
    FontSpec font;
};

// The font of every element that names none of its own (lamp captions, buttons).
inline constexpr FontSpec kDefaultFont{"MS Sans Serif", 8.25, false};

struct FormSettings
{
    std::string_view title;
    int clientWidth;  // twips
    int clientHeight; // twips
    Colour background;
    FontSpec font;
};

inline constexpr FormSettings kForm1{"Form1", 15570, 10290, Colour::fromRgb(0x80FFFF),
                                     kDefaultFont};

// Every label is opaque in the window's own colour, its text left-aligned.
inline constexpr Colour kLabelBackground = kForm1.background;

// The panel's title, Label33, which belongs to no drive.
struct TitleSettings
{
    int label; // Label<label>
    std::string_view text;
    TwipRect place;
    TextStyle style;
};

inline constexpr TitleSettings kTitle{33,
                                      "BRUMEDAX Q318 DEMO OPC CONTROL VIA A PC STATION",
                                      {2400, 240, 9735, 495},
                                      {Colour::fromRgb(0x0000C0), {"Roman", 21.75, true}}};

// The places of one drive's elements; the element numbers and texts are those of the drive's
// entry in kDriveChannels, at the same index.
struct ChannelPlaces
{
    TwipRect caption;            // Label<captionLabel>
    TwipRect button;             // Command<button>
    TwipRect slider;             // ZqvbSlid<slider>
    TwipRect actualSpeedLabel;   // Label<actualSpeedLabel>
    TwipRect actualSpeedDisplay; // ZqNumber<actualSpeedField>
    TwipRect setSpeedLabel;      // Label<setSpeedLabel>
    TwipRect setSpeedDisplay;    // ZqNumber<setSpeedField>
    int lampLeft;                // the drive's column of lamps
    int lampCaptionLeft;         // the captions beside them
    Colour textColour;           // of the caption and the speed labels
};

inline constexpr FontSpec kChannelCaptionFont{"Arial", 12, true};
inline constexpr FontSpec kSpeedLabelFont{"Arial Narrow", 12, false};

// The right half repeats the left half shifted by one distance; only the channel captions stand
// apart from that pattern.
inline constexpr std::array<ChannelPlaces, kDriveChannels.size()> kChannelPlaces{{
    {{2520, 1200, 1935, 255},
     {1320, 2160, 1215, 855},
     {3000, 2160, 885, 4455},
     {3000, 6840, 2055, 255},
     {5160, 6840, 855, 375},
     {3000, 7440, 2055, 255},
     {5160, 7440, 855, 375},
     3960,
     4440,
     Colour::fromRgb(0xFF0000)},
    {{9360, 1200, 2175, 255},
     {8280, 2160, 1215, 855},
     {9960, 2160, 885, 4455},
     {9960, 6840, 2055, 255},
     {12120, 6840, 855, 375},
     {9960, 7440, 2055, 255},
     {12120, 7440, 855, 375},
     10920,
     11400,
     Colour::fromRgb(0x0000FF)},
}};

// One lamp row, at the index of its entry in kLampRows. The tops are as measured on the
// original form (steps of 345 or 330 twips), not derived from an average pitch.
struct LampRowPlace
{
    int top;
    int captionWidth;
};

inline constexpr std::array<LampRowPlace, kLampRows.size()> kLampRowPlaces{{
    {2160, 855},  // ON/OFF 1
    {2505, 855},  // ON/OFF 2
    {2835, 855},  // ON/OFF 3
    {3180, 855},  // ENABLE
    {3525, 2295}, // ENABLE RAMP FUNCT GEN
    {3855, 2055}, // FREEZ RAMP FUNC GEN
    {4200, 2295}, // ENABLE SPEED SET POINT
    {4545, 2055}, // COMMAND OPEN BRAKE
    {4875, 855},  // JOG1
    {5220, 855},  // JOG2
    {5565, 2295}, // MASTER CONTROL BY PLC
    {5895, 2415}, // SPEED CONTROLLER ENABLE
    {6240, 2175}, // COMMAND CLOSE BRAKE
}};

inline constexpr int kLampSize = 255;          // square, twips
inline constexpr int kLampCaptionHeight = 255; // twips
inline constexpr TextStyle kLampCaptionStyle{Colour::fromRgb(0x000000), kDefaultFont};
// The border is drawn wholly inside the lamp's square.
inline constexpr int kLampBorderPixels = 5;

// How the value displays write a floating-point value: actual speeds with one decimal, set speeds
// (a percentage) with two. Integers are always written as integers. The hidden fields never show
// but keep a format like the rest.
struct DisplayFormat
{
    int field; // ZqNumber<field>
    int decimals;
};

inline constexpr std::array<DisplayFormat, kFieldSettings.size()> kDisplayFormats{{
    {1, 0},
    {2, 0},
    {3, 0},
    {4, 0},
    {5, 1},
    {6, 2},
    {7, 1},
    {8, 2},
}};

// The order in which keyboard focus moves; elements not listed take no focus.
inline constexpr std::array<std::string_view, 4> kFocusOrder{"ZqvbSlid1", "Command1", "Command2",
                                                             "ZqvbSlid2"};

// Sliders move by these steps of their own unit with the arrow keys and Page Up / Page Down.
inline constexpr double kSliderSingleStep = 10;
inline constexpr double kSliderPageStep = 100;

constexpr bool onPixelGrid(int twips)
{
    return twips % kTwipsPerPixel == 0;
}

constexpr bool onPixelGrid(const TwipRect& r)
{
    return onPixelGrid(r.left) && onPixelGrid(r.top) && onPixelGrid(r.width) &&
           onPixelGrid(r.height);
}

constexpr bool layoutIsOnPixelGrid()
{
    if (!onPixelGrid(kForm1.clientWidth) || !onPixelGrid(kForm1.clientHeight))
        return false;
    if (!onPixelGrid(kTitle.place))
        return false;
    for (const ChannelPlaces& c : kChannelPlaces) {
        for (const TwipRect& r : {c.caption, c.button, c.slider, c.actualSpeedLabel,
                                  c.actualSpeedDisplay, c.setSpeedLabel, c.setSpeedDisplay}) {
            if (!onPixelGrid(r))
                return false;
        }
        if (!onPixelGrid(c.lampLeft) || !onPixelGrid(c.lampCaptionLeft))
            return false;
    }
    for (const LampRowPlace& row : kLampRowPlaces) {
        if (!onPixelGrid(row.top) || !onPixelGrid(row.captionWidth))
            return false;
    }
    return onPixelGrid(kLampSize) && onPixelGrid(kLampCaptionHeight);
}
// Every place converts to whole logical pixels, so nothing is rounded.
static_assert(layoutIsOnPixelGrid());

constexpr bool displayFormatsFollowFields()
{
    for (std::size_t i = 0; i < kDisplayFormats.size(); ++i) {
        if (kDisplayFormats[i].field != kFieldSettings[i].number || kDisplayFormats[i].decimals < 0)
            return false;
    }
    return true;
}
static_assert(displayFormatsFollowFields());

} // namespace servo::layout
