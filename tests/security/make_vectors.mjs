// Writes vectors.json: channel keys, protected chunks, session signatures and password
// secrets produced by node-opcua's own crypto helpers and chunk writer (the pinned test peer in
// tests/interop), so that the tests compare this system's output with an independent
// implementation's bytes. Run by hand from the project root:
//   node tests/security/make_vectors.mjs tests/security/vectors.json
// The RSA keys are taken from the file being rewritten, or made afresh when it does not exist.
// Everything but the OAEP and PSS results (OPN chunks, PSS signatures, password secrets) then
// comes out byte for byte as before; those are randomised and change with every run.
import { createPublicKey, generateKeyPairSync } from "node:crypto";
import { existsSync, readFileSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";

const require = createRequire(fileURLToPath(new URL("../interop/package.json", import.meta.url)));
const crypto = require("node-opcua-crypto");
const channel = require("node-opcua-secure-channel");
const headers = require("node-opcua-service-secure-channel");
const { Mode } = require("node-opcua-chunkmanager");
const peerVersion = require("node-opcua/package.json").version;

const policies = {
    Basic256Sha256: "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
    Aes128_Sha256_RsaOaep: "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep",
    Aes256_Sha256_RsaPss: "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss",
};
const policyName = (uri) => uri.split("#")[1];
const bits = { key2048: "2048", key4096: "4096" };

// Distinct, recognisable input bytes.
function pattern(length, step, start) {
    const out = Buffer.alloc(length);
    for (let i = 0; i < length; ++i) out[i] = (start + i * step) & 0xff;
    return out;
}

const hex = (b) => Buffer.from(b).toString("hex");

const clientNonce = pattern(32, 9, 0x31);
const serverNonce = pattern(32, 13, 0x52);

function channelKeys(policyUri) {
    return channel.computeDerivedKeys(channel.getCryptoFactory(policyUri), serverNonce, clientNonce);
}

const keySet = (k) => ({
    signingKey: hex(k.signingKey),
    encryptingKey: hex(k.encryptingKey),
    iv: hex(k.initializationVector),
});

function keyRows() {
    return Object.values(policies).map((uri) => {
        const k = channelKeys(uri);
        return {
            name: policyName(uri),
            policyUri: uri,
            clientNonce: hex(clientNonce),
            serverNonce: hex(serverNonce),
            client: keySet(k.derivedClientKeys),
            server: keySet(k.derivedServerKeys),
        };
    });
}

// One chunk as node-opcua's chunk writer makes it; the sequence number is fixed.
function writeChunk(mode, msgType, securityHeader, options, body, sequenceNumber) {
    const chunks = [];
    const writer = new channel.SecureMessageChunkManager(
        mode, msgType, 0x01020304,
        { chunkSize: 65536, requestId: 0x0a0b0c0d, sequenceHeaderSize: 8, ...options },
        securityHeader, { next: () => sequenceNumber });
    writer.on("chunk", (chunk) => chunks.push(Buffer.from(chunk)));
    writer.write(body, body.length);
    writer.end();
    if (chunks.length !== 1) throw new Error("expected one chunk");
    return chunks[0];
}

function symmetricRows() {
    const rows = [
        ["Basic256Sha256", Mode.SignAndEncrypt, 7],   // no padding bytes: 8 + 7 + 1 + 32 = 48
        ["Basic256Sha256", Mode.SignAndEncrypt, 50],
        ["Aes128_Sha256_RsaOaep", Mode.SignAndEncrypt, 22],
        ["Aes256_Sha256_RsaPss", Mode.SignAndEncrypt, 8],
        ["Basic256Sha256", Mode.Sign, 50],
    ];
    return rows.map(([name, mode, bodySize]) => {
        const keys = channelKeys(policies[name]).derivedClientKeys;
        const options = channel.getOptionsForSymmetricSignAndEncrypt(mode, keys);
        const body = pattern(bodySize, 1, 0x60);
        const header = new headers.SymmetricAlgorithmSecurityHeader({ tokenId: 0x11223344 });
        const modeName = mode === Mode.Sign ? "Sign" : "SignAndEncrypt";
        return {
            name: `${name} ${modeName}, ${bodySize}-byte body`,
            policyUri: policies[name],
            mode: modeName,
            keys: keySet(keys),
            body: hex(body),
            wire: hex(writeChunk(mode, "MSG", header, options, body, 0x05060708)),
        };
    });
}

function rsaKey(bits) {
    const { privateKey } = generateKeyPairSync("rsa", { modulusLength: bits });
    return privateKey.export({ type: "pkcs8", format: "pem" }).toString();
}

// OPN chunks are randomised (OAEP, PSS), so they are checked by verifying them, not by bytes.
function asymmetricRows(keys) {
    const rows = [
        // Encrypted to 4096 bits with 424 padding bytes: the extra padding byte counts 256 of them.
        ["Basic256Sha256", "key2048", "key4096", 250],
        ["Aes256_Sha256_RsaPss", "key4096", "key2048", 600],
        ["Aes128_Sha256_RsaOaep", "key2048", "key2048", 190],
    ];
    return rows.map(([name, sender, receiver, bodySize]) => {
        const factory = channel.getCryptoFactory(policies[name]);
        const senderKey = crypto.makePrivateKeyFromPem(keys[sender]);
        const receiverPublic = crypto.coercePublicKeyPem(createPublicKey(keys[receiver]));
        const keyLength = crypto.rsaLengthPublicKey(receiverPublic);
        const options = {
            signatureLength: crypto.rsaLengthPrivateKey(senderKey),
            signBufferFunc: (chunk) => factory.asymmetricSign(chunk, senderKey),
            cipherBlockSize: keyLength,
            plainBlockSize: keyLength - factory.blockPaddingSize,
            encryptBufferFunc: (chunk) => factory.asymmetricEncrypt(chunk, receiverPublic),
        };
        const header = new headers.AsymmetricAlgorithmSecurityHeader({
            securityPolicyUri: policies[name],
            senderCertificate: pattern(40, 1, 0xc0),
            receiverCertificateThumbprint: pattern(20, 1, 0xe0),
        });
        const body = pattern(bodySize, 3, 0x10);
        return {
            name: `${name}, ${bits[sender]} bits to ${bits[receiver]}`,
            policyUri: policies[name],
            sender,
            receiver,
            body: hex(body),
            wire: hex(writeChunk(Mode.SignAndEncrypt, "OPN", header, options, body, 0x00000033)),
        };
    });
}

// PKCS#1 v1.5 signatures are deterministic and compared byte for byte; PSS ones are verified.
function sessionSignatureRows(keys) {
    // A certificate is only signed here, never parsed, but node-opcua cuts it out of a chain, so
    // it must at least be one DER element.
    const certificate = Buffer.concat([Buffer.from([0x30, 0x26]), pattern(38, 5, 0x01)]);
    const nonce = pattern(32, 17, 0x44);
    return [policies.Basic256Sha256, policies.Aes256_Sha256_RsaPss].map((uri) => {
        const key = crypto.makePrivateKeyFromPem(keys.key2048);
        const signature = channel.computeSignature(certificate, nonce, key, uri);
        return {
            name: policyName(uri),
            policyUri: uri,
            key: "key2048",
            certificate: hex(certificate),
            nonce: hex(nonce),
            algorithm: signature.algorithm,
            signature: hex(signature.signature),
        };
    });
}

// The secret as node-opcua's client builds it for a UserNameIdentityToken.
function passwordRows(keys) {
    const rows = [
        ["Basic256Sha256", "key2048", "operator pass \u00fc"],
        ["Aes256_Sha256_RsaPss", "key2048", "x".repeat(300)], // two RSA blocks
        ["Aes128_Sha256_RsaOaep", "key4096", ""],
    ];
    const nonce = pattern(32, 23, 0x05);
    return rows.map(([name, key, password]) => {
        const factory = channel.getCryptoFactory(policies[name]);
        const passwordBytes = Buffer.from(password, "utf-8");
        const length = Buffer.alloc(4);
        length.writeUInt32LE(passwordBytes.length + nonce.length, 0);
        const secret = factory.asymmetricEncrypt(
            Buffer.concat([length, passwordBytes, nonce]), createPublicKey(keys[key]));
        return {
            name: `${name}, ${passwordBytes.length}-byte password`,
            policyUri: policies[name],
            key,
            algorithm: factory.asymmetricEncryptionAlgorithm,
            password: hex(passwordBytes),
            nonce: hex(nonce),
            secret: hex(secret),
        };
    });
}

const output = process.argv[2];
const keys = existsSync(output)
    ? JSON.parse(readFileSync(output, "utf-8")).keys
    : { key2048: rsaKey(2048), key4096: rsaKey(4096) };
const vectors = {
    about: `Generated by tests/security/make_vectors.mjs from node-opcua ${peerVersion}'s crypto ` +
        "helpers and chunk writer; do not edit by hand, regenerate with " +
        "`node tests/security/make_vectors.mjs tests/security/vectors.json`. Every chunk has " +
        "secure channel id 0x01020304 and request id 0x0a0b0c0d; MSG chunks have token id " +
        "0x11223344 and sequence number 0x05060708, OPN chunks sequence number 0x33, a 40-byte " +
        "sender certificate and a 20-byte thumbprint. Byte strings are hex.",
    keys,
    channelKeys: keyRows(),
    symmetricChunks: symmetricRows(),
    asymmetricChunks: asymmetricRows(keys),
    sessionSignatures: sessionSignatureRows(keys),
    passwords: passwordRows(keys),
};
// node-opcua logs its warnings on stdout, so the result goes to the file named.
writeFileSync(output, `${JSON.stringify(vectors, null, 2)}\n`);
