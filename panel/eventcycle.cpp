#include "panel/eventcycle.h"

#include "panel/failurereports.h"
#include "panel/panel.h"

namespace servo {

EventCycle::EventCycle(Panel& panel, FailureReporter& reporter, TickTimer::Source tickSource,
                       QObject* parent)
    : QObject(parent), m_panel(panel), m_reporter(reporter), m_timer1(tickSource)
{
    m_timer1.setObjectName(QStringLiteral("Timer1"));
    connect(&m_timer1, &TickTimer::timeout, this, &EventCycle::Timer1_Timer);
    m_timer1.start(std::chrono::milliseconds(1));
}

void EventCycle::Timer1_Timer()
{
    dispatch(m_reporter, [this] { m_panel.Timer1_Timer(); });
}

void EventCycle::Command1_Click()
{
    dispatch(m_reporter, [this] { m_panel.Command1_Click(); });
}

void EventCycle::Command2_Click()
{
    dispatch(m_reporter, [this] { m_panel.Command2_Click(); });
}

} // namespace servo
