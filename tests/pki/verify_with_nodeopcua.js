// Prints node-opcua's verdict on a certificate ("STATUS Good", "STATUS BadCertificateUntrusted",
// ...) as its certificate manager gives it with the PKI folder given.
//   node verify_with_nodeopcua.js PKI_FOLDER CERTIFICATE.der
const fs = require("fs");
const { CertificateManager } = require("node-opcua-pki");

(async () => {
    const [folder, file] = process.argv.slice(2);
    const manager = new CertificateManager({ location: folder });
    await manager.initialize();
    const status = await manager.verifyCertificate(fs.readFileSync(file));
    console.log("STATUS " + status);
    await manager.dispose();
})().catch((error) => {
    console.error(error);
    process.exit(1);
});
