#include "opcua/types.h"

#include "opcua/nodeid.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>

namespace opcua {

namespace {

constexpr std::string_view kBuiltinTypeNames[] = {
    "Null",           "Boolean",       "SByte",           "Byte",           "Int16",
    "UInt16",         "Int32",         "UInt32",          "Int64",          "UInt64",
    "Float",          "Double",        "String",          "DateTime",       "Guid",
    "ByteString",     "XmlElement",    "NodeId",          "ExpandedNodeId", "StatusCode",
    "QualifiedName",  "LocalizedText", "ExtensionObject", "DataValue",      "Variant",
    "DiagnosticInfo",
};
static_assert(std::size(kBuiltinTypeNames) == 26);

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[pos]; false when any is not a hex digit.
bool readHex(std::string_view text, size_t pos, int digits, uint64_t& out)
{
    out = 0;
    for (int i = 0; i < digits; ++i) {
        const int v = hexValue(text[pos + size_t(i)]);
        if (v < 0)
            return false;
        out = (out << 4) | uint64_t(v);
    }
    return true;
}

} // namespace

std::string_view builtinTypeName(BuiltinType type)
{
    const auto index = size_t(type);
    return index < std::size(kBuiltinTypeNames) ? kBuiltinTypeNames[index] : "Unknown";
}

String::String(const char* text)
{
    if (text) {
        m_text = text;
        m_null = false;
    }
}

ByteString ByteString::fromText(std::string_view text)
{
    return ByteString(ByteBuffer(text.begin(), text.end()));
}

std::string Guid::toString() const
{
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  unsigned(data1), unsigned(data2), unsigned(data3), data4[0], data4[1], data4[2],
                  data4[3], data4[4], data4[5], data4[6], data4[7]);
    return text;
}

std::optional<Guid> Guid::parse(std::string_view text)
{
    if (text.size() == 38 && text.front() == '{' && text.back() == '}')
        text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-')
        return std::nullopt;
    Guid g;
    uint64_t v = 0;
    if (!readHex(text, 0, 8, v))
        return std::nullopt;
    g.data1 = uint32_t(v);
    if (!readHex(text, 9, 4, v))
        return std::nullopt;
    g.data2 = uint16_t(v);
    if (!readHex(text, 14, 4, v))
        return std::nullopt;
    g.data3 = uint16_t(v);
    static constexpr size_t kData4Positions[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (size_t i = 0; i < 8; ++i) {
        if (!readHex(text, kData4Positions[i], 2, v))
            return std::nullopt;
        g.data4[i] = uint8_t(v);
    }
    return g;
}

DateTime DateTime::now()
{
    return fromTimePoint(std::chrono::system_clock::now());
}

DateTime DateTime::fromUnixMilliseconds(int64_t ms)
{
    return DateTime{kUnixEpochTicks + ms * kTicksPerMillisecond};
}

int64_t DateTime::toUnixMilliseconds() const
{
    const int64_t since = ticks - kUnixEpochTicks;
    // Round towards minus infinity so times before 1970 land on the right millisecond.
    int64_t ms = since / kTicksPerMillisecond;
    if (since % kTicksPerMillisecond < 0)
        --ms;
    return ms;
}

DateTime DateTime::fromTimePoint(std::chrono::system_clock::time_point t)
{
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
    const auto since = std::chrono::duration_cast<Ticks>(t.time_since_epoch());
    return DateTime{kUnixEpochTicks + since.count()};
}

std::chrono::system_clock::time_point DateTime::toTimePoint() const
{
    // Clamp so that neither the subtraction nor the conversion to the clock's finer unit can
    // overflow for ticks that came off the wire.
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
    constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 100;
    int64_t since = ticks < std::numeric_limits<int64_t>::min() + kUnixEpochTicks
                        ? -kLimit
                        : ticks - kUnixEpochTicks;
    since = std::clamp(since, -kLimit, kLimit);
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(Ticks(since)));
}

bool NodeId::isNull() const
{
    if (namespaceIndex != 0)
        return false;
    switch (identifierType()) {
    case IdentifierType::Numeric:
        return std::get<uint32_t>(identifier) == 0;
    case IdentifierType::String:
        return std::get<String>(identifier).isEmpty();
    case IdentifierType::Guid:
        return std::get<Guid>(identifier) == Guid{};
    case IdentifierType::ByteString:
        return std::get<ByteString>(identifier).isEmpty();
    }
    return false;
}

uint32_t NodeId::numeric() const
{
    const auto* value = std::get_if<uint32_t>(&identifier);
    return value ? *value : 0;
}

std::string NodeId::toString() const
{
    return opcua::toString(*this);
}

size_t NodeIdHash::operator()(const NodeId& id) const
{
    size_t h = std::hash<uint32_t>()(id.namespaceIndex) * 1000003u;
    switch (id.identifierType()) {
    case IdentifierType::Numeric:
        return h ^ std::hash<uint32_t>()(std::get<uint32_t>(id.identifier));
    case IdentifierType::String:
        return h ^ std::hash<std::string>()(std::get<String>(id.identifier).str()) ^ 1u;
    case IdentifierType::Guid: {
        const Guid& g = std::get<Guid>(id.identifier);
        return h ^ std::hash<std::string>()(g.toString()) ^ 2u;
    }
    case IdentifierType::ByteString: {
        const ByteBuffer& b = std::get<ByteString>(id.identifier).bytes();
        return h ^
               std::hash<std::string_view>()(
                   std::string_view(reinterpret_cast<const char*>(b.data()), b.size())) ^
               3u;
    }
    }
    return h;
}

std::string ExpandedNodeId::toString() const
{
    return opcua::toString(*this);
}

Variant Variant::fromElements(Elements elements, bool isArray, std::vector<int32_t> dimensions)
{
    Variant v;
    v.m_isArray = isArray && elements.index() != 0;
    v.m_storage = std::move(elements);
    v.m_dimensions = std::move(dimensions);
    return v;
}

BuiltinType Variant::type() const
{
    return std::visit([](const auto& held) { return BuiltinType(held.index()); }, m_storage);
}

size_t Variant::length() const
{
    if (const auto* scalar = std::get_if<Scalar>(&m_storage))
        return scalar->index() == 0 ? 0 : 1;
    return std::visit(
        [](const auto& values) -> size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(values)>, std::monostate>)
                return 0;
            else
                return values.size();
        },
        std::get<Elements>(m_storage));
}

bool operator==(const Variant& a, const Variant& b)
{
    if (a.isEmpty() || b.isEmpty())
        return a.isEmpty() && b.isEmpty();
    return a.m_isArray == b.m_isArray && a.m_dimensions == b.m_dimensions &&
           a.m_storage == b.m_storage;
}

uint8_t DataValue::encodingMask() const
{
    uint8_t mask = 0;
    if (value)
        mask |= HasValue;
    if (status)
        mask |= HasStatus;
    if (sourceTimestamp)
        mask |= HasSourceTimestamp;
    if (serverTimestamp)
        mask |= HasServerTimestamp;
    if (sourcePicoseconds)
        mask |= HasSourcePicoseconds;
    if (serverPicoseconds)
        mask |= HasServerPicoseconds;
    return mask;
}

uint8_t DiagnosticInfo::encodingMask() const
{
    uint8_t mask = 0;
    if (symbolicId)
        mask |= HasSymbolicId;
    if (namespaceUri)
        mask |= HasNamespaceUri;
    if (localizedText)
        mask |= HasLocalizedText;
    if (locale)
        mask |= HasLocale;
    if (!additionalInfo.isNull())
        mask |= HasAdditionalInfo;
    if (innerStatusCode)
        mask |= HasInnerStatusCode;
    if (innerDiagnosticInfo)
        mask |= HasInnerDiagnosticInfo;
    return mask;
}

bool operator==(const DiagnosticInfo& a, const DiagnosticInfo& b)
{
    if (a.symbolicId != b.symbolicId || a.namespaceUri != b.namespaceUri ||
        a.localizedText != b.localizedText || a.locale != b.locale ||
        a.additionalInfo != b.additionalInfo || a.innerStatusCode != b.innerStatusCode)
        return false;
    if (!a.innerDiagnosticInfo || !b.innerDiagnosticInfo)
        return !a.innerDiagnosticInfo && !b.innerDiagnosticInfo;
    return *a.innerDiagnosticInfo == *b.innerDiagnosticInfo;
}

} // namespace opcua
