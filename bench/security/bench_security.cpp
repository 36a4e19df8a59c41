// How long one side spends on security per MSG chunk of a typical 1 KB service message
// (Basic256Sha256: protect on the sender, verify on the receiver, in Sign and in SignAndEncrypt
// mode), and per token on deriving both sides' keys from the nonces.
#include "opcua/securechannel.h"
#include "opcua/security/chunkcrypto.h"

#include <benchmark/benchmark.h>

namespace {

using namespace opcua;
using namespace opcua::security;

const SecurityPolicy& basic256Sha256()
{
    return securityPolicy("http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
}

ByteBuffer nonce(uint8_t fill)
{
    return ByteBuffer(basic256Sha256().nonceLength, fill);
}

ByteBuffer messageChunk(size_t bodySize)
{
    SecureChunk chunk;
    chunk.secureChannelId = 7;
    chunk.security = SymmetricSecurityHeader{1};
    chunk.sequence = {51, 17};
    chunk.body.assign(bodySize, 0x5a);
    return encodeSecureChunk(chunk);
}

void protectAndVerifyMessage(benchmark::State& state, MessageSecurityMode mode)
{
    const ChannelKeys keys = deriveChannelKeys(basic256Sha256(), nonce(1), nonce(2));
    const SymmetricChunkCrypto client(basic256Sha256(), mode, keys.client, keys.server);
    const SymmetricChunkCrypto server(basic256Sha256(), mode, keys.server, keys.client);
    const ByteBuffer plain = messageChunk(1024);
    for (auto _ : state) {
        const ByteBuffer sent = client.protect(plain, kSymmetricHeaderSize);
        ByteBuffer received = server.verify(sent, kSymmetricHeaderSize);
        benchmark::DoNotOptimize(received);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * int64_t(plain.size()));
}

void deriveKeys(benchmark::State& state)
{
    const ByteBuffer clientNonce = nonce(1);
    const ByteBuffer serverNonce = nonce(2);
    for (auto _ : state) {
        ChannelKeys keys = deriveChannelKeys(basic256Sha256(), clientNonce, serverNonce);
        benchmark::DoNotOptimize(keys);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK_CAPTURE(protectAndVerifyMessage, sign, MessageSecurityMode::Sign);
BENCHMARK_CAPTURE(protectAndVerifyMessage, signAndEncrypt, MessageSecurityMode::SignAndEncrypt);
BENCHMARK(deriveKeys);

BENCHMARK_MAIN();
