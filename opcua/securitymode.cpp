#include "opcua/securitymode.h"

namespace opcua {

std::string_view securityModeName(MessageSecurityMode mode)
{
    switch (mode) {
    case MessageSecurityMode::Invalid:
        return "Invalid";
    case MessageSecurityMode::None:
        return "None";
    case MessageSecurityMode::Sign:
        return "Sign";
    case MessageSecurityMode::SignAndEncrypt:
        return "SignAndEncrypt";
    }
    return "unknown";
}

} // namespace opcua
