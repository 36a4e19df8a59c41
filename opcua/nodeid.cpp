#include "opcua/nodeid.h"

#include <array>
#include <charconv>
#include <optional>

namespace opcua {

namespace {

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string toBase64(const ByteBuffer& bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = uint32_t(bytes[i]) << 16;
        if (n > 1)
            group |= uint32_t(bytes[i + 1]) << 8;
        if (n > 2)
            group |= bytes[i + 2];
        for (size_t k = 0; k < 4; ++k)
            text += k <= n ? kBase64[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return text;
}

// The standard alphabet; the padding may be left out. Anything else is refused.
std::optional<ByteBuffer> fromBase64(std::string_view text)
{
    while (!text.empty() && text.back() == '=' && text.size() % 4 != 1)
        text.remove_suffix(1);
    if (text.size() % 4 == 1)
        return std::nullopt;
    ByteBuffer bytes;
    uint32_t group = 0;
    int bits = 0;
    for (const char c : text) {
        const size_t value = kBase64.find(c);
        if (value == std::string_view::npos)
            return std::nullopt;
        group = (group << 6) | uint32_t(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(uint8_t(group >> bits));
        }
    }
    return bytes;
}

[[noreturn]] void invalid(std::string_view text, const std::string& why)
{
    throw NodeIdError(status::BadNodeIdInvalid,
                      "invalid node id \"" + std::string(text) + "\": " + why);
}

// A decimal number without sign or spaces that fits `max`.
bool parseDecimal(std::string_view digits, uint64_t max, uint64_t& out)
{
    if (digits.empty() || digits.size() > 20)
        return false;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
    }
    const auto* end = digits.data() + digits.size();
    const auto result = std::from_chars(digits.data(), end, out);
    return result.ec == std::errc() && result.ptr == end && out <= max;
}

// Parses the identifier part ("i=5", "s=Name" ...) for namespace ns.
NodeId parseIdentifier(std::string_view whole, std::string_view id, uint16_t ns)
{
    if (id.size() < 2 || id[1] != '=')
        invalid(whole, "expected i=, s=, g= or b= after the namespace");
    const std::string_view value = id.substr(2);
    switch (id[0]) {
    case 'i': {
        uint64_t number = 0;
        if (!parseDecimal(value, 0xFFFFFFFFu, number))
            invalid(whole, "numeric identifier must be a decimal number below 4294967296");
        return NodeId(ns, uint32_t(number));
    }
    case 's':
        if (value.empty())
            invalid(whole, "string identifier is empty");
        return NodeId(ns, String(value));
    case 'g': {
        const auto guid = Guid::parse(value);
        if (!guid)
            invalid(whole, "guid identifier must look like 72962B91-FA75-4AE6-8D28-B404DC7DAF63");
        return NodeId(ns, *guid);
    }
    case 'b': {
        if (value.empty())
            invalid(whole, "bytestring identifier is empty");
        auto decoded = fromBase64(value);
        if (!decoded)
            invalid(whole, "bytestring identifier is not valid base64");
        return NodeId(ns, ByteString(std::move(*decoded)));
    }
    default:
        invalid(whole, "unknown identifier type '" + std::string(1, id[0]) + "'");
    }
}

// Splits "key=value;rest" when text starts with key=; returns false otherwise.
bool takeField(std::string_view& text, std::string_view key, std::string_view& value)
{
    if (text.substr(0, key.size()) != key)
        return false;
    const size_t semicolon = text.find(';', key.size());
    if (semicolon == std::string_view::npos) {
        value = text.substr(key.size());
        text = {};
        return true;
    }
    value = text.substr(key.size(), semicolon - key.size());
    text = text.substr(semicolon + 1);
    return true;
}

uint16_t parseNamespaceIndex(std::string_view whole, std::string_view digits)
{
    uint64_t ns = 0;
    if (!parseDecimal(digits, 0xFFFF, ns))
        invalid(whole, "namespace index must be a decimal number below 65536");
    return uint16_t(ns);
}

std::string identifierText(const NodeId& id)
{
    switch (id.identifierType()) {
    case IdentifierType::Numeric:
        return "i=" + std::to_string(std::get<uint32_t>(id.identifier));
    case IdentifierType::String:
        return "s=" + std::get<String>(id.identifier).str();
    case IdentifierType::Guid:
        return "g=" + std::get<Guid>(id.identifier).toString();
    case IdentifierType::ByteString: {
        return "b=" + toBase64(std::get<ByteString>(id.identifier).bytes());
    }
    }
    return {};
}

} // namespace

NodeId parseNodeId(std::string_view text)
{
    if (text.empty())
        invalid(text, "empty text");
    std::string_view rest = text;
    std::string_view value;
    uint16_t ns = 0;
    if (takeField(rest, "ns=", value)) {
        ns = parseNamespaceIndex(text, value);
        if (rest.empty())
            invalid(text, "identifier missing after the namespace");
    } else if (text.substr(0, 4) == "nsu=") {
        invalid(text, "a namespace URI (nsu=) needs the server's namespace array; "
                      "use an expanded node id");
    } else if (text.substr(0, 4) == "svr=") {
        invalid(text, "a server index (svr=) is not allowed in a local node id");
    }
    return parseIdentifier(text, rest, ns);
}

ExpandedNodeId parseExpandedNodeId(std::string_view text)
{
    if (text.empty())
        invalid(text, "empty text");
    std::string_view rest = text;
    std::string_view value;
    uint32_t serverIndex = 0;
    if (takeField(rest, "svr=", value)) {
        uint64_t number = 0;
        if (!parseDecimal(value, 0xFFFFFFFFu, number))
            invalid(text, "server index must be a decimal number below 4294967296");
        serverIndex = uint32_t(number);
    }
    if (takeField(rest, "nsu=", value)) {
        if (value.empty())
            invalid(text, "namespace URI is empty");
        if (rest.empty())
            invalid(text, "identifier missing after the namespace URI");
        return ExpandedNodeId(parseIdentifier(text, rest, 0), String(value), serverIndex);
    }
    uint16_t ns = 0;
    if (takeField(rest, "ns=", value)) {
        ns = parseNamespaceIndex(text, value);
        if (rest.empty())
            invalid(text, "identifier missing after the namespace");
    }
    return ExpandedNodeId(parseIdentifier(text, rest, ns), String(), serverIndex);
}

std::string toString(const NodeId& id)
{
    if (id.namespaceIndex == 0)
        return identifierText(id);
    return "ns=" + std::to_string(id.namespaceIndex) + ";" + identifierText(id);
}

std::string toString(const ExpandedNodeId& id)
{
    std::string text;
    if (id.serverIndex != 0)
        text = "svr=" + std::to_string(id.serverIndex) + ";";
    if (!id.namespaceUri.isNull())
        return text + "nsu=" + id.namespaceUri.str() + ";" + identifierText(id.nodeId);
    return text + toString(id.nodeId);
}

NodeId resolve(const ExpandedNodeId& id, const std::vector<std::string>& namespaceArray)
{
    if (id.serverIndex != 0)
        throw NodeIdError(status::BadNodeIdUnknown,
                          "node id " + toString(id) + " lives on another server");
    if (id.namespaceUri.isNull())
        return id.nodeId;
    for (size_t i = 0; i < namespaceArray.size(); ++i) {
        if (namespaceArray[i] != id.namespaceUri.str())
            continue;
        if (i > 0xFFFF)
            break;
        NodeId local = id.nodeId;
        local.namespaceIndex = uint16_t(i);
        return local;
    }
    throw NodeIdError(status::BadNodeIdUnknown, "namespace \"" + id.namespaceUri.str() +
                                                    "\" of node id " + toString(id) +
                                                    " is not in the server's namespace array");
}

} // namespace opcua
