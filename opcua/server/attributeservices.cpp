#include "opcua/server/servicecall.h"

namespace opcua {

void serveRead(const ServiceCall& call, const ReadRequest& request)
{
    StatusCode check = status::Good;
    if (!isValidChoice(request.timestampsToReturn))
        check = status::BadTimestampsToReturnInvalid;
    else if (!(request.maxAge >= 0.0))
        check = status::BadMaxAgeInvalid;
    serveEach<ReadResponse>(
        call, request.nodesToRead,
        [&](const ReadValueId& item) {
            return call.core.space.read(item, request.timestampsToReturn, call.now);
        },
        check);
}

void serveWrite(const ServiceCall& call, const WriteRequest& request)
{
    serveEach<WriteResponse>(call, request.nodesToWrite,
                             [&](const WriteValue& item) { return call.core.space.write(item); });
}

} // namespace opcua
