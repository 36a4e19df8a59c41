#include "panel/eventcycle.h"

#include "panel/failurereports.h"
#include "panel/panel.h"

#include <QLoggingCategory>
#include <optional>

Q_LOGGING_CATEGORY(lcAudit, "servo.panel.audit")

namespace servo {

namespace {

// Passes failures on and keeps the last one, for the record of the click that raised it.
class RecordingReporter final : public FailureReporter
{
public:
    explicit RecordingReporter(FailureReporter& next) : m_next(next) {}
    void report(const Failure& failure) override
    {
        m_failure = failure;
        m_next.report(failure);
    }
    const std::optional<Failure>& failure() const { return m_failure; }

private:
    FailureReporter& m_next;
    std::optional<Failure> m_failure;
};

} // namespace

std::string clickRecord(std::size_t channel, const std::string& target,
                        const std::optional<FieldValue>& written, const Failure* failure)
{
    const DriveChannelNames& names = kDriveChannels[channel];
    std::string line = "Command" + std::to_string(names.button) + " \"" +
                       std::string(names.buttonText) + "\" clicked: ZqNumber" +
                       std::to_string(names.commandWordField);
    if (!target.empty())
        line += " (" + target + ")";
    if (written)
        line += " <- " + describe(*written);
    if (failure)
        line += ": not done, error " + std::to_string(failure->number()) + ": " +
                failure->description();
    else
        line += ": sent";
    return line;
}

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
    click(0);
}

void EventCycle::Command2_Click()
{
    click(1);
}

void EventCycle::click(std::size_t channel)
{
    RecordingReporter reporter(m_reporter);
    // Stays empty unless the handler got as far as choosing the word to write.
    FieldValue word;
    dispatch(reporter,
             [&] { channel == 0 ? m_panel.Command1_Click(&word) : m_panel.Command2_Click(&word); });
    const ProcessField& field = *m_panel.channels()[channel].commandWord;
    const auto& failure = reporter.failure();
    qCInfo(lcAudit).noquote() << QString::fromStdString(clickRecord(
        channel, field.writeTarget(), word.isEmpty() ? std::nullopt : std::optional(word),
        failure ? &*failure : nullptr));
}

} // namespace servo
