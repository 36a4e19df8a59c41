// What a change of one variable and the end of many monitored items cost the server when a
// node is watched by tens of thousands of items (10 sessions of 1,000 to 6,000 items each on
// one turning node): telling every watcher of one new value, and removing 1,000 watchers of
// 60,000 (a session closing) and adding them again.
#include "opcua/server/addressspace.h"

#include <benchmark/benchmark.h>
#include <memory>
#include <vector>

namespace {

using namespace opcua;

struct CountingWatcher final : ValueWatcher
{
    uint64_t told = 0;
    void valueChanged(const DataValue&) override { ++told; }
};

// An address space with one variable watched by `count` watchers.
struct WatchedVariable
{
    AddressSpace space;
    NodeId id{1, "Speed"};
    std::vector<std::unique_ptr<CountingWatcher>> watchers;

    explicit WatchedVariable(size_t count)
    {
        space.addNamespace("urn:bench");
        VariableDefinition definition;
        definition.id = id;
        definition.browseName = QualifiedName{1, String("Speed")};
        definition.parent = NodeId(0, ids::ObjectsFolder);
        definition.dataType = NodeId(0, ids::Double);
        definition.value = Variant::fromScalar(0.0);
        space.addVariable(definition);
        for (size_t i = 0; i < count; ++i) {
            watchers.push_back(std::make_unique<CountingWatcher>());
            space.watch(node(), watchers.back().get());
        }
    }

    AddressSpace::Node& node() { return *space.find(id); }

    ~WatchedVariable()
    {
        for (auto& watcher : watchers)
            space.unwatch(node(), watcher.get());
    }
};

void setValueTellsEveryWatcher(benchmark::State& state)
{
    WatchedVariable variable(size_t(state.range(0)));
    double value = 0;
    for (auto _ : state)
        variable.space.setValue(variable.id, Variant::fromScalar(value += 1));
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetLabel("items: watchers told");
}

void removeAndAddWatchers(benchmark::State& state)
{
    constexpr size_t kWatchers = 60000;
    const auto removed = size_t(state.range(0));
    WatchedVariable variable(kWatchers);
    // Spread over the list, as one session's items are among the others'.
    std::vector<CountingWatcher*> chosen;
    for (size_t i = 0; i < removed; ++i)
        chosen.push_back(variable.watchers[i * (kWatchers / removed)].get());
    for (auto _ : state) {
        for (CountingWatcher* watcher : chosen)
            variable.space.unwatch(variable.node(), watcher);
        for (CountingWatcher* watcher : chosen)
            variable.space.watch(variable.node(), watcher);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(removed));
    state.SetLabel("items: watchers removed and added");
}

} // namespace

BENCHMARK(setValueTellsEveryWatcher)->Arg(10000)->Arg(60000)->Unit(benchmark::kMicrosecond);
BENCHMARK(removeAndAddWatchers)->Arg(1000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
