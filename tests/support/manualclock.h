#pragma once

#include "opcua/io.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>

namespace opcua {

// A clock that moves only when the test says so. advance() fires every timer that falls due,
// in order of due time (and of start for equal times), setting now() to each due time as it
// fires; callbacks may start and cancel timers, and those falling within the advance fire too.
// utcNow() is a fixed start time plus now().
class ManualClock : public Clock
{
public:
    explicit ManualClock(DateTime utcStart = DateTime::fromUnixMilliseconds(1700000000000))
        : m_utcStart(utcStart)
    {}

    std::chrono::milliseconds now() const override { return m_now; }
    DateTime utcNow() const override;
    TimerId start(std::chrono::milliseconds delay, std::function<void()> callback) override;
    void cancel(TimerId id) override;

    // Throws std::logic_error when timers keep firing at one instant without end.
    void advance(std::chrono::milliseconds step);
    // Fires the timers due now (delay 0), without moving time.
    void runDue() { advance(std::chrono::milliseconds(0)); }
    size_t pendingTimers() const { return m_timers.size(); }
    // Time until the next timer, or nullopt when none is pending.
    std::optional<std::chrono::milliseconds> nextDue() const;

private:
    struct Timer
    {
        std::chrono::milliseconds due;
        std::function<void()> callback;
    };

    std::chrono::milliseconds m_now{0};
    DateTime m_utcStart;
    std::map<TimerId, Timer> m_timers;
    TimerId m_nextId = 1;
};

} // namespace opcua
