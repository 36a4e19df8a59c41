#pragma once

#include "opcua/messages.h"

#include <string_view>

namespace opcua {

// "None", "Sign", "SignAndEncrypt" (or "Invalid"), as logs, settings and options name the modes.
std::string_view securityModeName(MessageSecurityMode mode);

} // namespace opcua
