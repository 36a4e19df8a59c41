#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace servo {

// The thirteen lamp rows in the order a tick evaluates them. Bits 11, 13 and 15 have no row.
// Lamps are named by number: Shape<servo2Lamp> and Shape<servo3Lamp>, caption labels likewise.
struct LampRow
{
    int bit;
    std::uint16_t mask;
    std::string_view caption;
    int servo2Lamp, servo3Lamp;
    int servo2Label, servo3Label;
};

inline constexpr std::array<LampRow, 13> kLampRows{{
    {0, 0x0001, "ON/OFF 1", 1, 26, 3, 28},
    {1, 0x0002, "ON/OFF 2", 2, 25, 4, 27},
    {2, 0x0004, "ON/OFF 3", 3, 24, 5, 26},
    {3, 0x0008, "ENABLE", 4, 23, 6, 25},
    {4, 0x0010, "ENABLE RAMP FUNCT GEN", 5, 22, 7, 24},
    {5, 0x0020, "FREEZ RAMP FUNC GEN", 6, 21, 8, 23},
    {6, 0x0040, "ENABLE SPEED SET POINT", 7, 20, 9, 22},
    {7, 0x0080, "COMMAND OPEN BRAKE", 8, 19, 10, 21},
    {8, 0x0100, "JOG1", 9, 18, 11, 20},
    {9, 0x0200, "JOG2", 10, 17, 12, 19},
    {10, 0x0400, "MASTER CONTROL BY PLC", 11, 16, 13, 18},
    {12, 0x1000, "SPEED CONTROLLER ENABLE", 12, 15, 14, 17},
    {14, 0x4000, "COMMAND CLOSE BRAKE", 13, 14, 15, 16},
}};

constexpr bool rowsAreSingleBits()
{
    for (const auto& row : kLampRows) {
        if (row.mask != (1u << row.bit))
            return false;
    }
    return true;
}
static_assert(rowsAreSingleBits());

// The elements of one drive, by name number (Label<captionLabel>, Command<button>, ...).
struct DriveChannelNames
{
    int captionLabel;
    std::string_view caption;
    int button;
    std::string_view buttonText;
    int commandWordField; // hidden; read and written by a click
    int lampWordField;    // hidden; read by every tick
    int slider;
    int actualSpeedField, actualSpeedLabel;
    std::string_view actualSpeedText;
    int setSpeedField, setSpeedLabel;
    std::string_view setSpeedText;
};

// Servo 2 first: the order in which a tick refreshes the channels.
inline constexpr std::array<DriveChannelNames, 2> kDriveChannels{{
    {1, "RED SERVO 2", 1, "Start/Stop Servo 2", 1, 3, 1, 5, 29, "RED ACTUAL SPEED", 6, 30,
     "RED SET SPEED"},
    {2, "BLUE SERVO 3", 2, "Start/Stop Servo 3", 2, 4, 2, 7, 32, "BLUE ACTUAL SPEED", 8, 31,
     "BLUE SET SPEED"},
}};

// The two command words a click toggles between.
inline constexpr std::int16_t kRunWord = 1151;
inline constexpr std::int16_t kStopWord = 1150;

inline constexpr int kLampCount = 26;
inline constexpr int kFieldCount = 8;

} // namespace servo
