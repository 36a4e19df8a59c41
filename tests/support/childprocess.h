#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

namespace servo::test {

// A program a system test runs beside it: its standard output is gathered in `output`, and it
// leaves when its stdin closes.
struct ChildProcess
{
    static constexpr int kWaitMs = 10000;
    QProcess process;
    QByteArray output;

    // Starts it and waits, at most waitMs, for a line of output that `ready` matches; the first
    // capture of that line, or an empty text when none came.
    QString start(const QString& program, const QStringList& arguments, const QString& ready,
                  int waitMs = kWaitMs)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { output += process.readAllStandardOutput(); });
        process.start(program, arguments);
        const QRegularExpression line(ready, QRegularExpression::MultilineOption);
        QRegularExpressionMatch match;
        QElapsedTimer t;
        t.start();
        while (!match.hasMatch() && t.elapsed() < waitMs) {
            if (!process.waitForReadyRead(100) && process.state() == QProcess::NotRunning)
                break;
            match = line.match(QString::fromUtf8(output));
        }
        return match.captured(1);
    }

    // Closes its stdin and waits for it to leave; the exit code, or -1 when it had to be killed.
    int stop()
    {
        if (process.state() == QProcess::NotRunning)
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        process.closeWriteChannel();
        if (!process.waitForFinished(kWaitMs)) {
            process.kill();
            process.waitForFinished(kWaitMs);
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    ~ChildProcess() { stop(); }
};

// servo-sim as the system tests run it: on a free loopback port, without noise. The URL comes
// from its ready line.
struct Simulator : ChildProcess
{
    QString url;

    bool start(const QString& program, const QStringList& extra = {})
    {
        // Its log goes with the test's, and never fills a pipe nobody reads.
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        url = ChildProcess::start(
            program, QStringList{"--port", "0", "--exit-on-stdin-close", "--no-noise"} + extra,
            "^servo-sim listening on (opc\\.tcp://\\S+)$");
        return !url.isEmpty();
    }
};

// A password file as servo-sim and the panel want it: readable by its owner only.
inline bool writePasswordFile(const QString& path, const QByteArray& password)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) &&
           file.write(password + "\n") > 0;
}

} // namespace servo::test
