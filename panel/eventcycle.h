#pragma once

#include "panel/ticktimer.h"

#include <QObject>

namespace servo {

class Panel;
class FailureReporter;

// The panel's event cycle on the user-interface thread: Timer1 ticks and the two buttons'
// clicks, each run through the dispatch that catches and reports failures. Timer1 is enabled
// from creation with a 1 ms interval; ticks that fall due while a handler runs merge into one.
class EventCycle final : public QObject
{
    Q_OBJECT
public:
    EventCycle(Panel& panel, FailureReporter& reporter,
               TickTimer::Source tickSource = TickTimer::Source::TimerFd,
               QObject* parent = nullptr);

    const TickTimer& timer() const { return m_timer1; }
    // Stops the ticks for good: no tick runs after the window has closed.
    void stop() { m_timer1.stop(); }

public slots:
    void Timer1_Timer();
    void Command1_Click();
    void Command2_Click();

private:
    Panel& m_panel;
    FailureReporter& m_reporter;
    TickTimer m_timer1;
};

} // namespace servo
