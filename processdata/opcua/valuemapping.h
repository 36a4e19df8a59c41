#pragma once

#include "opcua/types.h"
#include "processdata/fieldvalue.h"

#include <optional>
#include <string>

namespace servo {

// What a field holds for a value the server delivered: the value to show, or the reason it
// cannot be shown. A reading with a non-empty reason makes every read of the field fail.
struct FieldReading
{
    FieldValue value;
    std::string unshowable; // empty when value holds

    friend bool operator==(const FieldReading&, const FieldReading&) = default;
};

// The reading for a delivered data value:
// - status Bad: null;
// - status Good or Uncertain with no value: empty;
// - SByte, Byte, Int16: Int16; UInt16, Int32: Int32;
// - UInt32, Int64, UInt64: Int32 when the number fits, else Double (so that a conversion of it
//   reports the overflow);
// - Float, Double, Boolean, String and the text of a LocalizedText as themselves;
// - arrays, structures and every other type: unshowable, with a reason naming the type.
FieldReading readingOf(const opcua::DataValue& value);

// The built-in type a write of a value of type `written` to an item uses, given the item's
// DataType (a null NodeId when the server named none) and the client's type for it (the
// built-in type that DataType names, else the type of the value the item holds; nullopt when
// neither is known).
// An abstract DataType accepts any of its subtypes, so a value goes in its own type where the
// DataType allows it: any value to BaseDataType, numbers to Number, integers to Integer (a
// Double written to Number stays a Double rather than being rounded). Other values go as Int16
// to BaseDataType, Number and Integer, as UInt16 to UInteger (so a negative word does not fit),
// and as Int32, the encoding of every enumeration, to Enumeration. Any other DataType takes the
// client's type. An enumeration of the server's own is a subtype of Enumeration that only a
// browse of the type tree would reveal; its values always arrive as Int32, so once the item
// holds one the write uses Int32 too. A structure's value arrives as an ExtensionObject, which
// no write converts to.
std::optional<opcua::BuiltinType> writeTypeOf(const opcua::NodeId& dataType,
                                              std::optional<opcua::BuiltinType> clientType,
                                              FieldValue::Type written);

// The value converted to the server item's own type for a write. Integers go to any numeric
// type when they fit; floating-point numbers are rounded to the nearest integer, halves to the
// even neighbour, for an integer type; a text that reads as a number goes to a numeric type;
// numbers go to Boolean as 0 false and any other true, and to String as their decimal text.
// Throws Failure(Overflow) for a number outside the target's range and Failure(TypeMismatch)
// for a value that has no form in the target type (empty, null, a non-numeric text, or a target
// type that is not a number, Boolean or String).
opcua::Variant variantForWrite(const FieldValue& value, opcua::BuiltinType target);

} // namespace servo
