// node-opcua's client doing what client_probe does, as the independent peer it is compared
// with: from process start it connects, resolves the namespaces, subscribes to the nodes at
// 1 ms sampling and publishing, runs for SECONDS and prints the same figures, as
// "name: value unit" lines: connect_to_first_value_ms, connect_to_all_values_ms, subscribed_ms,
// notifications, rss_mb (VmRSS at the end), cpu_s (whole process, user and system).
//
// Usage: node node_client.js URL SECONDS NODE... [--write-latency N NODE] [--progress]
// --progress prints "event progress MONO_NS REAL_NS NOTIFICATIONS CPU_S" every second.
// Node ids may name their namespace by URI ("nsu=URI;s=Name"); they are resolved against the
// server's namespace array, as our client does. Process start is taken from BENCH_T0_MONO_NS
// (shared monotonic clock, ns) when the harness sets it, else from Node's own time origin.
"use strict";

const fs = require("fs");
const path = require("path");
const opcua = require(path.join(__dirname, "../../tests/interop/node_modules/node-opcua"));

const started = process.env.BENCH_T0_MONO_NS
    ? BigInt(process.env.BENCH_T0_MONO_NS)
    : process.hrtime.bigint() - BigInt(Math.round(performance.now() * 1e6));
const msSinceStart = (t) => (t === null ? NaN : Number(t - started) / 1e6);

function usage() {
    process.stderr.write("usage: node node_client.js URL SECONDS NODE... [--write-latency N NODE] [--progress]\n");
    process.exit(2);
}

const positional = [];
let writeCount = 0;
let writeNode = null;
let progress = false;
for (let i = 2; i < process.argv.length; ++i) {
    const a = process.argv[i];
    if (a === "--write-latency" && i + 2 < process.argv.length) {
        writeCount = Number(process.argv[++i]);
        writeNode = process.argv[++i];
    } else if (a === "--progress") {
        progress = true;
    } else if (a.startsWith("--")) {
        usage();
    } else {
        positional.push(a);
    }
}
if (positional.length < 3)
    usage();
const [url, secondsText, ...nodes] = positional;
const seconds = Number(secondsText);
if (!(seconds > 0 && seconds <= 3600) || !(writeCount >= 0 && writeCount <= 100000))
    usage();
if (writeNode && !nodes.includes(writeNode))
    nodes.push(writeNode);

function residentMb() {
    const match = /VmRSS:\s+(\d+)/.exec(fs.readFileSync("/proc/self/status", "utf8"));
    return match ? Number(match[1]) / 1024 : NaN;
}

function quantile(samples, q) {
    if (samples.length === 0)
        return 0;
    const sorted = [...samples].sort((a, b) => a - b);
    const rank = Math.ceil(q * sorted.length);
    return sorted[Math.min(sorted.length - 1, Math.max(rank - 1, 0))];
}

function figure(name, value, unit) {
    const text = Number.isInteger(value) ? String(value) : value.toPrecision(4);
    process.stdout.write(`${name}: ${text} ${unit}\n`);
}

// "nsu=URI;rest" becomes "ns=N;rest" with N the URI's index in the server's namespace array.
function resolveNodeId(text, namespaces) {
    const match = /^nsu=([^;]*);(.*)$/.exec(text);
    if (!match)
        return opcua.resolveNodeId(text);
    const index = namespaces.indexOf(match[1]);
    if (index < 0)
        throw new Error(`namespace ${match[1]} is not on the server`);
    return opcua.resolveNodeId(`ns=${index};${match[2]}`);
}

async function main() {
    const hardStop = setTimeout(() => {
        process.stderr.write("node_client: did not finish in time\n");
        process.exit(1);
    }, (seconds + 60) * 1000);

    const client = opcua.OPCUAClient.create({
        applicationName: "node-client-bench",
        endpointMustExist: false,
        securityMode: opcua.MessageSecurityMode.None,
        securityPolicy: opcua.SecurityPolicy.None,
        connectionStrategy: { initialDelay: 100, maxDelay: 1000, maxRetry: 20 },
        keepSessionAlive: false,
    });
    await client.connect(url);
    const session = await client.createSession();
    const namespaces = await session.readNamespaceArray();
    const nodeIds = nodes.map((n) => resolveNodeId(n, namespaces));

    const subscription = opcua.ClientSubscription.create(session, {
        requestedPublishingInterval: 1,
        requestedLifetimeCount: 60000,
        requestedMaxKeepAliveCount: 1000,
        maxNotificationsPerPublish: 0,
        publishingEnabled: true,
        priority: 10,
    });
    await new Promise((resolve, reject) => {
        subscription.once("started", resolve);
        subscription.once("internal_error", reject);
    });
    const subscribed = process.hrtime.bigint();

    let firstValue = null;
    let allValues = null;
    let notifications = 0;
    const seen = new Set();
    let onWriteNotified = null;
    const group = await opcua.ClientMonitoredItemGroup.create(
        subscription,
        nodeIds.map((nodeId) => ({ nodeId, attributeId: opcua.AttributeIds.Value })),
        { samplingInterval: 1, discardOldest: true, queueSize: 1 },
        opcua.TimestampsToReturn.Neither);
    group.on("changed", (item, dataValue) => {
        const now = process.hrtime.bigint();
        ++notifications;
        if (!dataValue.statusCode.isGood())
            return;
        if (firstValue === null)
            firstValue = now;
        const index = nodeIds.findIndex((id) => id.toString() === item.itemToMonitor.nodeId.toString());
        if (!seen.has(index)) {
            seen.add(index);
            if (seen.size === nodeIds.length)
                allValues = now;
        }
        if (onWriteNotified && index === nodes.indexOf(writeNode))
            onWriteNotified(dataValue.value.value, now);
    });

    const progressTimer = progress
        ? setInterval(() => {
              const cpu = process.cpuUsage();
              const realNs = BigInt(Date.now()) * 1000000n;
              process.stdout.write(`event progress ${process.hrtime.bigint()} ${realNs} ` +
                                   `${notifications} ${((cpu.user + cpu.system) / 1e6).toFixed(6)}\n`);
          }, 1000)
        : null;

    const roundTrips = [];
    const toNotification = [];
    const runEnd = Date.now() + seconds * 1000;
    if (writeCount > 0) {
        while (allValues === null && Date.now() < runEnd)
            await new Promise((r) => setTimeout(r, 1));
        let last = 1150;
        for (let i = 0; i < writeCount; ++i) {
            const value = last === 1151 ? 1150 : 1151;
            const sent = process.hrtime.bigint();
            let notified = null;
            const reported = new Promise((resolve) => {
                onWriteNotified = (v, t) => {
                    if (v === value && notified === null) {
                        notified = t;
                        resolve();
                    }
                };
            });
            const status = await session.write({
                nodeId: nodeIds[nodes.indexOf(writeNode)],
                attributeId: opcua.AttributeIds.Value,
                value: { value: { dataType: opcua.DataType.Int16, value } },
            });
            const answered = process.hrtime.bigint();
            if (!status.isGood())
                process.stderr.write(`node_client: write failed: ${status.toString()}\n`);
            await Promise.race([reported, new Promise((r) => setTimeout(r, 2000))]);
            onWriteNotified = null;
            if (notified !== null) {
                roundTrips.push(Number(answered - sent) / 1e6);
                toNotification.push(Number(notified - sent) / 1e6);
            }
            last = value;
        }
    }
    const left = runEnd - Date.now();
    if (left > 0)
        await new Promise((r) => setTimeout(r, left));

    if (progressTimer)
        clearInterval(progressTimer);
    const cpu = process.cpuUsage();
    const rss = residentMb();
    figure("connect_to_first_value_ms", msSinceStart(firstValue), "ms");
    figure("connect_to_all_values_ms", msSinceStart(allValues), "ms");
    figure("subscribed_ms", msSinceStart(subscribed), "ms");
    figure("notifications", notifications, "count");
    if (writeCount > 0) {
        figure("writes", roundTrips.length, "count");
        figure("write_round_trip_median", quantile(roundTrips, 0.5), "ms");
        figure("write_round_trip_p99", quantile(roundTrips, 0.99), "ms");
        figure("write_to_notification_median", quantile(toNotification, 0.5), "ms");
        figure("write_to_notification_p99", quantile(toNotification, 0.99), "ms");
    }
    figure("rss_mb", rss, "MB");
    figure("cpu_s", (cpu.user + cpu.system) / 1e6, "s");

    await subscription.terminate().catch(() => {});
    await session.close().catch(() => {});
    await client.disconnect().catch(() => {});
    clearTimeout(hardStop);
    process.exit(0);
}

main().catch((error) => {
    process.stderr.write(`node_client: ${error.stack || error}\n`);
    process.exit(1);
});
