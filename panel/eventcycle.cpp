#include "eventcycle.h"

#include "failurereports.h"
#include "panel.h"

namespace servo {

EventCycle::EventCycle(Panel& panel, FailureReporter& reporter, QObject* parent)
    : QObject(parent), m_panel(panel), m_reporter(reporter)
{
    m_timer1.setObjectName(QStringLiteral("Timer1"));
    m_timer1.setTimerType(Qt::PreciseTimer);
    m_timer1.setInterval(1);
    connect(&m_timer1, &QTimer::timeout, this, &EventCycle::Timer1_Timer);
    m_timer1.start();
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
