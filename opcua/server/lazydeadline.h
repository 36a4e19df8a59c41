#pragma once

#include "opcua/io.h"

#include <chrono>
#include <functional>

namespace opcua {

// A deadline that moves far more often than it is reached: a subscription's keep-alive and
// lifetime deadlines move with every message and Publish request, up to thousands of times a
// second. The timer is re-armed only when the deadline comes earlier than the armed time; a
// timer that fires before the (moved) deadline re-arms itself for the rest, and only one that
// fires at or past the deadline calls reached. reached may destroy the deadline.
class LazyDeadline
{
public:
    LazyDeadline(Clock& clock, std::function<void()> reached)
        : m_clock(clock), m_reached(std::move(reached))
    {}
    ~LazyDeadline() { cancel(); }
    LazyDeadline(const LazyDeadline&) = delete;
    LazyDeadline& operator=(const LazyDeadline&) = delete;

    // The deadline becomes now + delay.
    void restart(std::chrono::milliseconds delay);
    void cancel();

private:
    void arm(std::chrono::milliseconds delay);
    void fired();

    Clock& m_clock;
    std::function<void()> m_reached;
    TimerId m_timer = 0;
    std::chrono::milliseconds m_at{0};      // the deadline
    std::chrono::milliseconds m_armedAt{0}; // when the armed timer fires
};

} // namespace opcua
