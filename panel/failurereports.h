#pragma once

#include "processdata/failure.h"

#include <optional>
#include <string>

namespace servo {

// Where the event dispatch sends a failure that ended a handler.
class FailureReporter
{
public:
    virtual ~FailureReporter() = default;
    virtual void report(const Failure& failure) = 0;
};

struct Report
{
    int number = 0;
    std::string description;
    int repeats = 1; // how often this failure was raised while the report stood open

    friend bool operator==(const Report&, const Report&) = default;
};

// What shows a report to the operator without blocking the panel (a non-modal message).
class ReportView
{
public:
    virtual ~ReportView() = default;
    // Opens the report, or replaces the text of the one that stands open.
    virtual void showReport(const Report& report) = 0;
    // The open report's failure was raised again.
    virtual void updateRepeats(int repeats) = 0;
};

// Keeps the reports to the operator readable when a failure repeats on every tick: one report
// stands open at a time. The same failure (number and description) raised again while it is
// open only counts up its repeats. A different failure replaces the open report, so the
// operator always reads the latest one. Once the operator dismisses the report, the next
// failure opens a new one.
//
// Every report that opens or changes, and every dismissal, is also logged as one line under
// servo.panel.failure, so that what the operator was told is kept after the message is closed.
class FailureReports final : public FailureReporter
{
public:
    explicit FailureReports(ReportView& view) : m_view(view) {}

    void report(const Failure& failure) override;
    // A failure reported before has changed (its outage is over, say): the open report shows
    // current in its place when it still shows previous; otherwise nothing opens.
    void change(const Failure& previous, const Failure& current);
    void dismissed();

    const std::optional<Report>& openReport() const { return m_open; }

private:
    ReportView& m_view;
    std::optional<Report> m_open;
};

// Runs one handler. A failure it raises ends it there and is reported; the program carries on.
template <typename Handler> void dispatch(FailureReporter& reporter, Handler&& handler)
{
    try {
        handler();
    } catch (const Failure& failure) {
        reporter.report(failure);
    } catch (const std::exception& e) {
        reporter.report(Failure(FailureCode::Unexpected, e.what()));
    }
}

} // namespace servo
