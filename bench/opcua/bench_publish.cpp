// How many Publish responses carrying a DataChangeNotification the decoder takes apart per
// second on one core: with 8 items (all the panel's fields changing at once) and with 1, and
// the heap allocations each takes.
#include "bench/system/allocations.h"
#include "opcua/services.h"

#include <benchmark/benchmark.h>

namespace {

opcua::ByteBuffer publishResponse(int items)
{
    using namespace opcua;
    PublishResponse r;
    r.responseHeader.timestamp = DateTime::fromUnixMilliseconds(1700000000000);
    r.responseHeader.requestHandle = 17;
    r.subscriptionId = 1;
    r.availableSequenceNumbers = {41, 42};
    r.notificationMessage.sequenceNumber = 42;
    r.notificationMessage.publishTime = DateTime::fromUnixMilliseconds(1700000000100);
    DataChangeNotification change;
    for (int i = 0; i < items; ++i) {
        MonitoredItemNotification n;
        n.clientHandle = uint32_t(i + 1);
        // Half words, half speeds, as the panel's items are.
        n.value.value = i % 2 == 0 ? Variant::fromScalar(uint16_t(0x1234 + i))
                                   : Variant::fromScalar(double(i) * 12.5);
        n.value.status = status::Good;
        n.value.sourceTimestamp = DateTime::fromUnixMilliseconds(1700000000050 + i);
        n.value.serverTimestamp = DateTime::fromUnixMilliseconds(1700000000060 + i);
        change.monitoredItems.push_back(n);
    }
    r.notificationMessage.notificationData = {change};
    r.results = {status::Good};
    return encodeServiceMessage(r);
}

void decodePublishResponse(benchmark::State& state)
{
    const opcua::ByteBuffer encoded = publishResponse(int(state.range(0)));
    const auto allocationsBefore = bench::allocations();
    for (auto _ : state) {
        auto message = opcua::decodeServiceMessage(encoded);
        benchmark::DoNotOptimize(message);
    }
    state.counters["allocs/decode"] =
        double(bench::allocations() - allocationsBefore) / double(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * int64_t(encoded.size()));
    state.SetLabel(std::to_string(encoded.size()) + " bytes");
}

} // namespace

BENCHMARK(decodePublishResponse)->Arg(1)->Arg(8);

BENCHMARK_MAIN();
