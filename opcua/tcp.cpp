#include "opcua/tcp.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace opcua {

namespace {

struct MessageTypeRow
{
    MessageType type;
    std::array<char, 3> code;
    bool chunked; // carries secure conversation chunks (F, C and A allowed)
};

constexpr MessageTypeRow kMessageTypes[] = {
    {MessageType::Hello, {'H', 'E', 'L'}, false},
    {MessageType::Acknowledge, {'A', 'C', 'K'}, false},
    {MessageType::Error, {'E', 'R', 'R'}, false},
    {MessageType::ReverseHello, {'R', 'H', 'E'}, false},
    {MessageType::OpenSecureChannel, {'O', 'P', 'N'}, true},
    {MessageType::Message, {'M', 'S', 'G'}, true},
    {MessageType::CloseSecureChannel, {'C', 'L', 'O'}, true},
};

const MessageTypeRow& rowOf(MessageType type)
{
    for (const auto& row : kMessageTypes) {
        if (row.type == type)
            return row;
    }
    return kMessageTypes[0];
}

// Runs a body decode and turns its DecodeError into the transport's error.
template <class F> auto decodeBody(const char* what, F&& f)
{
    try {
        return f();
    } catch (const DecodeError& e) {
        throw TransportError(status::BadDecodingError,
                             std::string("malformed ") + what + ": " + e.what());
    }
}

// Checks the header of a whole HEL/ACK/ERR message and returns a decoder over its body.
Decoder bodyOf(ByteView message, MessageType expected, DecodeLimits limits = {})
{
    const MessageHeader header = decodeMessageHeader(message);
    if (header.type != expected)
        throw TransportError(status::BadTcpMessageTypeInvalid,
                             std::string("expected ") + std::string(messageTypeName(expected)) +
                                 ", got " + std::string(messageTypeName(header.type)));
    if (header.size != message.size())
        throw TransportError(status::BadDecodingError,
                             "message size " + std::to_string(header.size) +
                                 " does not match the " + std::to_string(message.size()) +
                                 " bytes received");
    return Decoder(message.subspan(kMessageHeaderSize), limits);
}

ByteBuffer finish(Encoder& e)
{
    e.patchUInt32(4, uint32_t(e.size()));
    return e.take();
}

} // namespace

std::string_view messageTypeName(MessageType type)
{
    const auto& code = rowOf(type).code;
    return std::string_view(code.data(), code.size());
}

void encodeMessageHeader(Encoder& e, const MessageHeader& header)
{
    const auto& code = rowOf(header.type).code;
    for (char c : code)
        e.encode(uint8_t(c));
    e.encode(uint8_t(header.chunkType));
    e.encode(header.size);
}

MessageHeader decodeMessageHeader(ByteView bytes)
{
    if (bytes.size() < kMessageHeaderSize)
        throw TransportError(status::BadDecodingError, "truncated message header");
    const MessageTypeRow* row = nullptr;
    for (const auto& candidate : kMessageTypes) {
        if (std::memcmp(candidate.code.data(), bytes.data(), 3) == 0)
            row = &candidate;
    }
    if (!row)
        throw TransportError(status::BadTcpMessageTypeInvalid, "unknown message type");
    MessageHeader header;
    header.type = row->type;
    const uint8_t chunk = bytes[3];
    if (chunk != 'F' && chunk != 'C' && chunk != 'A')
        throw TransportError(status::BadTcpMessageTypeInvalid, "unknown chunk type");
    if (chunk != 'F' && !row->chunked)
        throw TransportError(status::BadTcpMessageTypeInvalid,
                             std::string(messageTypeName(row->type)) + " must be a final chunk");
    header.chunkType = ChunkType(chunk);
    header.size = uint32_t(bytes[4]) | uint32_t(bytes[5]) << 8 | uint32_t(bytes[6]) << 16 |
                  uint32_t(bytes[7]) << 24;
    if (header.size < kMessageHeaderSize)
        throw TransportError(status::BadDecodingError,
                             "message size " + std::to_string(header.size) + " below the header");
    return header;
}

namespace {

// The members of the handshake messages in wire order, listed once for encoding and decoding
// alike, as the service codecs list theirs. `Message` is the message, const or not.
template <class Message, class F> void helloMembers(Message& v, F&& f)
{
    f(v.protocolVersion, v.receiveBufferSize, v.sendBufferSize, v.maxMessageSize, v.maxChunkCount,
      v.endpointUrl);
}

template <class Message, class F> void acknowledgeMembers(Message& v, F&& f)
{
    f(v.protocolVersion, v.receiveBufferSize, v.sendBufferSize, v.maxMessageSize, v.maxChunkCount);
}

auto encodeInto(Encoder& e)
{
    return [&e](const auto&... members) { (e.encode(members), ...); };
}

auto decodeFrom(Decoder& d)
{
    return [&d](auto&... members) { (d.decode(members), ...); };
}

} // namespace

ByteBuffer encodeHello(const HelloMessage& hello)
{
    Encoder e;
    encodeMessageHeader(e, {MessageType::Hello, ChunkType::Final, 0});
    helloMembers(hello, encodeInto(e));
    return finish(e);
}

ByteBuffer encodeAcknowledge(const AcknowledgeMessage& ack)
{
    Encoder e;
    encodeMessageHeader(e, {MessageType::Acknowledge, ChunkType::Final, 0});
    acknowledgeMembers(ack, encodeInto(e));
    return finish(e);
}

ByteBuffer encodeError(const ErrorMessage& error)
{
    Encoder e;
    encodeMessageHeader(e, {MessageType::Error, ChunkType::Final, 0});
    e.encode(error.error);
    e.encode(error.reason);
    return finish(e);
}

HelloMessage decodeHello(ByteView message)
{
    DecodeLimits limits;
    limits.maxStringLength = kMaxEndpointUrlLength;
    Decoder d = bodyOf(message, MessageType::Hello, limits);
    return decodeBody("Hello", [&] {
        HelloMessage hello;
        // The endpoint URL is the one member with a length to exceed.
        try {
            helloMembers(hello, decodeFrom(d));
        } catch (const DecodeError& e) {
            if (e.status() == status::BadEncodingLimitsExceeded)
                throw TransportError(status::BadTcpEndpointUrlInvalid,
                                     "endpoint URL longer than " +
                                         std::to_string(kMaxEndpointUrlLength) + " bytes");
            throw;
        }
        d.expectEnd("Hello");
        return hello;
    });
}

AcknowledgeMessage decodeAcknowledge(ByteView message)
{
    Decoder d = bodyOf(message, MessageType::Acknowledge);
    return decodeBody("Acknowledge", [&] {
        AcknowledgeMessage ack;
        acknowledgeMembers(ack, decodeFrom(d));
        d.expectEnd("Acknowledge");
        return ack;
    });
}

ErrorMessage decodeError(ByteView message)
{
    DecodeLimits limits;
    limits.maxStringLength = kMaxErrorReasonLength;
    Decoder d = bodyOf(message, MessageType::Error, limits);
    return decodeBody("Error", [&] {
        ErrorMessage error;
        d.decode(error.error);
        d.decode(error.reason);
        d.expectEnd("Error");
        return error;
    });
}

AcknowledgeMessage negotiate(const HelloMessage& hello, const TransportLimits& serverWishes)
{
    if (hello.receiveBufferSize < kMinBufferSize || hello.sendBufferSize < kMinBufferSize)
        throw TransportError(status::BadTcpNotEnoughResources,
                             "client buffers below " + std::to_string(kMinBufferSize) + " bytes");
    AcknowledgeMessage ack;
    ack.protocolVersion = 0;
    ack.receiveBufferSize = std::min(serverWishes.receiveBufferSize, hello.sendBufferSize);
    ack.sendBufferSize = std::min(serverWishes.sendBufferSize, hello.receiveBufferSize);
    ack.maxMessageSize = serverWishes.maxMessageSize;
    ack.maxChunkCount = serverWishes.maxChunkCount;
    return ack;
}

TransportLimits serverLimits(const HelloMessage& hello, const AcknowledgeMessage& ack)
{
    TransportLimits limits;
    limits.receiveBufferSize = ack.receiveBufferSize;
    limits.sendBufferSize = ack.sendBufferSize;
    limits.maxMessageSize = ack.maxMessageSize;
    limits.maxChunkCount = ack.maxChunkCount;
    limits.peerMaxMessageSize = hello.maxMessageSize;
    limits.peerMaxChunkCount = hello.maxChunkCount;
    return limits;
}

TransportLimits clientLimits(const HelloMessage& hello, const AcknowledgeMessage& ack)
{
    if (ack.receiveBufferSize < kMinBufferSize || ack.sendBufferSize < kMinBufferSize)
        throw TransportError(status::BadTcpNotEnoughResources,
                             "server buffers below " + std::to_string(kMinBufferSize) + " bytes");
    if (ack.sendBufferSize > hello.receiveBufferSize)
        throw TransportError(status::BadTcpNotEnoughResources,
                             "server send buffer of " + std::to_string(ack.sendBufferSize) +
                                 " bytes exceeds the client's receive buffer of " +
                                 std::to_string(hello.receiveBufferSize));
    TransportLimits limits;
    limits.receiveBufferSize = hello.receiveBufferSize;
    limits.sendBufferSize = std::min(hello.sendBufferSize, ack.receiveBufferSize);
    limits.maxMessageSize = hello.maxMessageSize;
    limits.maxChunkCount = hello.maxChunkCount;
    limits.peerMaxMessageSize = ack.maxMessageSize;
    limits.peerMaxChunkCount = ack.maxChunkCount;
    return limits;
}

void ChunkReader::feed(ByteView bytes)
{
    // Drop what was handed out before growing, so the buffer stays near one chunk in size.
    if (m_start > 0 && m_start * 2 >= m_buffer.size()) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + std::ptrdiff_t(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

std::optional<RawChunk> ChunkReader::next()
{
    if (m_failure)
        throw *m_failure;
    if (buffered() < kMessageHeaderSize)
        return std::nullopt;
    const ByteView pending = ByteView(m_buffer).subspan(m_start);
    MessageHeader header;
    try {
        header = decodeMessageHeader(pending);
        if (header.size > m_maxChunkSize)
            throw TransportError(status::BadTcpMessageTooLarge,
                                 std::string(messageTypeName(header.type)) + " chunk of " +
                                     std::to_string(header.size) + " bytes exceeds the limit of " +
                                     std::to_string(m_maxChunkSize));
    } catch (const TransportError& e) {
        m_failure = e;
        throw;
    }
    if (pending.size() < header.size)
        return std::nullopt;
    RawChunk chunk{header, ByteBuffer(pending.begin(), pending.begin() + header.size)};
    m_start += header.size;
    if (m_start == m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
    return chunk;
}

} // namespace opcua
