#include "opcua/security/openssl.h"

#include <openssl/err.h>

namespace opcua::ssl {

std::string lastError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown OpenSSL error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

} // namespace opcua::ssl
