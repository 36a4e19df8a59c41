#include "processdata/opcua/qteventloop.h"

#include <QLoggingCategory>
#include <array>

namespace servo {

namespace {

Q_LOGGING_CATEGORY(lcOpcUaClient, "servo.opcua.client")
Q_LOGGING_CATEGORY(lcOpcUaServer, "servo.opcua.server")
Q_LOGGING_CATEGORY(lcOpcUaPki, "servo.opcua.pki")
Q_LOGGING_CATEGORY(lcOpcUaOther, "servo.opcua")

const QLoggingCategory& categoryOf(std::string_view name)
{
    struct Known
    {
        std::string_view name;
        const QLoggingCategory& (*category)();
    };
    static const std::array<Known, 3> known{{
        {"servo.opcua.client", lcOpcUaClient},
        {"servo.opcua.server", lcOpcUaServer},
        {"servo.opcua.pki", lcOpcUaPki},
    }};
    for (const Known& k : known)
        if (k.name == name)
            return k.category();
    return lcOpcUaOther();
}

} // namespace

QtEventLoop::QtEventLoop() : m_notifier(descriptor(), QSocketNotifier::Read)
{
    // Off while the loop dispatches: a handler that opens a modal dialog runs a nested Qt
    // loop, which must not dispatch this loop again from inside it.
    QObject::connect(&m_notifier, &QSocketNotifier::activated, &m_notifier, [this] {
        m_notifier.setEnabled(false);
        runOnce(std::chrono::milliseconds(0));
        m_notifier.setEnabled(true);
    });
}

bool QtLogSink::enabled(opcua::LogLevel level, std::string_view category) const
{
    const QLoggingCategory& c = categoryOf(category);
    switch (level) {
    case opcua::LogLevel::Debug:
        return c.isDebugEnabled();
    case opcua::LogLevel::Info:
        return c.isInfoEnabled();
    case opcua::LogLevel::Warning:
        return c.isWarningEnabled();
    }
    return false;
}

void QtLogSink::write(opcua::LogLevel level, std::string_view category, std::string_view line)
{
    const QLoggingCategory& c = categoryOf(category);
    const QString text = QString::fromUtf8(line.data(), qsizetype(line.size()));
    switch (level) {
    case opcua::LogLevel::Debug:
        qCDebug(c).noquote() << text;
        return;
    case opcua::LogLevel::Info:
        qCInfo(c).noquote() << text;
        return;
    case opcua::LogLevel::Warning:
        qCWarning(c).noquote() << text;
        return;
    }
}

void routeProtocolLogToQt()
{
    static QtLogSink sink;
    opcua::setLogSink(&sink);
}

} // namespace servo
