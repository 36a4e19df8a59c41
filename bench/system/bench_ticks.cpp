// The tick figures of the running window, drawn offscreen, with lamp words held in memory:
//
//   tick_rate   ticks per second delivered to Timer1_Timer by the window's own drift-free
//               source, and, in the same run, by Qt's precise 1 ms timer as the baseline;
//   tick_cost   one Timer1_Timer on the real lamp widgets, with colours unchanged and with
//               colours changing (the repaint that a change schedules timed apart).
//
// Usage: bench_ticks [--seconds S] [--samples N] [--only rate|cost]
#include "bench/system/allocations.h"
#include "bench/system/stats.h"
#include "panel/eventcycle.h"
#include "panel/panel.h"
#include "window/form1.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace servo;

namespace {

// Counts the failures a handler raised; the lamp words here never fail, so any count is a
// fault of the bench.
class CountingReporter final : public FailureReporter
{
public:
    void report(const Failure& failure) override
    {
        ++count;
        std::fprintf(stderr, "bench_ticks: unexpected failure %d: %s\n", failure.number(),
                     failure.what());
    }
    int count = 0;
};

ProcessData steadyLampWords()
{
    ProcessData data = makeMemoryProcessData();
    data.field(3).setValue(FieldValue(std::int16_t(1151)));
    data.field(4).setValue(FieldValue(std::int16_t(1150)));
    return data;
}

struct RateRun
{
    double ticksPerSecond = 0;
    // Timer expirations per second, the ones merged into a tick included: what the source
    // delivered, as opposed to what the event loop got round to running.
    double expirationsPerSecond = 0;
    std::vector<std::int64_t> intervalsNs;
    quint64 merged = 0;
    // Time the thread was ready to run but waited for a core, per second of the run: ticks are
    // merged when other processes hold the cores for longer than a period.
    double runQueueWaitMsPerS = 0;
};

// Nanoseconds this thread has waited on a run queue so far (the second field of schedstat);
// 0 where the kernel does not keep it.
std::int64_t runQueueWaitNs()
{
    std::FILE* f = std::fopen("/proc/thread-self/schedstat", "r");
    if (!f)
        return 0;
    long long run = 0, wait = 0;
    const int read = std::fscanf(f, "%lld %lld", &run, &wait);
    std::fclose(f);
    return read == 2 ? wait : 0;
}

// Counts the ticks the timer delivers during `seconds`, after half a second to settle. Slots
// connected to the timer run after Timer1_Timer, which was connected first, so every count is a
// tick that ran the handler. The run ends by itself even if the ticks stop.
RateRun measureRate(const TickTimer& timer, double seconds)
{
    constexpr std::int64_t kSettleNs = 500'000'000;
    const auto windowNs = std::int64_t(seconds * 1e9);
    std::vector<std::int64_t> stamps;
    stamps.reserve(std::size_t(seconds * 1200) + 16);

    QEventLoop loop;
    const std::int64_t start = bench::monotonicNs();
    quint64 mergedAtFirst = 0, mergedAtLast = 0;
    std::int64_t waitAtFirst = 0, waitAtLast = 0;
    auto counter = QObject::connect(&timer, &TickTimer::timeout, &loop, [&] {
        const std::int64_t now = bench::monotonicNs();
        if (now < start + kSettleNs)
            return;
        if (stamps.empty()) {
            mergedAtFirst = timer.mergedTicks();
            waitAtFirst = runQueueWaitNs();
        }
        stamps.push_back(now);
        if (now >= start + kSettleNs + windowNs) {
            mergedAtLast = timer.mergedTicks();
            waitAtLast = runQueueWaitNs();
            loop.quit();
        }
    });
    QTimer::singleShot(int((kSettleNs + windowNs) / 1'000'000) + 2000, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(counter);

    RateRun run;
    if (stamps.size() >= 2) {
        const double span = double(stamps.back() - stamps.front()) / 1e9;
        run.merged = mergedAtLast - mergedAtFirst;
        run.ticksPerSecond = double(stamps.size() - 1) / span;
        run.expirationsPerSecond = double(stamps.size() - 1 + run.merged) / span;
        run.runQueueWaitMsPerS = double(waitAtLast - waitAtFirst) / 1e6 / span;
        for (std::size_t i = 1; i < stamps.size(); ++i)
            run.intervalsNs.push_back(stamps[i] - stamps[i - 1]);
    }
    return run;
}

void printRate(const char* source, RateRun& run)
{
    const std::string name = std::string("tick_rate_") + source;
    bench::printFigure(name, run.ticksPerSecond, "/s");
    bench::printFigure(name + "_interval_median", bench::quantile(run.intervalsNs, 0.5) / 1e3,
                       "us");
    bench::printFigure(name + "_interval_p99", bench::quantile(run.intervalsNs, 0.99) / 1e3, "us");
    bench::printFigure(name + "_interval_max", bench::quantile(run.intervalsNs, 1.0) / 1e3, "us");
    bench::printFigure(name + "_merged", double(run.merged), "expirations");
    bench::printFigure(name + "_expirations", run.expirationsPerSecond, "/s");
    bench::printFigure(name + "_runqueue_wait", run.runQueueWaitMsPerS, "ms/s");
}

void tickRate(Form1& form, double seconds)
{
    // The window's own Timer1, as it ticks in the running panel.
    RateRun timerFd = measureRate(form.eventCycle().timer(), seconds);
    const bool drift = form.eventCycle().timer().source() == TickTimer::Source::TimerFd;
    form.eventCycle().stop();

    // The same panel driven by Qt's precise timer instead.
    CountingReporter reporter;
    EventCycle baseline(form.panel(), reporter, TickTimer::Source::QtTimer);
    RateRun qtTimer = measureRate(baseline.timer(), seconds);
    baseline.stop();

    printRate(drift ? "timerfd" : "fallback", timerFd);
    printRate("qtimer", qtTimer);
    if (qtTimer.ticksPerSecond > 0)
        bench::printFigure("tick_rate_ratio_timerfd_qtimer",
                           timerFd.ticksPerSecond / qtTimer.ticksPerSecond, "x");
}

// Counts the paint events of the window's widgets: lamps apart from the rest.
class PaintCounter final : public QObject
{
public:
    explicit PaintCounter(Form1& form)
    {
        for (QWidget* w : form.findChildren<QWidget*>())
            w->installEventFilter(this);
        form.installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++(watched->objectName().startsWith(QLatin1String("Shape")) ? lamps : others);
        return false;
    }
    unsigned long long lamps = 0;
    unsigned long long others = 0;
};

struct CostRun
{
    std::vector<std::int64_t> handlerNs;
    std::vector<std::int64_t> repaintNs; // the event processing after the handler
    unsigned long long handlerAllocations = 0;
    double lampsPainted = 0;  // per tick
    double othersPainted = 0; // per tick
};

// Times `samples` ticks; before each, prepare() sets the lamp words for it. The events a tick
// posts (repaints) are processed after it, timed apart from the handler.
template <typename Prepare> CostRun measureCost(Form1& form, int samples, Prepare prepare)
{
    CostRun run;
    run.handlerNs.reserve(std::size_t(samples));
    run.repaintNs.reserve(std::size_t(samples));
    EventCycle& cycle = form.eventCycle();
    PaintCounter paints(form);
    unsigned long long lampsBefore = 0, othersBefore = 0;
    for (int i = -samples / 10; i < samples; ++i) {
        if (i == 0) {
            lampsBefore = paints.lamps;
            othersBefore = paints.others;
        }
        prepare(i);
        const unsigned long long a0 = bench::allocations();
        const std::int64_t t0 = bench::monotonicNs();
        cycle.Timer1_Timer();
        const std::int64_t t1 = bench::monotonicNs();
        const unsigned long long a1 = bench::allocations();
        QApplication::processEvents();
        const std::int64_t t2 = bench::monotonicNs();
        if (i >= 0) {
            run.handlerAllocations += a1 - a0;
            run.handlerNs.push_back(t1 - t0);
            run.repaintNs.push_back(t2 - t1);
        }
    }
    run.lampsPainted = double(paints.lamps - lampsBefore) / samples;
    run.othersPainted = double(paints.others - othersBefore) / samples;
    return run;
}

void printCost(const std::string& name, CostRun& run, bool withRepaint)
{
    bench::printFigure(name + "_median", bench::quantile(run.handlerNs, 0.5), "ns");
    bench::printFigure(name + "_p99", bench::quantile(run.handlerNs, 0.99), "ns");
    bench::printFigure(name + "_allocations",
                       double(run.handlerAllocations) / double(run.handlerNs.size()), "per tick");
    if (!withRepaint)
        return;
    bench::printFigure(name + "_lamps_painted", run.lampsPainted, "per tick");
    bench::printFigure(name + "_others_painted", run.othersPainted, "per tick");
    bench::printFigure(name + "_repaint_median", bench::quantile(run.repaintNs, 0.5), "ns");
    bench::printFigure(name + "_repaint_p99", bench::quantile(run.repaintNs, 0.99), "ns");
}

void tickCost(Form1& form, int samples)
{
    form.eventCycle().stop();
    ProcessField& servo2 = form.processData().field(3);
    ProcessField& servo3 = form.processData().field(4);
    servo2.setValue(FieldValue(std::int16_t(1151)));
    servo3.setValue(FieldValue(std::int16_t(1150)));
    QApplication::processEvents();

    CostRun unchanged = measureCost(form, samples, [](int) {});
    printCost("tick_cost_unchanged", unchanged, false);

    // One lamp changes on every tick: the start/stop bit of servo 2.
    CostRun one = measureCost(form, samples, [&](int i) {
        servo2.setValue(FieldValue(std::int16_t(i % 2 ? 1151 : 1150)));
    });
    printCost("tick_cost_changing_one", one, true);

    // All 26 lamps change on every tick: the worst a tick can meet.
    CostRun all = measureCost(form, samples, [&](int i) {
        const FieldValue word(std::int16_t(i % 2 ? 0x7fff : 0));
        servo2.setValue(word);
        servo3.setValue(word);
    });
    printCost("tick_cost_changing_all", all, true);
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    double seconds = 10;
    int samples = 20000;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--seconds") && hasValue)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--samples") && hasValue)
            samples = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--only") && hasValue)
            only = argv[++i];
        else {
            std::fprintf(stderr,
                         "usage: bench_ticks [--seconds S] [--samples N] [--only rate|cost]\n");
            return 2;
        }
    }
    if (seconds <= 0 || seconds > 600 || samples <= 0 || samples > 10'000'000) {
        std::fprintf(stderr, "bench_ticks: --seconds must be in (0, 600], --samples in (0, 1e7]\n");
        return 2;
    }

    QApplication app(argc, argv);
    Form1 form(steadyLampWords());
    form.show();
    QApplication::processEvents();

    if (only.empty() || only == "rate")
        tickRate(form, seconds);
    if (only.empty() || only == "cost")
        tickCost(form, samples);
    if (form.failureReports().openReport()) {
        std::fprintf(stderr, "bench_ticks: a handler failed: %s\n",
                     form.failureReports().openReport()->description.c_str());
        return 1;
    }
    return 0;
}
