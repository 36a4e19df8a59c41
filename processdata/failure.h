#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace servo {

// Every failure the panel can meet. The numbers are what the operator sees; they are kept in
// the table in failure.cpp and never reused for another meaning.
enum class FailureCode {
    Overflow,                 // a number does not fit the 32-bit range of a bitwise AND
    TypeMismatch,             // a text that does not read as a number, or an unusable value type
    FieldReadFailed,          // the field could not produce its value
    FieldWriteFailed,         // the field refused or could not pass on a value
    FieldNotBound,            // the field has no item, or its connection name did not resolve
    ConnectionUnavailable,    // the data connection is not connected to its server
    ServerRejected,           // the server answered a request with a Bad status
    RequestTimedOut,          // the server did not answer a request in time
    ConnectionLost,           // the link to the server broke; it is being re-established
    ServerNotTrusted,         // the server's certificate is not in the trust list
    UserRefused,              // the server refused the user name, the password or anonymity
    NoMatchingEndpoint,       // the server offers no endpoint with the asked security
    SecurityCheckFailed,      // a certificate, signature or other security check failed
    ServerCertificateChanged, // the server presents another certificate than the trusted one
    LampFailed,               // a lamp colour could not be set
    ConfigurationInvalid,     // a setting of the data connection could not be used
    Unexpected,               // anything else raised inside a handler
};

struct FailureInfo
{
    FailureCode code;
    int number;
    std::string_view description;
};

const FailureInfo& failureInfo(FailureCode code);

// The error a field, a conversion or a lamp raises. It ends the handler it is raised in and is
// caught only by the panel's event dispatch, which reports it to the operator.
class Failure : public std::exception
{
public:
    // The detail often carries text from outside (a server's reason, a text value, a line of
    // the settings file); what the operator reads of it is bounded.
    static constexpr std::size_t kMaxDetailChars = 512;

    // At most this many detail lines make up one report of several problems.
    static constexpr std::size_t kMaxDetailLines = 20;

    explicit Failure(FailureCode code, const std::string& detail = {});
    // Several problems in one report: the description, then one line per detail, each made
    // printable and cut as a single detail is; lines beyond kMaxDetailLines are counted, not
    // shown.
    Failure(FailureCode code, const std::vector<std::string>& details);

    FailureCode code() const { return m_code; }
    int number() const;
    // The table's description, followed by the detail when one was given: made printable
    // (control characters and broken UTF-8 escaped, see text::printable) and cut to
    // kMaxDetailChars characters.
    const std::string& description() const { return m_description; }
    const char* what() const noexcept override { return m_description.c_str(); }

private:
    FailureCode m_code;
    std::string m_description;
};

} // namespace servo
