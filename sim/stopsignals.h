#pragma once

#include "opcua/eventloop.h"

#include <functional>

namespace servo::sim {

enum class StdinWatch {
    Ignore,      // standard input is left alone
    StopOnClose, // the end of standard input asks to stop too
};

// Turns SIGINT and SIGTERM (and, when asked, the end of standard input) into a call of `stop`
// on the event loop, so the program leaves through its normal return path. The signals are
// blocked and read from a signalfd: make it before any thread starts, so that every thread
// inherits the blocked mask. One instance per process.
class StopSignals final
{
public:
    StopSignals(opcua::EventLoop& loop, StdinWatch stdinWatch, std::function<void()> stop);
    ~StopSignals();

    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    void readStdin();

    opcua::EventLoop& m_loop;
    std::function<void()> m_stop;
    int m_signalFd = -1;
    opcua::WatchId m_signalWatch = 0;
    opcua::WatchId m_stdinWatch = 0;
};

} // namespace servo::sim
