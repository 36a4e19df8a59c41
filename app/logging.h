#pragma once

#include <QtGlobal>

namespace servo {

// Where the panel's log lines go: to standard error, or to the systemd journal with their
// priority and logging category as fields.
enum class LogTarget { StandardError, Journal };

// The journal when no one would read standard error (the panel was not started from a
// terminal) and the journal can be reached, unless SERVO_PANEL_LOG=stderr asks otherwise.
LogTarget chooseLogTarget(bool stderrIsTerminal, bool journalReachable, const QByteArray& override);

// The journal's priority for a Qt message type (syslog's levels: 3 error … 7 debug).
int journalPriority(QtMsgType type);

// Routes every log line of the process to the target chosen for this process; lines on
// standard error carry the time, unless QT_MESSAGE_PATTERN says otherwise.
void installLogRouting();

} // namespace servo
