#pragma once

#include "opcua/binary.h"
#include "opcua/tcp.h"
#include "opcua/types.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

// The pieces of the secure conversation: the headers of OPN, MSG and CLO chunks, splitting a
// service message into chunks and putting chunks back together. No sockets and no timers here;
// ChannelEndpoint (channelendpoint.h) puts the pieces together for one end of a channel.
namespace opcua {

inline constexpr std::string_view kSecurityPolicyNone =
    "http://opcfoundation.org/UA/SecurityPolicy#None";

// The status of a failure a peer reports in an ERR message or an abort chunk. A report whose
// code is not Bad would pass a failure on as a success; it stands for BadUnknownResponse.
constexpr StatusCode failureStatus(StatusCode reported)
{
    return reported.isBad() ? reported : status::BadUnknownResponse;
}

// OPN, MSG and CLO: the chunks of the secure conversation, as against the UA-TCP handshake
// (HEL, ACK, ERR, RHE).
bool isSecureType(MessageType type);

// Errors of the channel layer: BadTcpMessageTooLarge / BadRequestTooLarge /
// BadResponseTooLarge (limits), BadSequenceNumberInvalid, BadSecureChannelIdInvalid,
// BadSecurityPolicyRejected, BadSecureChannelTokenUnknown, BadDecodingError.
class ChannelError : public Error
{
public:
    using Error::Error;
};

// In OPN chunks. With policy None both certificate fields are null.
struct AsymmetricSecurityHeader
{
    String securityPolicyUri = String(kSecurityPolicyNone);
    ByteString senderCertificate;
    ByteString receiverCertificateThumbprint;
    friend bool operator==(const AsymmetricSecurityHeader&,
                           const AsymmetricSecurityHeader&) = default;
};

// In MSG and CLO chunks.
struct SymmetricSecurityHeader
{
    uint32_t tokenId = 0;
    friend bool operator==(const SymmetricSecurityHeader&,
                           const SymmetricSecurityHeader&) = default;
};

using SecurityHeader = std::variant<AsymmetricSecurityHeader, SymmetricSecurityHeader>;

struct SequenceHeader
{
    uint32_t sequenceNumber = 0;
    uint32_t requestId = 0;
    friend bool operator==(const SequenceHeader&, const SequenceHeader&) = default;
};
inline constexpr size_t kSequenceHeaderSize = 8;

// The plain front of an OPN, MSG or CLO chunk: what is read before the chunk's protection is
// checked.
struct ChunkHeaders
{
    MessageHeader header;
    uint32_t secureChannelId = 0;
    SecurityHeader security; // asymmetric for OPN, symmetric for MSG and CLO
    size_t plainSize = 0;    // the bytes in front of the sequence header
};

// One OPN, MSG or CLO chunk taken apart. `body` is the part after the sequence header: a
// piece of the service message, or for an abort chunk the error code and reason.
struct SecureChunk
{
    MessageHeader header;
    uint32_t secureChannelId = 0;
    SecurityHeader security;
    SequenceHeader sequence;
    ByteBuffer body;
};

// Reads the message header, channel id and security header of a chunk from ChunkReader: an
// asymmetric security header for OPN, a symmetric one for MSG and CLO. Throws ChannelError:
// BadTcpMessageTypeInvalid for HEL/ACK/ERR/RHE, BadDecodingError for a size that does not
// match the bytes or headers that do not decode.
ChunkHeaders decodeChunkHeaders(ByteView chunkBytes);
// The sequence header and body of a chunk whose protection ChunkCrypto::verify removed.
// Throws ChannelError (BadDecodingError) when the sequence header is cut short.
SecureChunk decodeChunkPayload(ChunkHeaders headers, ByteView plainChunk);

// Takes apart a chunk of a channel with security policy None: its headers (an OPN naming another
// policy throws ChannelError BadSecurityPolicyRejected), then its payload. Throws ChannelError as
// the steps do.
SecureChunk decodeSecureChunk(const RawChunk& chunk);
SecureChunk decodeSecureChunk(ByteView chunkBytes);
// The bytes of one chunk, its size filled in.
ByteBuffer encodeSecureChunk(const SecureChunk& chunk);

inline constexpr uint32_t kSequenceNumberWrapLimit = 4294966271u;

// Hands out sequence numbers for one channel's sending side: they start at 1 and increase by
// one; the first number above kSequenceNumberWrapLimit (UINT32_MAX - 1024) is followed by 1.
class SequenceNumberGenerator
{
public:
    explicit SequenceNumberGenerator(uint32_t first = 1) : m_next(first) {}
    uint32_t next();
    uint32_t peek() const { return m_next; }

private:
    uint32_t m_next;
};

// Checks the receiving side's sequence numbers: each must be the previous plus one, or, after a
// number above kSequenceNumberWrapLimit, any number below 1024. The first number
// seen is accepted as it stands. Throws ChannelError (BadSequenceNumberInvalid).
class SequenceNumberChecker
{
public:
    void check(uint32_t sequenceNumber);
    void reset() { m_last.reset(); }

private:
    std::optional<uint32_t> m_last;
};

// The protection of one kind of chunk: padding, signature and encryption added to the chunks one
// side sends, checked and removed from those it receives. ChannelEndpoint protects every OPN, MSG
// and CLO chunk it sends once the chunk is laid out, and verifies every one it receives once the
// plain headers are read, before the sequence header and body are decoded. security/chunkcrypto.h
// has the implementations for the security policies and tells how a protected chunk is laid out.
//
// `headerSize` counts the bytes before the sequence header, which travel in clear.
class ChunkCrypto
{
public:
    virtual ~ChunkCrypto() = default;

    // The most body bytes a chunk can carry so that, protected, it stays within chunkSize bytes;
    // 0 when not even one byte fits.
    virtual size_t maxBodySize(size_t chunkSize, size_t headerSize) const = 0;
    // The bytes to send for a plain chunk (whose message size field may hold anything): padded,
    // message size set to the final size, signed, encrypted. Throws ChannelError
    // (BadInternalError) when the chunk is shorter than its headers.
    virtual ByteBuffer protect(ByteBuffer plainChunk, size_t headerSize) const = 0;
    // The plain chunk inside a received one: everything checked (message size against the bytes,
    // whole cipher blocks, signature, padding) before any byte after the first headerSize is
    // trusted, then padding and signature removed and the message size set to what remains.
    // Throws ChannelError (BadSecurityChecksFailed) when a check fails.
    virtual ByteBuffer verify(ByteView chunk, size_t headerSize) const = 0;
};

// What goes into every chunk of one outgoing message.
struct OutgoingMessage
{
    MessageType type = MessageType::Message; // OpenSecureChannel, Message or CloseSecureChannel
    uint32_t secureChannelId = 0;
    SecurityHeader security; // asymmetric for OPN, symmetric otherwise
    uint32_t requestId = 0;
    ByteView body; // the encoded service message (type id included)
};

// A message of a channel with security policy None: an OPN carries the asymmetric security
// header, a MSG or CLO the symmetric one naming the channel's token. body must outlive the
// result.
OutgoingMessage channelMessage(MessageType type, uint32_t secureChannelId, uint32_t tokenId,
                               uint32_t requestId, ByteView body);

// Splits a message into chunks no larger than limits.sendBufferSize (the peer's receive
// buffer), numbering them from `sequence`. `crypto` says how much body fits into a chunk and
// protects each chunk once it is laid out. Throws ChannelError when the body exceeds
// limits.peerMaxMessageSize or needs more than limits.peerMaxChunkCount chunks (status
// `tooLargeStatus`: BadRequestTooLarge on a client, BadResponseTooLarge on a server), or
// BadTcpInternalError when no body fits into a chunk; nothing is numbered in these cases.
std::vector<ByteBuffer> splitIntoChunks(const OutgoingMessage& message,
                                        const TransportLimits& limits,
                                        SequenceNumberGenerator& sequence,
                                        const ChunkCrypto& crypto, StatusCode tooLargeStatus);
// The same with security policy None.
std::vector<ByteBuffer> splitIntoChunks(const OutgoingMessage& message,
                                        const TransportLimits& limits,
                                        SequenceNumberGenerator& sequence,
                                        StatusCode tooLargeStatus = status::BadRequestTooLarge);

// Encodes the headers of a message's only chunk, sequence number and message size left open,
// so that the body can be encoded right behind them; message.body is not read. Returns the
// headers' size.
size_t encodeChunkHeaders(Encoder& e, const OutgoingMessage& message);
// The same as splitIntoChunks for a body encoded into `encoded` behind `headersSize` bytes of
// encodeChunkHeaders (message.body is not read): a body that fits one chunk goes out in that
// buffer, without a copy; a longer one is split as above.
std::vector<ByteBuffer> splitIntoChunks(const OutgoingMessage& message, Encoder& encoded,
                                        size_t headersSize, const TransportLimits& limits,
                                        SequenceNumberGenerator& sequence,
                                        const ChunkCrypto& crypto, StatusCode tooLargeStatus);

// The bytes of an abort chunk ('A') for a message that will not be finished.
ByteBuffer encodeAbortChunk(MessageType type, uint32_t secureChannelId,
                            const SecurityHeader& security, uint32_t sequenceNumber,
                            uint32_t requestId, StatusCode error, const String& reason);

// A message put back together, or the notice that its sender aborted it.
struct AssembledMessage
{
    MessageType type = MessageType::Message;
    uint32_t secureChannelId = 0;
    SecurityHeader security; // from the first chunk
    uint32_t requestId = 0;
    ByteBuffer body;       // the whole service message; empty when aborted
    bool aborted = false;  // the sender sent an abort chunk
    StatusCode abortError; // the error the abort chunk carries, Bad (see failureStatus)
    String abortReason;    // and its reason
};

// Collects chunks per request id until the final one arrives. Checks the sequence numbers of
// every chunk in arrival order. Limits (0 = none) cap the summed body size and the chunk count
// of one message; beyond them it throws ChannelError (BadTcpMessageTooLarge) and forgets that
// message. An abort chunk discards what was collected for its request id and is returned as an
// aborted message. Every chunk of a message must have the same type and channel id.
class MessageAssembler
{
public:
    explicit MessageAssembler(uint32_t maxMessageSize = 0, uint32_t maxChunkCount = 0)
        : m_maxMessageSize(maxMessageSize), m_maxChunkCount(maxChunkCount)
    {}

    void setLimits(uint32_t maxMessageSize, uint32_t maxChunkCount);

    // The finished (or aborted) message this chunk completes, or nullopt when more chunks are
    // awaited. Throws ChannelError as described above.
    std::optional<AssembledMessage> add(SecureChunk chunk);

    // Forgets every partial message and the sequence state, e.g. when a channel is reopened.
    void reset();
    size_t pendingMessages() const { return m_partial.size(); }
    // The body bytes collected for unfinished messages.
    size_t pendingBytes() const;

    SequenceNumberChecker& sequenceChecker() { return m_sequence; }

private:
    struct Partial
    {
        AssembledMessage message;
        uint32_t chunkCount = 0;
    };

    uint32_t m_maxMessageSize;
    uint32_t m_maxChunkCount;
    std::map<uint32_t, Partial> m_partial;
    SequenceNumberChecker m_sequence;
};

} // namespace opcua
