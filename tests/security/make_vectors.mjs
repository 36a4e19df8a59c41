// Writes vectors.h: key derivation results and protected chunks produced by node-opcua's own
// crypto helpers and chunk writer (the pinned test peer in tests/interop), so that the tests
// compare this system's output with an independent implementation's bytes.
// Run by hand from the project root, once:
//   node tests/security/make_vectors.mjs tests/security/vectors.h && clang-format -i tests/security/vectors.h
// The RSA keys are made afresh on every run, so the OPN vectors change with each run.
import { createPublicKey, generateKeyPairSync } from "node:crypto";
import { writeFileSync } from "node:fs";
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

// Distinct, recognisable input bytes.
function pattern(length, step, start) {
    const out = Buffer.alloc(length);
    for (let i = 0; i < length; ++i) out[i] = (start + i * step) & 0xff;
    return out;
}

// Hex text as adjacent string literals of 64 digits, so that no line grows past the column limit.
const hex = (b) => {
    const text = Buffer.from(b).toString("hex");
    const pieces = text.match(/.{1,64}/g) ?? [""];
    return pieces.map((p) => `"${p}"`).join("\n");
};
const lines = [];
const emit = (s) => lines.push(s);

function prfRows() {
    const rows = [
        [pattern(32, 1, 0x00), pattern(32, 1, 0x20), 80],
        [pattern(32, 1, 0x20), pattern(32, 1, 0x00), 80],
        [pattern(32, 3, 0x11), pattern(32, 5, 0x7f), 64],
        [pattern(5, 1, 0xa0), pattern(3, 1, 0xb0), 1],
        [pattern(16, 7, 0x01), pattern(48, 11, 0x02), 100],
    ];
    emit("inline constexpr PrfVector kPrf[] = {");
    for (const [secret, seed, length] of rows) {
        const out = crypto.makePseudoRandomBuffer(secret, seed, length, "SHA256");
        emit(`    {${hex(secret)}, ${hex(seed)}, ${length},\n     ${hex(out)}},`);
    }
    emit("};");
}

const clientNonce = pattern(32, 9, 0x31);
const serverNonce = pattern(32, 13, 0x52);

function channelKeys(policyUri) {
    return channel.computeDerivedKeys(channel.getCryptoFactory(policyUri), serverNonce, clientNonce);
}

function keyRows() {
    emit("inline constexpr KeyVector kKeys[] = {");
    for (const uri of Object.values(policies)) {
        const k = channelKeys(uri);
        emit(`    {"${uri}",`);
        emit(`     ${hex(clientNonce)},\n     ${hex(serverNonce)},`);
        for (const side of [k.derivedClientKeys, k.derivedServerKeys])
            emit(`     {${hex(side.signingKey)},\n      ${hex(side.encryptingKey)},\n      ${hex(side.initializationVector)}},`);
        emit("    },");
    }
    emit("};");
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
    emit("inline constexpr SymmetricChunkVector kSymmetricChunks[] = {");
    for (const [name, mode, bodySize] of rows) {
        const keys = channelKeys(policies[name]).derivedClientKeys;
        const options = channel.getOptionsForSymmetricSignAndEncrypt(mode, keys);
        const body = pattern(bodySize, 1, 0x60);
        const header = new headers.SymmetricAlgorithmSecurityHeader({ tokenId: 0x11223344 });
        const wire = writeChunk(mode, "MSG", header, options, body, 0x05060708);
        emit(`    {"${policies[name]}", ${mode === Mode.Sign ? "Mode::Sign" : "Mode::SignAndEncrypt"},`);
        emit(`     {${hex(keys.signingKey)},\n      ${hex(keys.encryptingKey)},\n      ${hex(keys.initializationVector)}},`);
        emit(`     ${hex(body)},\n     ${hex(wire)}},`);
    }
    emit("};");
}

function rsaKey(bits) {
    const { privateKey } = generateKeyPairSync("rsa", { modulusLength: bits });
    return privateKey.export({ type: "pkcs8", format: "pem" }).toString();
}

// OPN chunks are randomised (OAEP, PSS), so they are checked by verifying them, not by bytes.
function asymmetricRows(keys) {
    const rows = [
        // Encrypted to 4096 bits with 424 padding bytes: the extra padding byte counts 256 of them.
        ["Basic256Sha256", "kKey2048", "kKey4096", 250],
        ["Aes256_Sha256_RsaPss", "kKey4096", "kKey2048", 600],
        ["Aes128_Sha256_RsaOaep", "kKey2048", "kKey2048", 190],
    ];
    emit("inline constexpr AsymmetricChunkVector kAsymmetricChunks[] = {");
    for (const [name, sender, receiver, bodySize] of rows) {
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
        const wire = writeChunk(Mode.SignAndEncrypt, "OPN", header, options, body, 0x00000033);
        emit(`    {"${policies[name]}", ${sender}, ${receiver},`);
        emit(`     ${hex(body)},\n     ${hex(wire)}},`);
    }
    emit("};");
}

// PKCS#1 v1.5 signatures are deterministic and compared byte for byte; PSS ones are verified.
function sessionSignatureRows(keys) {
    // A certificate is only signed here, never parsed, but node-opcua cuts it out of a chain, so
    // it must at least be one DER element.
    const certificate = Buffer.concat([Buffer.from([0x30, 0x26]), pattern(38, 5, 0x01)]);
    const nonce = pattern(32, 17, 0x44);
    emit("inline constexpr SessionSignatureVector kSessionSignatures[] = {");
    for (const uri of [policies.Basic256Sha256, policies.Aes256_Sha256_RsaPss]) {
        const key = crypto.makePrivateKeyFromPem(keys.kKey2048);
        const signature = channel.computeSignature(certificate, nonce, key, uri);
        emit(`    {"${uri}", kKey2048,\n     ${hex(certificate)},\n     ${hex(nonce)},`);
        emit(`     "${signature.algorithm}",\n     ${hex(signature.signature)}},`);
    }
    emit("};");
}

// The secret as node-opcua's client builds it for a UserNameIdentityToken.
function passwordRows(keys) {
    const rows = [
        ["Basic256Sha256", "kKey2048", "operator pass \u00fc"],
        ["Aes256_Sha256_RsaPss", "kKey2048", "x".repeat(300)], // two RSA blocks
        ["Aes128_Sha256_RsaOaep", "kKey4096", ""],
    ];
    const nonce = pattern(32, 23, 0x05);
    emit("inline constexpr PasswordVector kPasswords[] = {");
    for (const [name, key, password] of rows) {
        const factory = channel.getCryptoFactory(policies[name]);
        const passwordBytes = Buffer.from(password, "utf-8");
        const length = Buffer.alloc(4);
        length.writeUInt32LE(passwordBytes.length + nonce.length, 0);
        const secret = factory.asymmetricEncrypt(
            Buffer.concat([length, passwordBytes, nonce]), createPublicKey(keys[key]));
        emit(`    {"${policies[name]}", ${key}, "${factory.asymmetricEncryptionAlgorithm}",`);
        emit(`     ${hex(passwordBytes)},\n     ${hex(nonce)},\n     ${hex(secret)}},`);
    }
    emit("};");
}

const keys = { kKey2048: rsaKey(2048), kKey4096: rsaKey(4096) };
emit(`// Generated by tests/security/make_vectors.mjs from node-opcua ${peerVersion}'s crypto helpers`);
emit("// and chunk writer; do not edit by hand. Every chunk has secure channel id 0x01020304 and");
emit("// request id 0x0a0b0c0d; MSG chunks have token id 0x11223344 and sequence number 0x05060708,");
emit("// OPN chunks sequence number 0x33, a 40-byte sender certificate and a 20-byte thumbprint.");
emit("#pragma once\n\n#include <cstddef>\n\nnamespace vectors {\n");
emit("enum class Mode { Sign, SignAndEncrypt };\n");
emit("struct PrfVector\n{\n    const char* secret;\n    const char* seed;\n    size_t length;\n    const char* output;\n};\n");
emit("struct KeySet\n{\n    const char* signingKey;\n    const char* encryptingKey;\n    const char* iv;\n};\n");
emit("struct KeyVector\n{\n    const char* policyUri;\n    const char* clientNonce;\n    const char* serverNonce;\n    KeySet client;\n    KeySet server;\n};\n");
emit("struct SymmetricChunkVector\n{\n    const char* policyUri;\n    Mode mode;\n    KeySet keys;\n    const char* body;\n    const char* wire;\n};\n");
emit("struct AsymmetricChunkVector\n{\n    const char* policyUri;\n    const char* senderKeyPem;\n    const char* receiverKeyPem;\n    const char* body;\n    const char* wire;\n};\n");
emit("struct SessionSignatureVector\n{\n    const char* policyUri;\n    const char* keyPem;\n    const char* certificate;\n    const char* nonce;\n    const char* algorithm;\n    const char* signature;\n};\n");
emit("struct PasswordVector\n{\n    const char* policyUri;\n    const char* keyPem;\n    const char* algorithm;\n    const char* password;\n    const char* nonce;\n    const char* secret;\n};\n");
for (const [name, pem] of Object.entries(keys))
    emit(`inline constexpr const char* ${name} = R"(${pem})";\n`);
prfRows();
emit("");
keyRows();
emit("");
symmetricRows();
emit("");
asymmetricRows(keys);
emit("");
sessionSignatureRows(keys);
emit("");
passwordRows(keys);
emit("\n} // namespace vectors");
// node-opcua logs its warnings on stdout, so the result goes to the file named.
writeFileSync(process.argv[2], `${lines.join("\n")}\n`);
