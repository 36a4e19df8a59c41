#include "tests/support/manualclock.h"

#include <algorithm>
#include <stdexcept>

namespace opcua {

DateTime ManualClock::utcNow() const
{
    return DateTime{m_utcStart.ticks + m_now.count() * DateTime::kTicksPerMillisecond};
}

TimerId ManualClock::start(std::chrono::milliseconds delay, std::function<void()> callback)
{
    const TimerId id = m_nextId++;
    m_timers.emplace(
        id, Timer{m_now + std::max(delay, std::chrono::milliseconds(0)), std::move(callback)});
    return id;
}

void ManualClock::cancel(TimerId id)
{
    m_timers.erase(id);
}

std::optional<std::chrono::milliseconds> ManualClock::nextDue() const
{
    std::optional<std::chrono::milliseconds> due;
    for (const auto& [id, timer] : m_timers) {
        if (!due || timer.due < *due)
            due = timer.due;
    }
    if (!due)
        return std::nullopt;
    return *due - m_now;
}

void ManualClock::advance(std::chrono::milliseconds step)
{
    // A test whose timers keep rescheduling themselves at the same instant would never end;
    // stop it with an error instead.
    constexpr int kMaxFiredPerAdvance = 1000000;
    const auto target = m_now + std::max(step, std::chrono::milliseconds(0));
    for (int fired = 0;; ++fired) {
        if (fired == kMaxFiredPerAdvance)
            throw std::logic_error("ManualClock::advance: timers keep firing without end");
        auto next = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
            // Ids grow with start order, so the first of equal due times is the earliest.
            if (it->second.due <= target &&
                (next == m_timers.end() || it->second.due < next->second.due))
                next = it;
        }
        if (next == m_timers.end())
            break;
        m_now = next->second.due;
        auto callback = std::move(next->second.callback);
        m_timers.erase(next);
        callback();
    }
    m_now = target;
}

} // namespace opcua
