#pragma once

#include "sim/drivemodel.h"

namespace servo::test {

// Drive settings without noise and with round figures (10 ms ticks, a 50 ms lamp delay,
// 1000 rpm/s), so that the speeds a test expects can be worked out by hand.
inline sim::DriveSettings quietDriveSettings()
{
    sim::DriveSettings s;
    s.noise = false;
    s.tickMs = 10;
    s.lampDelayMs = 50;
    s.accelerationRpmPerS = 1000.0;
    return s;
}

} // namespace servo::test
