#include "processdata/opcua/valuemapping.h"

#include "processdata/failure.h"

#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace servo {

namespace {

using opcua::BuiltinType;

constexpr unsigned bit(FieldValue::Type type)
{
    return 1u << unsigned(type);
}
constexpr unsigned kIntegers = bit(FieldValue::Type::Int16) | bit(FieldValue::Type::Int32);
constexpr unsigned kNumbers =
    kIntegers | bit(FieldValue::Type::Float) | bit(FieldValue::Type::Double);
constexpr unsigned kScalars =
    kNumbers | bit(FieldValue::Type::Boolean) | bit(FieldValue::Type::Text);

// Abstract data types of namespace 0: the kinds of value each takes in their own built-in type,
// and the type every other value is converted to.
struct AbstractType
{
    uint32_t id;
    unsigned asItself;
    BuiltinType otherwise;
};
constexpr std::array kAbstractTypes{
    AbstractType{24, kScalars, BuiltinType::Int16},  // BaseDataType
    AbstractType{26, kNumbers, BuiltinType::Int16},  // Number
    AbstractType{27, kIntegers, BuiltinType::Int16}, // Integer
    AbstractType{28, 0, BuiltinType::UInt16},        // UInteger
    AbstractType{29, 0, BuiltinType::Int32},         // Enumeration
};

BuiltinType builtinTypeOf(FieldValue::Type type)
{
    switch (type) {
    case FieldValue::Type::Int32:
        return BuiltinType::Int32;
    case FieldValue::Type::Float:
        return BuiltinType::Float;
    case FieldValue::Type::Double:
        return BuiltinType::Double;
    case FieldValue::Type::Boolean:
        return BuiltinType::Boolean;
    case FieldValue::Type::Text:
        return BuiltinType::String;
    case FieldValue::Type::Int16:
    case FieldValue::Type::Empty:
    case FieldValue::Type::Null:
        break;
    }
    return BuiltinType::Int16;
}

template <class T> FieldValue wideInteger(T number)
{
    if (std::in_range<std::int32_t>(number))
        return FieldValue(std::int32_t(number));
    return FieldValue(double(number));
}

FieldReading unshowable(std::string why)
{
    return {FieldValue(), std::move(why)};
}

FieldReading scalarReading(const opcua::Variant& v)
{
    switch (v.type()) {
    case BuiltinType::Null:
        return {};
    case BuiltinType::Boolean:
        return {FieldValue(bool(*v.scalar<bool>())), {}};
    case BuiltinType::SByte:
        return {FieldValue(std::int16_t(*v.scalar<std::int8_t>())), {}};
    case BuiltinType::Byte:
        return {FieldValue(std::int16_t(*v.scalar<std::uint8_t>())), {}};
    case BuiltinType::Int16:
        return {FieldValue(*v.scalar<std::int16_t>()), {}};
    case BuiltinType::UInt16:
        return {FieldValue(std::int32_t(*v.scalar<std::uint16_t>())), {}};
    case BuiltinType::Int32:
        return {FieldValue(*v.scalar<std::int32_t>()), {}};
    case BuiltinType::UInt32:
        return {wideInteger(*v.scalar<std::uint32_t>()), {}};
    case BuiltinType::Int64:
        return {wideInteger(*v.scalar<std::int64_t>()), {}};
    case BuiltinType::UInt64:
        return {wideInteger(*v.scalar<std::uint64_t>()), {}};
    case BuiltinType::Float:
        return {FieldValue(*v.scalar<float>()), {}};
    case BuiltinType::Double:
        return {FieldValue(*v.scalar<double>()), {}};
    case BuiltinType::String:
        return {FieldValue(v.scalar<opcua::String>()->str()), {}};
    case BuiltinType::LocalizedText:
        return {FieldValue(v.scalar<opcua::LocalizedText>()->text.str()), {}};
    case BuiltinType::DateTime:
    case BuiltinType::Guid:
    case BuiltinType::ByteString:
    case BuiltinType::XmlElement:
    case BuiltinType::NodeId:
    case BuiltinType::ExpandedNodeId:
    case BuiltinType::StatusCode:
    case BuiltinType::QualifiedName:
    case BuiltinType::ExtensionObject:
    case BuiltinType::DataValue:
    case BuiltinType::Variant:
    case BuiltinType::DiagnosticInfo:
        break;
    }
    return unshowable("the item holds a " + std::string(opcua::builtinTypeName(v.type())) +
                      (v.type() == BuiltinType::ExtensionObject ? " (a structure)" : "") +
                      ", which a field cannot show");
}

// The number a value stands for in a write, or a failure saying why there is none: an empty or
// null value has no number to write.
double numberForWrite(const FieldValue& value, BuiltinType target)
{
    if (!value.isEmpty() && !value.isNull()) {
        if (auto number = numberOf(value))
            return *number;
    }
    throw Failure(FailureCode::TypeMismatch, describe(value) +
                                                 " cannot be written to an item of type " +
                                                 std::string(opcua::builtinTypeName(target)));
}

template <class T> opcua::Variant integerVariant(const FieldValue& value, BuiltinType target)
{
    const double number = roundHalfToEven(numberForWrite(value, target));
    // The upper bound is compared as "below max + 1", a power of two a double holds exactly
    // even for the 64-bit types whose max it cannot.
    const double upperExclusive = std::ldexp(1.0, std::numeric_limits<T>::digits);
    if (!(number >= double(std::numeric_limits<T>::min()) && number < upperExclusive))
        throw Failure(FailureCode::Overflow, describe(value) + " does not fit an item of type " +
                                                 std::string(opcua::builtinTypeName(target)));
    // Exact integers keep all their digits; a double only reaches here for smaller magnitudes.
    if (value.type() == FieldValue::Type::Int16)
        return opcua::Variant::fromScalar(T(value.int16()));
    if (value.type() == FieldValue::Type::Int32)
        return opcua::Variant::fromScalar(T(value.int32()));
    return opcua::Variant::fromScalar(T(number));
}

std::string decimalText(const FieldValue& value)
{
    if (auto number = numberText(value))
        return std::move(*number);
    if (value.type() == FieldValue::Type::Boolean)
        return value.boolean() ? "True" : "False";
    if (value.type() == FieldValue::Type::Text)
        return value.text();
    throw Failure(FailureCode::TypeMismatch, describe(value) + " cannot be written as a String");
}

} // namespace

FieldReading readingOf(const opcua::DataValue& value)
{
    if (value.statusOrGood().isBad())
        return {FieldValue::null(), {}};
    if (!value.value || value.value->isEmpty())
        return {};
    const opcua::Variant& v = *value.value;
    if (v.isArray())
        return unshowable("the item holds an array of " +
                          std::string(opcua::builtinTypeName(v.type())) +
                          ", which a field cannot show");
    return scalarReading(v);
}

std::optional<BuiltinType> writeTypeOf(const opcua::NodeId& dataType,
                                       std::optional<BuiltinType> clientType,
                                       FieldValue::Type written)
{
    if (dataType.namespaceIndex == 0 &&
        dataType.identifierType() == opcua::IdentifierType::Numeric) {
        for (const auto& abstract : kAbstractTypes) {
            if (abstract.id != dataType.numeric())
                continue;
            if (abstract.asItself & bit(written))
                return builtinTypeOf(written);
            return abstract.otherwise;
        }
    }
    return clientType;
}

opcua::Variant variantForWrite(const FieldValue& value, BuiltinType target)
{
    switch (target) {
    case BuiltinType::SByte:
        return integerVariant<std::int8_t>(value, target);
    case BuiltinType::Byte:
        return integerVariant<std::uint8_t>(value, target);
    case BuiltinType::Int16:
        return integerVariant<std::int16_t>(value, target);
    case BuiltinType::UInt16:
        return integerVariant<std::uint16_t>(value, target);
    case BuiltinType::Int32:
        return integerVariant<std::int32_t>(value, target);
    case BuiltinType::UInt32:
        return integerVariant<std::uint32_t>(value, target);
    case BuiltinType::Int64:
        return integerVariant<std::int64_t>(value, target);
    case BuiltinType::UInt64:
        return integerVariant<std::uint64_t>(value, target);
    case BuiltinType::Float: {
        const double number = numberForWrite(value, target);
        if (std::fabs(number) > double(std::numeric_limits<float>::max()))
            throw Failure(FailureCode::Overflow,
                          describe(value) + " does not fit an item of type Float");
        return opcua::Variant::fromScalar(float(number));
    }
    case BuiltinType::Double:
        return opcua::Variant::fromScalar(numberForWrite(value, target));
    case BuiltinType::Boolean:
        if (value.type() == FieldValue::Type::Boolean)
            return opcua::Variant::fromScalar(value.boolean());
        return opcua::Variant::fromScalar(numberForWrite(value, target) != 0.0);
    case BuiltinType::String:
        return opcua::Variant::fromScalar(opcua::String(decimalText(value)));
    case BuiltinType::Null:
    case BuiltinType::DateTime:
    case BuiltinType::Guid:
    case BuiltinType::ByteString:
    case BuiltinType::XmlElement:
    case BuiltinType::NodeId:
    case BuiltinType::ExpandedNodeId:
    case BuiltinType::StatusCode:
    case BuiltinType::QualifiedName:
    case BuiltinType::LocalizedText:
    case BuiltinType::ExtensionObject:
    case BuiltinType::DataValue:
    case BuiltinType::Variant:
    case BuiltinType::DiagnosticInfo:
        break;
    }
    throw Failure(FailureCode::TypeMismatch, describe(value) +
                                                 " cannot be written to an item of type " +
                                                 std::string(opcua::builtinTypeName(target)));
}

} // namespace servo
