#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace opcua {

// Where a server listens, taken from an endpoint URL of the form
//   opc.tcp://host[:port][/path]
// The host is a name, an IPv4 address or an IPv6 address in brackets; the port defaults to 4840.
struct Endpoint
{
    std::string url;  // as given; sent to the server in Hello and CreateSession
    std::string host; // without brackets
    std::uint16_t port = 4840;

    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// The endpoint, or std::nullopt with *error (when given) saying what is wrong with the URL.
std::optional<Endpoint> parseEndpoint(std::string_view url, std::string* error = nullptr);

} // namespace opcua
