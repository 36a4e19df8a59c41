#include "panel/failurereports.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcFailure, "servo.panel.failure")

namespace servo {

namespace {

QString logLine(const char* what, int number, const std::string& description)
{
    // Descriptions of several lines (all problems of a settings file) stay one log line.
    return QStringLiteral("%1 %2: %3")
        .arg(QLatin1String(what))
        .arg(number)
        .arg(QString::fromStdString(description).replace(u'\n', QStringLiteral(" | ")));
}

} // namespace

void FailureReports::report(const Failure& failure)
{
    if (m_open && m_open->number == failure.number() &&
        m_open->description == failure.description()) {
        ++m_open->repeats;
        m_view.updateRepeats(m_open->repeats);
        return;
    }
    qCWarning(lcFailure).noquote() << logLine("failure", failure.number(), failure.description());
    m_open = Report{failure.number(), failure.description(), 1};
    m_view.showReport(*m_open);
}

void FailureReports::change(const Failure& previous, const Failure& current)
{
    qCInfo(lcFailure).noquote() << logLine("changed", current.number(), current.description());
    if (!m_open || m_open->number != previous.number() ||
        m_open->description != previous.description())
        return;
    m_open->number = current.number();
    m_open->description = current.description();
    m_view.showReport(*m_open);
}

void FailureReports::dismissed()
{
    if (m_open)
        qCInfo(lcFailure).noquote() << QStringLiteral("closed %1 after %2 repeats")
                                           .arg(m_open->number)
                                           .arg(m_open->repeats);
    m_open.reset();
}

} // namespace servo
