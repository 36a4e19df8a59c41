#include "sim/stopsignals.h"

#include <cerrno>
#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace servo::sim {

namespace {

sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

StopSignals::StopSignals(opcua::EventLoop& loop, StdinWatch stdinWatch, std::function<void()> stop)
    : m_loop(loop), m_stop(std::move(stop))
{
    const sigset_t set = stopSignalSet();
    if (::sigprocmask(SIG_BLOCK, &set, nullptr) == 0)
        m_signalFd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_signalFd >= 0) {
        m_signalWatch = m_loop.watch(m_signalFd, opcua::Readable, [this](uint32_t) {
            signalfd_siginfo info;
            while (::read(m_signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
            }
            m_stop();
        });
    }
    if (stdinWatch == StdinWatch::Ignore)
        return;
    try {
        m_stdinWatch =
            m_loop.watch(STDIN_FILENO, opcua::Readable, [this](uint32_t) { readStdin(); });
    } catch (const opcua::Error&) {
        // A file or /dev/null cannot be watched, but is always readable: one read tells.
        m_loop.post([this] { readStdin(); });
    }
}

StopSignals::~StopSignals()
{
    m_loop.unwatch(m_signalWatch);
    m_loop.unwatch(m_stdinWatch);
    if (m_signalFd >= 0)
        ::close(m_signalFd);
    const sigset_t set = stopSignalSet();
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void StopSignals::readStdin()
{
    // Whatever arrives on standard input is ignored; only its end matters.
    char buffer[512];
    const auto n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        m_loop.unwatch(m_stdinWatch);
        m_stdinWatch = 0;
        m_stop();
    }
}

} // namespace servo::sim
