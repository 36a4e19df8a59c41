// The panel as the application builds it (the window Form1 over DatCon1 and its eight fields,
// bound through the user's datacon.ini), with probes that print what happens and when, so that
// run_system.py can time it from outside. Nothing here changes what the panel does: the probes
// only watch the timer's ticks, the first paint and the lamps' colours.
//
// Usage: panel_probe [--memory] [--seconds S]
//   --memory     in-memory fields instead of the OPC UA data link (no server needed)
//   --seconds S  ends the run after S seconds at the latest (default 120)
//
// Every line on stdout is "event NAME MONO_NS REAL_NS [DETAILS]", with the shared monotonic
// clock and the Unix-epoch clock in nanoseconds:
//   main, app, constructed, show  start-up steps; shown once the whole window was first painted
//   first_values                  every field holds a value from the server (not empty, not null)
//   lamp N RRGGBB                 after a tick, Shape N shows a new fill colour
//   click N / clicked N           just before Command N is clicked, and once the click returned
//   stats ...                     answer to the "stats" command: ticks so far, merged timer
//                                 expirations, heap allocations of the process, open report
// Commands on stdin, one a line: "click N COUNT INTERVAL_MS", "stats", "quit". The run also
// ends when stdin closes.
#include "bench/system/allocations.h"
#include "bench/system/stats.h"
#include "panel/eventcycle.h"
#include "processdata/opcua/dataconnectionconfig.h"
#include "processdata/opcua/opcuaprocessdata.h"
#include "processdata/opcua/qteventloop.h"
#include "window/form1.h"
#include "window/lampwidget.h"

#include <QAbstractButton>
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace servo;

namespace {

void printEvent(const char* name, const std::string& details = {})
{
    std::printf("event %s %lld %lld%s%s\n", name, static_cast<long long>(bench::monotonicNs()),
                static_cast<long long>(bench::realtimeNs()), details.empty() ? "" : " ",
                details.c_str());
    std::fflush(stdout);
}

std::string hexColour(Colour c)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x%02x%02x", unsigned(c.red), unsigned(c.green),
                  unsigned(c.blue));
    return text;
}

bool holdsLiveValue(const ProcessField& field)
{
    try {
        const FieldValue value = field.value();
        return !value.isEmpty() && !value.isNull();
    } catch (const Failure&) {
        return false;
    }
}

// Marks the window as shown once its first paint has run through: the zero timer fires after
// the paint event of the window and of all its children has been handled.
class FirstPaint final : public QObject
{
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            QTimer::singleShot(0, this, [] { printEvent("shown"); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

// Watches the running panel after every tick of Timer1.
class TickWatch final : public QObject
{
public:
    explicit TickWatch(Form1& form) : m_form(form)
    {
        for (int i = 0; i < kLampCount; ++i) {
            m_lamps[std::size_t(i)] =
                form.findChild<LampWidget*>(QStringLiteral("Shape%1").arg(i + 1));
            m_colours[std::size_t(i)] = m_lamps[std::size_t(i)]->fillColour();
        }
        // Connected after the event cycle's own connection, so this runs after Timer1_Timer.
        connect(&form.eventCycle().timer(), &TickTimer::timeout, this, &TickWatch::afterTick);
    }

    quint64 ticks() const { return m_ticks; }

private:
    void afterTick()
    {
        ++m_ticks;
        for (std::size_t i = 0; i < m_lamps.size(); ++i) {
            const Colour now = m_lamps[i]->fillColour();
            if (now != m_colours[i]) {
                m_colours[i] = now;
                printEvent("lamp", std::to_string(i + 1) + " " + hexColour(now));
            }
        }
        if (!m_firstValues) {
            bool all = true;
            for (int n = 1; n <= kFieldCount && all; ++n)
                all = holdsLiveValue(m_form.processData().field(n));
            if (all) {
                m_firstValues = true;
                printEvent("first_values");
            }
        }
    }

    Form1& m_form;
    std::array<LampWidget*, kLampCount> m_lamps{};
    std::array<Colour, kLampCount> m_colours{};
    quint64 m_ticks = 0;
    bool m_firstValues = false;
};

// Clicks one button COUNT times, INTERVAL apart, through the button itself.
class Clicker final : public QObject
{
public:
    Clicker(QAbstractButton* button, int number, int count, int intervalMs)
        : m_button(button), m_number(number), m_left(count)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(intervalMs);
        connect(&m_timer, &QTimer::timeout, this, &Clicker::clickOnce);
        m_timer.start();
    }

private:
    void clickOnce()
    {
        if (m_left-- <= 0) {
            m_timer.stop();
            return;
        }
        const std::string n = std::to_string(m_number);
        printEvent("click", n);
        m_button->click();
        printEvent("clicked", n);
    }

    QAbstractButton* m_button;
    int m_number;
    int m_left;
    QTimer m_timer;
};

class Commands final : public QObject
{
public:
    Commands(Form1& form, TickWatch& watch)
        : m_form(form), m_watch(watch), m_notifier(STDIN_FILENO, QSocketNotifier::Read)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, &Commands::readInput);
    }

private:
    void readInput()
    {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            m_notifier.setEnabled(false);
            QApplication::quit();
            return;
        }
        m_pending.append(buffer, std::size_t(n));
        for (std::size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
            run(m_pending.substr(0, end));
            m_pending.erase(0, end + 1);
        }
        if (m_pending.size() > 4096)
            m_pending.clear();
    }

    void run(const std::string& line)
    {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "quit") {
            QApplication::quit();
        } else if (command == "stats") {
            const auto& report = m_form.failureReports().openReport();
            printEvent("stats", "ticks " + std::to_string(m_watch.ticks()) + " merged " +
                                    std::to_string(m_form.eventCycle().timer().mergedTicks()) +
                                    " allocations " + std::to_string(bench::allocations()) +
                                    " report " +
                                    (report ? std::to_string(report->number) : "none"));
        } else if (command == "click") {
            int number = 0, count = 0, intervalMs = 0;
            in >> number >> count >> intervalMs;
            auto* button =
                m_form.findChild<QAbstractButton*>(QStringLiteral("Command%1").arg(number));
            if (!in || !button || count < 1 || count > 100000 || intervalMs < 1 ||
                intervalMs > 60000) {
                std::fprintf(stderr, "panel_probe: bad command: %s\n", line.c_str());
                return;
            }
            m_clickers.push_back(std::make_unique<Clicker>(button, number, count, intervalMs));
        } else if (!command.empty()) {
            std::fprintf(stderr, "panel_probe: unknown command: %s\n", line.c_str());
        }
    }

    Form1& m_form;
    TickWatch& m_watch;
    QSocketNotifier m_notifier;
    std::string m_pending;
    std::vector<std::unique_ptr<Clicker>> m_clickers;
};

} // namespace

int main(int argc, char* argv[])
{
    printEvent("main");
    bool memory = false;
    double seconds = 120;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--memory")) {
            memory = true;
        } else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: panel_probe [--memory] [--seconds S]\n");
            return 2;
        }
    }
    if (!(seconds > 0 && seconds <= 3600)) {
        std::fprintf(stderr, "panel_probe: --seconds must be in (0, 3600]\n");
        return 2;
    }

    QApplication app(argc, argv);
    servo::routeProtocolLogToQt();
    printEvent("app");
    Form1 form(memory ? makeMemoryProcessData() : makeOpcUaProcessData(loadDataConnectionConfig()));
    printEvent("constructed");
    FirstPaint firstPaint;
    form.installEventFilter(&firstPaint);
    TickWatch watch(form);
    Commands commands(form, watch);
    form.show();
    printEvent("show");

    QTimer::singleShot(int(seconds * 1000), &app, &QApplication::quit);
    const int code = app.exec();
    printEvent("end");
    return code;
}
