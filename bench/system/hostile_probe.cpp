// Hostile clients of an OPC UA server on this machine, bounded in count and time, to measure
// what the server's guards let through:
//
//   hostile_probe guess PORT SECONDS       wrong passwords over one connection, one new session
//                                          each; prints the answers a second
//   hostile_probe replay PORT PID SECONDS  one secured OPN replayed on new connections; prints
//                                          the connections a second and the CPU share of PID
//
// It talks to 127.0.0.1 only, stops after SECONDS (at most 60) or 100000 attempts, and waits at
// most 2 s for any answer.

#include "opcua/channelendpoint.h"
#include "opcua/pki/issue.h"
#include "opcua/security/crypto.h"
#include "opcua/security/sessioncrypto.h"
#include "opcua/server/serversecurity.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace opcua;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kMaxAttempts = 100000;
constexpr int kWaitMs = 2000;

// What a channel endpoint sends, kept for the socket.
class Capture final : public Stream
{
public:
    void write(ByteView bytes) override { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
    void close() override {}
    bool isOpen() const override { return true; }
    ByteBuffer take() { return std::exchange(bytes_, {}); }

private:
    ByteBuffer bytes_;
};

ByteBuffer helloBytes()
{
    return encodeHello(HelloMessage{0, 65536, 65536, 0, 0, String("opc.tcp://127.0.0.1")});
}

// One connection whose answers are read in blocking steps.
class Link
{
public:
    Link(uint16_t port, ChannelSecurity security = {})
        : m_endpoint(ChannelSide::Client, 65536, std::move(security))
    {
        m_socket.connectToHost("127.0.0.1", port);
        if (!m_socket.waitForConnected(kWaitMs))
            throw std::runtime_error("cannot connect");
    }

    void write(ByteView bytes)
    {
        m_socket.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
        m_socket.flush();
    }
    // The next message or chunk the server sends; nothing when it closes or is silent.
    std::optional<ChannelInput> next()
    {
        for (;;) {
            if (auto input = m_endpoint.next())
                return input;
            if (!m_socket.waitForReadyRead(kWaitMs))
                return std::nullopt;
            const QByteArray bytes = m_socket.readAll();
            m_endpoint.feed(
                ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), size_t(bytes.size())));
        }
    }
    ServiceMessage call(const ServiceMessage& request, MessageType type = MessageType::Message)
    {
        m_endpoint.send(m_capture, type, ++m_requestId, request);
        write(m_capture.take());
        for (auto input = next(); input; input = next()) {
            if (auto* message = std::get_if<AssembledMessage>(&*input))
                return decodeServiceMessage(message->body);
        }
        throw std::runtime_error("no answer");
    }
    void openWithoutSecurity()
    {
        write(helloBytes());
        next();
        TransportLimits limits;
        limits.receiveBufferSize = 65536;
        m_endpoint.setLimits(limits);
        OpenSecureChannelRequest open;
        open.securityMode = MessageSecurityMode::None;
        open.requestedLifetime = 600000;
        open.clientNonce = ByteString(ByteBuffer{});
        const auto response =
            std::get<OpenSecureChannelResponse>(call(open, MessageType::OpenSecureChannel));
        m_endpoint.open(response.securityToken.channelId, response.securityToken.tokenId, {});
    }
    ChannelEndpoint& endpoint() { return m_endpoint; }

private:
    QTcpSocket m_socket;
    ChannelEndpoint m_endpoint;
    Capture m_capture;
    uint32_t m_requestId = 0;
};

const security::SecurityPolicy& basic256Sha256()
{
    return security::securityPolicy("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
}

int guess(uint16_t port, double seconds)
{
    Link link(port);
    link.openWithoutSecurity();
    const auto start = Steady::now();
    int answers = 0;
    double elapsed = 0;
    while (answers < kMaxAttempts && elapsed < seconds) {
        const auto created = std::get<CreateSessionResponse>(link.call(CreateSessionRequest{}));
        const auto certificate = pki::Certificate::fromDer(created.serverCertificate.bytes());
        ActivateSessionRequest activate;
        activate.requestHeader.authenticationToken = created.authenticationToken;
        activate.userIdentityToken = packBody(UserNameIdentityToken{
            String(std::string(kUserNamePolicyId)), String("operator"),
            security::encryptUserPassword(
                basic256Sha256(), certificate.publicKey(),
                ByteString::fromText("guess " + std::to_string(answers)).bytes(),
                created.serverNonce.bytes()),
            String(std::string(basic256Sha256().asymmetricEncryptionUri))});
        link.call(activate);
        ++answers;
        elapsed = std::chrono::duration<double>(Steady::now() - start).count();
    }
    std::printf("password guesses: %d in %.1f s, %.1f a second\n", answers, elapsed,
                answers / elapsed);
    return 0;
}

double cpuSeconds(long pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15)
            ticks += std::stod(field);
    }
    return ticks / double(sysconf(_SC_CLK_TCK));
}

// An OPN of a channel in SignAndEncrypt with a certificate made for the occasion, as an
// eavesdropper would have captured it.
ByteBuffer capturedOpen(uint16_t port)
{
    Link discovery(port);
    discovery.openWithoutSecurity();
    const auto endpoints =
        std::get<GetEndpointsResponse>(discovery.call(GetEndpointsRequest{})).endpoints;
    std::optional<pki::Certificate> serverCertificate;
    for (const auto& endpoint : endpoints) {
        if (!endpoint.serverCertificate.bytes().empty())
            serverCertificate = pki::Certificate::fromDer(endpoint.serverCertificate.bytes());
    }
    if (!serverCertificate)
        throw std::runtime_error("the server offers no secured endpoint");
    const auto key = pki::PrivateKey::generateRsa(pki::kApplicationKeyBits);
    const auto certificate = pki::issueCertificate(
        pki::applicationCertificateProfile({"probe", "Probe", "urn:localhost:probe", "localhost"},
                                           std::chrono::system_clock::now()),
        key);
    ChannelEndpoint endpoint(ChannelSide::Client, 65536,
                             {&basic256Sha256(), MessageSecurityMode::SignAndEncrypt, certificate,
                              key, *serverCertificate});
    OpenSecureChannelRequest open;
    open.securityMode = MessageSecurityMode::SignAndEncrypt;
    open.requestedLifetime = 600000;
    open.clientNonce = ByteString(security::randomBytes(32));
    Capture capture;
    endpoint.send(capture, MessageType::OpenSecureChannel, 1, open);
    ByteBuffer bytes = helloBytes();
    const ByteBuffer opn = capture.take();
    bytes.insert(bytes.end(), opn.begin(), opn.end());
    return bytes;
}

int replay(uint16_t port, long pid, double seconds)
{
    const ByteBuffer bytes = capturedOpen(port);
    const double cpuBefore = cpuSeconds(pid);
    const auto start = Steady::now();
    int connections = 0;
    int answered = 0;
    double elapsed = 0;
    while (connections < kMaxAttempts && elapsed < seconds) {
        QTcpSocket socket;
        socket.connectToHost("127.0.0.1", port);
        if (socket.waitForConnected(kWaitMs)) {
            socket.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
            // The Acknowledge, then the OPN response or an ERR.
            while (socket.waitForReadyRead(kWaitMs) && socket.bytesAvailable() < 200) {
            }
            answered += socket.readAll().startsWith("ACK") ? 1 : 0;
        }
        ++connections;
        elapsed = std::chrono::duration<double>(Steady::now() - start).count();
    }
    const double cpu = cpuSeconds(pid) - cpuBefore;
    std::printf("replayed OPNs: %d in %.1f s, %.1f a second; server CPU %.0f %% of a core\n",
                connections, elapsed, connections / elapsed, 100.0 * cpu / elapsed);
    return answered > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    try {
        if (args.size() == 4 && args[1] == "guess")
            return guess(uint16_t(args[2].toUInt()), std::min(60.0, args[3].toDouble()));
        if (args.size() == 5 && args[1] == "replay")
            return replay(uint16_t(args[2].toUInt()), args[3].toLong(),
                          std::min(60.0, args[4].toDouble()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hostile_probe: %s\n", e.what());
        return 1;
    }
    std::fputs("usage: hostile_probe guess PORT SECONDS | replay PORT PID SECONDS\n", stderr);
    return 2;
}
