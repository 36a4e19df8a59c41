// How values the server delivers become field values, which type a write to an item uses, and
// how field values become that type: one row per rule, failures included.

#include "processdata/opcua/valuemapping.h"
#include "tests/support/failureof.h"

#include <QTest>
#include <limits>

using opcua::BuiltinType;
using opcua::DataValue;
using opcua::Variant;
using servo::FailureCode;
using servo::FieldValue;
using servo::test::failureOf;

Q_DECLARE_METATYPE(DataValue)
Q_DECLARE_METATYPE(FieldValue)
Q_DECLARE_METATYPE(Variant)
Q_DECLARE_METATYPE(BuiltinType)
Q_DECLARE_METATYPE(FailureCode)
Q_DECLARE_METATYPE(opcua::NodeId)
Q_DECLARE_METATYPE(std::optional<BuiltinType>)

namespace {

using Type = std::optional<BuiltinType>;
const Type kNone;
const Type kInt16 = BuiltinType::Int16;
const Type kUInt16 = BuiltinType::UInt16;
const Type kInt32 = BuiltinType::Int32;
const Type kUInt32 = BuiltinType::UInt32;
const Type kDouble = BuiltinType::Double;

template <class T> DataValue good(T v)
{
    DataValue value;
    value.value = Variant::fromScalar(v);
    return value;
}

DataValue make(std::optional<Variant> v, std::optional<opcua::StatusCode> status)
{
    DataValue value;
    value.value = std::move(v);
    value.status = status;
    return value;
}

void readingRow(const char* name, const DataValue& delivered, const FieldValue& expected,
                const QString& unshowable = {})
{
    QTest::newRow(name) << delivered << expected << unshowable;
}

void typeRow(const char* name, const opcua::NodeId& dataType, Type clientType,
             const FieldValue& written, Type expected)
{
    QTest::newRow(name) << dataType << clientType << written << expected;
}

template <class T>
void writeRow(const char* name, const FieldValue& value, BuiltinType target, T expected)
{
    QTest::newRow(name) << value << target << Variant::fromScalar(expected)
                        << FailureCode::Unexpected;
}

void failedWriteRow(const char* name, const FieldValue& value, BuiltinType target,
                    FailureCode failure)
{
    QTest::newRow(name) << value << target << Variant() << failure;
}

} // namespace

class TestValueMapping : public QObject
{
    Q_OBJECT
private slots:
    void readings_data()
    {
        QTest::addColumn<DataValue>("delivered");
        QTest::addColumn<FieldValue>("expected");
        QTest::addColumn<QString>("unshowable"); // a text of the reason, when it cannot be shown

        readingRow("SByte to Int16", good(int8_t(-12)), FieldValue(int16_t(-12)));
        readingRow("Byte to Int16", good(uint8_t(200)), FieldValue(int16_t(200)));
        readingRow("Int16", good(int16_t(-1234)), FieldValue(int16_t(-1234)));
        readingRow("UInt16 to Int32", good(uint16_t(65000)), FieldValue(int32_t(65000)));
        readingRow("Int32", good(int32_t(-100000)), FieldValue(int32_t(-100000)));
        readingRow("UInt32 that fits", good(uint32_t(4000000)), FieldValue(int32_t(4000000)));
        readingRow("UInt32 beyond Int32 to Double", good(uint32_t(4000000000u)),
                   FieldValue(4000000000.0));
        readingRow("Int64 that fits", good(int64_t(-5)), FieldValue(int32_t(-5)));
        readingRow("Int64 below Int32 to Double", good(int64_t(-3000000000LL)),
                   FieldValue(-3000000000.0));
        readingRow("UInt64 that fits", good(uint64_t(77)), FieldValue(int32_t(77)));
        readingRow("UInt64 huge to Double", good(uint64_t(1) << 40),
                   FieldValue(double(uint64_t(1) << 40)));
        readingRow("Float", good(1.5f), FieldValue(1.5f));
        readingRow("Double", good(2.25), FieldValue(2.25));
        readingRow("Boolean", good(true), FieldValue(true));
        readingRow("String", good(opcua::String("Grüße")), FieldValue("Grüße"));
        readingRow("LocalizedText gives its text",
                   good(opcua::LocalizedText{opcua::String("en"), opcua::String("Hello")}),
                   FieldValue("Hello"));
        readingRow("Uncertain keeps the value",
                   make(Variant::fromScalar(int16_t(5)), opcua::status::UncertainLastUsableValue),
                   FieldValue(int16_t(5)));
        readingRow("Good with info bits keeps the value",
                   make(Variant::fromScalar(int16_t(5)), opcua::StatusCode(0x00000400)),
                   FieldValue(int16_t(5)));
        readingRow("Bad gives null",
                   make(Variant::fromScalar(int16_t(5)), opcua::status::BadDeviceFailure),
                   FieldValue::null());
        readingRow("Bad without a value gives null",
                   make(std::nullopt, opcua::status::BadNodeIdUnknown), FieldValue::null());
        readingRow("no value gives empty", DataValue{}, FieldValue());
        readingRow("empty variant gives empty", make(Variant(), std::nullopt), FieldValue());
        readingRow("Bad array is null, not a failure",
                   make(Variant::fromArray(std::vector<int32_t>{1}), opcua::status::Bad),
                   FieldValue::null());
        readingRow("array cannot be shown",
                   make(Variant::fromArray(std::vector<int32_t>{1, 2, 3}), std::nullopt),
                   FieldValue(), "array of Int32");
        readingRow("structure cannot be shown",
                   good(opcua::ExtensionObject{
                       opcua::NodeId(0, 864u), opcua::ExtensionObjectEncoding::ByteString, {1, 2}}),
                   FieldValue(), "structure");
        readingRow("DateTime cannot be shown", good(opcua::DateTime{1}), FieldValue(), "DateTime");
    }

    void readings()
    {
        QFETCH(DataValue, delivered);
        QFETCH(FieldValue, expected);
        QFETCH(QString, unshowable);
        const servo::FieldReading reading = servo::readingOf(delivered);
        QVERIFY2(QString::fromStdString(reading.unshowable).contains(unshowable),
                 reading.unshowable.c_str());
        QCOMPARE(reading.unshowable.empty(), unshowable.isEmpty());
        QCOMPARE(describe(reading.value), describe(expected));
        QVERIFY(reading.value == expected);
    }

    void writeTypes_data()
    {
        QTest::addColumn<opcua::NodeId>("dataType");
        QTest::addColumn<Type>("clientType");
        QTest::addColumn<FieldValue>("written");
        QTest::addColumn<Type>("expected");

        const FieldValue word(int16_t(1151));
        const opcua::NodeId base(0, 24u), number(0, 26u), integer(0, 27u), enumeration(0, 29u);
        typeRow("BaseDataType holding a Double: Int16", base, kDouble, word, kInt16);
        typeRow("Number holding a Double: Int16", number, kDouble, word, kInt16);
        typeRow("Integer holding an Int32: Int16", integer, kInt32, word, kInt16);
        typeRow("UInteger holding a UInt32: UInt16", opcua::NodeId(0, 28u), kUInt32, word, kUInt16);
        typeRow("Enumeration: Int32", enumeration, kNone, word, kInt32);
        typeRow("a built-in type: the client's", opcua::NodeId(0, 5u), kUInt16, word, kUInt16);
        typeRow("the server's own enumeration holding a value: Int32", opcua::NodeId(1, 3001u),
                kInt32, word, kInt32);
        typeRow("the server's own type before any value: none", opcua::NodeId(1, 3001u), kNone,
                word, kNone);
        typeRow("number 24 of another namespace: the client's", opcua::NodeId(2, 24u), kDouble,
                word, kDouble);
        typeRow("Number written a Double: Double, not rounded", number, kInt16, FieldValue(2.5),
                kDouble);
        typeRow("BaseDataType written a text: String", base, kNone, FieldValue("on"),
                BuiltinType::String);
        typeRow("Integer written an Int32: Int32", integer, kNone, FieldValue(int32_t(70000)),
                kInt32);
        typeRow("Integer written a Double: Int16, rounded", integer, kNone, FieldValue(2.5),
                kInt16);
        typeRow("Number written a Boolean: Int16", number, kNone, FieldValue(true), kInt16);
    }

    void writeTypes()
    {
        QFETCH(opcua::NodeId, dataType);
        QFETCH(Type, clientType);
        QFETCH(FieldValue, written);
        QFETCH(Type, expected);
        QCOMPARE(servo::writeTypeOf(dataType, clientType, written.type()), expected);
    }

    void writes_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::addColumn<BuiltinType>("target");
        QTest::addColumn<Variant>("expected");
        QTest::addColumn<FailureCode>("failure"); // Unexpected when none

        const FieldValue run(int16_t(1151));
        const FieldValue minusOne(int16_t(-1));
        const auto overflow = FailureCode::Overflow;
        const auto mismatch = FailureCode::TypeMismatch;
        writeRow("Int16 to Int16", run, BuiltinType::Int16, int16_t(1151));
        writeRow("Int16 to UInt16", run, BuiltinType::UInt16, uint16_t(1151));
        writeRow("Int16 to Int32", run, BuiltinType::Int32, int32_t(1151));
        failedWriteRow("negative Int16 to UInt16 overflows", minusOne, BuiltinType::UInt16,
                       overflow);
        writeRow("Int16 to Byte that fits", FieldValue(int16_t(255)), BuiltinType::Byte,
                 uint8_t(255));
        failedWriteRow("Int16 to Byte too big", FieldValue(int16_t(256)), BuiltinType::Byte,
                       overflow);
        failedWriteRow("Int16 to SByte too small", FieldValue(int16_t(-129)), BuiltinType::SByte,
                       overflow);
        failedWriteRow("Int32 to Int16 too big", FieldValue(int32_t(40000)), BuiltinType::Int16,
                       overflow);
        writeRow("Int32 to UInt64", FieldValue(int32_t(7)), BuiltinType::UInt64, uint64_t(7));
        writeRow("Int16 to Int64", FieldValue(int16_t(-7)), BuiltinType::Int64, int64_t(-7));
        writeRow("Double rounds half to even for an integer", FieldValue(2.5), BuiltinType::Int16,
                 int16_t(2));
        failedWriteRow("Double beyond UInt32", FieldValue(4294967296.0), BuiltinType::UInt32,
                       overflow);
        writeRow("Double just inside UInt32", FieldValue(4294967295.0), BuiltinType::UInt32,
                 uint32_t(4294967295u));
        failedWriteRow("Double beyond Int64", FieldValue(9223372036854775808.0), BuiltinType::Int64,
                       overflow);
        writeRow("Int16 to Float", run, BuiltinType::Float, 1151.0f);
        writeRow("Int16 to Double", run, BuiltinType::Double, 1151.0);
        failedWriteRow("Double beyond Float", FieldValue(1e300), BuiltinType::Float, overflow);
        writeRow("Int16 0 to Boolean false", FieldValue(int16_t(0)), BuiltinType::Boolean, false);
        writeRow("Int16 to Boolean true", run, BuiltinType::Boolean, true);
        writeRow("Int16 to String", run, BuiltinType::String, opcua::String("1151"));
        writeRow("numeric text to Int16", FieldValue(" 1151 "), BuiltinType::Int16, int16_t(1151));
        failedWriteRow("text that is no number to Int16", FieldValue("run"), BuiltinType::Int16,
                       mismatch);
        failedWriteRow("empty cannot be written", FieldValue(), BuiltinType::Int16, mismatch);
        failedWriteRow("null cannot be written", FieldValue::null(), BuiltinType::Int32, mismatch);
        failedWriteRow("to DateTime is refused", run, BuiltinType::DateTime, mismatch);
        failedWriteRow("to a structure is refused", run, BuiltinType::ExtensionObject, mismatch);
        writeRow("Boolean true to Int16 is -1", FieldValue(true), BuiltinType::Int16, int16_t(-1));
        failedWriteRow("Boolean true to UInt16 overflows", FieldValue(true), BuiltinType::UInt16,
                       overflow);
        failedWriteRow("NaN to Int32 overflows",
                       FieldValue(std::numeric_limits<double>::quiet_NaN()), BuiltinType::Int32,
                       overflow);
    }

    void writes()
    {
        QFETCH(FieldValue, value);
        QFETCH(BuiltinType, target);
        QFETCH(Variant, expected);
        QFETCH(FailureCode, failure);
        Variant written;
        QCOMPARE(failureOf([&] { written = servo::variantForWrite(value, target); }).code(),
                 failure);
        QCOMPARE(written, expected);
    }
};

QTEST_GUILESS_MAIN(TestValueMapping)
#include "tst_valuemapping.moc"
