// libFuzzer entry point: every input goes through the decode / re-encode / compare check.
#include "opcua/fuzz/roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    opcua::fuzz::checkRoundTrip(data, size);
    return 0;
}
