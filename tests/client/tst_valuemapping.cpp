// How values the server delivers become field values, which type a write to an item uses, and
// how field values become that type: one row per rule, failures included.

#include "processdata/failure.h"
#include "processdata/opcua/valuemapping.h"

#include <QTest>
#include <limits>

using opcua::BuiltinType;
using opcua::DataValue;
using opcua::Variant;
using servo::FailureCode;
using servo::FieldValue;

Q_DECLARE_METATYPE(DataValue)
Q_DECLARE_METATYPE(FieldValue)
Q_DECLARE_METATYPE(Variant)
Q_DECLARE_METATYPE(BuiltinType)
Q_DECLARE_METATYPE(FailureCode)
Q_DECLARE_METATYPE(opcua::NodeId)
Q_DECLARE_METATYPE(std::optional<BuiltinType>)

namespace {

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

template <class T> DataValue withStatus(T v, opcua::StatusCode status)
{
    DataValue value = good(v);
    value.status = status;
    return value;
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
        QTest::addColumn<bool>("showable");

        QTest::newRow("SByte to Int16") << good(int8_t(-12)) << FieldValue(int16_t(-12)) << true;
        QTest::newRow("Byte to Int16") << good(uint8_t(200)) << FieldValue(int16_t(200)) << true;
        QTest::newRow("Int16") << good(int16_t(-1234)) << FieldValue(int16_t(-1234)) << true;
        QTest::newRow("UInt16 to Int32")
            << good(uint16_t(65000)) << FieldValue(int32_t(65000)) << true;
        QTest::newRow("Int32") << good(int32_t(-100000)) << FieldValue(int32_t(-100000)) << true;
        QTest::newRow("UInt32 that fits")
            << good(uint32_t(4000000)) << FieldValue(int32_t(4000000)) << true;
        QTest::newRow("UInt32 beyond Int32 to Double")
            << good(uint32_t(4000000000u)) << FieldValue(4000000000.0) << true;
        QTest::newRow("Int64 that fits") << good(int64_t(-5)) << FieldValue(int32_t(-5)) << true;
        QTest::newRow("Int64 below Int32 to Double")
            << good(int64_t(-3000000000LL)) << FieldValue(-3000000000.0) << true;
        QTest::newRow("UInt64 that fits") << good(uint64_t(77)) << FieldValue(int32_t(77)) << true;
        QTest::newRow("UInt64 huge to Double")
            << good(uint64_t(1) << 40) << FieldValue(double(uint64_t(1) << 40)) << true;
        QTest::newRow("Float") << good(1.5f) << FieldValue(1.5f) << true;
        QTest::newRow("Double") << good(2.25) << FieldValue(2.25) << true;
        QTest::newRow("Boolean") << good(true) << FieldValue(true) << true;
        QTest::newRow("String") << good(opcua::String("Grüße")) << FieldValue("Grüße") << true;
        QTest::newRow("LocalizedText gives its text")
            << good(opcua::LocalizedText{opcua::String("en"), opcua::String("Hello")})
            << FieldValue("Hello") << true;
        QTest::newRow("Uncertain keeps the value")
            << withStatus(int16_t(5), opcua::status::UncertainLastUsableValue)
            << FieldValue(int16_t(5)) << true;
        QTest::newRow("Good with info bits keeps the value")
            << withStatus(int16_t(5), opcua::StatusCode(0x00000400)) << FieldValue(int16_t(5))
            << true;
        QTest::newRow("Bad gives null") << withStatus(int16_t(5), opcua::status::BadDeviceFailure)
                                        << FieldValue::null() << true;
        QTest::newRow("Bad without a value gives null")
            << make(std::nullopt, opcua::status::BadNodeIdUnknown) << FieldValue::null() << true;
        QTest::newRow("no value gives empty") << DataValue{} << FieldValue() << true;
        QTest::newRow("empty variant gives empty")
            << make(Variant(), std::nullopt) << FieldValue() << true;

        DataValue array;
        array.value = Variant::fromArray(std::vector<int32_t>{1, 2, 3});
        QTest::newRow("array cannot be shown") << array << FieldValue() << false;
        QTest::newRow("structure cannot be shown")
            << good(opcua::ExtensionObject{
                   opcua::NodeId(0, 864u), opcua::ExtensionObjectEncoding::ByteString, {1, 2}})
            << FieldValue() << false;
        QTest::newRow("DateTime cannot be shown")
            << good(opcua::DateTime{1}) << FieldValue() << false;
        QTest::newRow("Bad array is null, not a failure")
            << make(Variant::fromArray(std::vector<int32_t>{1}), opcua::status::Bad)
            << FieldValue::null() << true;
    }

    void readings()
    {
        QFETCH(DataValue, delivered);
        QFETCH(FieldValue, expected);
        QFETCH(bool, showable);
        const servo::FieldReading reading = servo::readingOf(delivered);
        if (showable) {
            QVERIFY2(reading.unshowable.empty(), reading.unshowable.c_str());
            QCOMPARE(describe(reading.value), describe(expected));
            QVERIFY(reading.value == expected);
        } else {
            QVERIFY(!reading.unshowable.empty());
        }
    }

    void unshowableReadingsNameTheType()
    {
        DataValue array;
        array.value = Variant::fromArray(std::vector<int32_t>{1, 2, 3});
        QVERIFY(servo::readingOf(array).unshowable.find("array of Int32") != std::string::npos);
    }

    void writeTypes_data()
    {
        QTest::addColumn<opcua::NodeId>("dataType");
        QTest::addColumn<std::optional<BuiltinType>>("clientType");
        QTest::addColumn<FieldValue>("written");
        QTest::addColumn<std::optional<BuiltinType>>("expected");

        const std::optional<BuiltinType> none;
        const FieldValue word(int16_t(1151));
        QTest::newRow("BaseDataType holding a Double: Int16")
            << opcua::NodeId(0, 24u) << std::optional(BuiltinType::Double) << word
            << std::optional(BuiltinType::Int16);
        QTest::newRow("BaseDataType before any value: Int16")
            << opcua::NodeId(0, 24u) << none << word << std::optional(BuiltinType::Int16);
        QTest::newRow("Number holding a Double: Int16")
            << opcua::NodeId(0, 26u) << std::optional(BuiltinType::Double) << word
            << std::optional(BuiltinType::Int16);
        QTest::newRow("Integer holding an Int32: Int16")
            << opcua::NodeId(0, 27u) << std::optional(BuiltinType::Int32) << word
            << std::optional(BuiltinType::Int16);
        QTest::newRow("UInteger holding a UInt32: UInt16")
            << opcua::NodeId(0, 28u) << std::optional(BuiltinType::UInt32) << word
            << std::optional(BuiltinType::UInt16);
        QTest::newRow("Enumeration: Int32")
            << opcua::NodeId(0, 29u) << none << word << std::optional(BuiltinType::Int32);
        QTest::newRow("a built-in type: the client's")
            << opcua::NodeId(0, 5u) << std::optional(BuiltinType::UInt16) << word
            << std::optional(BuiltinType::UInt16);
        QTest::newRow("the server's own enumeration holding a value: Int32")
            << opcua::NodeId(1, 3001u) << std::optional(BuiltinType::Int32) << word
            << std::optional(BuiltinType::Int32);
        QTest::newRow("the server's own type before any value: none")
            << opcua::NodeId(1, 3001u) << none << word << none;
        QTest::newRow("number 24 of another namespace: the client's")
            << opcua::NodeId(2, 24u) << std::optional(BuiltinType::Double) << word
            << std::optional(BuiltinType::Double);
        QTest::newRow("a structure: ExtensionObject, which no write converts to")
            << opcua::NodeId(0, 884u) << std::optional(BuiltinType::ExtensionObject) << word
            << std::optional(BuiltinType::ExtensionObject);
        QTest::newRow("Number written a Double: Double, not rounded")
            << opcua::NodeId(0, 26u) << std::optional(BuiltinType::Int16) << FieldValue(2.5)
            << std::optional(BuiltinType::Double);
        QTest::newRow("BaseDataType written a text: String")
            << opcua::NodeId(0, 24u) << none << FieldValue("on")
            << std::optional(BuiltinType::String);
        QTest::newRow("Integer written an Int32: Int32")
            << opcua::NodeId(0, 27u) << none << FieldValue(int32_t(70000))
            << std::optional(BuiltinType::Int32);
        QTest::newRow("Integer written a Double: Int16, rounded")
            << opcua::NodeId(0, 27u) << none << FieldValue(2.5)
            << std::optional(BuiltinType::Int16);
        QTest::newRow("Number written a Boolean: Int16")
            << opcua::NodeId(0, 26u) << none << FieldValue(true)
            << std::optional(BuiltinType::Int16);
        QTest::newRow("Enumeration written a Double: Int32")
            << opcua::NodeId(0, 29u) << none << FieldValue(3.0)
            << std::optional(BuiltinType::Int32);
    }

    void writeTypes()
    {
        QFETCH(opcua::NodeId, dataType);
        QFETCH(std::optional<BuiltinType>, clientType);
        QFETCH(FieldValue, written);
        QFETCH(std::optional<BuiltinType>, expected);
        QCOMPARE(servo::writeTypeOf(dataType, clientType, written.type()), expected);
    }

    void writes_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::addColumn<BuiltinType>("target");
        QTest::addColumn<Variant>("expected");
        QTest::addColumn<FailureCode>("failure"); // Unexpected when none

        const auto none = FailureCode::Unexpected;
        const FieldValue run(int16_t(1151));
        QTest::newRow("Int16 to Int16")
            << run << BuiltinType::Int16 << Variant::fromScalar(int16_t(1151)) << none;
        QTest::newRow("Int16 to UInt16")
            << run << BuiltinType::UInt16 << Variant::fromScalar(uint16_t(1151)) << none;
        QTest::newRow("Int16 to Int32")
            << run << BuiltinType::Int32 << Variant::fromScalar(int32_t(1151)) << none;
        QTest::newRow("negative Int16 to UInt16 overflows")
            << FieldValue(int16_t(-1)) << BuiltinType::UInt16 << Variant() << FailureCode::Overflow;
        QTest::newRow("Int16 to Byte that fits") << FieldValue(int16_t(255)) << BuiltinType::Byte
                                                 << Variant::fromScalar(uint8_t(255)) << none;
        QTest::newRow("Int16 to Byte too big")
            << FieldValue(int16_t(256)) << BuiltinType::Byte << Variant() << FailureCode::Overflow;
        QTest::newRow("Int16 to SByte too small") << FieldValue(int16_t(-129)) << BuiltinType::SByte
                                                  << Variant() << FailureCode::Overflow;
        QTest::newRow("Int32 to Int16 too big") << FieldValue(int32_t(40000)) << BuiltinType::Int16
                                                << Variant() << FailureCode::Overflow;
        QTest::newRow("Int32 to UInt64") << FieldValue(int32_t(7)) << BuiltinType::UInt64
                                         << Variant::fromScalar(uint64_t(7)) << none;
        QTest::newRow("Int16 to Int64") << FieldValue(int16_t(-7)) << BuiltinType::Int64
                                        << Variant::fromScalar(int64_t(-7)) << none;
        QTest::newRow("Double rounds half to even for an integer")
            << FieldValue(2.5) << BuiltinType::Int16 << Variant::fromScalar(int16_t(2)) << none;
        QTest::newRow("Double 3.5 rounds to 4")
            << FieldValue(3.5) << BuiltinType::Int32 << Variant::fromScalar(int32_t(4)) << none;
        QTest::newRow("Double beyond UInt32") << FieldValue(4294967296.0) << BuiltinType::UInt32
                                              << Variant() << FailureCode::Overflow;
        QTest::newRow("Double just inside UInt32")
            << FieldValue(4294967295.0) << BuiltinType::UInt32
            << Variant::fromScalar(uint32_t(4294967295u)) << none;
        QTest::newRow("Double beyond Int64")
            << FieldValue(9223372036854775808.0) << BuiltinType::Int64 << Variant()
            << FailureCode::Overflow;
        QTest::newRow("Int16 to Float")
            << run << BuiltinType::Float << Variant::fromScalar(1151.0f) << none;
        QTest::newRow("Int16 to Double")
            << run << BuiltinType::Double << Variant::fromScalar(1151.0) << none;
        QTest::newRow("Double beyond Float")
            << FieldValue(1e300) << BuiltinType::Float << Variant() << FailureCode::Overflow;
        QTest::newRow("Int16 0 to Boolean false")
            << FieldValue(int16_t(0)) << BuiltinType::Boolean << Variant::fromScalar(false) << none;
        QTest::newRow("Int16 to Boolean true")
            << run << BuiltinType::Boolean << Variant::fromScalar(true) << none;
        QTest::newRow("Int16 to String")
            << run << BuiltinType::String << Variant::fromScalar(opcua::String("1151")) << none;
        QTest::newRow("numeric text to Int16") << FieldValue(" 1151 ") << BuiltinType::Int16
                                               << Variant::fromScalar(int16_t(1151)) << none;
        QTest::newRow("text that is no number to Int16")
            << FieldValue("run") << BuiltinType::Int16 << Variant() << FailureCode::TypeMismatch;
        QTest::newRow("empty cannot be written")
            << FieldValue() << BuiltinType::Int16 << Variant() << FailureCode::TypeMismatch;
        QTest::newRow("null cannot be written")
            << FieldValue::null() << BuiltinType::Int32 << Variant() << FailureCode::TypeMismatch;
        QTest::newRow("to DateTime is refused")
            << run << BuiltinType::DateTime << Variant() << FailureCode::TypeMismatch;
        QTest::newRow("to a structure is refused")
            << run << BuiltinType::ExtensionObject << Variant() << FailureCode::TypeMismatch;
        QTest::newRow("Boolean true to Int16 is -1")
            << FieldValue(true) << BuiltinType::Int16 << Variant::fromScalar(int16_t(-1)) << none;
        QTest::newRow("Boolean true to UInt16 overflows")
            << FieldValue(true) << BuiltinType::UInt16 << Variant() << FailureCode::Overflow;
        QTest::newRow("NaN to Int32 overflows")
            << FieldValue(std::numeric_limits<double>::quiet_NaN()) << BuiltinType::Int32
            << Variant() << FailureCode::Overflow;
    }

    void writes()
    {
        QFETCH(FieldValue, value);
        QFETCH(BuiltinType, target);
        QFETCH(Variant, expected);
        QFETCH(FailureCode, failure);
        if (failure == FailureCode::Unexpected) {
            QCOMPARE(servo::variantForWrite(value, target), expected);
            return;
        }
        try {
            servo::variantForWrite(value, target);
            QFAIL("expected a failure");
        } catch (const servo::Failure& error) {
            QCOMPARE(error.code(), failure);
            QVERIFY(!error.description().empty());
        }
    }
};

QTEST_GUILESS_MAIN(TestValueMapping)
#include "tst_valuemapping.moc"
