#pragma once

#include <cstddef>
#include <cstdint>

namespace opcua::fuzz {

// Plays one client connection against a fresh opcua::Server behind an in-memory stream, on a
// manual clock. The input is a flag byte followed by records:
//   flags bit 0: a Hello and an OpenSecureChannel request (channel 1 and token 1 granted,
//     sequence number 1, request id 1) go first, so that the records begin with services;
//   flags bit 1: every record that is one OPN, MSG or CLO chunk gets the next sequence
//     number, as a client numbers its chunks;
//   record: [length, 2 bytes little-endian][clock step][length bytes], delivered at once,
//     after which the clock moves on by step * 16 ms.
// The server's authentication tokens are random; a record naming the all-zero Guid token in
// namespace 1 gets the token of the session created last, as a client copies it from the
// CreateSession response. After the last record the client goes away and the clock passes
// every timeout.
// Bugs, on which the function prints what went wrong and calls std::abort() so that libFuzzer
// records the input: anything thrown out of the server, a message from the server that does
// not decode, and a session, subscription or connection left once every timeout has passed.
// Returns the number of service responses the server sent.
size_t runSession(const uint8_t* data, size_t size);

} // namespace opcua::fuzz
