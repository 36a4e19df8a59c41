#include "opcua/binary.h"

#include <bit>
#include <cstring>
#include <limits>

namespace opcua {

namespace {

// The encoding byte of a NodeId: the low six bits give the form, the top two bits flag the
// extra members of an ExpandedNodeId.
enum NodeIdEncoding : uint8_t {
    TwoByte = 0x00,
    FourByte = 0x01,
    Numeric = 0x02,
    StringId = 0x03,
    GuidId = 0x04,
    ByteStringId = 0x05,
};
constexpr uint8_t kNamespaceUriFlag = 0x80;
constexpr uint8_t kServerIndexFlag = 0x40;

constexpr uint8_t kLocalizedTextHasLocale = 0x01;
constexpr uint8_t kLocalizedTextHasText = 0x02;

constexpr uint8_t kVariantTypeMask = 0x3F;
constexpr uint8_t kVariantArrayFlag = 0x80;
constexpr uint8_t kVariantDimensionsFlag = 0x40;

template <class Int> void appendLittleEndian(ByteBuffer& out, Int value)
{
    using U = std::make_unsigned_t<Int>;
    auto v = U(value);
    for (size_t i = 0; i < sizeof(Int); ++i) {
        out.push_back(uint8_t(v & 0xFF));
        if constexpr (sizeof(Int) > 1)
            v = U(v >> 8);
    }
}

template <class Int> Int loadLittleEndian(const uint8_t* p)
{
    using U = std::make_unsigned_t<Int>;
    U v = 0;
    for (size_t i = sizeof(Int); i-- > 0;)
        v = U((v << 8) | U(p[i]));
    return Int(v);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Encoder

void Encoder::writeRaw(ByteView bytes)
{
    m_out.insert(m_out.end(), bytes.begin(), bytes.end());
}

void Encoder::patchUInt32(size_t offset, uint32_t value)
{
    if (offset + 4 > m_out.size())
        throw EncodeError(status::BadEncodingError, "patch beyond the end of the buffer");
    for (size_t i = 0; i < 4; ++i)
        m_out[offset + i] = uint8_t(value >> (8 * i));
}

void Encoder::writeLength(size_t length)
{
    if (length > size_t(std::numeric_limits<int32_t>::max()))
        throw EncodeError(status::BadEncodingLimitsExceeded,
                          "length " + std::to_string(length) + " does not fit an Int32");
    appendLittleEndian(m_out, int32_t(length));
}

void Encoder::encode(bool v)
{
    m_out.push_back(v ? 1 : 0);
}
void Encoder::encode(int8_t v)
{
    appendLittleEndian(m_out, v);
}
void Encoder::encode(uint8_t v)
{
    m_out.push_back(v);
}
void Encoder::encode(int16_t v)
{
    appendLittleEndian(m_out, v);
}
void Encoder::encode(uint16_t v)
{
    appendLittleEndian(m_out, v);
}
void Encoder::encode(int32_t v)
{
    appendLittleEndian(m_out, v);
}
void Encoder::encode(uint32_t v)
{
    appendLittleEndian(m_out, v);
}
void Encoder::encode(int64_t v)
{
    appendLittleEndian(m_out, v);
}
void Encoder::encode(uint64_t v)
{
    appendLittleEndian(m_out, v);
}
void Encoder::encode(float v)
{
    appendLittleEndian(m_out, std::bit_cast<uint32_t>(v));
}
void Encoder::encode(double v)
{
    appendLittleEndian(m_out, std::bit_cast<uint64_t>(v));
}

void Encoder::encode(const String& v)
{
    if (v.isNull()) {
        encode(int32_t(-1));
        return;
    }
    writeLength(v.str().size());
    const auto* p = reinterpret_cast<const uint8_t*>(v.str().data());
    m_out.insert(m_out.end(), p, p + v.str().size());
}

void Encoder::encode(const DateTime& v)
{
    encode(v.ticks);
}

void Encoder::encode(const Guid& v)
{
    encode(v.data1);
    encode(v.data2);
    encode(v.data3);
    m_out.insert(m_out.end(), v.data4.begin(), v.data4.end());
}

void Encoder::encode(const ByteString& v)
{
    if (v.isNull()) {
        encode(int32_t(-1));
        return;
    }
    writeLength(v.size());
    writeRaw(v.bytes());
}

void Encoder::encode(const XmlElement& v)
{
    encode(v.xml);
}

void Encoder::encodeNodeIdWithFlags(const NodeId& v, uint8_t flags)
{
    switch (v.identifierType()) {
    case IdentifierType::Numeric: {
        const uint32_t id = std::get<uint32_t>(v.identifier);
        if (v.namespaceIndex == 0 && id <= 0xFF) {
            encode(uint8_t(TwoByte | flags));
            encode(uint8_t(id));
        } else if (v.namespaceIndex <= 0xFF && id <= 0xFFFF) {
            encode(uint8_t(FourByte | flags));
            encode(uint8_t(v.namespaceIndex));
            encode(uint16_t(id));
        } else {
            encode(uint8_t(Numeric | flags));
            encode(v.namespaceIndex);
            encode(id);
        }
        return;
    }
    case IdentifierType::String:
        encode(uint8_t(StringId | flags));
        encode(v.namespaceIndex);
        encode(std::get<String>(v.identifier));
        return;
    case IdentifierType::Guid:
        encode(uint8_t(GuidId | flags));
        encode(v.namespaceIndex);
        encode(std::get<Guid>(v.identifier));
        return;
    case IdentifierType::ByteString:
        encode(uint8_t(ByteStringId | flags));
        encode(v.namespaceIndex);
        encode(std::get<ByteString>(v.identifier));
        return;
    }
}

void Encoder::encode(const NodeId& v)
{
    encodeNodeIdWithFlags(v, 0);
}

void Encoder::encode(const ExpandedNodeId& v)
{
    uint8_t flags = 0;
    if (!v.namespaceUri.isNull())
        flags |= kNamespaceUriFlag;
    if (v.serverIndex != 0)
        flags |= kServerIndexFlag;
    encodeNodeIdWithFlags(v.nodeId, flags);
    if (flags & kNamespaceUriFlag)
        encode(v.namespaceUri);
    if (flags & kServerIndexFlag)
        encode(v.serverIndex);
}

void Encoder::encode(StatusCode v)
{
    encode(v.code);
}

void Encoder::encode(const QualifiedName& v)
{
    encode(v.namespaceIndex);
    encode(v.name);
}

void Encoder::encode(const LocalizedText& v)
{
    uint8_t mask = 0;
    if (!v.locale.isNull())
        mask |= kLocalizedTextHasLocale;
    if (!v.text.isNull())
        mask |= kLocalizedTextHasText;
    encode(mask);
    if (mask & kLocalizedTextHasLocale)
        encode(v.locale);
    if (mask & kLocalizedTextHasText)
        encode(v.text);
}

void Encoder::encode(const ExtensionObject& v)
{
    encode(v.typeId);
    encode(uint8_t(v.encoding));
    switch (v.encoding) {
    case ExtensionObjectEncoding::None:
        return;
    case ExtensionObjectEncoding::ByteString:
    case ExtensionObjectEncoding::Xml:
        writeLength(v.body.size());
        writeRaw(v.body);
        return;
    }
}

void Encoder::encode(const DataValue& v)
{
    encode(v.encodingMask());
    if (v.value)
        encode(*v.value);
    if (v.status)
        encode(*v.status);
    if (v.sourceTimestamp)
        encode(*v.sourceTimestamp);
    if (v.sourcePicoseconds)
        encode(*v.sourcePicoseconds);
    if (v.serverTimestamp)
        encode(*v.serverTimestamp);
    if (v.serverPicoseconds)
        encode(*v.serverPicoseconds);
}

void Encoder::encode(const Variant& v)
{
    if (v.isEmpty()) {
        encode(uint8_t(0));
        return;
    }
    const auto type = uint8_t(v.type());
    if (!v.isArray()) {
        if (v.type() == BuiltinType::Variant)
            throw EncodeError(status::BadEncodingError, "a Variant cannot hold a scalar Variant");
        if (v.length() != 1)
            throw EncodeError(status::BadEncodingError, "a scalar Variant needs one element");
        encode(type);
        if (const auto* scalar = std::get_if<Variant::Scalar>(&v.storage())) {
            std::visit(
                [this](const auto& value) {
                    if constexpr (!std::is_same_v<std::decay_t<decltype(value)>, std::monostate>)
                        encode(value);
                },
                *scalar);
            return;
        }
        std::visit(
            [this](const auto& values) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(values)>, std::monostate>)
                    encode(values.front());
            },
            std::get<Variant::Elements>(v.storage()));
        return;
    }
    const auto& dims = v.arrayDimensions();
    if (!dims.empty()) {
        uint64_t product = 1;
        for (int32_t d : dims) {
            if (d < 0)
                throw EncodeError(status::BadEncodingError, "negative array dimension");
            product *= uint64_t(d);
            if (product > v.length())
                break;
        }
        if (product != v.length())
            throw EncodeError(status::BadEncodingError,
                              "array dimensions do not match the element count");
    }
    encode(uint8_t(type | kVariantArrayFlag | (dims.empty() ? 0 : kVariantDimensionsFlag)));
    std::visit(
        [this](const auto& values) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(values)>, std::monostate>)
                encodeArray(values);
        },
        std::get<Variant::Elements>(v.storage()));
    if (!dims.empty())
        encodeArray(dims);
}

void Encoder::encode(const DiagnosticInfo& v)
{
    encode(v.encodingMask());
    if (v.symbolicId)
        encode(*v.symbolicId);
    if (v.namespaceUri)
        encode(*v.namespaceUri);
    if (v.locale)
        encode(*v.locale);
    if (v.localizedText)
        encode(*v.localizedText);
    if (!v.additionalInfo.isNull())
        encode(v.additionalInfo);
    if (v.innerStatusCode)
        encode(*v.innerStatusCode);
    if (v.innerDiagnosticInfo)
        encode(*v.innerDiagnosticInfo);
}

// ---------------------------------------------------------------------------------------------
// Decoder

Decoder::DepthGuard::DepthGuard(Decoder& decoder) : m_decoder(decoder)
{
    if (m_decoder.m_depth >= m_decoder.m_limits.maxNestingDepth)
        m_decoder.failLimit("nesting deeper than " +
                            std::to_string(m_decoder.m_limits.maxNestingDepth) + " levels");
    ++m_decoder.m_depth;
}

void Decoder::fail(const std::string& what) const
{
    throw DecodeError(status::BadDecodingError, what + " at offset " + std::to_string(m_pos));
}

void Decoder::failLimit(const std::string& what) const
{
    throw DecodeError(status::BadEncodingLimitsExceeded,
                      what + " at offset " + std::to_string(m_pos));
}

void Decoder::need(size_t n, const char* what) const
{
    if (remaining() < n)
        fail(std::string("truncated ") + what + ": " + std::to_string(n) + " bytes needed, " +
             std::to_string(remaining()) + " left");
}

void Decoder::expectEnd(const char* what) const
{
    if (!atEnd())
        fail(std::to_string(remaining()) + " unexpected bytes after the " + what);
}

ByteView Decoder::readRaw(size_t n)
{
    need(n, "bytes");
    ByteView out = m_in.subspan(m_pos, n);
    m_pos += n;
    return out;
}

// T names a type, which cannot stand in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define OPCUA_DECODE_INT(T, NAME)                                                                  \
    void Decoder::decode(T& v)                                                                     \
    {                                                                                              \
        need(sizeof(T), NAME);                                                                     \
        v = loadLittleEndian<T>(m_in.data() + m_pos);                                              \
        m_pos += sizeof(T);                                                                        \
    }
// NOLINTEND(bugprone-macro-parentheses)
OPCUA_DECODE_INT(int8_t, "SByte")
OPCUA_DECODE_INT(uint8_t, "Byte")
OPCUA_DECODE_INT(int16_t, "Int16")
OPCUA_DECODE_INT(uint16_t, "UInt16")
OPCUA_DECODE_INT(int32_t, "Int32")
OPCUA_DECODE_INT(uint32_t, "UInt32")
OPCUA_DECODE_INT(int64_t, "Int64")
OPCUA_DECODE_INT(uint64_t, "UInt64")
#undef OPCUA_DECODE_INT

void Decoder::decode(bool& v)
{
    need(1, "Boolean");
    v = m_in[m_pos++] != 0;
}

void Decoder::decode(float& v)
{
    v = std::bit_cast<float>(read<uint32_t>());
}

void Decoder::decode(double& v)
{
    v = std::bit_cast<double>(read<uint64_t>());
}

size_t Decoder::readArrayLength()
{
    const auto n = read<int32_t>();
    if (n == -1)
        return 0;
    if (n < -1)
        fail("negative array length " + std::to_string(n));
    if (size_t(n) > m_limits.maxArrayLength)
        failLimit("array of " + std::to_string(n) + " elements exceeds the limit of " +
                  std::to_string(m_limits.maxArrayLength));
    // Every element takes at least one byte, so a length beyond what remains is a lie.
    if (size_t(n) > remaining())
        fail("array of " + std::to_string(n) + " elements in " + std::to_string(remaining()) +
             " remaining bytes");
    return size_t(n);
}

void Decoder::decode(String& v)
{
    const auto n = read<int32_t>();
    if (n == -1) {
        v = String();
        return;
    }
    if (n < -1)
        fail("negative string length " + std::to_string(n));
    if (size_t(n) > m_limits.maxStringLength)
        failLimit("string of " + std::to_string(n) + " bytes exceeds the limit of " +
                  std::to_string(m_limits.maxStringLength));
    need(size_t(n), "String");
    v = String(std::string(reinterpret_cast<const char*>(m_in.data() + m_pos), size_t(n)));
    m_pos += size_t(n);
}

void Decoder::decode(DateTime& v)
{
    v.ticks = read<int64_t>();
}

void Decoder::decode(Guid& v)
{
    need(16, "Guid");
    v.data1 = read<uint32_t>();
    v.data2 = read<uint16_t>();
    v.data3 = read<uint16_t>();
    std::memcpy(v.data4.data(), m_in.data() + m_pos, 8);
    m_pos += 8;
}

void Decoder::decode(ByteString& v)
{
    const auto n = read<int32_t>();
    if (n == -1) {
        v = ByteString();
        return;
    }
    if (n < -1)
        fail("negative bytestring length " + std::to_string(n));
    if (size_t(n) > m_limits.maxByteStringLength)
        failLimit("bytestring of " + std::to_string(n) + " bytes exceeds the limit of " +
                  std::to_string(m_limits.maxByteStringLength));
    need(size_t(n), "ByteString");
    v = ByteString(m_in.subspan(m_pos, size_t(n)));
    m_pos += size_t(n);
}

void Decoder::decode(XmlElement& v)
{
    decode(v.xml);
}

namespace {

// Reads the body of a NodeId after its encoding byte.
void decodeNodeIdBody(Decoder& d, uint8_t form, NodeId& v)
{
    switch (form) {
    case TwoByte:
        v = NodeId(0, uint32_t(d.read<uint8_t>()));
        return;
    case FourByte: {
        const auto ns = d.read<uint8_t>();
        v = NodeId(ns, uint32_t(d.read<uint16_t>()));
        return;
    }
    case Numeric: {
        const auto ns = d.read<uint16_t>();
        v = NodeId(ns, d.read<uint32_t>());
        return;
    }
    case StringId: {
        const auto ns = d.read<uint16_t>();
        v = NodeId(ns, d.read<String>());
        return;
    }
    case GuidId: {
        const auto ns = d.read<uint16_t>();
        v = NodeId(ns, d.read<Guid>());
        return;
    }
    case ByteStringId: {
        const auto ns = d.read<uint16_t>();
        v = NodeId(ns, d.read<ByteString>());
        return;
    }
    default:
        d.fail("unknown NodeId encoding " + std::to_string(form));
    }
}

} // namespace

void Decoder::decode(NodeId& v)
{
    const auto encoding = read<uint8_t>();
    if (encoding & (kNamespaceUriFlag | kServerIndexFlag))
        fail("NodeId with ExpandedNodeId flags");
    decodeNodeIdBody(*this, encoding, v);
}

void Decoder::decode(ExpandedNodeId& v)
{
    const auto encoding = read<uint8_t>();
    decodeNodeIdBody(*this, encoding & kVariantTypeMask, v.nodeId);
    v.namespaceUri = String();
    v.serverIndex = 0;
    if (encoding & kNamespaceUriFlag) {
        decode(v.namespaceUri);
        // A null URI with the flag set would not survive re-encoding; it is malformed.
        if (v.namespaceUri.isNull())
            fail("ExpandedNodeId flags a namespace URI but carries a null one");
    }
    if (encoding & kServerIndexFlag)
        decode(v.serverIndex);
}

void Decoder::decode(StatusCode& v)
{
    v.code = read<uint32_t>();
}

void Decoder::decode(QualifiedName& v)
{
    decode(v.namespaceIndex);
    decode(v.name);
}

void Decoder::decode(LocalizedText& v)
{
    const auto mask = read<uint8_t>();
    if (mask & ~(kLocalizedTextHasLocale | kLocalizedTextHasText))
        fail("LocalizedText with unknown mask bits");
    v = LocalizedText();
    if (mask & kLocalizedTextHasLocale) {
        decode(v.locale);
        if (v.locale.isNull())
            v.locale = String("");
    }
    if (mask & kLocalizedTextHasText) {
        decode(v.text);
        if (v.text.isNull())
            v.text = String("");
    }
}

void Decoder::decode(ExtensionObject& v)
{
    decode(v.typeId);
    const auto encoding = read<uint8_t>();
    v.body.clear();
    switch (encoding) {
    case uint8_t(ExtensionObjectEncoding::None):
        v.encoding = ExtensionObjectEncoding::None;
        return;
    case uint8_t(ExtensionObjectEncoding::ByteString):
    case uint8_t(ExtensionObjectEncoding::Xml): {
        v.encoding = ExtensionObjectEncoding(encoding);
        const auto body = read<ByteString>();
        v.body = body.bytes();
        return;
    }
    default:
        fail("unknown ExtensionObject encoding " + std::to_string(encoding));
    }
}

void Decoder::decode(DataValue& v)
{
    DepthGuard depth(*this);
    const auto mask = read<uint8_t>();
    if (mask & 0xC0)
        fail("DataValue with unknown mask bits");
    v = DataValue();
    if (mask & DataValue::HasValue)
        v.value = read<Variant>();
    if (mask & DataValue::HasStatus)
        v.status = read<StatusCode>();
    if (mask & DataValue::HasSourceTimestamp)
        v.sourceTimestamp = read<DateTime>();
    if (mask & DataValue::HasSourcePicoseconds)
        v.sourcePicoseconds = read<uint16_t>();
    if (mask & DataValue::HasServerTimestamp)
        v.serverTimestamp = read<DateTime>();
    if (mask & DataValue::HasServerPicoseconds)
        v.serverPicoseconds = read<uint16_t>();
}

namespace {

template <class T> Variant::Elements readElements(Decoder& d, size_t n)
{
    std::vector<T> values;
    values.reserve(n);
    for (size_t i = 0; i < n; ++i)
        values.push_back(d.read<T>());
    return Variant::Elements(std::move(values));
}

// Calls `read` with a value of the C++ type of `type`, which must not be Null.
template <class Read> auto withTypeOf(Decoder& d, BuiltinType type, Read read)
{
    switch (type) {
    case BuiltinType::Null:
        break;
    case BuiltinType::Boolean:
        return read(bool());
    case BuiltinType::SByte:
        return read(int8_t());
    case BuiltinType::Byte:
        return read(uint8_t());
    case BuiltinType::Int16:
        return read(int16_t());
    case BuiltinType::UInt16:
        return read(uint16_t());
    case BuiltinType::Int32:
        return read(int32_t());
    case BuiltinType::UInt32:
        return read(uint32_t());
    case BuiltinType::Int64:
        return read(int64_t());
    case BuiltinType::UInt64:
        return read(uint64_t());
    case BuiltinType::Float:
        return read(float());
    case BuiltinType::Double:
        return read(double());
    case BuiltinType::String:
        return read(String());
    case BuiltinType::DateTime:
        return read(DateTime());
    case BuiltinType::Guid:
        return read(Guid());
    case BuiltinType::ByteString:
        return read(ByteString());
    case BuiltinType::XmlElement:
        return read(XmlElement());
    case BuiltinType::NodeId:
        return read(NodeId());
    case BuiltinType::ExpandedNodeId:
        return read(ExpandedNodeId());
    case BuiltinType::StatusCode:
        return read(StatusCode());
    case BuiltinType::QualifiedName:
        return read(QualifiedName());
    case BuiltinType::LocalizedText:
        return read(LocalizedText());
    case BuiltinType::ExtensionObject:
        return read(ExtensionObject());
    case BuiltinType::DataValue:
        return read(DataValue());
    case BuiltinType::Variant:
        return read(Variant());
    case BuiltinType::DiagnosticInfo:
        return read(DiagnosticInfo());
    }
    d.fail("unknown Variant type");
}

} // namespace

void Decoder::decode(Variant& v)
{
    DepthGuard depth(*this);
    const auto mask = read<uint8_t>();
    const uint8_t typeId = mask & kVariantTypeMask;
    if (typeId > uint8_t(BuiltinType::DiagnosticInfo))
        fail("unknown Variant type " + std::to_string(typeId));
    const auto type = BuiltinType(typeId);
    const bool isArray = mask & kVariantArrayFlag;
    const bool hasDimensions = mask & kVariantDimensionsFlag;
    if (type == BuiltinType::Null) {
        if (mask != 0)
            fail("empty Variant with array flags");
        v = Variant();
        return;
    }
    if (!isArray) {
        if (hasDimensions)
            fail("scalar Variant with array dimensions");
        v = withTypeOf(*this, type, [this](auto value) -> Variant {
            if constexpr (std::is_same_v<decltype(value), Variant>) {
                fail("scalar Variant inside a Variant");
            } else {
                decode(value);
                return Variant::fromScalar(std::move(value));
            }
        });
        return;
    }
    const size_t n = readArrayLength();
    Variant::Elements elements = withTypeOf(
        *this, type, [this, n](auto value) { return readElements<decltype(value)>(*this, n); });
    std::vector<int32_t> dimensions;
    if (hasDimensions) {
        decodeArray(dimensions);
        uint64_t product = 1;
        for (int32_t dim : dimensions) {
            if (dim < 0)
                fail("negative array dimension");
            product *= uint64_t(dim);
            if (product > n)
                break;
        }
        if (dimensions.empty() || product != n)
            fail("array dimensions do not match the " + std::to_string(n) + " elements");
    }
    v = Variant::fromElements(std::move(elements), true, std::move(dimensions));
}

void Decoder::decode(DiagnosticInfo& v)
{
    DepthGuard depth(*this);
    const auto mask = read<uint8_t>();
    if (mask & 0x80)
        fail("DiagnosticInfo with unknown mask bits");
    v = DiagnosticInfo();
    if (mask & DiagnosticInfo::HasSymbolicId)
        v.symbolicId = read<int32_t>();
    if (mask & DiagnosticInfo::HasNamespaceUri)
        v.namespaceUri = read<int32_t>();
    if (mask & DiagnosticInfo::HasLocale)
        v.locale = read<int32_t>();
    if (mask & DiagnosticInfo::HasLocalizedText)
        v.localizedText = read<int32_t>();
    if (mask & DiagnosticInfo::HasAdditionalInfo) {
        v.additionalInfo = read<String>();
        if (v.additionalInfo.isNull())
            v.additionalInfo = String("");
    }
    if (mask & DiagnosticInfo::HasInnerStatusCode)
        v.innerStatusCode = read<StatusCode>();
    if (mask & DiagnosticInfo::HasInnerDiagnosticInfo)
        v.innerDiagnosticInfo = std::make_shared<const DiagnosticInfo>(read<DiagnosticInfo>());
}

} // namespace opcua
