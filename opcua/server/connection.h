#pragma once

#include "opcua/channelendpoint.h"
#include "opcua/io.h"
#include "opcua/server/lazydeadline.h"
#include "opcua/server/server.h"
#include "opcua/services.h"

#include <cstdint>
#include <memory>
#include <string>

namespace opcua {

struct ServerCore;

enum class ConnectionState {
    AwaitingHello, // connected; nothing but HEL is accepted
    AwaitingOpen,  // HEL answered; the channel must be opened next
    Open,          // channel open; service requests flow
    Closed,        // closed or failed; waiting to be dropped
};

// One client connection: the UA-TCP handshake and the secure channel on it, whose tokens this
// side issues and which ends when a token is not renewed in time. The requests it receives go
// to ServerCore::dispatch. Anything malformed, and a peer that stalls (no Hello, no
// OpenSecureChannel or an unfinished message in time, see ServerSettings), ends the connection
// with an ERR message.
class ServerConnection
{
public:
    ServerConnection(ServerCore& core, uint64_t id, std::unique_ptr<Stream> stream,
                     PeerAddress peer);
    ~ServerConnection();

    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Sends a response. Responses are also sent from timers (Publish), where an error would
    // have no one to catch it: a response that cannot be sent ends the connection, and one
    // larger than the client takes is replaced by a ServiceFault (BadResponseTooLarge).
    void send(uint32_t requestId, const ServiceMessage& response,
              MessageType type = MessageType::Message);
    void sendFault(uint32_t requestId, uint32_t requestHandle, StatusCode status);
    // Sends an ERR with `status` and ends the connection; the stream is closed gracefully, so
    // the ERR leaves before the hang-up. `reason` goes to the log, and to the peer only once it
    // has activated a session: a stranger learns the status alone.
    void closeWithError(StatusCode status, const std::string& reason);

    uint64_t id() const { return m_id; }
    const PeerAddress& peer() const { return m_peer; }
    ConnectionState state() const { return m_state; }
    bool isOpen() const { return m_state == ConnectionState::Open && m_stream->isOpen(); }
    // The endpoint URL the client named in its Hello.
    const std::string& endpointUrl() const { return m_endpointUrl; }
    // The security of the channel, once the client opened it.
    const ChannelSecurity& channelSecurity() const { return m_channel.security(); }

private:
    void received(ByteView bytes);
    void handleHandshake(const RawChunk& chunk);
    void handleHello(const RawChunk& chunk);
    void handleMessage(const AssembledMessage& message);
    void handleOpen(const AssembledMessage& message);
    void armHandshakeTimer(std::chrono::milliseconds delay);
    void handshakeTimedOut();
    void armTokenTimer(uint32_t lifetimeMs);
    void watchUnfinishedInput(bool completedAny);
    void handleRequest(const AssembledMessage& message);
    void shutDown();
    ChannelSecurity acceptChannel(const AsymmetricSecurityHeader& header);

    ServerCore& m_core;
    uint64_t m_id;
    PeerAddress m_peer;
    std::unique_ptr<Stream> m_stream;
    ConnectionState m_state = ConnectionState::AwaitingHello;
    // Set when the reason of the close was logged already, in a line that speaks for many.
    bool m_closeReported = false;
    ChannelEndpoint m_channel;
    std::string m_endpointUrl;
    TimerId m_handshakeTimer = 0; // for the Hello, then for the OpenSecureChannel request
    TimerId m_tokenTimer = 0;
    bool m_unfinishedInput = false;
    LazyDeadline m_unfinishedDeadline;
};

} // namespace opcua
