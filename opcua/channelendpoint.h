#pragma once

#include "opcua/chunksecurity.h"
#include "opcua/io.h"
#include "opcua/securechannel.h"
#include "opcua/services.h"
#include "opcua/tcp.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <variant>

namespace opcua {

// Which end of a channel: the client asks for tokens, the server issues them.
enum class ChannelSide {
    Client, // sends with a renewed token at once; keeps accepting the tokens before it
    Server, // sends with the old token until the client uses the new one, which retires the old
};

// What a connection receives: a handshake message (HEL, ACK, ERR or RHE), whole, for the owner
// to act on, or a service message put together from its OPN, MSG or CLO chunks.
using ChannelInput = std::variant<RawChunk, AssembledMessage>;

// One end of a secure channel: what the client and the server share of receiving and sending.
// It cuts the incoming bytes into chunks, checks each OPN, MSG and CLO chunk against the channel
// (id, token, sequence number, limits), has ChunkSecurity verify it, and puts the messages back
// together; it splits, numbers and protects what is sent. The owner keeps what differs between
// the ends: the handshake, which side issues tokens, and what a message means.
//
// Every failure is a ChannelError whose status is what the server sends in its ERR message and
// the client reports; the connection is unusable afterwards.
class ChannelEndpoint
{
public:
    // `receiveBufferSize` bounds the chunks accepted until the handshake sets the limits.
    ChannelEndpoint(ChannelSide side, uint32_t receiveBufferSize,
                    std::unique_ptr<ChunkSecurity> security = std::make_unique<NoSecurity>());

    // Bytes as they arrive; next() hands out what they complete, one at a time, so that the
    // owner can act on each (e.g. set the limits after the handshake) before the next is read.
    // nullopt when more bytes are needed. Throws ChannelError for anything malformed or out of
    // place, and for more than kMaxUnfinishedMessages messages begun and not finished.
    void feed(ByteView bytes);
    std::optional<ChannelInput> next();
    // Whether bytes of a chunk, or chunks of a message, wait for the rest.
    bool hasUnfinishedInput() const
    {
        return m_reader.buffered() > 0 || m_assembler.pendingMessages() > 0;
    }
    // What is held between feed() and next(): the unread bytes and the unfinished messages.
    // The limits bound it; the fuzz targets check that they do.
    size_t bufferedBytes() const { return m_reader.buffered() + m_assembler.pendingBytes(); }

    // The limits agreed in the handshake. OPN, MSG and CLO chunks are refused
    // (BadTcpMessageTypeInvalid) until they are set.
    void setLimits(const TransportLimits& limits);
    const TransportLimits& limits() const { return m_limits; }

    // The channel's id and first token, once issued; further tokens, once renewed. MSG and CLO
    // chunks are refused (BadTcpSecureChannelUnknown) before the channel is open, as are chunks
    // for another channel, and chunks naming a token that is not accepted
    // (BadSecureChannelTokenUnknown). On a server a token is accepted until the client uses a
    // newer one; on a client, for as long as it is one of the last kAcceptedTokens, because
    // servers answer each request with the token it came with, however long they hold it.
    void open(uint32_t channelId, uint32_t tokenId);
    void renew(uint32_t tokenId);
    bool isOpen() const { return m_open; }
    uint32_t channelId() const { return m_channelId; }

    // Encodes a service message and writes it to `stream` in as many chunks as the peer's
    // limits ask for. Throws ChannelError (BadRequestTooLarge on a client, BadResponseTooLarge
    // on a server) before anything is written when the message is beyond those limits.
    void send(Stream& stream, MessageType type, uint32_t requestId, const ServiceMessage& message);

    // Peers send one message's chunks after another; more unfinished messages than this are
    // someone filling our memory.
    static constexpr size_t kMaxUnfinishedMessages = 4;
    // Enough for publish requests held across two renewals of the shortest token lifetime,
    // few enough to bound the keys a secured channel keeps.
    static constexpr size_t kAcceptedTokens = 4;

private:
    std::optional<RawChunk> nextChunk();
    std::optional<AssembledMessage> receive(RawChunk chunk);
    void checkChannel(const ChunkHeaders& headers) const;
    void tokenUsed(const ChunkHeaders& headers);
    void retireOldestToken();

    ChannelSide m_side;
    std::unique_ptr<ChunkSecurity> m_security;
    ChunkReader m_reader;
    MessageAssembler m_assembler;
    TransportLimits m_limits;
    bool m_handshakeDone = false;
    SequenceNumberGenerator m_sequence;
    bool m_open = false;
    uint32_t m_channelId = 0;
    std::deque<uint32_t> m_tokens; // accepted, oldest first; the last is the newest
    uint32_t m_sendToken = 0;
};

} // namespace opcua
