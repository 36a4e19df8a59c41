#include "opcua/security/policy.h"

#include "opcua/securechannel.h"
#include "text/printable.h"

#include <algorithm>

namespace opcua::security {

static_assert(kSecurityPolicies[0].uri == kSecurityPolicyNone);

const SecurityPolicy* findSecurityPolicy(std::string_view uri)
{
    const auto found = std::ranges::find(kSecurityPolicies, uri, &SecurityPolicy::uri);
    return found == kSecurityPolicies.end() ? nullptr : &*found;
}

const SecurityPolicy& securityPolicy(std::string_view uri)
{
    if (const SecurityPolicy* policy = findSecurityPolicy(uri))
        return *policy;
    throw ChannelError(status::BadSecurityPolicyRejected,
                       "security policy " + text::quoted(uri) + " is not supported");
}

} // namespace opcua::security
