// One Timer1_Timer run on the real window, drawn offscreen: with lamp words that do not change
// (every colour set is the one the lamp already has, so nothing is repainted), and with a lamp
// word that changes on every tick, its repaint included.
#include "panel/eventcycle.h"
#include "processdata/processdata.h"
#include "window/form1.h"

#include <QApplication>
#include <benchmark/benchmark.h>

using namespace servo;

namespace {

ProcessData lampWords()
{
    ProcessData data = makeMemoryProcessData();
    data.field(3).setValue(FieldValue(std::int16_t(1151)));
    data.field(4).setValue(FieldValue(std::int16_t(1150)));
    return data;
}

void steadyTick(benchmark::State& state)
{
    Form1 form(lampWords());
    form.eventCycle().stop();
    form.show();
    form.eventCycle().Timer1_Timer();
    QApplication::processEvents();
    for (auto _ : state) {
        form.eventCycle().Timer1_Timer();
        QApplication::processEvents();
    }
}

void changingTick(benchmark::State& state)
{
    Form1 form(lampWords());
    form.eventCycle().stop();
    form.show();
    ProcessField& word = form.processData().field(3);
    std::int16_t next = 1150;
    for (auto _ : state) {
        word.setValue(FieldValue(next));
        next = next == 1150 ? 1151 : 1150;
        form.eventCycle().Timer1_Timer();
        QApplication::processEvents();
    }
}

} // namespace

BENCHMARK(steadyTick)->Unit(benchmark::kMicrosecond);
BENCHMARK(changingTick)->Unit(benchmark::kMicrosecond);

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
