#include "opcua/server/lazydeadline.h"

namespace opcua {

void LazyDeadline::restart(std::chrono::milliseconds delay)
{
    m_at = m_clock.now() + delay;
    if (m_timer && m_armedAt <= m_at)
        return;
    cancel();
    arm(delay);
}

void LazyDeadline::cancel()
{
    if (m_timer)
        m_clock.cancel(m_timer);
    m_timer = 0;
}

void LazyDeadline::arm(std::chrono::milliseconds delay)
{
    m_armedAt = m_clock.now() + delay;
    m_timer = m_clock.start(delay, [this] { fired(); });
}

void LazyDeadline::fired()
{
    m_timer = 0;
    const auto now = m_clock.now();
    if (now < m_at) {
        arm(m_at - now);
        return;
    }
    m_reached();
}

} // namespace opcua
