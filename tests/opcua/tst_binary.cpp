#include "opcua/binary.h"
#include "tests/opcua/testbytes.h"

#include <QTest>
#include <cmath>

using namespace opcua;
using testbytes::bytes;
using testbytes::concat;
using testbytes::failure;
using testbytes::hex;

Q_DECLARE_METATYPE(opcua::DecodeLimits)

namespace {

const Guid kGuid{0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};

const ByteBuffer kGuidBytes = bytes({
    0x91, 0x2B, 0x96, 0x72,                         // data1, little-endian
    0x75, 0xFA,                                     // data2
    0xE6, 0x4A,                                     // data3
    0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63, // data4, as it stands
});

// A scalar Variant's row: its type's number as the standard gives it, then its element's bytes.
void row(const char* name, int type, const Variant& value, const ByteBuffer& element)
{
    QTest::newRow(name) << value << concat({bytes({type}), element});
}

// A row whose bytes begin with the Variant's type and flags.
void variantRow(const char* name, const Variant& value, const ByteBuffer& expected)
{
    QTest::newRow(name) << value << expected;
}

DiagnosticInfo diagnostic(int32_t symbolicId)
{
    DiagnosticInfo d;
    d.symbolicId = symbolicId;
    return d;
}

// A Variant nested `depth` levels deep: an array holding one array holding ... one Int32.
Variant nestedVariant(int depth)
{
    Variant v = Variant::fromScalar(int32_t(1));
    for (int i = 0; i < depth; ++i)
        v = Variant::fromArray(std::vector<Variant>{v});
    return v;
}

// A DataValue, as a scalar Variant, with what `set` gives it.
template <class Set> Variant dataValue(Set set)
{
    DataValue v;
    set(v);
    return Variant::fromScalar(v);
}

// A row of the refusal table: a Variant's bytes, the limits and the status they are refused with.
void refusal(const char* name, const ByteBuffer& input, StatusCode expected,
             const DecodeLimits& limits = {})
{
    QTest::newRow(name) << input << limits << expected;
}

// The same for a scalar Variant of `type` holding `element`.
void refusal(const char* name, BuiltinType type, const ByteBuffer& element, StatusCode expected,
             const DecodeLimits& limits = {})
{
    refusal(name, concat({bytes({int(type)}), element}), expected, limits);
}

// A DiagnosticInfo holding `depth` levels of inner ones.
DiagnosticInfo nestedDiagnostic(int depth)
{
    DiagnosticInfo d = diagnostic(0);
    for (int i = 1; i < depth; ++i) {
        DiagnosticInfo outer = diagnostic(i);
        outer.innerDiagnosticInfo = std::make_shared<const DiagnosticInfo>(d);
        d = outer;
    }
    return d;
}

// Every prefix of these values is cut short.
void prefixRows()
{
    DataValue dv;
    dv.value = Variant::fromArray(std::vector<Variant>{
        Variant::fromScalar(String("text")), Variant::fromScalar(NodeId(3, kGuid)),
        Variant::fromArray(std::vector<double>{1.0, 2.0}, {2}),
        Variant::fromScalar(LocalizedText{String("de"), String("Wert")}),
        Variant::fromScalar(ExtensionObject{NodeId(1, String("T")),
                                            ExtensionObjectEncoding::ByteString, bytes({1, 2})})});
    dv.status = status::Good;
    dv.sourceTimestamp = DateTime::fromUnixMilliseconds(1000);
    dv.serverPicoseconds = 7;
    DiagnosticInfo d = diagnostic(1);
    d.additionalInfo = String("more");
    d.innerDiagnosticInfo = std::make_shared<const DiagnosticInfo>(diagnostic(2));
    const std::pair<const char*, ByteBuffer> values[] = {
        {"DataValue", encodeToBytes(Variant::fromScalar(dv))},
        {"DiagnosticInfo", encodeToBytes(Variant::fromScalar(d))},
        {"ExpandedNodeId", encodeToBytes(Variant::fromScalar(
                               ExpandedNodeId(NodeId(0, String("n")), String("urn:a"), 4)))},
    };
    for (const auto& [type, full] : values) {
        QTest::addRow("whole %s", type) << full << DecodeLimits{} << StatusCode(status::Good);
        for (size_t n = 0; n < full.size(); ++n)
            QTest::addRow("%s cut to %zu bytes", type, n)
                << ByteBuffer(full.begin(), full.begin() + std::ptrdiff_t(n)) << DecodeLimits{}
                << StatusCode(status::BadDecodingError);
    }
}

void scalarRows()
{
    row("Boolean true", 1, Variant::fromScalar(true), bytes({0x01}));
    row("Boolean false", 1, Variant::fromScalar(false), bytes({0x00}));
    row("SByte -2", 2, Variant::fromScalar(int8_t(-2)), bytes({0xFE}));
    row("Byte 0xAB", 3, Variant::fromScalar(uint8_t(0xAB)), bytes({0xAB}));
    row("Int16 -2", 4, Variant::fromScalar(int16_t(-2)), bytes({0xFE, 0xFF}));
    row("UInt16 0x1234", 5, Variant::fromScalar(uint16_t(0x1234)), bytes({0x34, 0x12}));
    row("Int32 -1000000", 6, Variant::fromScalar(int32_t(-1000000)),
        bytes({0xC0, 0xBD, 0xF0, 0xFF}));
    row("UInt32 0xDEADBEEF", 7, Variant::fromScalar(uint32_t(0xDEADBEEF)),
        bytes({0xEF, 0xBE, 0xAD, 0xDE}));
    row("Int64 -2", 8, Variant::fromScalar(int64_t(-2)),
        bytes({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    row("UInt64 0x0102030405060708", 9, Variant::fromScalar(uint64_t(0x0102030405060708)),
        bytes({0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
    row("Float 1.5 (IEEE 754 0x3FC00000)", 10, Variant::fromScalar(1.5f),
        bytes({0x00, 0x00, 0xC0, 0x3F}));
    row("Double -2.5 (IEEE 754 0xC004000000000000)", 11, Variant::fromScalar(-2.5),
        bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0xC0}));
    row("String null", 12, Variant::fromScalar(String()),
        bytes({0xFF, 0xFF, 0xFF, 0xFF})); // length -1
    row("String empty", 12, Variant::fromScalar(String("")),
        bytes({0x00, 0x00, 0x00, 0x00})); // length 0
    row("String UTF-8", 12, Variant::fromScalar(String("\xC3\xA4")),
        bytes({
            0x02, 0x00, 0x00, 0x00, // length in bytes, not characters
            0xC3, 0xA4,             // U+00E4 in UTF-8
        }));
    row("DateTime 1970-01-01", 13, Variant::fromScalar(DateTime::fromUnixMilliseconds(0)),
        bytes({0x00, 0x80, 0x3E, 0xD5, 0xDE, 0xB1, 0x9D, 0x01})); // 116444736000000000 ticks
    row("Guid", 14, Variant::fromScalar(kGuid), kGuidBytes);
    row("ByteString 01 02 03", 15, Variant::fromScalar(ByteString(bytes({1, 2, 3}))),
        bytes({
            0x03, 0x00, 0x00, 0x00, // length 3
            0x01, 0x02, 0x03,       // the bytes
        }));
    row("ByteString null", 15, Variant::fromScalar(ByteString()), bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    row("XmlElement", 16, Variant::fromScalar(XmlElement{String("<a/>")}),
        bytes({
            0x04, 0x00, 0x00, 0x00, // length 4
            0x3C, 0x61, 0x2F, 0x3E, // "<a/>"
        }));
    row("StatusCode BadTimeout", 19, Variant::fromScalar(status::BadTimeout),
        bytes({0x00, 0x00, 0x0A, 0x80}));
    row("QualifiedName 1:Ab", 20, Variant::fromScalar(QualifiedName{1, String("Ab")}),
        bytes({
            0x01, 0x00,             // namespace 1
            0x02, 0x00, 0x00, 0x00, // length 2
            0x41, 0x62,             // "Ab"
        }));
    row("LocalizedText en Hi", 21, Variant::fromScalar(LocalizedText{String("en"), String("Hi")}),
        bytes({
            0x03,                   // locale and text present
            0x02, 0x00, 0x00, 0x00, // locale length 2
            0x65, 0x6E,             // "en"
            0x02, 0x00, 0x00, 0x00, // text length 2
            0x48, 0x69,             // "Hi"
        }));
    row("LocalizedText text only", 21, Variant::fromScalar(LocalizedText{String(), String("Hi")}),
        bytes({
            0x02,                   // text present
            0x02, 0x00, 0x00, 0x00, // text length 2
            0x48, 0x69,             // "Hi"
        }));
    row("LocalizedText absent", 21, Variant::fromScalar(LocalizedText{}), bytes({0x00}));
}

void nodeIdRows()
{
    row("NodeId two-byte i=85", 17, Variant::fromScalar(NodeId(0, 85u)),
        bytes({
            0x00, // two-byte form
            0x55, // identifier 85
        }));
    row("NodeId four-byte ns=5;i=1025", 17, Variant::fromScalar(NodeId(5, 1025u)),
        bytes({
            0x01,       // four-byte form
            0x05,       // namespace 5
            0x01, 0x04, // identifier 1025
        }));
    row("NodeId numeric ns=1;i=70000", 17, Variant::fromScalar(NodeId(1, 70000u)),
        bytes({
            0x02,                   // numeric form
            0x01, 0x00,             // namespace 1
            0x70, 0x11, 0x01, 0x00, // identifier 70000
        }));
    row("NodeId numeric ns=300;i=1", 17, Variant::fromScalar(NodeId(300, 1u)),
        bytes({
            0x02,                   // numeric form: the namespace needs two bytes
            0x2C, 0x01,             // namespace 300
            0x01, 0x00, 0x00, 0x00, // identifier 1
        }));
    row("NodeId string ns=1;s=Name", 17, Variant::fromScalar(NodeId(1, String("Name"))),
        bytes({
            0x03,                   // string form
            0x01, 0x00,             // namespace 1
            0x04, 0x00, 0x00, 0x00, // length 4
            0x4E, 0x61, 0x6D, 0x65, // "Name"
        }));
    row("NodeId guid ns=0", 17, Variant::fromScalar(NodeId(0, kGuid)),
        concat({bytes({
                    0x04,       // guid form
                    0x00, 0x00, // namespace 0
                }),
                kGuidBytes}));
    row("NodeId bytestring ns=2", 17, Variant::fromScalar(NodeId(2, ByteString(bytes({1, 0xFF})))),
        bytes({
            0x05,                   // bytestring form
            0x02, 0x00,             // namespace 2
            0x02, 0x00, 0x00, 0x00, // length 2
            0x01, 0xFF,             // the bytes
        }));
    row("ExpandedNodeId nsu=urn:x;i=5", 18,
        Variant::fromScalar(ExpandedNodeId(NodeId(0, 5u), String("urn:x"))),
        bytes({
            0x80,                         // two-byte form, namespace URI flag
            0x05,                         // identifier 5
            0x05, 0x00, 0x00, 0x00,       // URI length 5
            0x75, 0x72, 0x6E, 0x3A, 0x78, // "urn:x"
        }));
    row("ExpandedNodeId svr=2;ns=1;i=7", 18,
        Variant::fromScalar(ExpandedNodeId(NodeId(1, 7u), String(), 2)),
        bytes({
            0x41,                   // four-byte form, server index flag
            0x01,                   // namespace 1
            0x07, 0x00,             // identifier 7
            0x02, 0x00, 0x00, 0x00, // server index 2
        }));
}

void dataValueRows()
{
    row("DataValue empty value", 23, dataValue([](DataValue& v) { v.value = Variant(); }),
        bytes({0x01, 0x00})); // an empty value is still present
    row("DataValue status", 23, dataValue([](DataValue& v) { v.status = status::BadTimeout; }),
        bytes({
            0x02,                   // status present
            0x00, 0x00, 0x0A, 0x80, // BadTimeout
        }));
    row("DataValue source timestamp", 23,
        dataValue([](DataValue& v) { v.sourceTimestamp = DateTime{1}; }),
        bytes({0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    row("DataValue server timestamp", 23,
        dataValue([](DataValue& v) { v.serverTimestamp = DateTime{2}; }),
        bytes({0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    row("DataValue source picoseconds", 23,
        dataValue([](DataValue& v) { v.sourcePicoseconds = 10; }), bytes({0x10, 0x0A, 0x00}));
    row("DataValue server picoseconds 0", 23,
        dataValue([](DataValue& v) { v.serverPicoseconds = 0; }), bytes({0x20, 0x00, 0x00}));
    {
        const DataValue v{Variant::fromScalar(true),
                          status::UncertainLastUsableValue,
                          DateTime{3},
                          4,
                          DateTime{5},
                          6};
        row("DataValue every member, in wire order", 23, Variant::fromScalar(v),
            bytes({
                0x3F,                                           // all six present
                0x01, 0x01,                                     // value: Boolean true
                0x00, 0x00, 0x90, 0x40,                         // status
                0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // source timestamp
                0x04, 0x00,                                     // source picoseconds
                0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // server timestamp
                0x06, 0x00,                                     // server picoseconds
            }));
    }
    row("DataValue empty", 23, Variant::fromScalar(DataValue{}), bytes({0x00}));
}

void variantRows()
{
    variantRow("empty", Variant(), bytes({0x00}));
    variantRow("Int16 array", Variant::fromArray(std::vector<int16_t>{1, 2}),
               bytes({
                   0x84,                   // Int16, array
                   0x02, 0x00, 0x00, 0x00, // 2 elements
                   0x01, 0x00,             // 1
                   0x02, 0x00,             // 2
               }));
    variantRow("Int32 matrix 2x2", Variant::fromArray(std::vector<int32_t>{1, 2, 3, 4}, {2, 2}),
               bytes({
                   0xC6,                   // Int32, array, dimensions
                   0x04, 0x00, 0x00, 0x00, // 4 elements
                   0x01, 0x00, 0x00, 0x00, // 1
                   0x02, 0x00, 0x00, 0x00, // 2
                   0x03, 0x00, 0x00, 0x00, // 3
                   0x04, 0x00, 0x00, 0x00, // 4
                   0x02, 0x00, 0x00, 0x00, // 2 dimensions
                   0x02, 0x00, 0x00, 0x00, // 2 rows
                   0x02, 0x00, 0x00, 0x00, // 2 columns
               }));
    variantRow("empty String array", Variant::fromArray(std::vector<String>{}),
               bytes({
                   0x8C,                   // String, array
                   0x00, 0x00, 0x00, 0x00, // no elements
               }));
    variantRow("Variant array",
               Variant::fromArray(std::vector<Variant>{Variant::fromScalar(int32_t(1)),
                                                       Variant::fromScalar(String("A"))}),
               bytes({
                   0x98,                         // Variant, array
                   0x02, 0x00, 0x00, 0x00,       // 2 elements
                   0x06, 0x01, 0x00, 0x00, 0x00, // Int32 1
                   0x0C, 0x01, 0x00, 0x00, 0x00, // String, length 1
                   0x41,                         // "A"
               }));
    variantRow("DataValue scalar",
               dataValue([](DataValue& v) { v.value = Variant::fromScalar(int32_t(5)); }),
               bytes({
                   0x17,                         // DataValue
                   0x01,                         // value present
                   0x06, 0x05, 0x00, 0x00, 0x00, // Int32 5
               }));
    variantRow("Boolean array", Variant::fromArray(std::vector<bool>{true, false}),
               bytes({0x81, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00}));
}

void structureRows()
{
    row("ExtensionObject null", 22, Variant::fromScalar(ExtensionObject{}),
        bytes({
            0x00, 0x00, // type id i=0
            0x00,       // no body
        }));
    row("ExtensionObject binary body", 22,
        Variant::fromScalar(ExtensionObject{NodeId(0, 321u), ExtensionObjectEncoding::ByteString,
                                            bytes({0xAA, 0xBB})}),
        bytes({
            0x01, 0x00, 0x41, 0x01, // type id i=321, four-byte form
            0x01,                   // binary body
            0x02, 0x00, 0x00, 0x00, // body length 2
            0xAA, 0xBB,             // body
        }));
    {
        DiagnosticInfo d;
        d.symbolicId = 1;
        d.localizedText = 2;
        d.locale = 3;
        row("DiagnosticInfo locale before localized text", 25, Variant::fromScalar(d),
            bytes({
                0x0D,                   // symbolic id, localized text, locale
                0x01, 0x00, 0x00, 0x00, // symbolic id 1
                0x03, 0x00, 0x00, 0x00, // locale 3
                0x02, 0x00, 0x00, 0x00, // localized text 2
            }));
    }
    {
        DiagnosticInfo d;
        d.namespaceUri = 9;
        d.additionalInfo = String("x");
        row("DiagnosticInfo namespace and additional info", 25, Variant::fromScalar(d),
            bytes({
                0x12,                   // namespace URI, additional info
                0x09, 0x00, 0x00, 0x00, // namespace URI 9
                0x01, 0x00, 0x00, 0x00, // length 1
                0x78,                   // "x"
            }));
    }
    {
        DiagnosticInfo d;
        d.innerStatusCode = status::BadTimeout;
        d.innerDiagnosticInfo = std::make_shared<const DiagnosticInfo>(diagnostic(7));
        row("DiagnosticInfo inner", 25, Variant::fromScalar(d),
            bytes({
                0x60,                   // inner status code, inner diagnostic info
                0x00, 0x00, 0x0A, 0x80, // BadTimeout
                0x01,                   // inner: symbolic id
                0x07, 0x00, 0x00, 0x00, // symbolic id 7
            }));
    }
}

} // namespace

class TestBinary : public QObject
{
    Q_OBJECT

private slots:
    void encodesAsPublished_data();
    void encodesAsPublished();
    void acceptsNonCanonicalInput_data();
    void acceptsNonCanonicalInput();
    void refusesMalformedInput_data();
    void refusesMalformedInput();
    void refusesToEncodeInconsistentVariants();
    void keepsNaNBitsThroughARoundTrip();
};

void TestBinary::encodesAsPublished_data()
{
    QTest::addColumn<Variant>("value");
    QTest::addColumn<ByteBuffer>("expected");
    scalarRows();
    nodeIdRows();
    dataValueRows();
    structureRows();
    variantRows();
}

void TestBinary::encodesAsPublished()
{
    QFETCH(Variant, value);
    QFETCH(ByteBuffer, expected);

    QCOMPARE(hex(encodeToBytes(value)), hex(expected));
    QVERIFY(decodeFromBytes<Variant>(expected) == value);
}

void TestBinary::acceptsNonCanonicalInput_data()
{
    QTest::addColumn<ByteBuffer>("input");
    QTest::addColumn<Variant>("expected");

    QTest::newRow("i=85 in the numeric form")
        << bytes({0x11, 0x02, 0x00, 0x00, 0x55, 0x00, 0x00, 0x00}) // Variant NodeId, numeric form
        << Variant::fromScalar(NodeId(0, 85u));
    QTest::newRow("Boolean 2 reads as true") << bytes({0x01, 0x02}) << Variant::fromScalar(true);
    QTest::newRow("null array reads as empty")
        << bytes({0x86, 0xFF, 0xFF, 0xFF, 0xFF}) << Variant::fromArray(std::vector<int32_t>{});
    QTest::newRow("ExpandedNodeId with server index 0 flagged")
        << bytes({0x12, 0x40, 0x05, 0x00, 0x00, 0x00, 0x00})
        << Variant::fromScalar(ExpandedNodeId(NodeId(0, 5u)));
}

void TestBinary::acceptsNonCanonicalInput()
{
    QFETCH(ByteBuffer, input);
    QFETCH(Variant, expected);

    QVERIFY(decodeFromBytes<Variant>(input) == expected);
}

void TestBinary::refusesMalformedInput_data()
{
    QTest::addColumn<ByteBuffer>("input");
    QTest::addColumn<DecodeLimits>("limits");
    QTest::addColumn<StatusCode>("expected");

    const StatusCode bad = status::BadDecodingError;
    const StatusCode limit = status::BadEncodingLimitsExceeded;
    refusal("empty input", BuiltinType::Int32, bytes({}), bad);
    refusal("truncated Int32", BuiltinType::Int32, bytes({0x01, 0x02, 0x03}), bad);
    refusal("trailing byte", BuiltinType::Boolean, bytes({0x01, 0x00}), bad);
    refusal("String length -2", BuiltinType::String, bytes({0xFE, 0xFF, 0xFF, 0xFF}), bad);
    refusal("String longer than the input", BuiltinType::String,
            bytes({0x0A, 0x00, 0x00, 0x00, 0x41, 0x42}), bad);
    refusal("String over the cap", BuiltinType::String, bytes({0x00, 0x00, 0x00, 0x7F}), limit);
    refusal("ByteString longer than the input", BuiltinType::ByteString,
            bytes({0x02, 0x00, 0x00, 0x00, 0x01}), bad);
    refusal("truncated Guid", BuiltinType::Guid, bytes({1, 2, 3, 4, 5, 6, 7, 8}), bad);
    refusal("NodeId form 6", BuiltinType::NodeId, bytes({0x06, 0x00}), bad);
    refusal("NodeId with expanded flags", BuiltinType::NodeId, bytes({0x80, 0x05}), bad);
    refusal("ExpandedNodeId with null URI flagged", BuiltinType::ExpandedNodeId,
            bytes({0x80, 0x05, 0xFF, 0xFF, 0xFF, 0xFF}), bad);
    refusal("LocalizedText unknown mask bit", BuiltinType::LocalizedText, bytes({0x04}), bad);
    refusal("ExtensionObject encoding 3", BuiltinType::ExtensionObject, bytes({0x00, 0x00, 0x03}),
            bad);
    refusal("DataValue unknown mask bit", BuiltinType::DataValue, bytes({0x40}), bad);
    refusal("DiagnosticInfo unknown mask bit", BuiltinType::DiagnosticInfo, bytes({0x80}), bad);
    refusal("Variant type 26", bytes({0x1A}), bad);
    refusal("Variant type 63 array", bytes({0xBF, 0, 0, 0, 0}), bad);
    refusal("empty Variant with array flag", bytes({0x80, 0, 0, 0, 0}), bad);
    refusal("scalar Variant in a Variant", bytes({0x18, 0x00}), bad);
    refusal("dimensions without array", bytes({0x46, 1, 0, 0, 0}), bad);
    refusal("dimensions that do not match",
            bytes({
                0xC6,                   // Int32, array, dimensions
                0x02, 0x00, 0x00, 0x00, // 2 elements
                0x01, 0x00, 0x00, 0x00, // 1
                0x02, 0x00, 0x00, 0x00, // 2
                0x01, 0x00, 0x00, 0x00, // 1 dimension
                0x03, 0x00, 0x00, 0x00, // of 3: does not match 2 elements
            }),
            bad);
    refusal("negative dimension",
            bytes({0xC6, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                   0x00, 0x00, 0x00, 0x00}),
            bad);
    refusal("array length -2", bytes({0x86, 0xFE, 0xFF, 0xFF, 0xFF}), bad);
    refusal("array longer than the input", bytes({0x86, 0x10, 0x00, 0x00, 0x00}), bad);
    refusal("array over the cap", bytes({0x86, 0xFF, 0xFF, 0xFF, 0x7F}), limit);

    DecodeLimits tight;
    tight.maxStringLength = 4;
    tight.maxByteStringLength = 2;
    tight.maxArrayLength = 3;
    tight.maxNestingDepth = 10;
    refusal("String at a cap of 4", BuiltinType::String, encodeToBytes(String("Hell")),
            status::Good, tight);
    refusal("String over a cap of 4", BuiltinType::String, encodeToBytes(String("Hello")), limit,
            tight);
    refusal("ByteString over a cap of 2", BuiltinType::ByteString,
            encodeToBytes(ByteString(bytes({1, 2, 3}))), limit, tight);
    refusal("array at a cap of 3", encodeToBytes(Variant::fromArray(std::vector<uint8_t>{1, 2, 3})),
            status::Good, tight);
    refusal("array over a cap of 3",
            encodeToBytes(Variant::fromArray(std::vector<uint8_t>{1, 2, 3, 4})), limit, tight);
    // Depth counts the outer Variant too: nine array levels plus the scalar make ten.
    refusal("nesting at a cap of 10", encodeToBytes(nestedVariant(9)), status::Good, tight);
    refusal("nesting over a cap of 10", encodeToBytes(nestedVariant(10)), limit, tight);
    refusal("diagnostic nesting over a cap of 10", BuiltinType::DiagnosticInfo,
            encodeToBytes(nestedDiagnostic(12)), limit, tight);
    refusal("diagnostic nesting under the default cap", BuiltinType::DiagnosticInfo,
            encodeToBytes(nestedDiagnostic(12)), status::Good, DecodeLimits{});
    // A hundred thousand "Variant array of one Variant" headers: without a depth cap this would
    // recurse until the stack runs out.
    ByteBuffer deep;
    for (int i = 0; i < 100000; ++i)
        deep.insert(deep.end(), {0x98, 0x01, 0x00, 0x00, 0x00});
    deep.push_back(0x00);
    refusal("deep nesting in raw bytes", deep, limit, DecodeLimits{});

    prefixRows();
}

void TestBinary::refusesMalformedInput()
{
    QFETCH(ByteBuffer, input);
    QFETCH(DecodeLimits, limits);
    QFETCH(StatusCode, expected);

    const auto refused = failure([&] { decodeFromBytes<Variant>(input, limits); });
    QCOMPARE(refused.status, expected);
    QVERIFY2(expected.isGood() || refused.text.contains("offset"), qPrintable(refused.text));
}

void TestBinary::refusesToEncodeInconsistentVariants()
{
    const auto mismatched = Variant::fromArray(std::vector<int32_t>{1, 2, 3}, {2, 2});
    QVERIFY_THROWS_EXCEPTION(EncodeError, encodeToBytes(mismatched));
}

void TestBinary::keepsNaNBitsThroughARoundTrip()
{
    const double nan = std::nan("");
    const auto encoded = encodeToBytes(Variant::fromScalar(nan));
    const auto decoded = decodeFromBytes<Variant>(encoded);
    QVERIFY(std::isnan(*decoded.scalar<double>()));
    QCOMPARE(hex(encodeToBytes(decoded)), hex(encoded));
}

QTEST_GUILESS_MAIN(TestBinary)
#include "tst_binary.moc"
