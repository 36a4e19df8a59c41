#include "app/logging.h"

#include <QByteArray>
#include <QString>
#include <cstdio>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace servo {

namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

void toStandardError(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QByteArray line = qFormatLogMessage(type, context, message).toUtf8();
    std::fprintf(stderr, "%s\n", line.constData());
}

void toJournal(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QByteArray text = message.toUtf8();
    const int sent = sd_journal_send(
        "MESSAGE=%s", text.constData(), "PRIORITY=%d", journalPriority(type), "SERVO_CATEGORY=%s",
        context.category ? context.category : "default", "SYSLOG_IDENTIFIER=servo-panel", nullptr);
    if (sent < 0)
        toStandardError(type, context, message);
}

} // namespace

LogTarget chooseLogTarget(bool stderrIsTerminal, bool journalReachable, const QByteArray& override)
{
    if (override == "stderr" || stderrIsTerminal || !journalReachable)
        return LogTarget::StandardError;
    return LogTarget::Journal;
}

int journalPriority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 7;
    case QtInfoMsg:
        return 6;
    case QtWarningMsg:
        return 4;
    case QtCriticalMsg:
        return 3;
    case QtFatalMsg:
        return 2;
    }
    return 6;
}

void installLogRouting()
{
    // QT_MESSAGE_PATTERN, when set, wins over this pattern.
    qSetMessagePattern(QStringLiteral(
        "%{time yyyy-MM-ddThh:mm:ss.zzz} %{type} %{if-category}%{category}: %{endif}%{message}"));
    const bool journal =
        chooseLogTarget(isatty(STDERR_FILENO) == 1, access(kJournalSocket, W_OK) == 0,
                        qgetenv("SERVO_PANEL_LOG")) == LogTarget::Journal;
    qInstallMessageHandler(journal ? toJournal : toStandardError);
}

} // namespace servo
