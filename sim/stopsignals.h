#pragma once

#include <QObject>

class QSocketNotifier;

namespace servo::sim {

enum class StdinWatch {
    Ignore,      // standard input is left alone
    StopOnClose, // the end of standard input asks to stop too
};

// Turns SIGINT and SIGTERM (and, when asked, the end of standard input) into the signal
// stopRequested() on the event loop, so the program leaves through its normal return path.
// The signal handlers only write a byte to a pipe. One instance per process.
class StopSignals final : public QObject
{
    Q_OBJECT
public:
    explicit StopSignals(StdinWatch stdinWatch, QObject* parent = nullptr);
    ~StopSignals() override;

signals:
    void stopRequested();

private:
    void readStdin();

    QSocketNotifier* m_signalNotifier = nullptr;
    QSocketNotifier* m_stdinNotifier = nullptr;
};

} // namespace servo::sim
