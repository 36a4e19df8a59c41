// node-opcua's client against our server (servo-sim): one case per run.
//   node conformance.js URL CASE [PKI_DIR]
// Exits 0 when the case holds, 1 with a message otherwise. Every wait is bounded.
"use strict";
const path = require("path");
const os = require("os");
const { spawn } = require("child_process");
const opcua = require("node-opcua");

const [url, which, pkiArg] = process.argv.slice(2);
const pki = pkiArg || path.join(os.tmpdir(), "servo-panel-interop-server-pki");
const SIM = "urn:servo-panel:sim";
const SERVOS = ["Servo2", "Servo3"];
const VARIABLES = {
    CommandWord: { dataType: opcua.DataType.Int16, access: 3 },
    LampWord: { dataType: opcua.DataType.Int16, access: 1 },
    SetSpeed: { dataType: opcua.DataType.Double, access: 3 },
    ActualSpeed: { dataType: opcua.DataType.Double, access: 1 },
};

function check(condition, message) {
    if (!condition) throw new Error(message);
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function waitFor(what, ms, predicate) {
    const end = Date.now() + ms;
    while (Date.now() < end) {
        if (await predicate()) return;
        await sleep(10);
    }
    throw new Error("timed out waiting for " + what);
}

async function connect(options = {}) {
    const client = opcua.OPCUAClient.create({
        endpointMustExist: false,
        connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
        clientCertificateManager: new opcua.OPCUACertificateManager({
            rootFolder: pki,
            automaticallyAcceptUnknownCertificate: true,
        }),
        requestedSessionTimeout: options.sessionTimeout || 60000,
        keepSessionAlive: false,
    });
    await client.connect(url);
    const session = await client.createSession();
    const namespaces = await session.readNamespaceArray();
    const ns = namespaces.indexOf(SIM);
    check(ns > 0, "namespace array lacks " + SIM + ": " + JSON.stringify(namespaces));
    const id = (servo, variable) => `ns=${ns};s=${servo}.${variable}`;
    return { client, session, ns, id };
}

async function close(c) {
    await c.session.close();
    await c.client.disconnect();
}

async function writeValue(c, nodeId, dataType, value) {
    return c.session.write({
        nodeId,
        attributeId: opcua.AttributeIds.Value,
        value: { value: { dataType, value } },
    });
}

async function readValue(c, nodeId) {
    const dv = await c.session.read({ nodeId, attributeId: opcua.AttributeIds.Value });
    check(dv.statusCode.isGood(), `read ${nodeId}: ${dv.statusCode.toString()}`);
    return dv.value.value;
}

const cases = {
    // Objects -> Servo2/Servo3 -> the four variables, by Browse, BrowseNext and
    // TranslateBrowsePathsToNodeIds.
    async browse() {
        const c = await connect();
        const objects = await c.session.browse({
            nodeId: "ObjectsFolder",
            referenceTypeId: "HierarchicalReferences",
            includeSubtypes: true,
            browseDirection: opcua.BrowseDirection.Forward,
            resultMask: 0x3f,
        });
        check(objects.statusCode.isGood(), "browse Objects: " + objects.statusCode.toString());
        const names = objects.references.map((r) => r.browseName.toString());
        for (const servo of SERVOS) {
            const ref = objects.references.find((r) => r.browseName.name === servo);
            check(ref, `no ${servo} under Objects: ${names}`);
            check(ref.browseName.namespaceIndex === c.ns, `${servo} browse name namespace`);
            check(ref.nodeClass === opcua.NodeClass.Object, `${servo} is not an object`);
            check(ref.typeDefinition.toString() === "ns=0;i=58", `${servo} type definition`);

            const children = await c.session.browse({
                nodeId: ref.nodeId,
                referenceTypeId: "HasComponent",
                includeSubtypes: true,
                browseDirection: opcua.BrowseDirection.Forward,
                resultMask: 0x3f,
            });
            const found = children.references.map((r) => r.browseName.name).sort();
            check(JSON.stringify(found) === JSON.stringify(Object.keys(VARIABLES).sort()),
                `${servo} children: ${found}`);
            for (const r of children.references) {
                check(r.nodeClass === opcua.NodeClass.Variable, `${r.browseName} class`);
                check(r.nodeId.toString() === c.id(servo, r.browseName.name), `${r.nodeId}`);
                check(r.typeDefinition.toString() === "ns=0;i=63", `${r.browseName} type`);
            }
            // Upwards again: the inverse reference.
            const parents = await c.session.browse({
                nodeId: c.id(servo, "LampWord"),
                browseDirection: opcua.BrowseDirection.Inverse,
                referenceTypeId: "HasComponent",
                resultMask: 0x3f,
            });
            check(parents.references.length === 1
                && parents.references[0].nodeId.toString() === ref.nodeId.toString(),
                "LampWord's parent");
        }

        // One reference at a time, the rest by BrowseNext.
        c.session.requestedMaxReferencesPerNode = 1;
        let result = await c.session.browse({
            nodeId: `ns=${c.ns};s=Servo3`, referenceTypeId: "HasComponent",
            browseDirection: opcua.BrowseDirection.Forward, resultMask: 0x3f,
        });
        let seen = result.references.length;
        let rounds = 0;
        while (result.continuationPoint && result.continuationPoint.length > 0 && rounds++ < 10) {
            result = await c.session.browseNext(result.continuationPoint, false);
            check(result.statusCode.isGood(), "browseNext: " + result.statusCode.toString());
            seen += result.references.length;
        }
        check(seen === 4, "BrowseNext delivered " + seen + " references");
        c.session.requestedMaxReferencesPerNode = 0;

        const paths = SERVOS.map((servo) => opcua.makeBrowsePath("RootFolder",
            `/Objects/${c.ns}:${servo}/${c.ns}:LampWord`));
        paths.push(opcua.makeBrowsePath("RootFolder", `/Objects/${c.ns}:Servo4`));
        const translated = await c.session.translateBrowsePath(paths);
        for (let i = 0; i < SERVOS.length; ++i) {
            check(translated[i].statusCode.isGood(), "translate " + SERVOS[i]);
            check(translated[i].targets[0].targetId.toString() === c.id(SERVOS[i], "LampWord"),
                "translated to " + translated[i].targets[0].targetId.toString());
        }
        check(translated[2].statusCode.equals(opcua.StatusCodes.BadNoMatch), "Servo4 matched");
        await close(c);
    },

    // Values, data types and access levels of the eight variables, and the server's status.
    async read() {
        const c = await connect();
        for (const servo of SERVOS) {
            for (const [name, expected] of Object.entries(VARIABLES)) {
                const nodeId = c.id(servo, name);
                const [value, dataType, access] = await c.session.read([
                    { nodeId, attributeId: opcua.AttributeIds.Value },
                    { nodeId, attributeId: opcua.AttributeIds.DataType },
                    { nodeId, attributeId: opcua.AttributeIds.AccessLevel },
                ]);
                check(value.statusCode.isGood(), `${nodeId}: ${value.statusCode.toString()}`);
                check(value.value.dataType === expected.dataType, `${nodeId} value type`);
                check(dataType.value.value.toString() === `ns=0;i=${expected.dataType}`,
                    `${nodeId} DataType ${dataType.value.value.toString()}`);
                check(access.value.value === expected.access, `${nodeId} AccessLevel`);
            }
            const setSpeed = await readValue(c, c.id(servo, "SetSpeed"));
            check(setSpeed >= 0 && setSpeed <= 100, "set speed " + setSpeed);
        }
        const state = await readValue(c, "i=2259");
        check(state === 0, "server state " + state);
        const status = await c.session.read({ nodeId: "i=2256", attributeId: 13 });
        check(status.statusCode.isGood(), "ServerStatus " + status.statusCode.toString());
        check(status.value.value.state === 0, "ServerStatus.state");
        const unknown = await c.session.read({ nodeId: `ns=${c.ns};s=Servo9.LampWord` });
        check(unknown.statusCode.equals(opcua.StatusCodes.BadNodeIdUnknown), "unknown node");
        await close(c);
    },

    // Writes of the right type land; the rest are refused with the right status.
    async write() {
        const c = await connect();
        const cmd = c.id("Servo2", "CommandWord");
        const set = c.id("Servo2", "SetSpeed");
        let s = await writeValue(c, cmd, opcua.DataType.Int16, 1234);
        check(s.isGood(), "Int16 write " + s.toString());
        check(await readValue(c, cmd) === 1234, "command word read back");
        s = await writeValue(c, set, opcua.DataType.Double, 42.5);
        check(s.isGood(), "Double write " + s.toString());
        check(await readValue(c, set) === 42.5, "set speed read back");

        const refused = [
            [cmd, opcua.DataType.Int32, 1151, opcua.StatusCodes.BadTypeMismatch],
            [cmd, opcua.DataType.Double, 1151, opcua.StatusCodes.BadTypeMismatch],
            [cmd, opcua.DataType.String, "1151", opcua.StatusCodes.BadTypeMismatch],
            [set, opcua.DataType.Float, 10, opcua.StatusCodes.BadTypeMismatch],
            [set, opcua.DataType.Double, 150, opcua.StatusCodes.BadOutOfRange],
            [c.id("Servo2", "LampWord"), opcua.DataType.Int16, 1151,
                opcua.StatusCodes.BadNotWritable],
            [c.id("Servo3", "ActualSpeed"), opcua.DataType.Double, 1,
                opcua.StatusCodes.BadNotWritable],
            [`ns=${c.ns};s=Servo9.CommandWord`, opcua.DataType.Int16, 1,
                opcua.StatusCodes.BadNodeIdUnknown],
        ];
        for (const [nodeId, dataType, value, expected] of refused) {
            s = await writeValue(c, nodeId, dataType, value);
            check(s.equals(expected), `${nodeId} ${opcua.DataType[dataType]}: ${s.toString()}`);
        }
        check(await readValue(c, cmd) === 1234, "a refused write changed the command word");
        check(await readValue(c, set) === 42.5, "a refused write changed the set speed");
        await writeValue(c, cmd, opcua.DataType.Int16, 1150);
        await writeValue(c, set, opcua.DataType.Double, 70.25);
        await close(c);
    },

    // A 1 ms subscription: the lamp word follows a written command word, the speed ramps.
    async subscribe() {
        const c = await connect();
        const cmd = c.id("Servo2", "CommandWord");
        await writeValue(c, cmd, opcua.DataType.Int16, 1150);
        const sub = await c.session.createSubscription2({
            requestedPublishingInterval: 1,
            requestedMaxKeepAliveCount: 100,
            requestedLifetimeCount: 1000,
            publishingEnabled: true,
        });
        check(sub.publishingInterval === 1, "revised publishing interval " + sub.publishingInterval);
        const seen = { LampWord: [], ActualSpeed: [] };
        for (const name of Object.keys(seen)) {
            const item = await sub.monitor(
                { nodeId: c.id("Servo2", name), attributeId: opcua.AttributeIds.Value },
                { samplingInterval: 1, queueSize: 1, discardOldest: true },
                opcua.TimestampsToReturn.Both);
            item.on("changed", (dv) => seen[name].push(dv.value.value));
        }
        await waitFor("initial lamp word", 3000, () => seen.LampWord.includes(1150));
        await writeValue(c, cmd, opcua.DataType.Int16, 1151);
        await waitFor("lamp word 1151", 3000, () => seen.LampWord.includes(1151));
        await waitFor("speed rising", 3000, () => seen.ActualSpeed.some((v) => v > 50));
        await writeValue(c, cmd, opcua.DataType.Int16, 1150);
        await waitFor("lamp word back to 1150", 3000,
            () => seen.LampWord.lastIndexOf(1150) > seen.LampWord.indexOf(1151));
        await sub.terminate();
        await close(c);
    },

    // Five clients with their own sessions and subscriptions all see one client's write.
    async "many-clients"() {
        const clients = await Promise.all([0, 1, 2, 3, 4].map(() => connect()));
        const lamps = clients.map(() => []);
        const subs = [];
        for (let i = 0; i < clients.length; ++i) {
            const sub = await clients[i].session.createSubscription2({
                requestedPublishingInterval: 10, requestedMaxKeepAliveCount: 20,
                requestedLifetimeCount: 200, publishingEnabled: true,
            });
            const item = await sub.monitor(
                { nodeId: clients[i].id("Servo3", "LampWord"), attributeId: 13 },
                { samplingInterval: 5, queueSize: 1 }, opcua.TimestampsToReturn.Both);
            item.on("changed", (dv) => lamps[i].push(dv.value.value));
            subs.push(sub);
        }
        const cmd = clients[0].id("Servo3", "CommandWord");
        await writeValue(clients[0], cmd, opcua.DataType.Int16, 1151);
        await waitFor("every client sees 1151", 3000, () => lamps.every((l) => l.includes(1151)));
        await writeValue(clients[3], cmd, opcua.DataType.Int16, 1150);
        await waitFor("every client sees 1150 again", 3000,
            () => lamps.every((l) => l.lastIndexOf(1150) > l.indexOf(1151)));
        for (const sub of subs) await sub.terminate();
        await Promise.all(clients.map(close));
    },

    // A client that opens a session and a subscription and then dies without closing.
    async "vanish-child"() {
        const c = await connect({ sessionTimeout: 1000 });
        const sub = await c.session.createSubscription2({
            requestedPublishingInterval: 50, requestedMaxKeepAliveCount: 10,
            requestedLifetimeCount: 100, publishingEnabled: true,
        });
        await sub.monitor({ nodeId: c.id("Servo2", "LampWord"), attributeId: 13 },
            { samplingInterval: 10, queueSize: 1 }, opcua.TimestampsToReturn.Both);
        console.log("child ready");
        process.exit(0); // no CloseSession, no CloseSecureChannel
    },

    // ... whose session times out while the server keeps serving. The counts come from the
    // server's diagnostics summary.
    async vanish() {
        const c = await connect();
        const sessions = await readValue(c, "i=2277"); // CurrentSessionCount
        const timeouts = await readValue(c, "i=2281"); // SessionTimeoutCount
        const child = spawn(process.execPath, [__filename, url, "vanish-child", pki],
            { stdio: ["ignore", "pipe", "inherit"] });
        let output = "";
        child.stdout.on("data", (d) => { output += d; });
        const code = await new Promise((resolve) => child.on("exit", resolve));
        check(code === 0 && output.includes("child ready"), "child failed: " + code);
        await waitFor("the child's session to time out", 8000,
            async () => (await readValue(c, "i=2281")) === timeouts + 1);
        check(await readValue(c, "i=2277") === sessions, "sessions left over");
        check(await readValue(c, "i=2278") >= 2, "CumulatedSessionCount");
        check(typeof (await readValue(c, c.id("Servo2", "LampWord"))) === "number", "serving");
        await close(c);
    },
};

(async () => {
    const run = cases[which];
    if (!url || !run) {
        console.error("usage: node conformance.js URL (" + Object.keys(cases).join("|") + ") [PKI]");
        process.exit(2);
    }
    // No case may hang: the whole run is bounded.
    setTimeout(() => { console.error("case " + which + " took too long"); process.exit(1); },
        30000).unref();
    await run();
    process.exit(0);
})().catch((e) => {
    console.error("FAIL " + which + ": " + (e && e.stack ? e.stack : e));
    process.exit(1);
});
