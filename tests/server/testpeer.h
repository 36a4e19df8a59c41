#pragma once

// A client's side of a connection to the server under test, without sockets: it hands the
// server a stream and talks to it through a client's channel endpoint, which frames the
// requests and checks and reassembles the server's answers.

#include "opcua/channelendpoint.h"
#include "opcua/server/server.h"
#include "tests/support/fakestream.h"
#include "tests/support/manualclock.h"

#include <deque>
#include <memory>
#include <stdexcept>
#include <utility>

namespace testpeer {

using namespace opcua;

// The state a stream shares with its test, so it stays readable after the server dropped the
// stream.
struct Wire
{
    ByteBuffer written; // what the server sent, not yet taken
    bool open = true;
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
    void close() override { m_wire->open = false; }
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
    Peer(Server& server, ManualClock& clock) : m_wire(std::make_shared<Wire>()), m_clock(clock)
    {
        server.attach(std::make_unique<PeerStream>(m_wire));
    }

    bool open() const { return m_wire->open; }

    // Raw bytes to the server; then the clock's due timers run.
    void send(ByteView bytes)
    {
        if (auto* s = static_cast<PeerStream*>(m_wire->stream))
            s->deliver(bytes);
        m_clock.runDue();
    }
    void vanish()
    {
        if (auto* s = static_cast<PeerStream*>(m_wire->stream))
            s->peerClose();
        m_clock.runDue();
    }

    // A Hello announcing these limits, which the answers are then held to.
    void hello(uint32_t receiveBuffer = 65536, uint32_t maxMessage = 0)
    {
        send(encodeHello(HelloMessage{0, receiveBuffer, 65536, maxMessage, 0,
                                      String("opc.tcp://127.0.0.1:4840")}));
        TransportLimits limits;
        limits.receiveBufferSize = receiveBuffer;
        limits.maxMessageSize = maxMessage;
        m_endpoint.setLimits(limits);
    }

    // OPN Issue (or Renew); returns the response. A renewed token is used from useNewToken().
    OpenSecureChannelResponse
    openChannel(uint32_t lifetimeMs = 600000,
                SecurityTokenRequestType type = SecurityTokenRequestType::Issue)
    {
        OpenSecureChannelRequest request;
        request.requestType = type;
        request.securityMode = MessageSecurityMode::None;
        request.requestedLifetime = lifetimeMs;
        request.clientNonce = ByteString(ByteBuffer{});
        post(request, MessageType::OpenSecureChannel);
        auto response = expect<OpenSecureChannelResponse>();
        m_newTokenId = response.securityToken.tokenId;
        if (type == SecurityTokenRequestType::Issue) {
            m_tokenId = m_newTokenId;
            m_endpoint.open(response.securityToken.channelId, m_tokenId, {});
        }
        return response;
    }
    void useNewToken()
    {
        m_tokenId = m_newTokenId;
        m_endpoint.renew(m_tokenId, {});
    }

    // Sends a service message; returns its request id.
    uint32_t post(ServiceMessage message, MessageType type = MessageType::Message)
    {
        if (RequestHeader* header = requestHeaderOf(message)) {
            header->authenticationToken = m_authenticationToken;
            header->requestHandle = ++m_handle;
            header->timestamp = m_clock.utcNow();
        }
        m_endpoint.send(m_outbox, type, ++m_requestId, message);
        send(m_outbox.takeWritten());
        return m_requestId;
    }

    // Every complete message or ERR the server has sent so far.
    std::deque<Reply> replies()
    {
        m_endpoint.feed(std::exchange(m_wire->written, {}));
        std::deque<Reply> out;
        while (auto input = m_endpoint.next()) {
            if (auto* message = std::get_if<AssembledMessage>(&*input)) {
                const auto* symmetric = std::get_if<SymmetricSecurityHeader>(&message->security);
                out.push_back({message->type, message->requestId,
                               symmetric ? symmetric->tokenId : 0,
                               decodeServiceMessage(message->body), std::nullopt});
                continue;
            }
            const auto& chunk = std::get<RawChunk>(*input);
            if (chunk.header.type == MessageType::Acknowledge)
                m_ack = decodeAcknowledge(chunk.bytes);
            else
                out.push_back({MessageType::Error, 0, 0, std::nullopt, decodeError(chunk.bytes)});
        }
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
    // The one reply, a message of type Response; throws otherwise.
    template <class Response> Response expect()
    {
        return std::get<Response>(*expectReply().message);
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

    // A request and its response (a ServiceFault is returned as such), or with a Response type
    // given, the response of that type; throws for another.
    template <class Response = ServiceMessage, class Request> Response call(Request request)
    {
        const uint32_t id = post(std::move(request));
        Reply reply = expectReply();
        if (reply.requestId != id)
            throw std::runtime_error("reply to another request");
        if constexpr (std::is_same_v<Response, ServiceMessage>)
            return std::move(*reply.message);
        else
            return std::get<Response>(std::move(*reply.message));
    }

    // A session created and activated on the open channel.
    void connectSession(double sessionTimeoutMs = 60000)
    {
        CreateSessionRequest create;
        create.requestedSessionTimeout = sessionTimeoutMs;
        create.sessionName = String("test");
        m_authenticationToken = call<CreateSessionResponse>(create).authenticationToken;
        ActivateSessionRequest activate;
        activate.userIdentityToken = packBody(AnonymousIdentityToken{String("anonymous")});
        call<ActivateSessionResponse>(activate);
    }

    const std::optional<AcknowledgeMessage>& acknowledge() const { return m_ack; }
    void setAuthenticationToken(NodeId token) { m_authenticationToken = std::move(token); }
    const NodeId& authenticationToken() const { return m_authenticationToken; }
    uint32_t channelId() const { return m_endpoint.channelId(); }
    uint32_t tokenId() const { return m_tokenId; }

private:
    std::shared_ptr<Wire> m_wire;
    ManualClock& m_clock;
    ChannelEndpoint m_endpoint{ChannelSide::Client, 65536};
    FakeStream m_outbox; // what the endpoint frames, on its way to the server
    std::optional<AcknowledgeMessage> m_ack;
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
