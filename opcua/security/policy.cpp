#include "opcua/security/policy.h"

#include "opcua/securechannel.h"
#include "text/printable.h"

#include <algorithm>

namespace opcua::security {

static_assert(kSecurityPolicies[0].uri == kSecurityPolicyNone);

// One ranking needs each strength once, and None below every other policy.
constexpr bool strengthsRankPolicies()
{
    for (size_t i = 0; i < kSecurityPolicies.size(); ++i) {
        if ((i == 0) != (kSecurityPolicies[i].strength == 0))
            return false;
        for (size_t j = 0; j < i; ++j) {
            if (kSecurityPolicies[i].strength == kSecurityPolicies[j].strength)
                return false;
        }
    }
    return true;
}
static_assert(strengthsRankPolicies());

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
