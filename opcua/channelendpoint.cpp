#include "opcua/channelendpoint.h"

#include <algorithm>

namespace opcua {

ChannelEndpoint::ChannelEndpoint(ChannelSide side, uint32_t receiveBufferSize,
                                 std::unique_ptr<ChunkSecurity> security)
    : m_side(side), m_security(std::move(security)), m_reader(receiveBufferSize)
{}

void ChannelEndpoint::feed(ByteView bytes)
{
    m_reader.feed(bytes);
}

std::optional<ChannelInput> ChannelEndpoint::next()
{
    while (auto chunk = nextChunk()) {
        if (!isSecureType(chunk->header.type))
            return ChannelInput(std::move(*chunk));
        if (auto message = receive(std::move(*chunk)))
            return ChannelInput(std::move(*message));
    }
    return std::nullopt;
}

std::optional<RawChunk> ChannelEndpoint::nextChunk()
{
    try {
        return m_reader.next();
    } catch (const TransportError& e) {
        throw ChannelError(e.status(), e.what());
    }
}

std::optional<AssembledMessage> ChannelEndpoint::receive(RawChunk chunk)
{
    if (!m_handshakeDone)
        throw ChannelError(status::BadTcpMessageTypeInvalid,
                           std::string(messageTypeName(chunk.header.type)) +
                               " arrived before the handshake ended");
    ChunkHeaders headers = decodeChunkHeaders(chunk.bytes);
    checkChannel(headers);
    const ByteBuffer plain = m_security->verify(headers, std::move(chunk.bytes));
    tokenUsed(headers);
    auto message = m_assembler.add(decodeChunkPayload(std::move(headers), plain));
    if (m_assembler.pendingMessages() > kMaxUnfinishedMessages)
        throw ChannelError(status::BadTcpNotEnoughResources, "too many unfinished messages");
    return message;
}

void ChannelEndpoint::checkChannel(const ChunkHeaders& headers) const
{
    const bool opening = headers.header.type == MessageType::OpenSecureChannel;
    if (!m_open && !opening)
        throw ChannelError(status::BadTcpSecureChannelUnknown, "no secure channel is open");
    if (m_open && headers.secureChannelId != m_channelId)
        throw ChannelError(status::BadTcpSecureChannelUnknown,
                           "a chunk for secure channel " + std::to_string(headers.secureChannelId) +
                               " arrived on channel " + std::to_string(m_channelId));
    if (opening)
        return;
    const uint32_t token = std::get<SymmetricSecurityHeader>(headers.security).tokenId;
    if (std::find(m_tokens.begin(), m_tokens.end(), token) == m_tokens.end())
        throw ChannelError(status::BadSecureChannelTokenUnknown,
                           "unknown security token " + std::to_string(token));
}

// Called once the chunk is verified, so that only a genuine chunk retires a token.
void ChannelEndpoint::tokenUsed(const ChunkHeaders& headers)
{
    const auto* symmetric = std::get_if<SymmetricSecurityHeader>(&headers.security);
    if (!symmetric || m_side != ChannelSide::Server)
        return;
    while (m_tokens.front() != symmetric->tokenId)
        retireOldestToken();
    m_sendToken = symmetric->tokenId;
}

void ChannelEndpoint::retireOldestToken()
{
    m_security->tokenRetired(m_tokens.front());
    m_tokens.pop_front();
}

void ChannelEndpoint::setLimits(const TransportLimits& limits)
{
    m_limits = limits;
    m_reader.setMaxChunkSize(limits.receiveBufferSize);
    m_assembler.setLimits(limits.maxMessageSize, limits.maxChunkCount);
    m_handshakeDone = true;
}

void ChannelEndpoint::open(uint32_t channelId, uint32_t tokenId)
{
    while (!m_tokens.empty())
        retireOldestToken();
    m_open = true;
    m_channelId = channelId;
    m_tokens.push_back(tokenId);
    m_sendToken = tokenId;
    m_security->tokenIssued(tokenId);
}

void ChannelEndpoint::renew(uint32_t tokenId)
{
    m_tokens.push_back(tokenId);
    m_security->tokenIssued(tokenId);
    if (m_side == ChannelSide::Client)
        m_sendToken = tokenId;
    while (m_tokens.size() > kAcceptedTokens)
        retireOldestToken();
    if (std::find(m_tokens.begin(), m_tokens.end(), m_sendToken) == m_tokens.end())
        m_sendToken = m_tokens.front();
}

void ChannelEndpoint::send(Stream& stream, MessageType type, uint32_t requestId,
                           const ServiceMessage& message)
{
    const ByteBuffer body = encodeServiceMessage(message);
    const OutgoingMessage out = channelMessage(type, m_channelId, m_sendToken, requestId, body);
    const StatusCode tooLarge =
        m_side == ChannelSide::Client ? status::BadRequestTooLarge : status::BadResponseTooLarge;
    for (const ByteBuffer& chunk :
         splitIntoChunks(out, m_limits, m_sequence, *m_security, tooLarge))
        stream.write(chunk);
}

} // namespace opcua
