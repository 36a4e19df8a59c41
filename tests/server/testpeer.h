#pragma once

// A client's side of a connection to the server under test, without sockets: it hands the
// server a stream, frames requests the way a client does, and takes the server's answers apart.

#include "opcua/securechannel.h"
#include "opcua/server/server.h"
#include "opcua/services.h"
#include "opcua/tcp.h"
#include "tests/support/manualclock.h"

#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <variant>

namespace testpeer {

using namespace opcua;

// The state a stream shares with its test, so it stays readable after the server dropped the
// stream.
struct Wire
{
    ByteBuffer written; // what the server sent, not yet taken
    bool open = true;
    bool closedByServer = false;
    Stream* stream = nullptr; // null once the server destroyed it
};

class PeerStream final : public Stream
{
public:
    explicit PeerStream(std::shared_ptr<Wire> wire) : m_wire(std::move(wire))
    {
        m_wire->stream = this;
    }
    ~PeerStream() override { m_wire->stream = nullptr; }

    void write(ByteView bytes) override
    {
        if (m_wire->open)
            m_wire->written.insert(m_wire->written.end(), bytes.begin(), bytes.end());
    }
    void close() override
    {
        m_wire->open = false;
        m_wire->closedByServer = true;
    }
    bool isOpen() const override { return m_wire->open; }

    void deliver(ByteView bytes) { notifyReceived(bytes); }
    void peerClose()
    {
        m_wire->open = false;
        notifyClosed(status::BadConnectionClosed, "closed by peer");
    }

private:
    std::shared_ptr<Wire> m_wire;
};

// What the server sent: a whole message, or an ERR.
struct Reply
{
    MessageType type = MessageType::Message;
    uint32_t requestId = 0;
    uint32_t tokenId = 0;
    std::optional<ServiceMessage> message;
    std::optional<ErrorMessage> error;
};

class Peer
{
public:
    Peer(Server& server, Clock& clock) : m_wire(std::make_shared<Wire>()), m_clock(clock)
    {
        server.attach(std::make_unique<PeerStream>(m_wire));
    }

    bool open() const { return m_wire->open; }
    bool closedByServer() const { return m_wire->closedByServer; }

    // Raw bytes to the server; then the clock's due timers run.
    void send(ByteView bytes)
    {
        if (auto* s = static_cast<PeerStream*>(m_wire->stream))
            s->deliver(bytes);
        settle();
    }
    void vanish()
    {
        if (auto* s = static_cast<PeerStream*>(m_wire->stream))
            s->peerClose();
        settle();
    }
    void settle()
    {
        if (auto* manual = dynamic_cast<ManualClock*>(&m_clock))
            manual->runDue();
    }

    void hello(uint32_t receiveBuffer = 65536, uint32_t maxMessage = 0)
    {
        HelloMessage hello;
        hello.receiveBufferSize = receiveBuffer;
        hello.sendBufferSize = 65536;
        hello.maxMessageSize = maxMessage;
        hello.endpointUrl = String("opc.tcp://127.0.0.1:4840");
        send(encodeHello(hello));
        m_limits.sendBufferSize = 65536;
        m_limits.peerMaxMessageSize = 0;
    }

    // OPN Issue (or Renew); returns the response.
    OpenSecureChannelResponse
    openChannel(uint32_t lifetimeMs = 600000,
                SecurityTokenRequestType type = SecurityTokenRequestType::Issue)
    {
        OpenSecureChannelRequest request;
        request.requestType = type;
        request.securityMode = MessageSecurityMode::None;
        request.requestedLifetime = lifetimeMs;
        request.clientNonce = ByteString(ByteBuffer{});
        sendMessage(MessageType::OpenSecureChannel, request);
        auto reply = expectReply();
        auto& response = std::get<OpenSecureChannelResponse>(*reply.message);
        m_channelId = response.securityToken.channelId;
        if (type == SecurityTokenRequestType::Issue)
            m_tokenId = response.securityToken.tokenId;
        m_newTokenId = response.securityToken.tokenId;
        return response;
    }
    void useNewToken() { m_tokenId = m_newTokenId; }

    // Sends a service message in MSG chunks; returns its request id.
    uint32_t sendMessage(MessageType type, ServiceMessage message)
    {
        if (RequestHeader* header = requestHeaderOf(message)) {
            header->authenticationToken = m_authenticationToken;
            header->requestHandle = ++m_handle;
            header->timestamp = m_clock.utcNow();
        }
        const ByteBuffer body = encodeServiceMessage(message);
        const OutgoingMessage out =
            channelMessage(type, m_channelId, m_tokenId, ++m_requestId, body);
        for (const ByteBuffer& chunk : splitIntoChunks(out, m_limits, m_sequence))
            send(chunk);
        return m_requestId;
    }

    // Every complete message or ERR the server has sent so far.
    std::deque<Reply> replies()
    {
        ByteBuffer bytes = std::move(m_wire->written);
        m_wire->written.clear();
        m_reader.feed(bytes);
        while (auto chunk = m_reader.next()) {
            if (chunk->header.type == MessageType::Acknowledge) {
                m_ack = decodeAcknowledge(chunk->bytes);
                continue;
            }
            if (chunk->header.type == MessageType::Error) {
                Reply reply;
                reply.type = MessageType::Error;
                reply.error = decodeError(chunk->bytes);
                m_pending.push_back(std::move(reply));
                continue;
            }
            SecureChunk secure = decodeSecureChunk(*chunk);
            uint32_t token = 0;
            if (auto* symmetric = std::get_if<SymmetricSecurityHeader>(&secure.security))
                token = symmetric->tokenId;
            if (auto assembled = m_assembler.add(std::move(secure))) {
                Reply reply;
                reply.type = assembled->type;
                reply.requestId = assembled->requestId;
                reply.tokenId = token;
                reply.message = decodeServiceMessage(assembled->body);
                m_pending.push_back(std::move(reply));
            }
        }
        std::deque<Reply> out;
        out.swap(m_pending);
        return out;
    }

    // The one reply that must have come; throws otherwise.
    Reply expectReply()
    {
        auto all = replies();
        if (all.size() != 1)
            throw std::runtime_error("expected one reply, got " + std::to_string(all.size()));
        return std::move(all.front());
    }

    // The status of the one ERR the server must have sent, having closed the connection;
    // throws otherwise.
    StatusCode expectError()
    {
        Reply reply = expectReply();
        if (reply.type != MessageType::Error || open())
            throw std::runtime_error("expected an error and the connection closed");
        return reply.error->error;
    }

    // A request and its response of type R (a ServiceFault is returned as such).
    template <class Request> ServiceMessage call(Request request)
    {
        const uint32_t id = sendMessage(MessageType::Message, std::move(request));
        Reply reply = expectReply();
        if (reply.requestId != id)
            throw std::runtime_error("reply to another request");
        return std::move(*reply.message);
    }

    // Hello, channel, session created and activated.
    void connect(double sessionTimeoutMs = 60000)
    {
        hello();
        openChannel();
        connectSession(sessionTimeoutMs);
    }
    // A session created and activated on the open channel.
    void connectSession(double sessionTimeoutMs = 60000)
    {
        CreateSessionRequest create;
        create.requestedSessionTimeout = sessionTimeoutMs;
        create.sessionName = String("test");
        auto created = std::get<CreateSessionResponse>(call(create));
        m_authenticationToken = created.authenticationToken;
        ActivateSessionRequest activate;
        activate.userIdentityToken = packBody(AnonymousIdentityToken{String("anonymous")});
        std::get<ActivateSessionResponse>(call(activate));
    }

    const std::optional<AcknowledgeMessage>& acknowledge() const { return m_ack; }
    void setAuthenticationToken(NodeId token) { m_authenticationToken = std::move(token); }
    const NodeId& authenticationToken() const { return m_authenticationToken; }
    uint32_t channelId() const { return m_channelId; }
    uint32_t tokenId() const { return m_tokenId; }
    void setChannelId(uint32_t id) { m_channelId = id; }

private:
    std::shared_ptr<Wire> m_wire;
    Clock& m_clock;
    TransportLimits m_limits;
    SequenceNumberGenerator m_sequence;
    ChunkReader m_reader{16 * 1024 * 1024};
    MessageAssembler m_assembler;
    std::deque<Reply> m_pending;
    std::optional<AcknowledgeMessage> m_ack;
    uint32_t m_channelId = 0;
    uint32_t m_tokenId = 0;
    uint32_t m_newTokenId = 0;
    uint32_t m_requestId = 0;
    uint32_t m_handle = 0;
    NodeId m_authenticationToken;
};

inline StatusCode faultStatus(const ServiceMessage& message)
{
    if (auto* fault = std::get_if<ServiceFault>(&message))
        return fault->responseHeader.serviceResult;
    return status::Good;
}

} // namespace testpeer
