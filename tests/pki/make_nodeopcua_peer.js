// Writes nodeopcua-peer.der: an application certificate made the way node-opcua makes its own,
// so that the tests read a certificate this system did not make. Run by hand from
// tests/interop (where node_modules is) when it has to be made again:
//   NODE_PATH=node_modules node ../pki/make_nodeopcua_peer.js /tmp/some-empty-folder
// The tests expect its subject, URI, validity and SHA-1 thumbprint as they are now.
const fs = require("fs");
const path = require("path");
const { CertificateManager } = require("node-opcua-pki");
const { convertPEMtoDER } = require("node-opcua-crypto");

(async () => {
    const folder = process.argv[2];
    const manager = new CertificateManager({ location: folder, keySize: 2048 });
    await manager.initialize();
    const pem = path.join(folder, "own/certs/nodeopcua-peer.pem");
    await manager.createSelfSignedCertificate({
        applicationUri: "urn:nodeopcua-peer:test",
        subject: "/CN=node-opcua peer/O=Test",
        dns: ["nodeopcua-peer"],
        startDate: new Date(Date.UTC(2025, 0, 1)),
        validity: 30 * 365,
        outputFile: pem,
    });
    fs.writeFileSync(path.join(__dirname, "nodeopcua-peer.der"),
                     convertPEMtoDER(fs.readFileSync(pem, "utf8")));
    await manager.dispose();
})().catch((error) => {
    console.error(error);
    process.exit(1);
});
