// libFuzzer entry point: every input is a client's side of one connection to the server.
#include "opcua/fuzz/sessionfeed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    opcua::fuzz::runSession(data, size);
    return 0;
}
