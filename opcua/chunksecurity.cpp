#include "opcua/chunksecurity.h"

#include "text/printable.h"

namespace opcua {

size_t NoSecurity::maxBodySize(MessageType, size_t chunkSize, size_t plainSize) const
{
    const size_t headers = plainSize + kSequenceHeaderSize;
    return chunkSize > headers ? chunkSize - headers : 0;
}

ByteBuffer NoSecurity::protect(MessageType, ByteBuffer chunk, size_t)
{
    return chunk;
}

ByteBuffer NoSecurity::verify(const ChunkHeaders& headers, ByteBuffer chunk)
{
    const auto* asymmetric = std::get_if<AsymmetricSecurityHeader>(&headers.security);
    if (asymmetric && asymmetric->securityPolicyUri.str() != kSecurityPolicyNone)
        throw ChannelError(status::BadSecurityPolicyRejected,
                           "security policy \"" +
                               text::printable(asymmetric->securityPolicyUri.str()) +
                               "\" is not supported; only None is");
    return chunk;
}

} // namespace opcua
