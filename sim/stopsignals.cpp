#include "sim/stopsignals.h"

#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace servo::sim {

namespace {

int g_pipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Nothing else is safe in a signal handler; a full pipe already holds a stop request.
    [[maybe_unused]] const auto written = ::write(g_pipe[1], &byte, 1);
}

} // namespace

StopSignals::StopSignals(StdinWatch stdinWatch, QObject* parent) : QObject(parent)
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
        m_signalNotifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
        connect(m_signalNotifier, &QSocketNotifier::activated, this, [this] {
            char buffer[16];
            while (::read(g_pipe[0], buffer, sizeof buffer) > 0) {
            }
            emit stopRequested();
        });
    }
    if (stdinWatch == StdinWatch::StopOnClose) {
        m_stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_stdinNotifier, &QSocketNotifier::activated, this, &StopSignals::readStdin);
    }
}

StopSignals::~StopSignals()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    delete m_signalNotifier;
    m_signalNotifier = nullptr;
    for (int& fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void StopSignals::readStdin()
{
    // Whatever arrives on standard input is ignored; only its end matters.
    char buffer[512];
    const auto n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        m_stdinNotifier->setEnabled(false);
        emit stopRequested();
    }
}

} // namespace servo::sim
