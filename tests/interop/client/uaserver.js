// The independent peer of the client interoperability tests: a node-opcua server on 127.0.0.1
// with one variable of every type the panel's fields map, variables of abstract data types
// holding a value of a concrete subtype, plus variables that the tests drive.
//
// Usage: node uaserver.js [--port N] [--token-lifetime MS] [--max-publish N] [--lifetime S]
//                          [--max-sessions N] [--pki DIR] [--security-modes LIST]
//                          [--security-policies LIST] [--user NAME --password TEXT]
//                          [--anonymous yes|no]
// --security-modes takes a comma-separated list of None, Sign and SignAndEncrypt (default None);
// --security-policies one of Basic256Sha256, Aes128_Sha256_RsaOaep and Aes256_Sha256_RsaPss
// (default all three), paired with every secured mode. With --user the server accepts that user
// name with that password; anonymous sessions stay allowed unless --anonymous no. The server
// trusts every client certificate; its own certificate is made under DIR/server on first use.
// --port 0 (the default) takes a free port. When the server listens it prints "PORT <n>" on
// stdout. It then reads commands from stdin, one a line, and answers each with "OK <command>"
// or "ERR <reason>":
//   set <name> <json>     gives the variable <name> a new value (in its own data type), Good
//   get <name>            prints "VALUE <name> <type> <json>", <type> being the data type of
//                         the value the variable holds (Int16, Double ...)
// The server exits when stdin closes or after --lifetime seconds (60 by default), whichever
// comes first, so a test that dies never leaves it running.
"use strict";

const os = require("os");
const path = require("path");
const readline = require("readline");
const opcua = require("node-opcua");

function parseArgs(argv) {
    const args = {
        port: 0, tokenLifetime: 0, maxPublish: 0, lifetime: 60, maxSessions: 0, pki: "",
        securityModes: "None", securityPolicies: "Basic256Sha256,Aes128_Sha256_RsaOaep,Aes256_Sha256_RsaPss",
        user: "", password: "", anonymous: "yes",
    };
    for (let i = 2; i < argv.length; i += 2) {
        const key = argv[i];
        const value = argv[i + 1];
        if (value === undefined) throw new Error("missing value after " + key);
        switch (key) {
            case "--port": args.port = Number(value); break;
            case "--token-lifetime": args.tokenLifetime = Number(value); break;
            case "--max-publish": args.maxPublish = Number(value); break;
            case "--lifetime": args.lifetime = Number(value); break;
            case "--max-sessions": args.maxSessions = Number(value); break;
            case "--pki": args.pki = value; break;
            case "--security-modes": args.securityModes = value; break;
            case "--security-policies": args.securityPolicies = value; break;
            case "--user": args.user = value; break;
            case "--password": args.password = value; break;
            case "--anonymous": args.anonymous = value; break;
            default: throw new Error("unknown option " + key);
        }
    }
    return args;
}

const args = parseArgs(process.argv);

// node-opcua keeps 50 ms floors for publishing and sampling; the tests run at 1 ms.
opcua.Subscription.minimumPublishingInterval = 1;
opcua.MonitoredItem.minimumSamplingInterval = 1;
if (args.maxPublish > 0) opcua.ServerSession.maxPublishRequestInQueue = args.maxPublish;
if (args.tokenLifetime > 0 && args.tokenLifetime < opcua.ServerSecureChannelLayer.g_MinimumSecureTokenLifetime)
    opcua.ServerSecureChannelLayer.g_MinimumSecureTokenLifetime = args.tokenLifetime;

const DT = opcua.DataType;

// A string well beyond one 64 KiB chunk, with a recognisable start and end.
const bigText = "BEGIN" + "0123456789abcdef".repeat(12 * 1024) + "END";

// name, data type of the variable, initial value, array?, data type of the value when the
// variable's own is abstract ("DriveMode" is an enumeration of this server's namespace)
const variables = [
    ["Types.SByte", DT.SByte, -12],
    ["Types.Byte", DT.Byte, 200],
    ["Types.Int16", DT.Int16, -1234],
    ["Types.UInt16", DT.UInt16, 65000],
    ["Types.Int32", DT.Int32, -100000],
    ["Types.UInt32", DT.UInt32, 4000000],
    ["Types.Int64", DT.Int64, [0xFFFFFFFF, 0xFFFFFFFB]], // node-opcua takes [high, low]: -5
    ["Types.UInt64", DT.UInt64, [0, 77]],
    ["Types.UInt64Big", DT.UInt64, [2, 1]], // 2^33 + 1
    ["Types.Float", DT.Float, 1.5],
    ["Types.Double", DT.Double, 2.25],
    ["Types.Boolean", DT.Boolean, true],
    ["Types.String", DT.String, "Grüße"],
    ["Types.LocalizedText", DT.LocalizedText, new opcua.LocalizedText({ locale: "en", text: "Hello" })],
    ["Types.DateTime", DT.DateTime, new Date(Date.UTC(2024, 0, 2, 3, 4, 5))],
    ["Types.Int32Array", DT.Int32, [1, 2, 3], true],
    ["Write.Int16", DT.Int16, 1150],
    ["Write.Int32", DT.Int32, 1150],
    ["Big.String", DT.String, bigText],
    ["Abstract.BaseDataType", "BaseDataType", 2.25, false, DT.Double],
    ["Abstract.Number", "Number", 2.25, false, DT.Double],
    ["Abstract.Integer", "Integer", -100000, false, DT.Int32],
    ["Abstract.UInteger", "UInteger", 4000000, false, DT.UInt32],
    ["Abstract.Enumeration", "Enumeration", 1, false, DT.Int32],
    ["Abstract.DriveMode", "DriveMode", 1, false, DT.Int32],
    ["Abstract.DriveModeUnset", "DriveMode", null, false, DT.Int32],
];

// The members of an enumeration of node-opcua named in a comma-separated list.
function namesIn(list, enumeration, what) {
    return list.split(",").map((name) => {
        if (enumeration[name] === undefined) throw new Error("unknown " + what + " " + name);
        return enumeration[name];
    });
}

function makeVariant(dataType, value, isArray) {
    if (isArray) {
        return new opcua.Variant({ dataType, arrayType: opcua.VariantArrayType.Array, value });
    }
    return new opcua.Variant({ dataType, arrayType: opcua.VariantArrayType.Scalar, value });
}

async function main() {
    const pkiRoot = args.pki || path.join(os.tmpdir(), "servo-panel-interop-client-pki");
    const serverCertificateManager = new opcua.OPCUACertificateManager({
        rootFolder: path.join(pkiRoot, "server"),
        automaticallyAcceptUnknownCertificate: true,
    });
    const userCertificateManager = new opcua.OPCUACertificateManager({
        rootFolder: path.join(pkiRoot, "user"),
        automaticallyAcceptUnknownCertificate: true,
    });

    const options = {
        port: args.port,
        hostname: "127.0.0.1",
        serverCertificateManager,
        userCertificateManager,
        securityPolicies: [opcua.SecurityPolicy.None,
                           ...namesIn(args.securityPolicies, opcua.SecurityPolicy, "security policy")],
        securityModes: namesIn(args.securityModes, opcua.MessageSecurityMode, "security mode"),
        allowAnonymous: args.anonymous !== "no",
        maxConnectionsPerEndpoint: 20,
        buildInfo: { productName: "servo-panel client interop peer" },
    };
    if (args.tokenLifetime > 0) options.defaultSecureTokenLifetime = args.tokenLifetime;
    if (args.maxSessions > 0) options.serverCapabilities = { maxSessions: args.maxSessions };
    if (args.user) {
        options.userManager = {
            isValidUser: (userName, password) => userName === args.user && password === args.password,
        };
    }
    const server = new opcua.OPCUAServer(options);
    await server.initialize();

    const addressSpace = server.engine.addressSpace;
    const namespace = addressSpace.registerNamespace("urn:servo-panel:interop");
    const folder = namespace.addFolder(addressSpace.rootFolder.objects, { browseName: "Interop" });
    const ownTypes = {
        DriveMode: namespace.addEnumerationType({ browseName: "DriveMode", enumeration: ["Off", "On"] }),
    };
    const nodes = new Map();
    for (const [name, nodeType, initial, isArray, ownValueType] of variables) {
        const node = namespace.addVariable({
            componentOf: folder,
            browseName: name,
            nodeId: "s=" + name,
            dataType: ownTypes[nodeType] || nodeType,
            valueRank: isArray ? 1 : -1,
            accessLevel: "CurrentRead | CurrentWrite",
            userAccessLevel: "CurrentRead | CurrentWrite",
            minimumSamplingInterval: 0,
        });
        const dataType = ownValueType === undefined ? nodeType : ownValueType;
        if (initial !== null)
            node.setValueFromSource(makeVariant(dataType, initial, isArray), opcua.StatusCodes.Good);
        nodes.set(name, { node, dataType, isArray });
    }

    await server.start();
    const port = server.endpoints[0].port;
    process.stdout.write("PORT " + port + "\n");

    const stop = async () => {
        try {
            await server.shutdown(0);
        } finally {
            process.exit(0);
        }
    };
    setTimeout(stop, args.lifetime * 1000).unref();

    const lines = readline.createInterface({ input: process.stdin });
    lines.on("line", (line) => {
        const words = line.trim().split(/\s+/);
        const command = words[0];
        try {
            const entry = nodes.get(words[1]);
            if (!entry) throw new Error("unknown variable " + words[1]);
            if (command === "set") {
                const value = JSON.parse(words.slice(2).join(" "));
                entry.node.setValueFromSource(makeVariant(entry.dataType, value, entry.isArray),
                                              opcua.StatusCodes.Good);
            } else if (command === "get") {
                const variant = entry.node.readValue().value;
                process.stdout.write("VALUE " + words[1] + " " + opcua.DataType[variant.dataType] +
                                     " " + JSON.stringify(variant.value) + "\n");
            } else {
                throw new Error("unknown command " + command);
            }
            process.stdout.write("OK " + line.trim() + "\n");
        } catch (error) {
            process.stdout.write("ERR " + error.message + "\n");
        }
    });
    lines.on("close", stop);
}

main().catch((error) => {
    process.stderr.write("uaserver: " + (error && error.stack ? error.stack : error) + "\n");
    process.exit(1);
});
