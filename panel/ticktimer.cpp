#include "panel/ticktimer.h"

#include <QSocketNotifier>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstdint>
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace servo {

TickTimer::TickTimer(Source preferred, QObject* parent) : QObject(parent)
{
#ifdef Q_OS_LINUX
    if (preferred == Source::TimerFd) {
        m_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (m_fd >= 0) {
            m_source = Source::TimerFd;
            m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
            m_notifier->setEnabled(false);
            connect(m_notifier.get(), &QSocketNotifier::activated, this,
                    &TickTimer::readExpirations);
            return;
        }
    }
#else
    (void)preferred;
#endif
    m_source = Source::QtTimer;
    m_qtTimer = std::make_unique<QTimer>();
    m_qtTimer->setTimerType(Qt::PreciseTimer);
    connect(m_qtTimer.get(), &QTimer::timeout, this, &TickTimer::timeout);
}

TickTimer::~TickTimer()
{
    stop();
#ifdef Q_OS_LINUX
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

void TickTimer::start(std::chrono::microseconds interval)
{
    m_interval = interval;
    m_active = true;
    if (m_qtTimer) {
        m_qtTimer->start(std::chrono::duration_cast<std::chrono::milliseconds>(interval));
        return;
    }
#ifdef Q_OS_LINUX
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(interval).count();
    itimerspec period{};
    period.it_interval.tv_sec = ns / 1'000'000'000;
    period.it_interval.tv_nsec = ns % 1'000'000'000;
    period.it_value = period.it_interval; // the first tick falls due one period from now
    ::timerfd_settime(m_fd, 0, &period, nullptr);
    m_notifier->setEnabled(true);
#endif
}

void TickTimer::stop()
{
    m_active = false;
    if (m_qtTimer) {
        m_qtTimer->stop();
        return;
    }
#ifdef Q_OS_LINUX
    itimerspec off{};
    ::timerfd_settime(m_fd, 0, &off, nullptr);
    m_notifier->setEnabled(false);
#endif
}

void TickTimer::readExpirations()
{
#ifdef Q_OS_LINUX
    std::uint64_t expirations = 0;
    if (::read(m_fd, &expirations, sizeof expirations) != sizeof expirations)
        return; // EAGAIN: a stop or restart consumed the expirations already
    if (!m_active)
        return;
    m_merged += expirations - 1;
    emit timeout();
#endif
}

} // namespace servo
