#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace opcua::fuzz {

// What one input did: it was rejected with a protocol error (the expected outcome for most
// random input), or it decoded and its re-encoding decoded and re-encoded to the same bytes.
enum class Outcome {
    Rejected,  // decoding threw an opcua::Error
    RoundTrip, // decoded, and the re-encoding was stable
};

// The first byte of the input picks what the rest is decoded as:
//   0 a service message (type id + body), 1 a Variant, 2 a DataValue, 3 a secure channel
//   chunk, 4 a UA-TCP byte stream (chunks, Hello/Acknowledge/Error), 5 node id text;
// other values wrap round. Any mismatch between the first and second re-encoding, and any
// exception other than opcua::Error, is a bug: the function then calls std::abort() after
// printing what went wrong to stderr, so that libFuzzer records the input.
Outcome checkRoundTrip(const uint8_t* data, size_t size);

// The names of the six targets, for seed files and reports.
std::string targetName(uint8_t selector);

} // namespace opcua::fuzz
