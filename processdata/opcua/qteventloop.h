#pragma once

#include "opcua/eventloop.h"
#include "opcua/log.h"

#include <QSocketNotifier>

namespace servo {

// The protocol's event loop run inside Qt's, on the thread that makes it: Qt watches the
// loop's descriptor and the loop dispatches whenever it is readable, so sockets and timers of
// the protocol need no thread and no polling of their own.
class QtEventLoop : public opcua::EventLoop
{
public:
    QtEventLoop();

private:
    QSocketNotifier m_notifier;
};

// The protocol's log categories as Qt logging categories of the same names, so QT_LOGGING_RULES
// and the program's message handler apply to them like to any other.
class QtLogSink : public opcua::LogSink
{
public:
    bool enabled(opcua::LogLevel level, std::string_view category) const override;
    void write(opcua::LogLevel level, std::string_view category, std::string_view line) override;
};

// Sends the protocol's log of this process through Qt's logging from now on.
void routeProtocolLogToQt();

} // namespace servo
