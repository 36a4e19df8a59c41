#include "opcua/fuzz/chunkfeed.h"

#include "opcua/channelendpoint.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace opcua::fuzz {

namespace {

constexpr size_t kSetupSize = 7;
constexpr uint32_t kChannelId = 1;

[[noreturn]] void bug(const std::string& what)
{
    std::fprintf(stderr, "channel feed: %s\n", what.c_str());
    std::abort();
}

struct Setup
{
    ChannelSide side = ChannelSide::Client;
    bool limitsAtOnce = false;
    bool openAtOnce = false;
    TransportLimits limits;
    uint8_t cut = 0;
};

Setup readSetup(const uint8_t* data)
{
    Setup setup;
    setup.side = (data[0] & 1) ? ChannelSide::Server : ChannelSide::Client;
    setup.openAtOnce = (data[0] & 4) != 0;
    // A channel opens only after the handshake, so opening at once sets the limits too.
    setup.limitsAtOnce = (data[0] & 2) != 0 || setup.openAtOnce;
    setup.limits.receiveBufferSize = 8 + (uint32_t(data[1]) | uint32_t(data[2]) << 8);
    setup.limits.maxMessageSize = uint32_t(data[3]) | uint32_t(data[4]) << 8;
    setup.limits.maxChunkCount = data[5];
    setup.cut = data[6];
    return setup;
}

// Piece lengths from 1 to 257 bytes in a pattern the cut byte picks, so that headers and
// bodies end up split at every place.
size_t pieceSize(uint8_t cut, size_t index)
{
    return cut == 0 ? 1 : 1 + (size_t(cut) * (index + 1)) % 257;
}

// The most an endpoint may hold with these limits: less than one chunk of unread bytes, and
// kMaxUnfinishedMessages message bodies each within the size limit, or within as many chunks
// as the count limit allows. Zero when neither limit applies, so there is no bound to check.
size_t mostHeld(const TransportLimits& limits)
{
    size_t perMessage = limits.maxMessageSize;
    if (perMessage == 0)
        perMessage = size_t(limits.maxChunkCount) * limits.receiveBufferSize;
    if (perMessage == 0)
        return 0;
    return limits.receiveBufferSize + ChannelEndpoint::kMaxUnfinishedMessages * perMessage;
}

// What an owner does with what the endpoint hands out: sets the limits at the handshake (the
// server on HEL, the client on ACK), opens or renews the channel on an OPN message.
class Owner
{
public:
    Owner(ChannelEndpoint& endpoint, const Setup& setup) : m_endpoint(endpoint), m_setup(setup)
    {
        if (setup.limitsAtOnce)
            m_endpoint.setLimits(setup.limits);
        if (setup.openAtOnce)
            m_endpoint.open(kChannelId, ++m_token, {});
    }

    void act(const ChannelInput& input)
    {
        if (const auto* chunk = std::get_if<RawChunk>(&input)) {
            const MessageType handshake =
                m_setup.side == ChannelSide::Server ? MessageType::Hello : MessageType::Acknowledge;
            if (chunk->header.type == handshake)
                m_endpoint.setLimits(m_setup.limits);
            return;
        }
        const auto& message = std::get<AssembledMessage>(input);
        if (message.aborted && !message.abortError.isBad())
            bug("an aborted message carries " + statusName(message.abortError));
        if (message.aborted || message.type != MessageType::OpenSecureChannel)
            return;
        if (m_endpoint.isOpen())
            m_endpoint.renew(++m_token, {});
        else
            m_endpoint.open(kChannelId, ++m_token, {});
    }

private:
    ChannelEndpoint& m_endpoint;
    const Setup& m_setup;
    uint32_t m_token = 0;
};

} // namespace

size_t feedChannel(const uint8_t* data, size_t size)
{
    if (size < kSetupSize)
        return 0;
    const Setup setup = readSetup(data);
    const ByteView stream(data + kSetupSize, size - kSetupSize);
    const size_t bound = mostHeld(setup.limits);
    size_t taken = 0;
    try {
        ChannelEndpoint endpoint(setup.side, setup.limits.receiveBufferSize);
        Owner owner(endpoint, setup);
        size_t offset = 0;
        for (size_t piece = 0; offset < stream.size(); ++piece) {
            const size_t n = std::min(pieceSize(setup.cut, piece), stream.size() - offset);
            endpoint.feed(stream.subspan(offset, n));
            offset += n;
            while (auto input = endpoint.next()) {
                owner.act(*input);
                ++taken;
            }
            if (bound != 0 && endpoint.bufferedBytes() > bound)
                bug("holds " + std::to_string(endpoint.bufferedBytes()) + " bytes, above " +
                    std::to_string(bound));
        }
    } catch (const ChannelError&) {
        // The expected end of most random input; the connection would be closed here.
    } catch (const std::exception& e) {
        bug(std::string("unexpected exception: ") + e.what());
    }
    return taken;
}

} // namespace opcua::fuzz
