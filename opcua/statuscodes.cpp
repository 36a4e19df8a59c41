#include "opcua/statuscodes.h"

#include <array>
#include <cstdio>

namespace opcua {

namespace {

// Every named code, walked by statusName.
constexpr StatusInfo kStatusTable[] = {
#define OPCUA_STATUS_ROW(name, value) {status::name, #name},
    OPCUA_STATUS_CODES(OPCUA_STATUS_ROW)
#undef OPCUA_STATUS_ROW
};

} // namespace

const StatusInfo* statusTableBegin()
{
    return std::begin(kStatusTable);
}

const StatusInfo* statusTableEnd()
{
    return std::end(kStatusTable);
}

std::string statusName(StatusCode code)
{
    for (const StatusInfo& row : kStatusTable) {
        if (row.code.sameCode(code))
            return std::string(row.name);
    }
    const char* severity = code.isGood() ? "Good" : code.isUncertain() ? "Uncertain" : "Bad";
    char text[32];
    std::snprintf(text, sizeof text, "%s(0x%08X)", severity, unsigned(code.code));
    return text;
}

} // namespace opcua
