// node-opcua's client against servo-sim in secure mode: one case per run.
//   node secure.js URL CASE PKI_DIR USER PASSWORD
// Exits 0 when the case holds, 1 with a message otherwise. Every wait is bounded.
"use strict";
const opcua = require("node-opcua");

const [url, which, pki, user, password] = process.argv.slice(2);
const { MessageSecurityMode, SecurityPolicy, UserTokenType } = opcua;

function check(condition, message) {
    if (!condition) throw new Error(message);
}

function within(ms, promise, what) {
    let timer;
    const timeout = new Promise((_, reject) => {
        timer = setTimeout(() => reject(new Error("timed out: " + what)), ms);
    });
    return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

function newClient(mode, policy, extra = {}) {
    return opcua.OPCUAClient.create({
        endpointMustExist: false,
        securityMode: mode,
        securityPolicy: policy,
        connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
        clientCertificateManager: new opcua.OPCUACertificateManager({
            rootFolder: pki,
            automaticallyAcceptUnknownCertificate: true,
        }),
        keepSessionAlive: false,
        ...extra,
    });
}

const userName = (pw) => ({ type: UserTokenType.UserName, userName: user, password: pw });

// Connects, opens a session with `identity` and reads the server's state; the status the
// attempt failed with, or "Good".
async function attempt(mode, policy, identity, extra = {}) {
    const client = newClient(mode, policy, extra);
    try {
        await within(15000, client.connect(url), "connect");
        const session = await within(15000, client.createSession(identity), "session");
        const state = await session.read({ nodeId: "i=2259", attributeId: 13 });
        check(state.statusCode.isGood(), "reading the server state: " + state.statusCode);
        await session.close();
        return "Good";
    } catch (e) {
        const match = /Bad[A-Za-z]+/.exec(String(e && e.message));
        return match ? match[0] : String(e && e.message);
    } finally {
        await client.disconnect();
    }
}

const ALL = [
    [MessageSecurityMode.Sign, SecurityPolicy.Basic256Sha256],
    [MessageSecurityMode.SignAndEncrypt, SecurityPolicy.Basic256Sha256],
    [MessageSecurityMode.Sign, SecurityPolicy.Aes128_Sha256_RsaOaep],
    [MessageSecurityMode.SignAndEncrypt, SecurityPolicy.Aes128_Sha256_RsaOaep],
    [MessageSecurityMode.Sign, SecurityPolicy.Aes256_Sha256_RsaPss],
    [MessageSecurityMode.SignAndEncrypt, SecurityPolicy.Aes256_Sha256_RsaPss],
];
const STRONG = ALL[1];

const cases = {
    // One endpoint per mode and policy, each with its certificate and user token policies.
    async endpoints() {
        const client = newClient(MessageSecurityMode.None, SecurityPolicy.None);
        await within(15000, client.connect(url), "connect");
        const endpoints = await client.getEndpoints();
        await client.disconnect();
        const offered = endpoints.map((e) => `${e.securityMode}:${e.securityPolicyUri}`);
        for (const [mode, policy] of ALL)
            check(offered.includes(`${mode}:${policy}`), `${mode} ${policy} not in ${offered}`);
        for (const e of endpoints) {
            check(e.serverCertificate && e.serverCertificate.length > 0, "no certificate");
            const tokens = e.userIdentityTokens.map((t) => t.tokenType);
            check(tokens.includes(UserTokenType.UserName), "no user name token");
            check(!tokens.includes(UserTokenType.Anonymous), "anonymous offered");
        }
    },
    async untrusted() {
        const result = await attempt(...STRONG, userName(password));
        check(result !== "Good", "an untrusted client got in");
    },
    // Every policy in both modes, with the right password.
    async policies() {
        for (const [mode, policy] of ALL) {
            const result = await attempt(mode, policy, userName(password));
            check(result === "Good", `${MessageSecurityMode[mode]} ${policy}: ${result}`);
        }
    },
    // Renewals over several token lifetimes while encrypted, and a value larger than a chunk.
    async renewals() {
        const client = newClient(...STRONG, { defaultSecureTokenLifetime: 1000 });
        await within(15000, client.connect(url), "connect");
        const session = await within(15000, client.createSession(userName(password)), "session");
        let renewed = 0;
        client.on("security_token_renewed", () => ++renewed);
        const started = Date.now();
        while (renewed < 3 && Date.now() - started < 20000) {
            const state = await session.read({ nodeId: "i=2259", attributeId: 13 });
            check(state.statusCode.isGood(), "read after renewal: " + state.statusCode);
            await new Promise((r) => setTimeout(r, 200));
        }
        check(renewed >= 3, "only " + renewed + " renewals");
        const ids = Array.from({ length: 3000 }, () => ({ nodeId: "i=2256", attributeId: 13 }));
        const values = await session.read(ids);
        check(values.length === 3000 && values.every((v) => v.statusCode.isGood()), "big read");
        await session.close();
        await client.disconnect();
    },
    async "wrong-password"() {
        const result = await attempt(...STRONG, userName(password + "x"));
        check(result === "BadUserAccessDenied", "wrong password: " + result);
    },
    // node-opcua offers no anonymous token where the endpoint lists none, so a user name
    // without its password stands for the missing one.
    async "missing-password"() {
        const result = await attempt(...STRONG, { type: UserTokenType.UserName, userName: user });
        check(result === "BadUserAccessDenied", "no password: " + result);
    },
};

(async () => {
    check(cases[which], "unknown case " + which);
    await cases[which]();
    process.exit(0);
})().catch((e) => {
    console.error(which + ": " + (e && e.stack ? e.stack : e));
    process.exit(1);
});
