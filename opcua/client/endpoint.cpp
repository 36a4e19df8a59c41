#include "opcua/client/endpoint.h"

#include <algorithm>
#include <charconv>

namespace opcua {

namespace {

constexpr std::string_view kScheme = "opc.tcp://";

bool fail(std::string* error, std::string text)
{
    if (error)
        *error = std::move(text);
    return false;
}

bool isHostChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

bool isIpv6Char(char c)
{
    return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' ||
           c == '.';
}

bool parseInto(std::string_view url, Endpoint& endpoint, std::string* error)
{
    if (url.size() < kScheme.size() ||
        !std::equal(kScheme.begin(), kScheme.end(), url.begin(),
                    [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b + 32 : b); }))
        return fail(error, "the URL must start with opc.tcp://");
    std::string_view rest = url.substr(kScheme.size());
    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);

    std::string_view host;
    std::string_view port;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return fail(error, "the IPv6 address has no closing bracket");
        host = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                return fail(error, "unexpected text after the IPv6 address");
            port = after.substr(1);
            if (port.empty())
                return fail(error, "the port is missing after ':'");
        }
        for (char c : host) {
            if (!isIpv6Char(c))
                return fail(error, "the IPv6 address holds an invalid character");
        }
    } else {
        const std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
            if (port.empty())
                return fail(error, "the port is missing after ':'");
        }
        for (char c : host) {
            if (!isHostChar(c))
                return fail(error, "the host name holds an invalid character");
        }
    }
    if (host.empty())
        return fail(error, "the host is missing");
    if (!port.empty()) {
        unsigned value = 0;
        const auto [end, status] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (status != std::errc() || end != port.data() + port.size() || value == 0 ||
            value > 65535)
            return fail(error, "the port must be a number from 1 to 65535");
        endpoint.port = std::uint16_t(value);
    }
    endpoint.host = std::string(host);
    endpoint.url = std::string(url);
    return true;
}

} // namespace

std::optional<Endpoint> parseEndpoint(std::string_view url, std::string* error)
{
    Endpoint endpoint;
    if (!parseInto(url, endpoint, error))
        return std::nullopt;
    return endpoint;
}

} // namespace opcua
