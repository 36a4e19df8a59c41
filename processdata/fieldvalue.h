#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace servo {

// What a read of a process-value field returns and what a write takes.
//
// Text that "reads as a number" has this syntax, independent of the locale:
//   blanks? sign? (digits ("." digits?)? | "." digits) (("e"|"E") sign? digits)? blanks?
// where blanks are spaces or tabs, sign is "+" or "-", and digits are ASCII 0-9. At least one
// digit must stand before the exponent. No thousands separators, no comma as decimal point, no
// hexadecimal, no "inf" or "nan". A text beyond the range of a double does not read as a number.
class FieldValue
{
public:
    enum class Type { Empty, Null, Int16, Int32, Float, Double, Boolean, Text };

    FieldValue() = default; // empty
    static FieldValue null() { return FieldValue(NullTag{}); }
    explicit FieldValue(std::int16_t v) : m_value(v) {}
    explicit FieldValue(std::int32_t v) : m_value(v) {}
    explicit FieldValue(float v) : m_value(v) {}
    explicit FieldValue(double v) : m_value(v) {}
    explicit FieldValue(bool v) : m_value(v) {}
    explicit FieldValue(std::string v) : m_value(std::move(v)) {}
    explicit FieldValue(const char* v) : m_value(std::string(v)) {}

    Type type() const { return Type(m_value.index()); }
    bool isEmpty() const { return type() == Type::Empty; }
    bool isNull() const { return type() == Type::Null; }

    // The stored value; the caller must have checked type().
    std::int16_t int16() const { return std::get<std::int16_t>(m_value); }
    std::int32_t int32() const { return std::get<std::int32_t>(m_value); }
    float float32() const { return std::get<float>(m_value); }
    double float64() const { return std::get<double>(m_value); }
    bool boolean() const { return std::get<bool>(m_value); }
    const std::string& text() const { return std::get<std::string>(m_value); }

    // Same type and same value; a text compares by its characters.
    friend bool operator==(const FieldValue&, const FieldValue&) = default;

private:
    struct EmptyTag
    {
        friend bool operator==(EmptyTag, EmptyTag) = default;
    };
    struct NullTag
    {
        friend bool operator==(NullTag, NullTag) = default;
    };
    explicit FieldValue(NullTag tag) : m_value(tag) {}

    // The order of the alternatives follows Type.
    std::variant<EmptyTag, NullTag, std::int16_t, std::int32_t, float, double, bool, std::string>
        m_value;
};

// The value as a 32-bit integer for a bitwise AND. Integers are taken unchanged, floating-point
// numbers rounded to the nearest integer with halves going to the even neighbour, empty is 0,
// true is -1 and false 0, a text is read as a number and then treated as that number. A null
// gives std::nullopt (an AND with a null is null).
// Throws Failure(TypeMismatch) for a text that does not read as a number, Failure(Overflow) for
// a number outside the 32-bit range after rounding, NaN and the infinities included.
std::optional<std::int32_t> toInt32ForAnd(const FieldValue& value);

// Numeric equality with an integer constant, without rounding the value first. Empty counts as 0,
// true as -1 and false as 0, a text is read as a number, a null is never equal.
// Throws Failure(TypeMismatch) for a text that does not read as a number.
bool equalsInteger(const FieldValue& value, std::int32_t constant);

// The number a value stands for: empty is 0, true -1 and false 0, a text the number it reads as.
// A null gives std::nullopt. Throws Failure(TypeMismatch) for a text that does not read as a
// number.
std::optional<double> numberOf(const FieldValue& value);

// x rounded to the nearest integer, halves to the even neighbour (2.5 to 2, 3.5 to 4).
double roundHalfToEven(double x);

// The number a text reads as, following the syntax above, or std::nullopt.
std::optional<double> readNumber(std::string_view text);

// The decimal text of a number (Int16, Int32, Float or Double): the shortest that reads back as
// the same number, "1151" or "0.1". std::nullopt for the other types.
std::optional<std::string> numberText(const FieldValue& value);

// A short form for messages and tests, such as "Int16 1151" or "Text \"abc\"". A text is shown
// printable and cut to a few dozen characters.
std::string describe(const FieldValue& value);

} // namespace servo
