#pragma once

#include <QObject>
#include <chrono>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace servo {

// A periodic timer whose ticks do not drift and never pile up. On Linux it is a timerfd whose
// expirations are read on the event loop: expirations that fell due while a handler ran are
// merged into one tick, and the next tick stays on the original grid instead of re-arming from
// a late firing time (which is what makes a 1 ms QTimer tick only about 900 times a second).
// Elsewhere, or when no timerfd can be had, it falls back to a precise QTimer.
class TickTimer final : public QObject
{
    Q_OBJECT
public:
    enum class Source {
        TimerFd, // a kernel periodic timer read through a socket notifier
        QtTimer, // Qt's own precise timer, re-armed after each firing
    };

    explicit TickTimer(Source preferred = Source::TimerFd, QObject* parent = nullptr);
    ~TickTimer() override;

    void start(std::chrono::microseconds interval);
    void stop();

    bool isActive() const { return m_active; }
    std::chrono::microseconds interval() const { return m_interval; }
    Source source() const { return m_source; }
    // Expirations merged into an earlier tick because a handler was still running.
    quint64 mergedTicks() const { return m_merged; }

signals:
    void timeout();

private:
    void readExpirations();

    Source m_source = Source::QtTimer;
    bool m_active = false;
    std::chrono::microseconds m_interval{0};
    quint64 m_merged = 0;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<QTimer> m_qtTimer;
};

} // namespace servo
