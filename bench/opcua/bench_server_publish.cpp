// What the server spends on one round of new values: eight variables (four words, four speeds,
// as a drive's are) each watched by one monitored item in each of 1 or 10 subscriptions, set
// once; then every subscription sends its Publish response, encoded and laid out in chunks on a
// channel with security None, and the client acknowledges it. Reports the time and the heap
// allocations per Publish response.
#include "bench/system/allocations.h"
#include "opcua/channelendpoint.h"
#include "opcua/server/subscription.h"

#include <benchmark/benchmark.h>
#include <map>
#include <memory>
#include <vector>

namespace {

using namespace opcua;
using std::chrono::milliseconds;

constexpr size_t kVariables = 8;

// Time moves only when told; timers fire when it passes their due time.
class SteppedClock final : public Clock
{
public:
    milliseconds now() const override { return m_now; }
    DateTime utcNow() const override { return DateTime::fromUnixMilliseconds(m_now.count()); }
    TimerId start(milliseconds delay, std::function<void()> callback) override
    {
        const TimerId id = m_nextId++;
        m_timers.emplace(id, Timer{m_now + std::max(delay, milliseconds(0)), std::move(callback)});
        return id;
    }
    void cancel(TimerId id) override { m_timers.erase(id); }

    void advance(milliseconds step)
    {
        m_now += step;
        for (auto it = m_timers.begin(); it != m_timers.end();) {
            if (it->second.due > m_now) {
                ++it;
                continue;
            }
            auto callback = std::move(it->second.callback);
            it = m_timers.erase(it);
            callback();
        }
    }

private:
    struct Timer
    {
        milliseconds due;
        std::function<void()> callback;
    };
    milliseconds m_now{1000};
    TimerId m_nextId = 1;
    std::map<TimerId, Timer> m_timers;
};

class CountingStream final : public Stream
{
public:
    void write(ByteView bytes) override { written += bytes.size(); }
    void close() override {}
    bool isOpen() const override { return true; }
    size_t written = 0;
};

// A session with a Publish request always queued, whose responses go out on a channel.
class ChannelSink final : public PublishSink
{
public:
    explicit ChannelSink(ChannelEndpoint& channel, Stream& stream)
        : m_channel(channel), m_stream(stream)
    {}
    bool hasPublishRequest() override { return true; }
    bool sendPublishResponse(PublishResponse& response) override
    {
        m_channel.send(m_stream, MessageType::Message, ++m_requestId, response);
        lastSequence = response.notificationMessage.sequenceNumber;
        ++sent;
        return true;
    }
    void subscriptionExpired(uint32_t) override {}

    uint32_t lastSequence = 0;
    uint64_t sent = 0;

private:
    ChannelEndpoint& m_channel;
    Stream& m_stream;
    uint32_t m_requestId = 0;
};

struct Server
{
    SteppedClock clock;
    AddressSpace space;
    std::vector<NodeId> ids;
    ChannelEndpoint channel{ChannelSide::Server, 65536};
    CountingStream stream;
    std::vector<std::unique_ptr<ChannelSink>> sinks;
    std::vector<std::unique_ptr<Subscription>> subscriptions;

    explicit Server(size_t subscriptionCount)
    {
        TransportLimits limits;
        channel.setLimits(limits);
        channel.open(1, 1, {});
        space.addNamespace("urn:bench");
        for (size_t i = 0; i < kVariables; ++i) {
            VariableDefinition definition;
            definition.id = NodeId(1, uint32_t(100 + i));
            definition.browseName = QualifiedName{1, String("V" + std::to_string(i))};
            definition.parent = NodeId(0, ids::ObjectsFolder);
            definition.value = valueOf(i, 0);
            space.addVariable(definition);
            ids.push_back(definition.id);
        }
        for (size_t s = 0; s < subscriptionCount; ++s) {
            sinks.push_back(std::make_unique<ChannelSink>(channel, stream));
            subscriptions.push_back(std::make_unique<Subscription>(
                uint32_t(s + 1), *sinks.back(), clock, space, SubscriptionLimits{}));
            subscriptions.back()->configure(100.0, 3000, 10, 0, 0);
            for (size_t i = 0; i < kVariables; ++i) {
                MonitoredItemCreateRequest request;
                request.itemToMonitor.nodeId = ids[i];
                request.itemToMonitor.attributeId = uint32_t(AttributeId::Value);
                request.monitoringMode = MonitoringMode::Reporting;
                request.requestedParameters.clientHandle = uint32_t(i + 1);
                request.requestedParameters.samplingInterval = 100.0;
                subscriptions.back()->createMonitoredItem(request, TimestampsToReturn::Both);
            }
        }
        round(1); // the first values
    }

    static Variant valueOf(size_t variable, int round)
    {
        return variable % 2 == 0 ? Variant::fromScalar(int16_t(variable * 100 + size_t(round)))
                                 : Variant::fromScalar(double(round) * 12.5 + double(variable));
    }

    void round(int n)
    {
        for (size_t i = 0; i < kVariables; ++i)
            space.setValue(ids[i], valueOf(i, n), status::Good, clock.utcNow());
        clock.advance(milliseconds(100));
        for (size_t s = 0; s < subscriptions.size(); ++s)
            subscriptions[s]->acknowledge(sinks[s]->lastSequence);
    }
};

void publishRound(benchmark::State& state)
{
    Server server(size_t(state.range(0)));
    int n = 1;
    uint64_t sent = 0;
    const auto allocationsBefore = bench::allocations();
    for (auto _ : state) {
        server.round(++n);
        sent += server.subscriptions.size();
    }
    const auto allocations = bench::allocations() - allocationsBefore;
    state.SetItemsProcessed(int64_t(sent));
    state.counters["allocs/publish"] = double(allocations) / double(sent);
    state.counters["allocs/value"] = double(allocations) / double(sent * kVariables);
    state.counters["bytes/publish"] = double(server.stream.written) / double(sent);
    state.SetLabel("items: Publish responses of 8 values");
}

} // namespace

BENCHMARK(publishRound)->Arg(1)->Arg(10);

BENCHMARK_MAIN();
