// libFuzzer entry point for received chunks of a secured channel (Basic256Sha256,
// SignAndEncrypt). Each input goes to the server's end twice: as it came, which exercises the
// header decoder and every check before any byte behind the headers is trusted; and protected
// with the client's keys first, as a plain MSG chunk laid out up to its body, which gets through
// the checks and exercises the decoders that read verified bytes.
#include "opcua/security/chunkcrypto.h"
#include "opcua/security/keys.h"

namespace {

using namespace opcua;

struct Channel
{
    security::SymmetricChunkCrypto client;
    security::SymmetricChunkCrypto server;
};

// Fixed nonces, so that a crash reproduces from its input alone.
Channel makeChannel()
{
    const security::SecurityPolicy& policy =
        security::securityPolicy("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
    const ByteBuffer clientNonce(policy.nonceLength, 0x11);
    const ByteBuffer serverNonce(policy.nonceLength, 0x22);
    const auto keys = security::deriveChannelKeys(policy, clientNonce, serverNonce);
    const auto mode = MessageSecurityMode::SignAndEncrypt;
    return {security::SymmetricChunkCrypto(policy, mode, keys.client, keys.server),
            security::SymmetricChunkCrypto(policy, mode, keys.server, keys.client)};
}

void receive(const ChunkCrypto& server, ByteView chunk)
{
    try {
        ChunkHeaders headers = decodeChunkHeaders(chunk);
        const ByteBuffer plain = server.verify(chunk, headers.plainSize);
        MessageAssembler assembler;
        if (auto message = assembler.add(decodeChunkPayload(std::move(headers), plain)))
            decodeServiceMessage(message->body);
    } catch (const Error&) {
        // Refusing is the expected outcome; the fuzzer looks for crashes and overruns.
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Channel channel = makeChannel();
    const ByteView input(data, size);
    receive(channel.server, input);
    if (size < security::kSymmetricHeaderSize + kSequenceHeaderSize)
        return 0;
    try {
        const ByteBuffer sealed = channel.client.protect(ByteBuffer(input.begin(), input.end()),
                                                         security::kSymmetricHeaderSize);
        receive(channel.server, sealed);
    } catch (const Error&) {
        // Protecting refuses what no chunk could hold.
    }
    return 0;
}
