#pragma once

#include "opcua/statuscodes.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace opcua {

// Encoded bytes are held in a ByteBuffer and read through a ByteView throughout the library.
using ByteBuffer = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// The built-in types of the binary encoding; the value is the type's id on the wire (the
// low six bits of a Variant's encoding byte). Null is the empty Variant. Numbers are held in
// the C++ types named below, the others in this library's classes of the same name.
enum class BuiltinType : uint8_t {
    Null = 0,    // an empty Variant
    Boolean = 1, // bool
    SByte = 2,   // int8_t
    Byte = 3,    // uint8_t
    Int16 = 4,   // int16_t
    UInt16 = 5,  // uint16_t
    Int32 = 6,   // int32_t
    UInt32 = 7,  // uint32_t
    Int64 = 8,   // int64_t
    UInt64 = 9,  // uint64_t
    Float = 10,  // float
    Double = 11, // double
    String = 12,
    DateTime = 13,
    Guid = 14,
    ByteString = 15,
    XmlElement = 16,
    NodeId = 17,
    ExpandedNodeId = 18,
    StatusCode = 19,
    QualifiedName = 20,
    LocalizedText = 21,
    ExtensionObject = 22,
    DataValue = 23,
    Variant = 24, // only as an array element
    DiagnosticInfo = 25,
};

// "Boolean", "Int32", ... ; "Null" for 0; "Unknown" outside 0..25.
std::string_view builtinTypeName(BuiltinType type);

// A UTF-8 string that may be null: a null string (encoded length -1) differs from an empty one
// (length 0). Default-constructed strings are null; strings made from text are not.
class String
{
public:
    String() = default;
    String(const char* text); // nullptr gives a null string
    String(std::string text) : m_text(std::move(text)), m_null(false) {}
    String(std::string_view text) : m_text(text), m_null(false) {}

    bool isNull() const { return m_null; }
    // True for a null string and for "".
    bool isEmpty() const { return m_text.empty(); }
    // The text; "" for a null string.
    const std::string& str() const { return m_text; }

    friend bool operator==(const String&, const String&) = default;
    friend auto operator<=>(const String&, const String&) = default;

private:
    std::string m_text;
    bool m_null = true;
};

// A sequence of bytes that may be null, like String.
class ByteString
{
public:
    ByteString() = default;
    ByteString(ByteBuffer bytes) : m_bytes(std::move(bytes)), m_null(false) {}
    ByteString(ByteView bytes) : m_bytes(bytes.begin(), bytes.end()), m_null(false) {}
    static ByteString fromText(std::string_view text);

    bool isNull() const { return m_null; }
    bool isEmpty() const { return m_bytes.empty(); }
    const ByteBuffer& bytes() const { return m_bytes; }
    size_t size() const { return m_bytes.size(); }

    friend bool operator==(const ByteString&, const ByteString&) = default;
    friend auto operator<=>(const ByteString&, const ByteString&) = default;

private:
    ByteBuffer m_bytes;
    bool m_null = true;
};

// An XML fragment; encoded like a String.
struct XmlElement
{
    String xml;
    friend bool operator==(const XmlElement&, const XmlElement&) = default;
};

struct Guid
{
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};

    // "72962B91-FA75-4AE6-8D28-B404DC7DAF63" (upper-case hex).
    std::string toString() const;
    // Accepts the 36-character form in either case, with or without braces; nullopt otherwise.
    static std::optional<Guid> parse(std::string_view text);

    friend bool operator==(const Guid&, const Guid&) = default;
    friend auto operator<=>(const Guid&, const Guid&) = default;
};

// A point in time as 100 ns ticks since 1601-01-01 00:00 UTC. Ticks 0 is the "no time" value
// the protocol uses for absent timestamps.
struct DateTime
{
    int64_t ticks = 0;

    // Ticks between 1601-01-01 and 1970-01-01.
    static constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
    static constexpr int64_t kTicksPerMillisecond = 10000;

    static DateTime now();
    static DateTime fromUnixMilliseconds(int64_t ms);
    int64_t toUnixMilliseconds() const;
    static DateTime fromTimePoint(std::chrono::system_clock::time_point t);
    std::chrono::system_clock::time_point toTimePoint() const;
    bool isNull() const { return ticks == 0; }

    friend bool operator==(const DateTime&, const DateTime&) = default;
    friend auto operator<=>(const DateTime&, const DateTime&) = default;
};

enum class IdentifierType : uint8_t {
    Numeric,    // i=
    String,     // s=
    Guid,       // g=
    ByteString, // b=
};

// A node's identity within a server: namespace index plus an identifier of one of four kinds.
// The default is the null node id ns=0;i=0.
struct NodeId
{
    using Identifier = std::variant<uint32_t, String, Guid, ByteString>;

    uint16_t namespaceIndex = 0;
    Identifier identifier = uint32_t{0};

    NodeId() = default;
    NodeId(uint16_t ns, uint32_t id) : namespaceIndex(ns), identifier(id) {}
    NodeId(uint16_t ns, String id) : namespaceIndex(ns), identifier(std::move(id)) {}
    NodeId(uint16_t ns, Guid id) : namespaceIndex(ns), identifier(id) {}
    NodeId(uint16_t ns, ByteString id) : namespaceIndex(ns), identifier(std::move(id)) {}

    IdentifierType identifierType() const { return IdentifierType(identifier.index()); }
    bool isNull() const;
    // The numeric identifier; 0 when the identifier is not numeric.
    uint32_t numeric() const;
    // "ns=1;s=Name", as nodeid.h formats it.
    std::string toString() const;

    friend bool operator==(const NodeId&, const NodeId&) = default;
    friend auto operator<=>(const NodeId&, const NodeId&) = default;
};

struct NodeIdHash
{
    size_t operator()(const NodeId& id) const;
};

// A NodeId that may name its namespace by URI instead of index, and may live on another
// server. A non-null namespaceUri takes precedence over nodeId.namespaceIndex.
struct ExpandedNodeId
{
    NodeId nodeId;
    String namespaceUri;
    uint32_t serverIndex = 0;

    ExpandedNodeId() = default;
    ExpandedNodeId(NodeId id) : nodeId(std::move(id)) {}
    ExpandedNodeId(NodeId id, String uri, uint32_t server = 0)
        : nodeId(std::move(id)), namespaceUri(std::move(uri)), serverIndex(server)
    {}

    bool isLocal() const { return namespaceUri.isNull() && serverIndex == 0; }
    std::string toString() const;

    friend bool operator==(const ExpandedNodeId&, const ExpandedNodeId&) = default;
};

struct QualifiedName
{
    uint16_t namespaceIndex = 0;
    String name;

    friend bool operator==(const QualifiedName&, const QualifiedName&) = default;
};

// Text with an optional locale. A null member is absent on the wire (its mask bit clear).
struct LocalizedText
{
    String locale;
    String text;

    friend bool operator==(const LocalizedText&, const LocalizedText&) = default;
};

enum class ExtensionObjectEncoding : uint8_t {
    None = 0,       // no body
    ByteString = 1, // body is the binary encoding of the structure
    Xml = 2,        // body is an XML element's UTF-8 text
};

// A structure carried with the id of its encoding. The body is kept as encoded bytes; typed
// access to the structures this system knows is in services.h (`packBody`, `unpackBody`).
struct ExtensionObject
{
    NodeId typeId;
    ExtensionObjectEncoding encoding = ExtensionObjectEncoding::None;
    ByteBuffer body;

    bool isNull() const { return encoding == ExtensionObjectEncoding::None && typeId.isNull(); }

    friend bool operator==(const ExtensionObject&, const ExtensionObject&) = default;
};

class Variant;
struct DataValue;
struct DiagnosticInfo;

// Maps each C++ element type to its BuiltinType.
template <class T> struct BuiltinTypeOf;
#define OPCUA_BUILTIN_TYPE_OF(T, E)                                                                \
    template <> struct BuiltinTypeOf<T>                                                            \
    {                                                                                              \
        static constexpr BuiltinType value = BuiltinType::E;                                       \
    };
OPCUA_BUILTIN_TYPE_OF(bool, Boolean)
OPCUA_BUILTIN_TYPE_OF(int8_t, SByte)
OPCUA_BUILTIN_TYPE_OF(uint8_t, Byte)
OPCUA_BUILTIN_TYPE_OF(int16_t, Int16)
OPCUA_BUILTIN_TYPE_OF(uint16_t, UInt16)
OPCUA_BUILTIN_TYPE_OF(int32_t, Int32)
OPCUA_BUILTIN_TYPE_OF(uint32_t, UInt32)
OPCUA_BUILTIN_TYPE_OF(int64_t, Int64)
OPCUA_BUILTIN_TYPE_OF(uint64_t, UInt64)
OPCUA_BUILTIN_TYPE_OF(float, Float)
OPCUA_BUILTIN_TYPE_OF(double, Double)
OPCUA_BUILTIN_TYPE_OF(String, String)
OPCUA_BUILTIN_TYPE_OF(DateTime, DateTime)
OPCUA_BUILTIN_TYPE_OF(Guid, Guid)
OPCUA_BUILTIN_TYPE_OF(ByteString, ByteString)
OPCUA_BUILTIN_TYPE_OF(XmlElement, XmlElement)
OPCUA_BUILTIN_TYPE_OF(NodeId, NodeId)
OPCUA_BUILTIN_TYPE_OF(ExpandedNodeId, ExpandedNodeId)
OPCUA_BUILTIN_TYPE_OF(StatusCode, StatusCode)
OPCUA_BUILTIN_TYPE_OF(QualifiedName, QualifiedName)
OPCUA_BUILTIN_TYPE_OF(LocalizedText, LocalizedText)
OPCUA_BUILTIN_TYPE_OF(ExtensionObject, ExtensionObject)
OPCUA_BUILTIN_TYPE_OF(DataValue, DataValue)
OPCUA_BUILTIN_TYPE_OF(Variant, Variant)
OPCUA_BUILTIN_TYPE_OF(DiagnosticInfo, DiagnosticInfo)
#undef OPCUA_BUILTIN_TYPE_OF

// A value of any built-in type: empty, a scalar, or a one-dimensional array with optional
// dimensions for a matrix. A scalar is held in place, without a heap block, except a scalar
// DataValue or DiagnosticInfo (which contain Variants): those and arrays are kept in a vector of
// the type's C++ type. In both storages the alternative's index equals the BuiltinType value.
class Variant
{
public:
    using Scalar = std::variant<std::monostate, bool, int8_t, uint8_t, int16_t, uint16_t, int32_t,
                                uint32_t, int64_t, uint64_t, float, double, String, DateTime, Guid,
                                ByteString, XmlElement, NodeId, ExpandedNodeId, StatusCode,
                                QualifiedName, LocalizedText, ExtensionObject>;
    using Elements =
        std::variant<std::monostate, std::vector<bool>, std::vector<int8_t>, std::vector<uint8_t>,
                     std::vector<int16_t>, std::vector<uint16_t>, std::vector<int32_t>,
                     std::vector<uint32_t>, std::vector<int64_t>, std::vector<uint64_t>,
                     std::vector<float>, std::vector<double>, std::vector<String>,
                     std::vector<DateTime>, std::vector<Guid>, std::vector<ByteString>,
                     std::vector<XmlElement>, std::vector<NodeId>, std::vector<ExpandedNodeId>,
                     std::vector<StatusCode>, std::vector<QualifiedName>,
                     std::vector<LocalizedText>, std::vector<ExtensionObject>,
                     std::vector<DataValue>, std::vector<Variant>, std::vector<DiagnosticInfo>>;
    using Storage = std::variant<Scalar, Elements>;

    Variant() = default;

    // A scalar of T, which must be one of the Elements element types (not Variant).
    template <class T> static Variant fromScalar(T value);
    // An array of T. Dimensions, when given, must multiply to the element count (checked by
    // the encoder, which throws EncodeError otherwise).
    template <class T>
    static Variant fromArray(std::vector<T> values, std::vector<int32_t> dimensions = {});
    // Builds from decoded elements (used by the decoder): an array, or a scalar DataValue or
    // DiagnosticInfo as one element.
    static Variant fromElements(Elements elements, bool isArray, std::vector<int32_t> dimensions);

    BuiltinType type() const;
    bool isEmpty() const { return type() == BuiltinType::Null; }
    bool isScalar() const { return !isEmpty() && !m_isArray; }
    bool isArray() const { return m_isArray; }
    // Element count: 1 for a scalar, 0 when empty.
    size_t length() const;
    const std::vector<int32_t>& arrayDimensions() const { return m_dimensions; }

    // The scalar value when this is a scalar of T; nullopt otherwise.
    template <class T> std::optional<T> scalar() const;
    // The elements when the Variant holds an array of T (or a scalar DataValue or
    // DiagnosticInfo); nullptr otherwise, and for the other scalars, which have no vector.
    template <class T> const std::vector<T>* elements() const;

    const Storage& storage() const { return m_storage; }

    friend bool operator==(const Variant&, const Variant&);

private:
    template <class T>
    static constexpr bool kHeldInPlace = BuiltinTypeOf<T>::value <= BuiltinType::ExtensionObject;

    Storage m_storage;
    bool m_isArray = false;
    std::vector<int32_t> m_dimensions;
};

// A value with its status and timestamps. Each absent member has its mask bit clear on the
// wire; `encodingMask()` gives the byte that precedes the members.
struct DataValue
{
    std::optional<Variant> value;
    std::optional<StatusCode> status;
    std::optional<DateTime> sourceTimestamp;
    std::optional<uint16_t> sourcePicoseconds;
    std::optional<DateTime> serverTimestamp;
    std::optional<uint16_t> serverPicoseconds;

    enum Mask : uint8_t {
        HasValue = 0x01,
        HasStatus = 0x02,
        HasSourceTimestamp = 0x04,
        HasServerTimestamp = 0x08,
        HasSourcePicoseconds = 0x10,
        HasServerPicoseconds = 0x20,
    };
    uint8_t encodingMask() const;
    // The status, Good when absent.
    StatusCode statusOrGood() const { return status.value_or(status::Good); }

    friend bool operator==(const DataValue&, const DataValue&) = default;
};

// Diagnostics attached to a result. Absent members have their mask bit clear. The indexes
// refer to a response header's string table.
struct DiagnosticInfo
{
    std::optional<int32_t> symbolicId;
    std::optional<int32_t> namespaceUri;
    std::optional<int32_t> localizedText;
    std::optional<int32_t> locale;
    String additionalInfo; // null when absent
    std::optional<StatusCode> innerStatusCode;
    std::shared_ptr<const DiagnosticInfo> innerDiagnosticInfo; // null when absent

    enum Mask : uint8_t {
        HasSymbolicId = 0x01,
        HasNamespaceUri = 0x02,
        HasLocalizedText = 0x04,
        HasLocale = 0x08,
        HasAdditionalInfo = 0x10,
        HasInnerStatusCode = 0x20,
        HasInnerDiagnosticInfo = 0x40,
    };
    uint8_t encodingMask() const;
    bool isEmpty() const { return encodingMask() == 0; }

    // Compares inner diagnostics by value, not by pointer.
    friend bool operator==(const DiagnosticInfo& a, const DiagnosticInfo& b);
};

template <class T> Variant Variant::fromScalar(T value)
{
    static_assert(!std::is_same_v<T, Variant>, "a Variant cannot hold a scalar Variant");
    Variant v;
    if constexpr (kHeldInPlace<T>)
        v.m_storage.template emplace<Scalar>(std::in_place_type<T>, std::move(value));
    else
        v.m_storage.template emplace<Elements>(std::in_place_type<std::vector<T>>, 1,
                                               std::move(value));
    return v;
}

template <class T>
Variant Variant::fromArray(std::vector<T> values, std::vector<int32_t> dimensions)
{
    Variant v;
    v.m_storage.template emplace<Elements>(std::move(values));
    v.m_isArray = true;
    v.m_dimensions = std::move(dimensions);
    return v;
}

template <class T> std::optional<T> Variant::scalar() const
{
    if constexpr (kHeldInPlace<T>) {
        const auto* scalar = std::get_if<Scalar>(&m_storage);
        const T* value = scalar ? std::get_if<T>(scalar) : nullptr;
        if (!value)
            return std::nullopt;
        return *value;
    } else {
        const auto* values = elements<T>();
        if (!values || m_isArray || values->size() != 1)
            return std::nullopt;
        return T((*values)[0]);
    }
}

template <class T> const std::vector<T>* Variant::elements() const
{
    const auto* elements = std::get_if<Elements>(&m_storage);
    return elements ? std::get_if<std::vector<T>>(elements) : nullptr;
}

} // namespace opcua
