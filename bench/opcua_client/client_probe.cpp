// Our OPC UA client alone, without a window: from process start it connects (straight to the
// endpoint, no FindServers), resolves the namespaces, subscribes to the nodes at 1 ms sampling
// and publishing, runs for SECONDS and prints its figures as "name: value unit" lines:
//
//   connect_to_first_value_ms  process start to the first value delivered
//   connect_to_all_values_ms   process start to a value of every node
//   notifications              item values delivered
//   rss_mb                     resident memory (VmRSS) at the end
//   cpu_s                      CPU time of the whole process, user and system
//
// Usage: client_probe URL SECONDS NODE... [options]
//   --write-latency N NODE  after the first values, makes N Int16 writes to NODE back to back
//                           (each once the last was answered and reported back) and prints
//                           the write round trip and write-to-notification, median and p99
//   --toggle MS NODE        writes 1151 and 1150 to NODE in turn, every MS ms, all run long
//   --toggle-values A B     writes A and B instead
//   --log-changes           asks for source timestamps and prints every value delivered as
//                           "event change MONO_NS REAL_NS ITEM VALUE SOURCE_NS"
//   --interval-ms X         sampling and publishing interval asked for (default 1)
//   --trace                 prints "event state MONO_NS REAL_NS STATE MS_SINCE_START" at every
//                           change of the client's state
//   --progress              prints "event progress MONO_NS REAL_NS NOTIFICATIONS CPU_S" every
//                           second, so a harness can take figures over a window of the run
//   --security MODE POLICY DIR
//                           connects in security mode MODE (Sign or SignAndEncrypt) with
//                           POLICY (e.g. Basic256Sha256), anonymously, its certificates in the
//                           PKI folder DIR, where the server's must be in trusted/certs
//
// Process start is taken from BENCH_T0_MONO_NS (the shared monotonic clock, in ns) when a
// harness sets it just before starting the probe, else from the kernel's record of the
// process's start, which is kept in 10 ms steps.
#include "opcua/client/client.h"
#include "opcua/client/endpoint.h"
#include "opcua/eventloop.h"
#include "opcua/log.h"
#include "opcua/nodeid.h"
#include "opcua/sockets.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

std::int64_t monotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::int64_t realtimeNs()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// The process's start on the monotonic clock.
std::int64_t processStartNs()
{
    if (const char* given = std::getenv("BENCH_T0_MONO_NS"))
        return std::atoll(given);
    // Field 22 of /proc/self/stat: start time in clock ticks since boot.
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    std::istringstream fields(close == std::string::npos ? std::string() : text.substr(close + 2));
    std::string field;
    for (int i = 3; i < 22 && fields >> field; ++i) {
    }
    long long ticks = 0;
    fields >> ticks;
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const std::int64_t sinceBootNs = std::int64_t(boot.tv_sec) * 1'000'000'000 + boot.tv_nsec;
    const std::int64_t startNs = ticks * (1'000'000'000 / sysconf(_SC_CLK_TCK));
    return monotonicNs() - (sinceBootNs - startNs);
}

double residentMb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0; // the figure is in kB
    }
    return 0;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double quantile(std::vector<double> samples, double q)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = std::size_t(std::ceil(q * double(samples.size())));
    return samples[std::min(samples.size() - 1, rank == 0 ? 0 : rank - 1)];
}

// Whole numbers as they are, others with four significant digits, never in exponent form for
// figures of a thousand and more.
void printFigure(const char* name, double value, const char* unit)
{
    if (std::isfinite(value) && std::abs(value) < 1e15 && value == std::floor(value))
        std::printf("%s: %lld %s\n", name, static_cast<long long>(value), unit);
    else if (std::isfinite(value) && std::abs(value) >= 1000)
        std::printf("%s: %.1f %s\n", name, value, unit);
    else
        std::printf("%s: %.4g %s\n", name, value, unit);
}

std::optional<double> numberOf(const opcua::Variant& v)
{
    if (auto x = v.scalar<int16_t>())
        return double(*x);
    if (auto x = v.scalar<int32_t>())
        return double(*x);
    if (auto x = v.scalar<uint16_t>())
        return double(*x);
    if (auto x = v.scalar<uint32_t>())
        return double(*x);
    if (auto x = v.scalar<double>())
        return *x;
    if (auto x = v.scalar<float>())
        return double(*x);
    if (auto x = v.scalar<bool>())
        return *x ? 1.0 : 0.0;
    return std::nullopt;
}

struct Options
{
    std::string url;
    double seconds = 0;
    std::vector<std::string> nodes;
    int writeCount = 0;
    std::string writeNode;
    int toggleMs = 0;
    std::string toggleNode;
    int16_t toggleValues[2] = {1151, 1150};
    bool logChanges = false;
    bool progress = false;
    bool trace = false;
    double intervalMs = 1;
    opcua::SecuritySettings security;
};

const char* const kUsage =
    "usage: client_probe URL SECONDS NODE... [--write-latency N NODE] [--toggle MS NODE]\n"
    "                    [--toggle-values A B]\n"
    "                    [--log-changes] [--progress] [--trace]\n"
    "                    [--interval-ms X] [--security MODE POLICY DIR]\n";

std::optional<Options> parseOptions(int argc, char* argv[])
{
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--write-latency" && i + 2 < argc) {
            o.writeCount = std::atoi(argv[++i]);
            o.writeNode = argv[++i];
        } else if (a == "--toggle" && i + 2 < argc) {
            o.toggleMs = std::atoi(argv[++i]);
            o.toggleNode = argv[++i];
        } else if (a == "--toggle-values" && i + 2 < argc) {
            o.toggleValues[0] = int16_t(std::atoi(argv[++i]));
            o.toggleValues[1] = int16_t(std::atoi(argv[++i]));
        } else if (a == "--log-changes") {
            o.logChanges = true;
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--progress") {
            o.progress = true;
        } else if (a == "--interval-ms" && i + 1 < argc) {
            o.intervalMs = std::atof(argv[++i]);
        } else if (a == "--security" && i + 3 < argc) {
            const std::string mode = argv[++i];
            o.security.mode = mode == "Sign" ? opcua::MessageSecurityMode::Sign
                                             : opcua::MessageSecurityMode::SignAndEncrypt;
            o.security.policy = argv[++i];
            o.security.pkiFolder = argv[++i];
            if (mode != "Sign" && mode != "SignAndEncrypt")
                return std::nullopt;
        } else if (a.rfind("--", 0) == 0) {
            return std::nullopt;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() < 3)
        return std::nullopt;
    o.url = positional[0];
    o.seconds = std::atof(positional[1].c_str());
    o.nodes.assign(positional.begin() + 2, positional.end());
    if (!(o.seconds > 0 && o.seconds <= 3600) || o.writeCount < 0 || o.writeCount > 100000 ||
        o.toggleMs < 0 || o.toggleMs > 60000 || !(o.intervalMs >= 0 && o.intervalMs <= 60000))
        return std::nullopt;
    return o;
}

// Watches the client, makes the writes and keeps the figures.
class Probe final : public opcua::Client::Listener
{
public:
    Probe(const Options& options, std::int64_t startNs, opcua::EventLoop& loop)
        : m_options(options), m_startNs(startNs), m_loop(loop)
    {}

    void attach(opcua::Client& client, int itemCount, int writeItem, int toggleItem)
    {
        m_client = &client;
        m_itemCount = itemCount;
        m_seen.assign(std::size_t(itemCount), false);
        m_writeItem = writeItem;
        m_toggleItem = toggleItem;
    }

    void itemChanged(int item, const opcua::DataValue& value) override
    {
        const std::int64_t now = monotonicNs();
        const std::optional<double> number =
            value.value ? numberOf(*value.value) : std::optional<double>();
        if (m_options.logChanges) {
            const long long source =
                value.sourceTimestamp
                    ? (value.sourceTimestamp->ticks - opcua::DateTime::kUnixEpochTicks) * 100
                    : 0;
            std::printf("event change %lld %lld %d %g %lld\n", static_cast<long long>(now),
                        static_cast<long long>(realtimeNs()), item, number.value_or(NAN), source);
        }
        if (!value.value || value.statusOrGood().isBad())
            return;
        if (m_firstValueNs == 0)
            m_firstValueNs = now;
        if (item >= 0 && item < m_itemCount && !m_seen[std::size_t(item)]) {
            m_seen[std::size_t(item)] = true;
            if (++m_seenCount == m_itemCount) {
                m_allValuesNs = now;
                startWriting();
            }
        }
        if (item == m_writeItem && number)
            m_lastWritten = *number;
        if (item == m_writeItem && m_writing && number && *number == m_writeValue) {
            m_notifiedNs = now;
            finishWriteIfDone();
        }
    }

    void connectionLost(opcua::StatusCode status, const std::string& reason,
                        bool wasConnected) override
    {
        (void)status;
        std::fprintf(stderr, "client_probe: connection lost%s: %s\n",
                     wasConnected ? " after values flowed" : "", reason.c_str());
    }

    void itemRejected(int item, opcua::StatusCode status, const std::string& reason) override
    {
        (void)status;
        std::fprintf(stderr, "client_probe: item %d rejected: %s\n", item, reason.c_str());
    }

    void stateChanged(opcua::Client::State state) override
    {
        if (m_options.trace) {
            const std::string_view name = opcua::Client::stateName(state);
            std::printf("event state %lld %lld %.*s %.3f\n", static_cast<long long>(monotonicNs()),
                        static_cast<long long>(realtimeNs()), int(name.size()), name.data(),
                        double(monotonicNs() - m_startNs) / 1e6);
        }
        if (state == opcua::Client::State::Running && m_runningNs == 0)
            m_runningNs = monotonicNs();
    }

    void printFigures() const
    {
        const auto sinceStart = [this](std::int64_t t) {
            return t == 0 ? NAN : double(t - m_startNs) / 1e6;
        };
        printFigure("connect_to_first_value_ms", sinceStart(m_firstValueNs), "ms");
        printFigure("connect_to_all_values_ms", sinceStart(m_allValuesNs), "ms");
        printFigure("subscribed_ms", sinceStart(m_runningNs), "ms");
        printFigure("notifications", double(m_client->statistics().notifications), "count");
        if (m_options.writeCount > 0) {
            printFigure("writes", double(m_roundTripsMs.size()), "count");
            printFigure("write_round_trip_median", quantile(m_roundTripsMs, 0.5), "ms");
            printFigure("write_round_trip_p99", quantile(m_roundTripsMs, 0.99), "ms");
            printFigure("write_to_notification_median", quantile(m_toNotificationMs, 0.5), "ms");
            printFigure("write_to_notification_p99", quantile(m_toNotificationMs, 0.99), "ms");
        }
    }

    bool writesDone() const { return m_writesLeft == 0 && !m_writing; }

private:
    void startWriting()
    {
        if (m_writeItem >= 0) {
            m_writesLeft = m_options.writeCount;
            nextWrite();
        }
        if (m_toggleItem >= 0)
            scheduleToggle();
    }

    void scheduleToggle()
    {
        m_loop.start(std::chrono::milliseconds(m_options.toggleMs), [this] { toggleOnce(); });
    }

    void toggleOnce()
    {
        scheduleToggle();
        m_toggleValue = m_toggleValue == m_options.toggleValues[0] ? m_options.toggleValues[1]
                                                                   : m_options.toggleValues[0];
        const std::int64_t sent = monotonicNs();
        const bool ok = m_client->write(
            m_toggleItem, opcua::Variant::fromScalar<int16_t>(m_toggleValue), nullptr);
        if (m_options.logChanges)
            std::printf("event toggle %lld %lld %d %d\n", static_cast<long long>(sent),
                        static_cast<long long>(realtimeNs()), m_toggleItem,
                        ok ? m_toggleValue : -1);
    }

    void nextWrite()
    {
        if (m_writesLeft <= 0)
            return;
        --m_writesLeft;
        m_writeValue = m_lastWritten == 1151 ? 1150 : 1151;
        m_writing = true;
        m_answeredNs = 0;
        m_notifiedNs = 0;
        m_sentNs = monotonicNs();
        const std::uint64_t serial = ++m_serial;
        const bool sent = m_client->write(
            m_writeItem, opcua::Variant::fromScalar<int16_t>(int16_t(m_writeValue)),
            [this, serial](opcua::StatusCode status, const std::string& reason) {
                if (serial != m_serial)
                    return;
                if (status.isBad())
                    std::fprintf(stderr, "client_probe: write failed: %s\n", reason.c_str());
                m_answeredNs = monotonicNs();
                finishWriteIfDone();
            });
        if (!sent) {
            m_writing = false;
            std::fprintf(stderr, "client_probe: the write could not be sent\n");
            return;
        }
        // A write that is neither answered nor reported back within two seconds is given up.
        m_loop.start(std::chrono::milliseconds(2000), [this, serial] {
            if (serial == m_serial && m_writing) {
                std::fprintf(stderr, "client_probe: a write was not reported back in time\n");
                m_writing = false;
                nextWrite();
            }
        });
    }

    void finishWriteIfDone()
    {
        if (!m_writing || m_answeredNs == 0 || m_notifiedNs == 0)
            return;
        m_writing = false;
        m_roundTripsMs.push_back(double(m_answeredNs - m_sentNs) / 1e6);
        m_toNotificationMs.push_back(double(m_notifiedNs - m_sentNs) / 1e6);
        m_lastWritten = m_writeValue;
        // From the event loop, so the next write does not start inside this notification.
        m_loop.start(std::chrono::milliseconds(0), [this] { nextWrite(); });
    }

    const Options& m_options;
    std::int64_t m_startNs;
    opcua::Client* m_client = nullptr;
    int m_itemCount = 0;
    std::vector<bool> m_seen;
    int m_seenCount = 0;
    std::int64_t m_firstValueNs = 0;
    std::int64_t m_allValuesNs = 0;
    std::int64_t m_runningNs = 0;

    int m_writeItem = -1;
    int m_writesLeft = 0;
    bool m_writing = false;
    double m_writeValue = 0;
    double m_lastWritten = 0;
    std::uint64_t m_serial = 0;
    std::int64_t m_sentNs = 0;
    std::int64_t m_answeredNs = 0;
    std::int64_t m_notifiedNs = 0;
    std::vector<double> m_roundTripsMs;
    std::vector<double> m_toNotificationMs;

    int m_toggleItem = -1;
    int16_t m_toggleValue = 0;
    opcua::EventLoop& m_loop;
};

} // namespace

opcua::ClientSettings clientSettings(const Options& options, const opcua::Endpoint& endpoint)
{
    opcua::ClientSettings settings;
    settings.endpoint = endpoint;
    settings.applicationUri = opcua::String("urn:servo-panel:client-probe");
    settings.sessionName = opcua::String("client_probe");
    settings.publishingIntervalMs = options.intervalMs;
    settings.samplingIntervalMs = options.intervalMs;
    settings.security = options.security;
    if (options.logChanges)
        settings.monitoredTimestamps = opcua::TimestampsToReturn::Source;
    return settings;
}

// Stops the client and waits, at most two seconds, for it to close its session and channel.
void stopWithin(opcua::Client& client, opcua::EventLoop& loop)
{
    client.stop();
    const auto deadline = loop.now() + std::chrono::milliseconds(2000);
    while (client.state() != opcua::Client::State::Stopped && loop.now() < deadline)
        loop.runOnce(std::chrono::milliseconds(5));
}

int main(int argc, char* argv[])
{
    const std::int64_t startNs = processStartNs();
    // Lines go out as they are printed, so a harness reading a pipe sees events as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::optional<Options> options = parseOptions(argc, argv);
    if (options && options->trace)
        std::printf("event main %lld %lld %.3f\n", static_cast<long long>(monotonicNs()),
                    static_cast<long long>(realtimeNs()), double(monotonicNs() - startNs) / 1e6);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string error;
    const std::optional<opcua::Endpoint> endpoint = opcua::parseEndpoint(options->url, &error);
    if (!endpoint) {
        std::fprintf(stderr, "client_probe: %s\n", error.c_str());
        return 2;
    }

    // A probe wants its figures on standard output and only the warnings on standard error.
    opcua::StderrLogSink warnings(opcua::LogLevel::Warning);
    opcua::setLogSink(&warnings);
    opcua::EventLoop loop;
    Probe probe(*options, startNs, loop);
    opcua::Client client(clientSettings(*options, *endpoint), opcua::tcpStreamFactory(loop), loop,
                         probe);
    std::vector<std::string> nodes = options->nodes;
    const auto itemOf = [&nodes](const std::string& node) {
        if (node.empty())
            return -1;
        const auto found = std::find(nodes.begin(), nodes.end(), node);
        if (found != nodes.end())
            return int(found - nodes.begin());
        nodes.push_back(node);
        return int(nodes.size()) - 1;
    };
    const int writeItem = options->writeCount > 0 ? itemOf(options->writeNode) : -1;
    const int toggleItem = options->toggleMs > 0 ? itemOf(options->toggleNode) : -1;
    try {
        for (const std::string& node : nodes)
            client.addItem(opcua::parseExpandedNodeId(node));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "client_probe: %s\n", e.what());
        return 2;
    }
    probe.attach(client, int(nodes.size()), writeItem, toggleItem);
    client.start();

    // The run lasts SECONDS, longer only while the writes asked for are still going, and never
    // more than a minute beyond. Nothing polls before the end, so the probe costs no extra CPU.
    const std::int64_t hardDeadlineNs =
        monotonicNs() + std::int64_t(options->seconds * 1e9) + 60'000'000'000;
    std::function<void()> end = [&] {
        if (probe.writesDone() || monotonicNs() >= hardDeadlineNs)
            loop.quit();
        else
            loop.start(std::chrono::milliseconds(10), end);
    };
    loop.start(std::chrono::milliseconds(int64_t(options->seconds * 1000)), end);
    std::function<void()> progress = [&] {
        std::printf("event progress %lld %lld %llu %.6f\n", static_cast<long long>(monotonicNs()),
                    static_cast<long long>(realtimeNs()),
                    static_cast<unsigned long long>(client.statistics().notifications),
                    cpuSeconds());
        std::fflush(stdout);
        loop.start(std::chrono::milliseconds(1000), progress);
    };
    if (options->progress)
        loop.start(std::chrono::milliseconds(1000), progress);
    loop.run();

    const double cpu = cpuSeconds();
    const double rss = residentMb();
    probe.printFigures();
    printFigure("rss_mb", rss, "MB");
    printFigure("cpu_s", cpu, "s");
    std::fflush(stdout);

    stopWithin(client, loop);
    return 0;
}
