// Writes peermessages.json: every service message this system encodes, as node-opcua's own
// encoders write it (the pinned test peer in tests/interop), beside the bytes node-opcua writes for
// each of its members by name ("responseHeader.requestHandle", "results[0].statusCode"). The codec
// test decodes the message and compares each member it decoded with the peer's bytes for that
// name, so two members of one type that trade places in a codec fail there, where a round trip
// through the same codec cannot see them. Members are filled from node-opcua's own schemas with
// values that differ from one member to the next. Run by hand from the project root:
//   node tests/opcua/make_messages.mjs tests/opcua/peermessages.json
// The output is the same on every run.
import { writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";

const require = createRequire(fileURLToPath(new URL("../interop/package.json", import.meta.url)));
const types = require("node-opcua-types");
const { BinaryStream } = require("node-opcua-binary-stream");
const { encodeArray, encodeExpandedNodeId } = require("node-opcua-basic-types");
const { getBuiltInType } = require("node-opcua-factory");
const { makeNodeId, makeExpandedNodeId } = require("node-opcua-nodeid");
const { DataType, Variant } = require("node-opcua-variant");
const { DataValue } = require("node-opcua-data-value");
const { StatusCodes } = require("node-opcua-status-code");
const peerVersion = require("node-opcua/package.json").version;

// The messages in the order of this system's service table.
const names = [
    "ServiceFault",
    "OpenSecureChannelRequest",
    "OpenSecureChannelResponse",
    "CloseSecureChannelRequest",
    "CloseSecureChannelResponse",
    "GetEndpointsRequest",
    "GetEndpointsResponse",
    "FindServersRequest",
    "FindServersResponse",
    "CreateSessionRequest",
    "CreateSessionResponse",
    "ActivateSessionRequest",
    "ActivateSessionResponse",
    "CloseSessionRequest",
    "CloseSessionResponse",
    "ReadRequest",
    "ReadResponse",
    "WriteRequest",
    "WriteResponse",
    "BrowseRequest",
    "BrowseResponse",
    "BrowseNextRequest",
    "BrowseNextResponse",
    "TranslateBrowsePathsToNodeIdsRequest",
    "TranslateBrowsePathsToNodeIdsResponse",
    "CreateSubscriptionRequest",
    "CreateSubscriptionResponse",
    "ModifySubscriptionRequest",
    "ModifySubscriptionResponse",
    "DeleteSubscriptionsRequest",
    "DeleteSubscriptionsResponse",
    "SetPublishingModeRequest",
    "SetPublishingModeResponse",
    "CreateMonitoredItemsRequest",
    "CreateMonitoredItemsResponse",
    "DeleteMonitoredItemsRequest",
    "DeleteMonitoredItemsResponse",
    "PublishRequest",
    "PublishResponse",
    "RepublishRequest",
    "RepublishResponse",
];

// Each value drawn is the next number, so no two members hold the same one. Numbers start above
// every enumeration's range, so that an enumeration never equals a number beside it.
let counter = 100;
let flag = false;
const statuses = [StatusCodes.BadTimeout, StatusCodes.BadNodeIdUnknown, StatusCodes.BadTooManyOperations];
const epochMs = 1704164645006; // 2024-01-02 03:04:05.006

const builtIn = {
    Boolean: () => (flag = !flag),
    Byte: () => counter++ % 256,
    UInt16: () => counter++,
    UInt32: () => counter++,
    Int32: () => counter++,
    Double: () => counter++ + 0.25,
    String: () => `s${counter++}`,
    LocaleId: () => `l${counter++}`,
    NumericRange: () => `${counter++}:${counter++}`,
    ByteString: () => Buffer.from([counter++ % 256, 0xbe]),
    DateTime: () => new Date(epochMs + counter++),
    UtcTime: () => new Date(epochMs + counter++),
    NodeId: () => makeNodeId(counter++, 1),
    ExpandedNodeId: () => makeExpandedNodeId(counter++, 2),
    StatusCode: () => statuses[counter++ % statuses.length],
    QualifiedName: () => ({ namespaceIndex: 3, name: `q${counter++}` }),
    LocalizedText: () => ({ locale: `l${counter++}`, text: `t${counter++}` }),
    DataValue: () => new DataValue({ value: new Variant({ dataType: DataType.Int32, value: counter++ }) }),
    DiagnosticInfo: () => undefined,
    ExtensionObject: () => null,
};

// The structures carried in ExtensionObject members, by member name; other ExtensionObjects stay
// null.
const bodies = {
    filter: () => new types.DataChangeFilter(fill(types.DataChangeFilter)),
    userIdentityToken: () => new types.UserNameIdentityToken(fill(types.UserNameIdentityToken)),
    notificationData: () => [
        new types.DataChangeNotification(fill(types.DataChangeNotification)),
        new types.StatusChangeNotification(fill(types.StatusChangeNotification)),
    ],
};

function valueOf(field) {
    if (field.category === "complex")
        return fill(types[field.fieldType]);
    if (field.category === "enumeration") {
        // Only the values a real peer sends: some tables also list a 0xFFFFFFFF "Invalid".
        const values = Object.values(field.schema.enumValues).filter(
            (v) => typeof v === "number" && v >= 0 && v < 0x10000,
        );
        return values[counter++ % values.length];
    }
    const make = builtIn[field.fieldType];
    if (!make)
        throw new Error(`no value for ${field.fieldType} ${field.name}`);
    return make();
}

// Options for a structure of class `type`: every member set, arrays with one element.
function fill(type) {
    const options = {};
    for (const field of type.schema.fields) {
        if (bodies[field.name])
            options[field.name] = bodies[field.name]();
        else
            options[field.name] = field.isArray ? [valueOf(field)] : valueOf(field);
    }
    return options;
}

function encoderOf(field) {
    if (field.category === "complex")
        return (value, stream) => value.encode(stream);
    if (field.category === "enumeration")
        return (value, stream) => stream.writeInteger(value);
    const type = getBuiltInType(field.fieldType);
    return (value, stream) => type.encode(value, stream);
}

function hexOf(write) {
    const stream = new BinaryStream(1 << 16);
    write(stream);
    return stream.buffer.subarray(0, stream.length).toString("hex");
}

// The bytes of each member of `object` by its path, structures whole and then member by member.
function membersOf(object, prefix, out) {
    for (const field of object.schema.fields) {
        const value = object[field.name];
        const path = prefix + field.name;
        const encode = encoderOf(field);
        out[path] = hexOf((s) => (field.isArray ? encodeArray(value, s, encode) : encode(value, s)));
        if (field.category !== "complex")
            continue;
        if (!field.isArray) {
            membersOf(value, path + ".", out);
            continue;
        }
        value.forEach((element, i) => {
            out[`${path}[${i}]`] = hexOf((s) => encode(element, s));
            membersOf(element, `${path}[${i}].`, out);
        });
    }
    return out;
}

const messages = {};
for (const name of names) {
    const message = new types[name](fill(types[name]));
    const bytes = hexOf((s) => {
        encodeExpandedNodeId(message.schema.encodingDefaultBinary, s);
        message.encode(s);
    });
    messages[name] = { bytes, members: membersOf(message, "", {}) };
}
const file = { peer: `node-opcua ${peerVersion}`, messages };
writeFileSync(process.argv[2], JSON.stringify(file, null, 1) + "\n");
