#include "opcua/channelendpoint.h"

#include "opcua/security/crypto.h"
#include "opcua/security/keys.h"
#include "text/printable.h"

#include <algorithm>

namespace opcua {

namespace {

// What an outgoing message's buffer starts with: enough for a Publish response of tens of
// values with its headers, padding and signature.
constexpr size_t kFirstChunkCapacity = 2048;

void requireCredentials(const ChannelSecurity& security)
{
    if (security.policy->isNone())
        return;
    if (!security.ownCertificate || !security.ownKey || !security.peerCertificate)
        throw ChannelError(status::BadConfigurationError,
                           "security policy " + std::string(security.policy->name) +
                               " needs the own certificate and key and the peer's certificate");
}

} // namespace

bool leadsWith(const ByteString& certificateField, const pki::Certificate& certificate)
{
    const ByteBuffer& field = certificateField.bytes();
    const ByteBuffer& der = certificate.der();
    return field.size() >= der.size() && std::equal(der.begin(), der.end(), field.begin());
}

ChannelEndpoint::ChannelEndpoint(ChannelSide side, uint32_t receiveBufferSize,
                                 ChannelSecurity security)
    : m_side(side), m_reader(receiveBufferSize)
{
    useSecurity(std::move(security));
}

ChannelEndpoint::ChannelEndpoint(uint32_t receiveBufferSize, OpenAcceptor acceptor)
    : m_side(ChannelSide::Server), m_acceptor(std::move(acceptor)), m_reader(receiveBufferSize)
{}

void ChannelEndpoint::useSecurity(ChannelSecurity security)
{
    requireCredentials(security);
    m_security = std::move(security);
    EVP_PKEY* ownKey = m_security.ownKey ? m_security.ownKey->get() : nullptr;
    EVP_PKEY* peerKey =
        m_security.peerCertificate ? m_security.peerCertificate->publicKey() : nullptr;
    m_opening =
        std::make_unique<security::AsymmetricChunkCrypto>(*m_security.policy, ownKey, peerKey);
}

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
    checkPhase(chunk.header.type);
    ChunkHeaders headers = decodeChunkHeaders(chunk.bytes);
    checkChannel(headers);
    const ByteBuffer plain = cryptoFor(headers).verify(chunk.bytes, headers.plainSize);
    tokenUsed(headers);
    auto message = m_assembler.add(decodeChunkPayload(std::move(headers), plain));
    if (m_assembler.pendingMessages() > kMaxUnfinishedMessages)
        throw ChannelError(status::BadTcpNotEnoughResources, "too many unfinished messages");
    return message;
}

// Refuses a secure chunk the phase does not take, before anything in it is decoded.
void ChannelEndpoint::checkPhase(MessageType type) const
{
    switch (m_phase) {
    case Phase::Greeting:
        throw ChannelError(status::BadTcpMessageTypeInvalid,
                           std::string(messageTypeName(type)) +
                               " arrived before the handshake ended");
    case Phase::ChoosingSecurity:
    case Phase::Opening:
        if (type != MessageType::OpenSecureChannel)
            throw ChannelError(status::BadTcpSecureChannelUnknown, "no secure channel is open");
        return;
    case Phase::Open:
        return;
    }
}

bool ChannelEndpoint::maySend(MessageType type) const
{
    switch (m_phase) {
    case Phase::Greeting:
    case Phase::ChoosingSecurity:
        return false;
    case Phase::Opening:
        return type == MessageType::OpenSecureChannel;
    case Phase::Open:
        return true;
    }
    return false;
}

// Until the channel is open checkPhase() lets only OPN chunks through, which name no channel yet.
void ChannelEndpoint::checkChannel(const ChunkHeaders& headers) const
{
    if (m_phase != Phase::Open)
        return;
    if (headers.secureChannelId != m_channelId)
        throw ChannelError(status::BadTcpSecureChannelUnknown,
                           "a chunk for secure channel " + std::to_string(headers.secureChannelId) +
                               " arrived on channel " + std::to_string(m_channelId));
    if (headers.header.type == MessageType::OpenSecureChannel)
        return;
    const uint32_t token = std::get<SymmetricSecurityHeader>(headers.security).tokenId;
    if (!findToken(token))
        throw ChannelError(status::BadSecureChannelTokenUnknown,
                           "unknown security token " + std::to_string(token));
}

const ChunkCrypto& ChannelEndpoint::cryptoFor(const ChunkHeaders& headers)
{
    if (const auto* asymmetric = std::get_if<AsymmetricSecurityHeader>(&headers.security))
        return openingCrypto(*asymmetric);
    return *findToken(std::get<SymmetricSecurityHeader>(headers.security).tokenId)->crypto;
}

const ChunkCrypto& ChannelEndpoint::openingCrypto(const AsymmetricSecurityHeader& header)
{
    if (m_phase == Phase::ChoosingSecurity) {
        useSecurity(m_acceptor(header));
        m_acceptor = nullptr;
        m_phase = Phase::Opening;
    }
    checkOpeningHeader(header);
    return *m_opening;
}

// Every OPN chunk of a channel names the channel's policy, comes from the peer's certificate and
// is meant for this side's.
void ChannelEndpoint::checkOpeningHeader(const AsymmetricSecurityHeader& header) const
{
    const security::SecurityPolicy& policy = *m_security.policy;
    if (header.securityPolicyUri.str() != policy.uri)
        throw ChannelError(status::BadSecurityPolicyRejected,
                           "security policy \"" + text::printable(header.securityPolicyUri.str()) +
                               "\" is not the channel's, " + std::string(policy.name));
    if (policy.isNone())
        return;
    if (!leadsWith(header.senderCertificate, *m_security.peerCertificate))
        security::securityChecksFailed("the OPN chunk comes from another certificate");
    if (header.receiverCertificateThumbprint.bytes() != m_security.ownCertificate->thumbprint())
        security::securityChecksFailed("the OPN chunk is meant for another certificate");
}

AsymmetricSecurityHeader ChannelEndpoint::ownOpeningHeader() const
{
    AsymmetricSecurityHeader header;
    header.securityPolicyUri = String(std::string(m_security.policy->uri));
    if (!m_security.policy->isNone()) {
        header.senderCertificate = ByteString(m_security.ownCertificate->der());
        header.receiverCertificateThumbprint = ByteString(m_security.peerCertificate->thumbprint());
    }
    return header;
}

// Called once the chunk is verified, so that only a genuine chunk retires a token.
void ChannelEndpoint::tokenUsed(const ChunkHeaders& headers)
{
    const auto* symmetric = std::get_if<SymmetricSecurityHeader>(&headers.security);
    if (!symmetric || m_side != ChannelSide::Server)
        return;
    while (m_tokens.front().id != symmetric->tokenId)
        m_tokens.pop_front();
    m_sendToken = symmetric->tokenId;
}

void ChannelEndpoint::setLimits(const TransportLimits& limits)
{
    m_limits = limits;
    m_reader.setMaxChunkSize(limits.receiveBufferSize);
    m_assembler.setLimits(limits.maxMessageSize, limits.maxChunkCount);
    if (m_phase == Phase::Greeting)
        m_phase = m_acceptor ? Phase::ChoosingSecurity : Phase::Opening;
}

void ChannelEndpoint::setSecurityMode(MessageSecurityMode mode)
{
    if (m_phase == Phase::Open && mode != m_security.mode)
        throw ChannelError(status::BadSecurityModeRejected,
                           "the security mode cannot change on an open channel");
    m_security.mode = mode;
}

ByteString ChannelEndpoint::newNonce() const
{
    return ByteString(security::randomBytes(m_security.policy->nonceLength));
}

ChannelEndpoint::Token ChannelEndpoint::makeToken(uint32_t tokenId, TokenNonces nonces) const
{
    const security::SecurityPolicy& policy = *m_security.policy;
    const security::ChannelKeys keys =
        security::deriveChannelKeys(policy, nonces.client, nonces.server);
    const bool client = m_side == ChannelSide::Client;
    return {tokenId, std::make_unique<security::SymmetricChunkCrypto>(
                         policy, m_security.mode, client ? keys.client : keys.server,
                         client ? keys.server : keys.client)};
}

const ChannelEndpoint::Token* ChannelEndpoint::findToken(uint32_t tokenId) const
{
    const auto it = std::ranges::find(m_tokens, tokenId, &Token::id);
    return it == m_tokens.end() ? nullptr : &*it;
}

void ChannelEndpoint::open(uint32_t channelId, uint32_t tokenId, TokenNonces nonces)
{
    if (m_phase == Phase::Greeting || m_phase == Phase::ChoosingSecurity)
        throw ChannelError(status::BadInternalError,
                           "a channel opens only after the handshake, with its security known");
    Token token = makeToken(tokenId, nonces);
    m_tokens.clear();
    m_tokens.push_back(std::move(token));
    m_phase = Phase::Open;
    m_channelId = channelId;
    m_sendToken = tokenId;
}

void ChannelEndpoint::renew(uint32_t tokenId, TokenNonces nonces)
{
    if (m_phase != Phase::Open)
        throw ChannelError(status::BadTcpSecureChannelUnknown, "no secure channel is open");
    m_tokens.push_back(makeToken(tokenId, nonces));
    if (m_side == ChannelSide::Client)
        m_sendToken = tokenId;
    while (m_tokens.size() > kAcceptedTokens)
        m_tokens.pop_front();
    if (!findToken(m_sendToken))
        m_sendToken = m_tokens.front().id;
}

void ChannelEndpoint::send(Stream& stream, MessageType type, uint32_t requestId,
                           const ServiceMessage& message)
{
    if (!maySend(type))
        throw ChannelError(status::BadTcpSecureChannelUnknown, "no secure channel is open");
    const bool opening = type == MessageType::OpenSecureChannel;
    const Token* token = opening ? nullptr : findToken(m_sendToken);
    OutgoingMessage out;
    out.type = type;
    out.secureChannelId = m_channelId;
    out.security = opening ? SecurityHeader(ownOpeningHeader())
                           : SecurityHeader(SymmetricSecurityHeader{m_sendToken});
    out.requestId = requestId;
    // The message is encoded behind the headers of its first chunk, so that one that fits a
    // chunk is sent from the buffer it was encoded into; with room for most messages and
    // their protection, that buffer is allocated once.
    Encoder encoder;
    encoder.reserve(std::min<size_t>(m_limits.sendBufferSize, kFirstChunkCapacity));
    const size_t headersSize = encodeChunkHeaders(encoder, out);
    encodeServiceMessage(encoder, message);
    const ChunkCrypto& crypto =
        opening ? static_cast<const ChunkCrypto&>(*m_opening) : *token->crypto;
    const StatusCode tooLarge =
        m_side == ChannelSide::Client ? status::BadRequestTooLarge : status::BadResponseTooLarge;
    for (const ByteBuffer& chunk :
         splitIntoChunks(out, encoder, headersSize, m_limits, m_sequence, crypto, tooLarge))
        stream.write(chunk);
}

} // namespace opcua
