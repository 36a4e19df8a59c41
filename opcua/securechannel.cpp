#include "opcua/securechannel.h"

#include "text/printable.h"

#include <algorithm>

namespace opcua {

bool isSecureType(MessageType type)
{
    switch (type) {
    case MessageType::OpenSecureChannel:
    case MessageType::Message:
    case MessageType::CloseSecureChannel:
        return true;
    case MessageType::Hello:
    case MessageType::Acknowledge:
    case MessageType::Error:
    case MessageType::ReverseHello:
        return false;
    }
    return false;
}

namespace {

void encodeSecurityHeader(Encoder& e, const SecurityHeader& security)
{
    if (const auto* asym = std::get_if<AsymmetricSecurityHeader>(&security)) {
        e.encode(asym->securityPolicyUri);
        e.encode(asym->senderCertificate);
        e.encode(asym->receiverCertificateThumbprint);
    } else {
        e.encode(std::get<SymmetricSecurityHeader>(security).tokenId);
    }
}

size_t securityHeaderSize(const SecurityHeader& security)
{
    Encoder e;
    encodeSecurityHeader(e, security);
    return e.size();
}

ChannelError malformed(MessageType type, const DecodeError& error)
{
    return ChannelError(status::BadDecodingError, "malformed " +
                                                      std::string(messageTypeName(type)) +
                                                      " chunk: " + error.what());
}

void checkSecurityMatchesType(MessageType type, const SecurityHeader& security)
{
    const bool asymmetric = std::holds_alternative<AsymmetricSecurityHeader>(security);
    if (asymmetric != (type == MessageType::OpenSecureChannel))
        throw ChannelError(status::BadInternalError,
                           "OPN chunks need an asymmetric security header, MSG and CLO a "
                           "symmetric one");
}

// Security policy None: chunks travel as they are laid out.
class PlainChunks final : public ChunkCrypto
{
public:
    size_t maxBodySize(size_t chunkSize, size_t headerSize) const override
    {
        const size_t headers = headerSize + kSequenceHeaderSize;
        return chunkSize > headers ? chunkSize - headers : 0;
    }
    ByteBuffer protect(ByteBuffer chunk, size_t) const override { return chunk; }
    ByteBuffer verify(ByteView chunk, size_t) const override
    {
        return ByteBuffer(chunk.begin(), chunk.end());
    }
};

} // namespace

ChunkHeaders decodeChunkHeaders(ByteView bytes)
{
    ChunkHeaders headers;
    try {
        headers.header = decodeMessageHeader(bytes);
    } catch (const TransportError& e) {
        throw ChannelError(e.status(), e.what());
    }
    const MessageType type = headers.header.type;
    if (!isSecureType(type))
        throw ChannelError(status::BadTcpMessageTypeInvalid,
                           std::string(messageTypeName(type)) + " is not a secure channel message");
    if (headers.header.size != bytes.size())
        throw ChannelError(status::BadDecodingError,
                           "chunk size " + std::to_string(headers.header.size) +
                               " does not match the " + std::to_string(bytes.size()) +
                               " bytes given");
    try {
        Decoder d(bytes.subspan(kMessageHeaderSize));
        d.decode(headers.secureChannelId);
        if (type == MessageType::OpenSecureChannel) {
            AsymmetricSecurityHeader asym;
            d.decode(asym.securityPolicyUri);
            d.decode(asym.senderCertificate);
            d.decode(asym.receiverCertificateThumbprint);
            headers.security = std::move(asym);
        } else {
            headers.security = SymmetricSecurityHeader{d.read<uint32_t>()};
        }
        headers.plainSize = bytes.size() - d.remaining();
    } catch (const DecodeError& e) {
        throw malformed(type, e);
    }
    return headers;
}

SecureChunk decodeChunkPayload(ChunkHeaders headers, ByteView plainChunk)
{
    SecureChunk chunk;
    chunk.header = headers.header;
    chunk.secureChannelId = headers.secureChannelId;
    chunk.security = std::move(headers.security);
    try {
        Decoder d(plainChunk.subspan(std::min(headers.plainSize, plainChunk.size())));
        d.decode(chunk.sequence.sequenceNumber);
        d.decode(chunk.sequence.requestId);
        const ByteView body = d.readRaw(d.remaining());
        chunk.body.assign(body.begin(), body.end());
    } catch (const DecodeError& e) {
        throw malformed(chunk.header.type, e);
    }
    return chunk;
}

SecureChunk decodeSecureChunk(const RawChunk& chunk)
{
    return decodeSecureChunk(chunk.bytes);
}

SecureChunk decodeSecureChunk(ByteView bytes)
{
    ChunkHeaders headers = decodeChunkHeaders(bytes);
    const auto* asymmetric = std::get_if<AsymmetricSecurityHeader>(&headers.security);
    if (asymmetric && asymmetric->securityPolicyUri.str() != kSecurityPolicyNone)
        throw ChannelError(status::BadSecurityPolicyRejected,
                           "security policy \"" +
                               text::printable(asymmetric->securityPolicyUri.str()) +
                               "\" is not supported; only None is");
    return decodeChunkPayload(std::move(headers), bytes);
}

ByteBuffer encodeSecureChunk(const SecureChunk& chunk)
{
    checkSecurityMatchesType(chunk.header.type, chunk.security);
    Encoder e;
    e.reserve(kMessageHeaderSize + 64 + chunk.body.size());
    encodeMessageHeader(e, {chunk.header.type, chunk.header.chunkType, 0});
    e.encode(chunk.secureChannelId);
    encodeSecurityHeader(e, chunk.security);
    e.encode(chunk.sequence.sequenceNumber);
    e.encode(chunk.sequence.requestId);
    e.writeRaw(chunk.body);
    e.patchUInt32(4, uint32_t(e.size()));
    return e.take();
}

uint32_t SequenceNumberGenerator::next()
{
    const uint32_t current = m_next;
    m_next = current > kSequenceNumberWrapLimit ? 1 : current + 1;
    return current;
}

void SequenceNumberChecker::check(uint32_t sequenceNumber)
{
    if (m_last) {
        const bool next = sequenceNumber == uint32_t(*m_last + 1);
        const bool wrapped = *m_last > kSequenceNumberWrapLimit && sequenceNumber < 1024;
        if (!next && !wrapped)
            throw ChannelError(status::BadSequenceNumberInvalid,
                               "sequence number " + std::to_string(sequenceNumber) +
                                   " does not follow " + std::to_string(*m_last));
    }
    m_last = sequenceNumber;
}

namespace {

// How a message's body is cut into chunks.
struct ChunkLayout
{
    size_t plainSize = 0; // the bytes before the sequence header
    size_t maxBody = 0;
    size_t chunkCount = 0;
};

ChunkLayout layOut(const OutgoingMessage& message, size_t plainSize, const TransportLimits& limits,
                   const ChunkCrypto& crypto, StatusCode tooLargeStatus)
{
    checkSecurityMatchesType(message.type, message.security);
    const size_t maxBody = crypto.maxBodySize(limits.sendBufferSize, plainSize);
    if (maxBody == 0)
        throw ChannelError(status::BadTcpInternalError, "send buffer of " +
                                                            std::to_string(limits.sendBufferSize) +
                                                            " bytes cannot hold a chunk");
    const size_t bodySize = message.body.size();
    if (limits.peerMaxMessageSize != 0 && bodySize > limits.peerMaxMessageSize)
        throw ChannelError(tooLargeStatus, "message of " + std::to_string(bodySize) +
                                               " bytes exceeds the peer's limit of " +
                                               std::to_string(limits.peerMaxMessageSize));
    const size_t chunkCount = std::max<size_t>(1, (bodySize + maxBody - 1) / maxBody);
    if (limits.peerMaxChunkCount != 0 && chunkCount > limits.peerMaxChunkCount)
        throw ChannelError(tooLargeStatus, "message needs " + std::to_string(chunkCount) +
                                               " chunks, the peer accepts " +
                                               std::to_string(limits.peerMaxChunkCount));
    return {plainSize, maxBody, chunkCount};
}

// The headers of one chunk, up to the request id; the message size is patched in later.
void encodeHeaders(Encoder& e, const OutgoingMessage& message, ChunkType chunkType,
                   uint32_t sequenceNumber)
{
    encodeMessageHeader(e, {message.type, chunkType, 0});
    e.encode(message.secureChannelId);
    encodeSecurityHeader(e, message.security);
    e.encode(sequenceNumber);
    e.encode(message.requestId);
}

std::vector<ByteBuffer> split(const OutgoingMessage& message, const ChunkLayout& layout,
                              SequenceNumberGenerator& sequence, const ChunkCrypto& crypto)
{
    const size_t bodySize = message.body.size();
    std::vector<ByteBuffer> chunks;
    chunks.reserve(layout.chunkCount);
    for (size_t i = 0; i < layout.chunkCount; ++i) {
        const size_t offset = i * layout.maxBody;
        const size_t length = std::min(layout.maxBody, bodySize - offset);
        const bool last = i + 1 == layout.chunkCount;
        Encoder e;
        e.reserve(layout.plainSize + kSequenceHeaderSize + length);
        encodeHeaders(e, message, last ? ChunkType::Final : ChunkType::Intermediate,
                      sequence.next());
        e.writeRaw(message.body.subspan(offset, length));
        e.patchUInt32(4, uint32_t(e.size()));
        chunks.push_back(crypto.protect(e.take(), layout.plainSize));
    }
    return chunks;
}

} // namespace

std::vector<ByteBuffer> splitIntoChunks(const OutgoingMessage& message,
                                        const TransportLimits& limits,
                                        SequenceNumberGenerator& sequence,
                                        const ChunkCrypto& crypto, StatusCode tooLargeStatus)
{
    const size_t plainSize = kMessageHeaderSize + 4 + securityHeaderSize(message.security);
    return split(message, layOut(message, plainSize, limits, crypto, tooLargeStatus), sequence,
                 crypto);
}

size_t encodeChunkHeaders(Encoder& e, const OutgoingMessage& message)
{
    const size_t start = e.size();
    encodeHeaders(e, message, ChunkType::Final, 0);
    return e.size() - start;
}

std::vector<ByteBuffer> splitIntoChunks(const OutgoingMessage& message, Encoder& encoded,
                                        size_t headersSize, const TransportLimits& limits,
                                        SequenceNumberGenerator& sequence,
                                        const ChunkCrypto& crypto, StatusCode tooLargeStatus)
{
    OutgoingMessage whole = message;
    whole.body = ByteView(encoded.bytes()).subspan(headersSize);
    const size_t plainSize = headersSize - kSequenceHeaderSize;
    const ChunkLayout layout = layOut(whole, plainSize, limits, crypto, tooLargeStatus);
    if (layout.chunkCount > 1)
        return split(whole, layout, sequence, crypto);
    encoded.patchUInt32(4, uint32_t(encoded.size()));
    encoded.patchUInt32(plainSize, sequence.next());
    std::vector<ByteBuffer> chunks;
    chunks.push_back(crypto.protect(encoded.take(), plainSize));
    return chunks;
}

std::vector<ByteBuffer> splitIntoChunks(const OutgoingMessage& message,
                                        const TransportLimits& limits,
                                        SequenceNumberGenerator& sequence,
                                        StatusCode tooLargeStatus)
{
    return splitIntoChunks(message, limits, sequence, PlainChunks(), tooLargeStatus);
}

ByteBuffer encodeAbortChunk(MessageType type, uint32_t secureChannelId,
                            const SecurityHeader& security, uint32_t sequenceNumber,
                            uint32_t requestId, StatusCode error, const String& reason)
{
    Encoder body;
    body.encode(error);
    body.encode(reason);
    SecureChunk chunk;
    chunk.header = {type, ChunkType::Abort, 0};
    chunk.secureChannelId = secureChannelId;
    chunk.security = security;
    chunk.sequence = {sequenceNumber, requestId};
    chunk.body = body.take();
    return encodeSecureChunk(chunk);
}

void MessageAssembler::setLimits(uint32_t maxMessageSize, uint32_t maxChunkCount)
{
    m_maxMessageSize = maxMessageSize;
    m_maxChunkCount = maxChunkCount;
}

void MessageAssembler::reset()
{
    m_partial.clear();
    m_sequence.reset();
}

size_t MessageAssembler::pendingBytes() const
{
    size_t bytes = 0;
    for (const auto& [requestId, partial] : m_partial)
        bytes += partial.message.body.size();
    return bytes;
}

std::optional<AssembledMessage> MessageAssembler::add(SecureChunk chunk)
{
    m_sequence.check(chunk.sequence.sequenceNumber);
    const uint32_t requestId = chunk.sequence.requestId;

    if (chunk.header.chunkType == ChunkType::Abort) {
        m_partial.erase(requestId);
        AssembledMessage aborted;
        aborted.type = chunk.header.type;
        aborted.secureChannelId = chunk.secureChannelId;
        aborted.security = std::move(chunk.security);
        aborted.requestId = requestId;
        aborted.aborted = true;
        try {
            Decoder d(chunk.body);
            d.decode(aborted.abortError);
            d.decode(aborted.abortReason);
            aborted.abortError = failureStatus(aborted.abortError);
        } catch (const DecodeError& e) {
            // The message is gone either way; say why the reason is missing.
            aborted.abortError = status::BadDecodingError;
            aborted.abortReason = String(std::string("malformed abort chunk: ") + e.what());
        }
        return aborted;
    }

    auto it = m_partial.find(requestId);
    if (it == m_partial.end()) {
        Partial partial;
        partial.message.type = chunk.header.type;
        partial.message.secureChannelId = chunk.secureChannelId;
        partial.message.security = chunk.security;
        partial.message.requestId = requestId;
        it = m_partial.emplace(requestId, std::move(partial)).first;
    } else if (it->second.message.type != chunk.header.type ||
               it->second.message.secureChannelId != chunk.secureChannelId) {
        m_partial.erase(it);
        throw ChannelError(status::BadDecodingError,
                           "chunk of request " + std::to_string(requestId) +
                               " changes message type or channel mid-message");
    }

    Partial& partial = it->second;
    ++partial.chunkCount;
    if (m_maxChunkCount != 0 && partial.chunkCount > m_maxChunkCount) {
        m_partial.erase(it);
        throw ChannelError(status::BadTcpMessageTooLarge,
                           "message of request " + std::to_string(requestId) + " exceeds " +
                               std::to_string(m_maxChunkCount) + " chunks");
    }
    if (m_maxMessageSize != 0 &&
        partial.message.body.size() + chunk.body.size() > m_maxMessageSize) {
        m_partial.erase(it);
        throw ChannelError(status::BadTcpMessageTooLarge,
                           "message of request " + std::to_string(requestId) + " exceeds " +
                               std::to_string(m_maxMessageSize) + " bytes");
    }
    ByteBuffer& body = partial.message.body;
    if (body.empty())
        body = std::move(chunk.body);
    else
        body.insert(body.end(), chunk.body.begin(), chunk.body.end());

    if (chunk.header.chunkType != ChunkType::Final)
        return std::nullopt;
    AssembledMessage done = std::move(partial.message);
    m_partial.erase(it);
    return done;
}

OutgoingMessage channelMessage(MessageType type, uint32_t secureChannelId, uint32_t tokenId,
                               uint32_t requestId, ByteView body)
{
    OutgoingMessage message;
    message.type = type;
    message.secureChannelId = secureChannelId;
    if (type == MessageType::OpenSecureChannel)
        message.security = AsymmetricSecurityHeader{};
    else
        message.security = SymmetricSecurityHeader{tokenId};
    message.requestId = requestId;
    message.body = body;
    return message;
}

} // namespace opcua
