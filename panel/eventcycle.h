#pragma once

#include "panel/ticktimer.h"
#include "processdata/failure.h"
#include "processdata/fieldvalue.h"

#include <QObject>
#include <optional>
#include <string>

namespace servo {

class Panel;
class FailureReporter;

// The panel's event cycle on the user-interface thread: Timer1 ticks and the two buttons'
// clicks, each run through the dispatch that catches and reports failures. Timer1 is enabled
// from creation with a 1 ms interval; ticks that fall due while a handler runs merge into one.
//
// Each click is recorded as one line under servo.panel.audit: the button, the field and where
// it writes (the process item and the user, when there is one), the word written and the
// outcome, "sent" or the failure that ended the handler. The server's later answer to a write,
// when Bad, is a failure report of its own.
// The record of a click of channel's start/stop button: target is where its field writes (see
// ProcessField::writeTarget), written the word it tried to write, if it got that far, and
// failure what ended the handler, if anything did.
std::string clickRecord(std::size_t channel, const std::string& target,
                        const std::optional<FieldValue>& written, const Failure* failure);

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
    void click(std::size_t channel);

    Panel& m_panel;
    FailureReporter& m_reporter;
    TickTimer m_timer1;
};

} // namespace servo
