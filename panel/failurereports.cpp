#include "panel/failurereports.h"

namespace servo {

void FailureReports::report(const Failure& failure)
{
    if (m_open && m_open->number == failure.number() &&
        m_open->description == failure.description()) {
        ++m_open->repeats;
        m_view.updateRepeats(m_open->repeats);
        return;
    }
    m_open = Report{failure.number(), failure.description(), 1};
    m_view.showReport(*m_open);
}

} // namespace servo
