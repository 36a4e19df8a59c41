// One Timer1_Timer run against in-memory fields and lamps that do nothing, and the field value
// conversions the tick relies on.
#include "panel/lamp.h"
#include "panel/panel.h"
#include "processdata/memoryfield.h"

#include <benchmark/benchmark.h>
#include <memory>

using namespace servo;

namespace {

class NullLamp final : public Lamp
{
public:
    void setFillColour(Colour colour) override { benchmark::DoNotOptimize(colour); }
    void setBorderColour(Colour colour) override { benchmark::DoNotOptimize(colour); }
};

class NoConnection final : public DataConnection
{
};

struct Rig
{
    NoConnection connection;
    std::array<MemoryField, kFieldCount> fields;
    std::array<NullLamp, kLampCount> lamps;
    std::unique_ptr<Panel> panel;

    explicit Rig(const FieldValue& lampWord)
    {
        PanelElements elements;
        elements.DatCon1 = &connection;
        for (int i = 0; i < kFieldCount; ++i)
            elements.ZqNumber[i] = &fields[i];
        for (int i = 0; i < kLampCount; ++i)
            elements.Shape[i] = &lamps[i];
        fields[2].setValue(lampWord);
        fields[3].setValue(lampWord);
        panel = std::make_unique<Panel>(elements);
    }
};

void tick(benchmark::State& state, const FieldValue& lampWord)
{
    Rig rig(lampWord);
    for (auto _ : state)
        rig.panel->Timer1_Timer();
    state.counters["reads"] =
        benchmark::Counter(26.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}

void toInt32(benchmark::State& state, const FieldValue& value)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(toInt32ForAnd(value));
}

} // namespace

BENCHMARK_CAPTURE(tick, int16_word, FieldValue(std::int16_t(1151)));
BENCHMARK_CAPTURE(tick, double_word, FieldValue(1151.0));
BENCHMARK_CAPTURE(tick, text_word, FieldValue("1151"));
BENCHMARK_CAPTURE(toInt32, int16, FieldValue(std::int16_t(1151)));
BENCHMARK_CAPTURE(toInt32, double_half, FieldValue(2.5));
BENCHMARK_CAPTURE(toInt32, text, FieldValue(" 1.151e3 "));

BENCHMARK_MAIN();
