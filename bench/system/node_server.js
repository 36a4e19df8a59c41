// A node-opcua server with the simulated drives' eight items, for timing clients against a
// server that is not ours: namespace urn:servo-panel:sim, string ids Servo2.CommandWord (Int16,
// read/write), Servo2.LampWord (Int16, read-only, takes the command word over after
// --lamp-delay-ms), Servo2.SetSpeed (Double, read/write), Servo2.ActualSpeed (Double, read-only)
// and the same for Servo3. Sampling and publishing as fast as 1 ms.
//
// Usage: node node_server.js --port N [--seconds S] [--lamp-delay-ms MS]
// Listens on 127.0.0.1 only. Prints "listening PORT" once it serves, and stops by itself when
// stdin closes or after S seconds (default 600).
"use strict";

const path = require("path");
const opcua = require(path.join(__dirname, "../../tests/interop/node_modules/node-opcua"));

function option(name, fallback) {
    const i = process.argv.indexOf(name);
    return i >= 0 && i + 1 < process.argv.length ? Number(process.argv[i + 1]) : fallback;
}

const port = option("--port", NaN);
const seconds = option("--seconds", 600);
const lampDelayMs = option("--lamp-delay-ms", 50);
if (!(port > 0 && port < 65536) || !(seconds > 0 && seconds <= 3600) || !(lampDelayMs >= 0)) {
    process.stderr.write("usage: node node_server.js --port N [--seconds S] [--lamp-delay-ms MS]\n");
    process.exit(2);
}

// node-opcua's floors are 50 ms; the drives' items are meant to be watched at 1 ms.
opcua.Subscription.minimumPublishingInterval = 1;
opcua.MonitoredItem.minimumSamplingInterval = 1;

async function main() {
    const server = new opcua.OPCUAServer({
        port,
        hostname: "127.0.0.1",
        alternateHostname: [],
        securityPolicies: [opcua.SecurityPolicy.None],
        securityModes: [opcua.MessageSecurityMode.None],
        allowAnonymous: true,
        disableDiscovery: true,
        serverInfo: { applicationUri: "urn:servo-panel:bench:node-server" },
    });
    await server.initialize();

    const addressSpace = server.engine.addressSpace;
    const namespace = addressSpace.registerNamespace("urn:servo-panel:sim");
    const objects = addressSpace.rootFolder.objects;
    const timers = new Set();

    for (const servo of ["Servo2", "Servo3"]) {
        const drive = namespace.addObject({ organizedBy: objects, browseName: servo });
        const variable = (name, dataType, value, writable) =>
            namespace.addVariable({
                componentOf: drive,
                nodeId: `s=${servo}.${name}`,
                browseName: name,
                dataType,
                minimumSamplingInterval: 1,
                accessLevel: writable ? "CurrentRead | CurrentWrite" : "CurrentRead",
                userAccessLevel: writable ? "CurrentRead | CurrentWrite" : "CurrentRead",
                value: { dataType, value },
            });
        const command = variable("CommandWord", opcua.DataType.Int16, 1150, true);
        const lamp = variable("LampWord", opcua.DataType.Int16, 1150, false);
        variable("SetSpeed", opcua.DataType.Double, 70.25, true);
        variable("ActualSpeed", opcua.DataType.Double, 0, false);
        command.on("value_changed", (dataValue) => {
            const word = dataValue.value.value;
            const timer = setTimeout(() => {
                timers.delete(timer);
                lamp.setValueFromSource({ dataType: opcua.DataType.Int16, value: word });
            }, lampDelayMs);
            timers.add(timer);
        });
    }

    await server.start();
    process.stdout.write(`listening ${port}\n`);

    let stopping = false;
    const stop = async () => {
        if (stopping)
            return;
        stopping = true;
        for (const timer of timers)
            clearTimeout(timer);
        await server.shutdown(0);
        process.exit(0);
    };
    process.stdin.on("end", stop);
    process.stdin.on("error", stop);
    process.stdin.resume();
    setTimeout(stop, seconds * 1000).unref();
    process.on("SIGTERM", stop);
}

main().catch((error) => {
    process.stderr.write(`node_server: ${error.stack || error}\n`);
    process.exit(1);
});
