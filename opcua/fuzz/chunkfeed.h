#pragma once

#include <cstddef>
#include <cstdint>

namespace opcua::fuzz {

// Feeds one end of a channel (ChannelEndpoint) arbitrary bytes in arbitrary pieces and takes
// out everything they complete, acting on handshakes and OPN messages the way the owners do.
// The first seven input bytes choose the set-up, the rest is the byte stream:
//   [0] bit 0 server side (else client), bit 1 limits set at once (else at the first HEL or
//       ACK), bit 2 channel 1 with token 1 open at once (else at the first OPN message)
//   [1..2] receive buffer size - 8, little-endian
//   [3..4] largest message body, little-endian (0: no limit)
//   [5] most chunks per message (0: no limit)
//   [6] how the stream is cut into pieces (0: byte by byte)
// It stops at the first ChannelError, as the owners do. Anything else thrown, bytes held beyond
// what the limits allow, or an aborted message that reads as Good, is a bug: the function
// prints what went wrong and calls std::abort(), so that libFuzzer records the input.
// Returns the number of handshake and service messages taken out.
size_t feedChannel(const uint8_t* data, size_t size);

} // namespace opcua::fuzz
