// Writes peermessages.json: service messages as node-opcua's own encoders write them (the pinned
// test peer in tests/interop), every number and text in them distinct, so that the codec test
// compares this system's decoder with an independent implementation's bytes. Run by hand from the
// project root:
//   node tests/opcua/make_messages.mjs tests/opcua/peermessages.json
// The output is the same on every run.
import { writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";

const require = createRequire(fileURLToPath(new URL("../interop/package.json", import.meta.url)));
const types = require("node-opcua-types");
const { BinaryStream } = require("node-opcua-binary-stream");
const { encodeExpandedNodeId } = require("node-opcua-basic-types");
const { makeNodeId } = require("node-opcua-nodeid");
const { DataType, Variant } = require("node-opcua-variant");
const { DataValue } = require("node-opcua-data-value");
const { StatusCodes } = require("node-opcua-status-code");
const { TimestampsToReturn } = require("node-opcua-service-read");
const peerVersion = require("node-opcua/package.json").version;

const time = new Date(1704164645006); // 2024-01-02 03:04:05.006
const requestHeader = {
    authenticationToken: makeNodeId(77, 1),
    timestamp: time,
    requestHandle: 11,
    returnDiagnostics: 12,
    auditEntryId: "audit",
    timeoutHint: 13,
};
const responseHeader = { timestamp: time, requestHandle: 21, stringTable: ["st"] };

function encode(message) {
    // The body's size and room for the type id before it.
    const stream = new BinaryStream(message.binaryStoreSize() + 4);
    encodeExpandedNodeId(message.schema.encodingDefaultBinary, stream);
    message.encode(stream);
    return stream.buffer.subarray(0, stream.length).toString("hex");
}

const value = { nodeId: "ns=2;s=A", attributeId: 13 };
const endpoint = {
    endpointUrl: "opc.tcp://e:2",
    server: {
        applicationUri: "urn:s",
        productUri: "urn:sp",
        applicationName: { text: "Sim" },
        applicationType: types.ApplicationType.Server,
        gatewayServerUri: "",
        discoveryProfileUri: "",
        discoveryUrls: [],
    },
    securityMode: types.MessageSecurityMode.None,
    securityPolicyUri: "http://opcfoundation.org/UA/SecurityPolicy#None",
    userIdentityTokens: [
        {
            policyId: "anon",
            tokenType: types.UserTokenType.Anonymous,
            issuedTokenType: "it",
            issuerEndpointUrl: "ie",
            securityPolicyUri: "sp",
        },
    ],
    transportProfileUri: "tp",
    securityLevel: 7,
};

const messages = {
    OpenSecureChannelResponse: new types.OpenSecureChannelResponse({
        responseHeader,
        serverProtocolVersion: 1,
        securityToken: { channelId: 5, tokenId: 6, createdAt: time, revisedLifetime: 600000 },
        serverNonce: Buffer.from([0xab]),
    }),
    CreateSessionRequest: new types.CreateSessionRequest({
        requestHeader,
        clientDescription: {
            applicationUri: "urn:app",
            productUri: "urn:product",
            applicationName: { text: "Panel" },
            applicationType: types.ApplicationType.Client,
            gatewayServerUri: "urn:gw",
            discoveryProfileUri: "urn:dp",
            discoveryUrls: ["opc.tcp://d"],
        },
        serverUri: "urn:server",
        endpointUrl: "opc.tcp://h:1",
        sessionName: "session",
        clientNonce: Buffer.from([1, 2]),
        clientCertificate: Buffer.from([3]),
        requestedSessionTimeout: 60000,
        maxResponseMessageSize: 70000,
    }),
    CreateSessionResponse: new types.CreateSessionResponse({
        responseHeader,
        sessionId: makeNodeId(31, 1),
        authenticationToken: makeNodeId(32, 1),
        revisedSessionTimeout: 30000,
        serverNonce: Buffer.from([4, 5]),
        serverCertificate: Buffer.from([6]),
        serverEndpoints: [endpoint],
        serverSignature: { algorithm: "alg", signature: Buffer.from([8]) },
        maxRequestMessageSize: 80000,
    }),
    CreateSubscriptionRequest: new types.CreateSubscriptionRequest({
        requestHeader,
        requestedPublishingInterval: 100,
        requestedLifetimeCount: 30,
        requestedMaxKeepAliveCount: 10,
        maxNotificationsPerPublish: 1000,
        publishingEnabled: true,
        priority: 7,
    }),
    CreateSubscriptionResponse: new types.CreateSubscriptionResponse({
        responseHeader,
        subscriptionId: 42,
        revisedPublishingInterval: 250,
        revisedLifetimeCount: 300,
        revisedMaxKeepAliveCount: 12,
    }),
    ModifySubscriptionRequest: new types.ModifySubscriptionRequest({
        requestHeader,
        subscriptionId: 42,
        requestedPublishingInterval: 50,
        requestedLifetimeCount: 90,
        requestedMaxKeepAliveCount: 9,
        maxNotificationsPerPublish: 8,
        priority: 3,
    }),
    CreateMonitoredItemsRequest: new types.CreateMonitoredItemsRequest({
        requestHeader,
        subscriptionId: 42,
        timestampsToReturn: TimestampsToReturn.Neither,
        itemsToCreate: [
            {
                itemToMonitor: value,
                monitoringMode: types.MonitoringMode.Sampling,
                requestedParameters: {
                    clientHandle: 3,
                    samplingInterval: 50,
                    filter: new types.DataChangeFilter({
                        trigger: types.DataChangeTrigger.StatusValueTimestamp,
                        deadbandType: 1,
                        deadbandValue: 0.5,
                    }),
                    queueSize: 4,
                    discardOldest: false,
                },
            },
        ],
    }),
    CreateMonitoredItemsResponse: new types.CreateMonitoredItemsResponse({
        responseHeader,
        results: [
            {
                statusCode: StatusCodes.Good,
                monitoredItemId: 17,
                revisedSamplingInterval: 50,
                revisedQueueSize: 1,
            },
        ],
    }),
    PublishRequest: new types.PublishRequest({
        requestHeader,
        subscriptionAcknowledgements: [{ subscriptionId: 42, sequenceNumber: 6 }],
    }),
    PublishResponse: new types.PublishResponse({
        responseHeader,
        subscriptionId: 42,
        availableSequenceNumbers: [6, 7],
        moreNotifications: true,
        notificationMessage: {
            sequenceNumber: 7,
            publishTime: time,
            notificationData: [
                new types.DataChangeNotification({
                    monitoredItems: [
                        {
                            clientHandle: 3,
                            value: new DataValue({
                                value: new Variant({ dataType: DataType.Int16, value: 1151 }),
                            }),
                        },
                    ],
                }),
                new types.StatusChangeNotification({ status: StatusCodes.BadTimeout }),
            ],
        },
        results: [StatusCodes.Good],
    }),
    RepublishRequest: new types.RepublishRequest({
        requestHeader,
        subscriptionId: 42,
        retransmitSequenceNumber: 6,
    }),
};

const encoded = Object.fromEntries(Object.entries(messages).map(([name, m]) => [name, encode(m)]));
const file = { peer: `node-opcua ${peerVersion}`, messages: encoded };
writeFileSync(process.argv[2], JSON.stringify(file, null, 1) + "\n");
