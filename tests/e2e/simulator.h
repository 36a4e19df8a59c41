#pragma once

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>

namespace servo::test {

// servo-sim as the system tests run it: on a free loopback port, without noise, leaving when its
// stdin closes. The port comes from its ready line.
struct Simulator
{
    static constexpr int kWaitMs = 10000;
    QProcess process;
    QString url;

    bool start(const QStringList& extra = {})
    {
        process.setProgram(SERVO_SIM);
        // Its log goes with the test's, and never fills a pipe nobody reads.
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setArguments(QStringList{"--port", "0", "--exit-on-stdin-close", "--no-noise"} +
                             extra);
        process.start();
        if (!process.waitForStarted(kWaitMs))
            return false;
        QElapsedTimer t;
        t.start();
        QByteArray out;
        while (t.elapsed() < kWaitMs && !out.contains('\n')) {
            process.waitForReadyRead(100);
            out += process.readAllStandardOutput();
        }
        const auto match = QRegularExpression("^servo-sim listening on (opc\\.tcp://\\S+)$",
                                              QRegularExpression::MultilineOption)
                               .match(QString::fromUtf8(out));
        url = match.captured(1);
        return match.hasMatch();
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

    ~Simulator() { stop(); }
};

} // namespace servo::test
