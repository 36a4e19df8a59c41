#include "opcua/fuzz/roundtrip.h"

#include "opcua/binary.h"
#include "opcua/nodeid.h"
#include "opcua/securechannel.h"
#include "opcua/services.h"
#include "opcua/tcp.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace opcua::fuzz {

namespace {

constexpr uint8_t kTargetCount = 6;

[[noreturn]] void bug(const char* what)
{
    std::fprintf(stderr, "round trip failed: %s\n", what);
    std::abort();
}

// Decode, encode, decode the encoding, encode again: the two encodings must agree. The first
// decode may normalise (a four-byte node id becomes two-byte, a null array empty), so the
// comparison is between the encodings of the first and second decode.
template <class Decode, class Encode> void stable(ByteView input, Decode decode, Encode encode)
{
    const auto first = decode(input);
    const ByteBuffer once = encode(first);
    const auto second = decode(ByteView(once));
    const ByteBuffer twice = encode(second);
    if (once != twice)
        bug("re-encoding changed the bytes");
}

template <class T> void builtin(ByteView input)
{
    stable(
        input, [](ByteView b) { return decodeFromBytes<T>(b); },
        [](const T& v) { return encodeToBytes(v); });
}

void serviceMessage(ByteView input)
{
    stable(
        input, [](ByteView b) { return decodeServiceMessage(b); },
        [](const ServiceMessage& m) { return encodeServiceMessage(m); });
}

void secureChunk(ByteView input)
{
    stable(
        input, [](ByteView b) { return decodeSecureChunk(b); },
        [](const SecureChunk& c) { return encodeSecureChunk(c); });
}

void tcpStream(ByteView input)
{
    ChunkReader reader(1 << 16);
    // Feeding in uneven pieces exercises partial headers and bodies.
    size_t offset = 0;
    size_t piece = 1;
    while (offset < input.size()) {
        const size_t n = std::min(piece, input.size() - offset);
        reader.feed(input.subspan(offset, n));
        offset += n;
        piece = piece * 2 + 1;
        while (auto chunk = reader.next()) {
            switch (chunk->header.type) {
            case MessageType::Hello:
                if (encodeHello(decodeHello(chunk->bytes)) != chunk->bytes)
                    bug("Hello re-encoding differs");
                break;
            case MessageType::Acknowledge:
                if (encodeAcknowledge(decodeAcknowledge(chunk->bytes)) != chunk->bytes)
                    bug("Acknowledge re-encoding differs");
                break;
            case MessageType::Error:
                stable(
                    ByteView(chunk->bytes), [](ByteView b) { return decodeError(b); },
                    [](const ErrorMessage& m) { return encodeError(m); });
                break;
            case MessageType::ReverseHello:
                break;
            case MessageType::OpenSecureChannel:
            case MessageType::Message:
            case MessageType::CloseSecureChannel:
                secureChunk(chunk->bytes);
                break;
            }
        }
    }
}

void nodeIdText(ByteView input)
{
    const std::string text(reinterpret_cast<const char*>(input.data()), input.size());
    const ExpandedNodeId id = parseExpandedNodeId(text);
    const std::string once = toString(id);
    if (parseExpandedNodeId(once) != id)
        bug("node id text does not parse back to the same id");
}

} // namespace

std::string targetName(uint8_t selector)
{
    static const char* const kNames[kTargetCount] = {"service", "variant",   "datavalue",
                                                     "chunk",   "tcpstream", "nodeid"};
    return kNames[selector % kTargetCount];
}

Outcome checkRoundTrip(const uint8_t* data, size_t size)
{
    if (size == 0)
        return Outcome::Rejected;
    const ByteView input(data + 1, size - 1);
    try {
        switch (data[0] % kTargetCount) {
        case 0:
            serviceMessage(input);
            break;
        case 1:
            builtin<Variant>(input);
            break;
        case 2:
            builtin<DataValue>(input);
            break;
        case 3:
            secureChunk(input);
            break;
        case 4:
            tcpStream(input);
            break;
        case 5:
            nodeIdText(input);
            break;
        }
        return Outcome::RoundTrip;
    } catch (const Error&) {
        return Outcome::Rejected;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "unexpected exception: %s\n", e.what());
        std::abort();
    }
}

} // namespace opcua::fuzz
