#pragma once

#include "opcua/binary.h"
#include "opcua/types.h"

#include <cstddef>
#include <cstdint>
#include <optional>

// UA-TCP framing: the eight-byte message header, the Hello/Acknowledge/Error handshake and
// splitting a byte stream into whole chunks.
namespace opcua {

// Framing errors: BadTcpMessageTooLarge, BadTcpMessageTypeInvalid, BadDecodingError,
// BadTcpEndpointUrlInvalid, BadProtocolVersionUnsupported ... The connection is unusable
// afterwards; the peer should get an ERR message with this status and be closed.
class TransportError : public Error
{
public:
    using Error::Error;
};

enum class MessageType : uint8_t {
    Hello,              // HEL: client opens the connection
    Acknowledge,        // ACK: server accepts, with its limits
    Error,              // ERR: fatal error, the connection closes
    ReverseHello,       // RHE: server-initiated connection (recognised, not used)
    OpenSecureChannel,  // OPN: open or renew a secure channel
    Message,            // MSG: a service request or response
    CloseSecureChannel, // CLO: close the secure channel
};

enum class ChunkType : uint8_t {
    Final = 'F',        // the last (or only) chunk of a message
    Intermediate = 'C', // more chunks follow
    Abort = 'A',        // the sender gave up on this message; the body is an error
};

// "HEL", "ACK" ... for logs.
std::string_view messageTypeName(MessageType type);

inline constexpr size_t kMessageHeaderSize = 8;
// The smallest buffer sizes the protocol allows, and the caps on the strings in a Hello.
inline constexpr uint32_t kMinBufferSize = 8192;
inline constexpr size_t kMaxEndpointUrlLength = 4096;
inline constexpr size_t kMaxErrorReasonLength = 4096;

struct MessageHeader
{
    MessageType type = MessageType::Message;
    ChunkType chunkType = ChunkType::Final;
    uint32_t size = 0; // of the whole chunk, this header included
    friend bool operator==(const MessageHeader&, const MessageHeader&) = default;
};

// Appends the header. HEL/ACK/ERR/RHE must use ChunkType::Final.
void encodeMessageHeader(Encoder& e, const MessageHeader& header);
// Reads the eight header bytes. Throws TransportError: BadTcpMessageTypeInvalid for an unknown
// type or chunk type (or a chunk type other than F on HEL/ACK/ERR/RHE), BadDecodingError when
// fewer than eight bytes are given or the size is below eight.
MessageHeader decodeMessageHeader(ByteView bytes);

struct HelloMessage
{
    uint32_t protocolVersion = 0;
    uint32_t receiveBufferSize = 65536;
    uint32_t sendBufferSize = 65536;
    uint32_t maxMessageSize = 0; // 0 means no limit
    uint32_t maxChunkCount = 0;  // 0 means no limit
    String endpointUrl;
    friend bool operator==(const HelloMessage&, const HelloMessage&) = default;
};

struct AcknowledgeMessage
{
    uint32_t protocolVersion = 0;
    uint32_t receiveBufferSize = 65536;
    uint32_t sendBufferSize = 65536;
    uint32_t maxMessageSize = 0;
    uint32_t maxChunkCount = 0;
    friend bool operator==(const AcknowledgeMessage&, const AcknowledgeMessage&) = default;
};

struct ErrorMessage
{
    StatusCode error;
    String reason;
    friend bool operator==(const ErrorMessage&, const ErrorMessage&) = default;
};

// Whole messages, header included.
ByteBuffer encodeHello(const HelloMessage& hello);
ByteBuffer encodeAcknowledge(const AcknowledgeMessage& ack);
ByteBuffer encodeError(const ErrorMessage& error);

// Whole messages, header included; the header's type and size must match. Throws
// TransportError (BadTcpMessageTypeInvalid for another type, BadDecodingError for a bad
// body, BadTcpEndpointUrlInvalid for an endpoint URL over kMaxEndpointUrlLength).
HelloMessage decodeHello(ByteView message);
AcknowledgeMessage decodeAcknowledge(ByteView message);
ErrorMessage decodeError(ByteView message);

// What one side of a connection may send and receive, after the handshake. 0 in a message size
// or chunk count means no limit. The first four members limit what this side receives (and
// the size of the chunks it sends); the peer's members limit the messages this side sends.
struct TransportLimits
{
    uint32_t receiveBufferSize = 65536;         // largest chunk this side accepts
    uint32_t sendBufferSize = 65536;            // largest chunk this side sends
    uint32_t maxMessageSize = 16 * 1024 * 1024; // largest message body this side accepts
    uint32_t maxChunkCount = 0;                 // most chunks per message this side accepts
    uint32_t peerMaxMessageSize = 0;            // largest message body the peer accepts
    uint32_t peerMaxChunkCount = 0;             // most chunks per message the peer accepts
    friend bool operator==(const TransportLimits&, const TransportLimits&) = default;
};

// Server side: the limits to answer a Hello with, given the server's own wishes. The server
// sends no larger chunks than the client receives and receives no larger than the client
// sends. Throws TransportError (BadTcpNotEnoughResources) when the client's buffers are below
// kMinBufferSize, and (BadProtocolVersionUnsupported) never: a newer client is answered with
// this side's version.
AcknowledgeMessage negotiate(const HelloMessage& hello, const TransportLimits& serverWishes);
// The limits the server works with after sending `ack` in answer to `hello`.
TransportLimits serverLimits(const HelloMessage& hello, const AcknowledgeMessage& ack);
// Client side: the limits to work with once `ack` answers `hello`. Throws TransportError
// (BadTcpNotEnoughResources) when the server revised the buffers above what the client offered
// or below kMinBufferSize.
TransportLimits clientLimits(const HelloMessage& hello, const AcknowledgeMessage& ack);

// One whole chunk as it came off the stream, header included.
struct RawChunk
{
    MessageHeader header;
    ByteBuffer bytes;
};

// Cuts a TCP byte stream into whole chunks. Bytes are fed as they arrive; complete chunks are
// taken with `next()`. A header announcing more than maxChunkSize bytes throws TransportError
// (BadTcpMessageTooLarge) and an unknown type BadTcpMessageTypeInvalid, as soon as the header
// is complete; after an error the reader stays failed and throws the same error again.
class ChunkReader
{
public:
    explicit ChunkReader(uint32_t maxChunkSize = 65536) : m_maxChunkSize(maxChunkSize) {}

    // Applies to chunks whose header has not been read yet.
    void setMaxChunkSize(uint32_t size) { m_maxChunkSize = size; }
    uint32_t maxChunkSize() const { return m_maxChunkSize; }

    void feed(ByteView bytes);
    // The next complete chunk, or nullopt when more bytes are needed.
    std::optional<RawChunk> next();
    // Bytes received but not yet returned as a chunk.
    size_t buffered() const { return m_buffer.size() - m_start; }

private:
    ByteBuffer m_buffer;
    size_t m_start = 0;
    uint32_t m_maxChunkSize;
    std::optional<TransportError> m_failure;
};

} // namespace opcua
