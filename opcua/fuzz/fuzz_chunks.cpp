// libFuzzer entry point: every input is a channel set-up followed by the bytes it receives.
#include "opcua/fuzz/chunkfeed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    opcua::fuzz::feedChannel(data, size);
    return 0;
}
