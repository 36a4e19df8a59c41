#pragma once

#include "opcua/io.h"
#include "opcua/pki/certificate.h"
#include "opcua/securechannel.h"
#include "opcua/security/chunkcrypto.h"
#include "opcua/security/policy.h"
#include "opcua/services.h"
#include "opcua/tcp.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

namespace opcua {

// Which end of a channel: the client asks for tokens, the server issues them.
enum class ChannelSide {
    Client, // sends with a renewed token at once; keeps accepting the tokens before it
    Server, // sends with the old token until the client uses the new one, which retires the old
};

// How one end protects its channel. With any policy but None, OPN chunks are signed with the
// own key and encrypted to the peer's certificate, and MSG and CLO chunks are signed (mode Sign)
// or signed and encrypted (SignAndEncrypt) with keys derived per token.
struct ChannelSecurity
{
    const security::SecurityPolicy* policy = &security::kSecurityPolicies[0];
    MessageSecurityMode mode = MessageSecurityMode::None;
    // Unused with policy None.
    std::optional<pki::Certificate> ownCertificate;
    std::optional<pki::PrivateKey> ownKey;
    std::optional<pki::Certificate> peerCertificate;
};

// Whether a certificate field as peers send it (the certificate, possibly followed by its
// issuers') holds this certificate first.
bool leadsWith(const ByteString& certificateField, const pki::Certificate& certificate);

// What a server makes of the security header of a client's first OPN chunk: the security of the
// channel (the policy it names, the server's certificate and key for it, the client's
// certificate, mode None until the request says), or a ChannelError refusing it. The endpoint
// then checks that header and every later OPN chunk against what was returned.
using OpenAcceptor = std::function<ChannelSecurity(const AsymmetricSecurityHeader&)>;

// The nonces of one token, from the OpenSecureChannel request and response; its keys are
// derived from them.
struct TokenNonces
{
    ByteView client;
    ByteView server;
};

// What a connection receives: a handshake message (HEL, ACK, ERR or RHE), whole, for the owner
// to act on, or a service message put together from its OPN, MSG or CLO chunks.
using ChannelInput = std::variant<RawChunk, AssembledMessage>;

// One end of a secure channel: what the client and the server share of receiving and sending.
// It cuts the incoming bytes into chunks, checks each OPN, MSG and CLO chunk against the channel
// (id, security header, token, sequence number, limits), verifies its protection before
// anything after its plain headers is decoded, and puts the messages back together; it splits,
// numbers and protects what is sent. It keeps the channel's security: the asymmetric protection
// of OPN chunks and the symmetric protection of each accepted token. The owner keeps what
// differs between the ends: the handshake, which side issues tokens, and what a message means.
//
// Every failure is a ChannelError whose status is what the server sends in its ERR message and
// the client reports; the connection is unusable afterwards.
class ChannelEndpoint
{
public:
    // `receiveBufferSize` bounds the chunks accepted until the handshake sets the limits. Throws
    // ChannelError (BadSecurityPolicyRejected) when a key does not fit the policy, and
    // (BadConfigurationError) when a certificate or key the policy needs is missing.
    ChannelEndpoint(ChannelSide side, uint32_t receiveBufferSize, ChannelSecurity security = {});
    // A server's end whose security the client's first OPN chunk chooses.
    ChannelEndpoint(uint32_t receiveBufferSize, OpenAcceptor acceptor);

    // Bytes as they arrive; next() hands out what they complete, one at a time, so that the
    // owner can act on each (e.g. set the limits after the handshake) before the next is read.
    // nullopt when more bytes are needed. Throws ChannelError for anything malformed, out of
    // place or failing its checks, and for more than kMaxUnfinishedMessages messages begun and
    // not finished.
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
    // (BadTcpMessageTypeInvalid) until they are set; setting them again later changes only the
    // limits.
    void setLimits(const TransportLimits& limits);
    const TransportLimits& limits() const { return m_limits; }

    const ChannelSecurity& security() const { return m_security; }
    // The mode the client asked for in its first OPN request, on a server's end. Throws
    // ChannelError (BadSecurityModeRejected) for another mode once the channel is open; a mode
    // that does not go with the policy is refused so when the first token is made.
    void setSecurityMode(MessageSecurityMode mode);
    // A fresh nonce of the length the policy asks for (none with None), for an OpenSecureChannel
    // request or response.
    ByteString newNonce() const;

    // The channel's id and first token, once issued after the handshake (before it, or before a
    // server's end knows its security, BadInternalError); further tokens, once renewed (before
    // the channel is open, BadTcpSecureChannelUnknown). Each token's
    // keys come from its nonces; a nonce the policy does not accept throws ChannelError
    // (BadNonceInvalid). MSG and CLO chunks are refused (BadTcpSecureChannelUnknown) before the
    // channel is open, as are chunks for another channel, and chunks naming a token that is not
    // accepted (BadSecureChannelTokenUnknown). On a server a token is accepted until the client
    // uses a newer one; on a client, for as long as it is one of the last kAcceptedTokens,
    // because servers answer each request with the token it came with, however long they hold
    // it.
    void open(uint32_t channelId, uint32_t tokenId, TokenNonces nonces);
    void renew(uint32_t tokenId, TokenNonces nonces);
    bool isOpen() const { return m_phase == Phase::Open; }
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
    // Where the channel stands, which decides the secure chunks it takes and sends.
    enum class Phase {
        // Before the handshake sets the limits: only HEL, ACK, ERR and RHE chunks pass.
        Greeting,
        // A server's end after the handshake whose security the client's first OPN chunk is
        // yet to choose through the acceptor: only that OPN chunk passes.
        ChoosingSecurity,
        // The security is known and no token issued: OPN chunks pass and may be sent.
        Opening,
        // A channel id and its tokens: OPN chunks renew, MSG and CLO chunks flow.
        Open,
    };

    struct Token
    {
        uint32_t id = 0;
        std::unique_ptr<security::SymmetricChunkCrypto> crypto;
    };

    std::optional<RawChunk> nextChunk();
    std::optional<AssembledMessage> receive(RawChunk chunk);
    void checkPhase(MessageType type) const;
    bool maySend(MessageType type) const;
    void checkChannel(const ChunkHeaders& headers) const;
    const ChunkCrypto& cryptoFor(const ChunkHeaders& headers);
    const ChunkCrypto& openingCrypto(const AsymmetricSecurityHeader& header);
    void checkOpeningHeader(const AsymmetricSecurityHeader& header) const;
    void useSecurity(ChannelSecurity security);
    AsymmetricSecurityHeader ownOpeningHeader() const;
    Token makeToken(uint32_t tokenId, TokenNonces nonces) const;
    const Token* findToken(uint32_t tokenId) const;
    void tokenUsed(const ChunkHeaders& headers);

    ChannelSide m_side;
    Phase m_phase = Phase::Greeting;
    OpenAcceptor m_acceptor; // used in ChoosingSecurity only
    ChannelSecurity m_security;
    std::unique_ptr<security::AsymmetricChunkCrypto> m_opening; // null in ChoosingSecurity
    ChunkReader m_reader;
    MessageAssembler m_assembler;
    TransportLimits m_limits;
    SequenceNumberGenerator m_sequence;
    uint32_t m_channelId = 0;
    std::deque<Token> m_tokens; // accepted, oldest first; the last is the newest
    uint32_t m_sendToken = 0;
};

} // namespace opcua
