#pragma once

#include "opcua/types.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace opcua {

// Caps on what the decoder accepts. Every length is also checked against the bytes that
// remain, so a lying length fails before anything is allocated.
inline constexpr size_t kMaxStringLength = size_t{16} * 1024 * 1024;
inline constexpr size_t kMaxByteStringLength = size_t{16} * 1024 * 1024;
inline constexpr size_t kMaxArrayLength = size_t{1024} * 1024;
// Variants inside Variant arrays, DataValues, DiagnosticInfos and ExtensionObjects in
// Variants all count one level.
inline constexpr int kMaxNestingDepth = 32;

struct DecodeLimits
{
    size_t maxStringLength = kMaxStringLength;
    size_t maxByteStringLength = kMaxByteStringLength;
    size_t maxArrayLength = kMaxArrayLength;
    int maxNestingDepth = kMaxNestingDepth;
};

// Malformed or truncated input (status BadDecodingError) or input beyond a cap (status
// BadEncodingLimitsExceeded). The message names what was being read and the offset.
class DecodeError : public Error
{
public:
    using Error::Error;
};

// A value that cannot be encoded (status BadEncodingLimitsExceeded or BadEncodingError), such
// as array dimensions that do not match the element count.
class EncodeError : public Error
{
public:
    using Error::Error;
};

// Appends the binary encoding of values to a growing buffer, little-endian.
class Encoder
{
public:
    Encoder() = default;
    explicit Encoder(ByteBuffer initial) : m_out(std::move(initial)) {}

    const ByteBuffer& bytes() const { return m_out; }
    ByteBuffer take() { return std::move(m_out); }
    size_t size() const { return m_out.size(); }
    void reserve(size_t n) { m_out.reserve(n); }

    void writeRaw(ByteView bytes);
    // Overwrites four bytes at offset with value, for sizes known only at the end.
    void patchUInt32(size_t offset, uint32_t value);

    void encode(bool v);
    void encode(int8_t v);
    void encode(uint8_t v);
    void encode(int16_t v);
    void encode(uint16_t v);
    void encode(int32_t v);
    void encode(uint32_t v);
    void encode(int64_t v);
    void encode(uint64_t v);
    void encode(float v);
    void encode(double v);
    void encode(const String& v);
    void encode(const DateTime& v);
    void encode(const Guid& v);
    void encode(const ByteString& v);
    void encode(const XmlElement& v);
    // Picks the shortest of the two-byte, four-byte, numeric, string, guid or bytestring forms.
    void encode(const NodeId& v);
    void encode(const ExpandedNodeId& v);
    void encode(StatusCode v);
    void encode(const QualifiedName& v);
    void encode(const LocalizedText& v);
    void encode(const ExtensionObject& v);
    void encode(const DataValue& v);
    void encode(const Variant& v);
    void encode(const DiagnosticInfo& v);

    // A length-prefixed array of built-in values; an empty vector is encoded with length 0.
    template <class T> void encodeArray(const std::vector<T>& values)
    {
        writeLength(values.size());
        for (const auto& value : values)
            encode(static_cast<const T&>(value));
    }
    // Writes an Int32 array length, throwing EncodeError beyond INT32_MAX.
    void writeLength(size_t length);

private:
    void encodeNodeIdWithFlags(const NodeId& v, uint8_t extraFlags);

    ByteBuffer m_out;
};

// Reads the binary encoding from a span it does not own. Every read is checked against the
// end; a failure throws DecodeError and leaves the decoder's position unspecified.
class Decoder
{
public:
    explicit Decoder(ByteView bytes, DecodeLimits limits = {}) : m_in(bytes), m_limits(limits) {}

    size_t position() const { return m_pos; }
    size_t remaining() const { return m_in.size() - m_pos; }
    bool atEnd() const { return m_pos == m_in.size(); }
    const DecodeLimits& limits() const { return m_limits; }
    // Throws DecodeError when bytes remain, naming what was decoded.
    void expectEnd(const char* what) const;

    // The next n bytes, consumed.
    ByteView readRaw(size_t n);

    void decode(bool& v);
    void decode(int8_t& v);
    void decode(uint8_t& v);
    void decode(int16_t& v);
    void decode(uint16_t& v);
    void decode(int32_t& v);
    void decode(uint32_t& v);
    void decode(int64_t& v);
    void decode(uint64_t& v);
    void decode(float& v);
    void decode(double& v);
    void decode(String& v);
    void decode(DateTime& v);
    void decode(Guid& v);
    void decode(ByteString& v);
    void decode(XmlElement& v);
    void decode(NodeId& v);
    void decode(ExpandedNodeId& v);
    void decode(StatusCode& v);
    void decode(QualifiedName& v);
    void decode(LocalizedText& v);
    void decode(ExtensionObject& v);
    void decode(DataValue& v);
    void decode(Variant& v);
    void decode(DiagnosticInfo& v);

    template <class T> T read()
    {
        T v{};
        decode(v);
        return v;
    }

    // A length-prefixed array of built-in values; length -1 (null) gives an empty vector.
    template <class T> void decodeArray(std::vector<T>& values)
    {
        const size_t n = readArrayLength();
        values.clear();
        values.reserve(n);
        for (size_t i = 0; i < n; ++i)
            values.push_back(read<T>());
    }
    template <class T> std::vector<T> readArray()
    {
        std::vector<T> values;
        decodeArray(values);
        return values;
    }

    // Reads an Int32 array length: -1 gives 0; other negatives, more elements than bytes
    // remain or more than maxArrayLength throw DecodeError.
    size_t readArrayLength();

    // Counts one level of nesting for as long as it lives; throws DecodeError
    // (BadEncodingLimitsExceeded) beyond maxNestingDepth.
    class DepthGuard
    {
    public:
        explicit DepthGuard(Decoder& decoder);
        ~DepthGuard() { --m_decoder.m_depth; }
        DepthGuard(const DepthGuard&) = delete;
        DepthGuard& operator=(const DepthGuard&) = delete;

    private:
        Decoder& m_decoder;
    };

    [[noreturn]] void fail(const std::string& what) const;
    [[noreturn]] void failLimit(const std::string& what) const;

private:
    void need(size_t n, const char* what) const;
    Variant decodeVariantBody(uint8_t mask);

    ByteView m_in;
    size_t m_pos = 0;
    DecodeLimits m_limits;
    int m_depth = 0;
};

// Free forms of the above, so that structure encoders (services.h) can treat built-in and
// structured members alike.
template <class T> inline auto encode(Encoder& e, const T& v) -> decltype(e.encode(v))
{
    e.encode(v);
}
template <class T> inline auto decode(Decoder& d, T& v) -> decltype(d.decode(v))
{
    d.decode(v);
}

// Convenience for tests and tools: the encoding of one value, and a whole-buffer decode that
// throws when bytes are left over.
template <class T> ByteBuffer encodeToBytes(const T& value)
{
    Encoder e;
    encode(e, value);
    return e.take();
}
template <class T> T decodeFromBytes(ByteView bytes, DecodeLimits limits = {})
{
    Decoder d(bytes, limits);
    T value{};
    decode(d, value);
    d.expectEnd("value");
    return value;
}

} // namespace opcua
