#include "processdata/failure.h"

#include "text/printable.h"

#include <algorithm>
#include <array>

namespace servo {

namespace {

// Overflow and type mismatch keep the numbers operators of such panels already know.
constexpr std::array kFailures{
    FailureInfo{FailureCode::Overflow, 6, "Overflow"},
    FailureInfo{FailureCode::TypeMismatch, 13, "Type mismatch"},
    FailureInfo{FailureCode::FieldReadFailed, 1001, "Field value could not be read"},
    FailureInfo{FailureCode::FieldWriteFailed, 1002, "Field value could not be written"},
    FailureInfo{FailureCode::FieldNotBound, 1003, "Field is not bound to a process item"},
    FailureInfo{FailureCode::ConnectionUnavailable, 1010, "Data connection is not connected"},
    FailureInfo{FailureCode::ServerRejected, 1011, "Server rejected the request"},
    FailureInfo{FailureCode::RequestTimedOut, 1012, "Server did not answer in time"},
    FailureInfo{FailureCode::ConnectionLost, 1013, "Connection to the server lost"},
    FailureInfo{FailureCode::ServerNotTrusted, 1014, "Server certificate is not trusted"},
    FailureInfo{FailureCode::UserRefused, 1015, "Server refused the user"},
    FailureInfo{FailureCode::NoMatchingEndpoint, 1016, "No endpoint with the asked security"},
    FailureInfo{FailureCode::SecurityCheckFailed, 1017, "Security check failed"},
    FailureInfo{FailureCode::ServerCertificateChanged, 1018, "Server certificate changed"},
    FailureInfo{FailureCode::LampFailed, 1020, "Lamp colour could not be set"},
    FailureInfo{FailureCode::ConfigurationInvalid, 1030, "Data connection setting is invalid"},
    FailureInfo{FailureCode::Unexpected, 1099, "Unexpected failure"},
};

static_assert(kFailures.size() == std::size_t(FailureCode::Unexpected) + 1);

constexpr bool tableFollowsEnum()
{
    for (std::size_t i = 0; i < kFailures.size(); ++i) {
        if (std::size_t(kFailures[i].code) != i)
            return false;
    }
    return true;
}
static_assert(tableFollowsEnum(), "kFailures must list the codes in enum order");

} // namespace

const FailureInfo& failureInfo(FailureCode code)
{
    return kFailures[std::size_t(code)];
}

Failure::Failure(FailureCode code, const std::string& detail)
    : m_code(code), m_description(failureInfo(code).description)
{
    if (!detail.empty())
        m_description += ": " + text::printable(detail, kMaxDetailChars);
}

Failure::Failure(FailureCode code, const std::vector<std::string>& details)
    : m_code(code), m_description(failureInfo(code).description)
{
    if (details.empty())
        return;
    m_description += ':';
    const std::size_t shown = std::min(details.size(), kMaxDetailLines);
    for (std::size_t i = 0; i < shown; ++i)
        m_description += '\n' + text::printable(details[i], kMaxDetailChars);
    if (details.size() > shown)
        m_description += "\n… and " + std::to_string(details.size() - shown) + " more";
}

int Failure::number() const
{
    return failureInfo(m_code).number;
}

} // namespace servo
