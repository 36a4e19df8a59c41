#include "processdata/fieldvalue.h"

#include "processdata/failure.h"
#include "text/printable.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace servo {

namespace {

// A text value in a message: enough to recognise it, and never a second line.
constexpr size_t kQuotedChars = 64;

std::string quoted(std::string_view text)
{
    return text::quoted(text, kQuotedChars);
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string_view trimBlanks(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::size_t skipDigits(std::string_view text, std::size_t at)
{
    while (at < text.size() && isDigit(text[at]))
        ++at;
    return at;
}

// Checks the number syntax by hand: from_chars alone would also take "inf", "nan" and hex.
bool hasNumberSyntax(std::string_view text)
{
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        ++at;
    const std::size_t intStart = at;
    at = skipDigits(text, at);
    std::size_t digits = at - intStart;
    if (at < text.size() && text[at] == '.') {
        const std::size_t fracStart = ++at;
        at = skipDigits(text, at);
        digits += at - fracStart;
    }
    if (digits == 0)
        return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-'))
            ++at;
        const std::size_t expStart = at;
        at = skipDigits(text, at);
        if (at == expStart)
            return false;
    }
    return at == text.size();
}

} // namespace

std::optional<double> numberOf(const FieldValue& value)
{
    switch (value.type()) {
    case FieldValue::Type::Empty:
        return 0.0;
    case FieldValue::Type::Null:
        return std::nullopt;
    case FieldValue::Type::Int16:
        return value.int16();
    case FieldValue::Type::Int32:
        return value.int32();
    case FieldValue::Type::Float:
        return value.float32();
    case FieldValue::Type::Double:
        return value.float64();
    case FieldValue::Type::Boolean:
        return value.boolean() ? -1.0 : 0.0;
    case FieldValue::Type::Text:
        if (auto number = readNumber(value.text()))
            return number;
        throw Failure(FailureCode::TypeMismatch,
                      quoted(value.text()) + " does not read as a number");
    }
    return std::nullopt;
}

double roundHalfToEven(double x)
{
    if (std::fabs(x - std::trunc(x)) == 0.5)
        return 2.0 * std::round(x / 2.0);
    return std::round(x);
}

std::optional<double> readNumber(std::string_view text)
{
    text = trimBlanks(text);
    if (!hasNumberSyntax(text))
        return std::nullopt;
    if (text.front() == '+')
        text.remove_prefix(1);
    double number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(number))
        return std::nullopt;
    return number;
}

std::optional<std::int32_t> toInt32ForAnd(const FieldValue& value)
{
    switch (value.type()) {
    case FieldValue::Type::Int16:
        return value.int16();
    case FieldValue::Type::Int32:
        return value.int32();
    default:
        break;
    }
    const auto number = numberOf(value);
    if (!number)
        return std::nullopt;
    const double rounded = roundHalfToEven(*number);
    if (!(rounded >= std::numeric_limits<std::int32_t>::min() &&
          rounded <= std::numeric_limits<std::int32_t>::max()))
        throw Failure(FailureCode::Overflow, describe(value) + " is outside the 32-bit range");
    return std::int32_t(rounded);
}

bool equalsInteger(const FieldValue& value, std::int32_t constant)
{
    const auto number = numberOf(value);
    return number && *number == double(constant);
}

std::optional<std::string> numberText(const FieldValue& value)
{
    switch (value.type()) {
    case FieldValue::Type::Int16:
        return std::to_string(value.int16());
    case FieldValue::Type::Int32:
        return std::to_string(value.int32());
    case FieldValue::Type::Float:
    case FieldValue::Type::Double: {
        char buffer[32];
        const double number =
            value.type() == FieldValue::Type::Float ? value.float32() : value.float64();
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
        return std::string(buffer, end);
    }
    case FieldValue::Type::Empty:
    case FieldValue::Type::Null:
    case FieldValue::Type::Boolean:
    case FieldValue::Type::Text:
        break;
    }
    return std::nullopt;
}

std::string describe(const FieldValue& value)
{
    switch (value.type()) {
    case FieldValue::Type::Empty:
        return "Empty";
    case FieldValue::Type::Null:
        return "Null";
    case FieldValue::Type::Int16:
        return "Int16 " + *numberText(value);
    case FieldValue::Type::Int32:
        return "Int32 " + *numberText(value);
    case FieldValue::Type::Float:
        return "Float " + *numberText(value);
    case FieldValue::Type::Double:
        return "Double " + *numberText(value);
    case FieldValue::Type::Boolean:
        return value.boolean() ? "Boolean true" : "Boolean false";
    case FieldValue::Type::Text:
        return "Text " + quoted(value.text());
    }
    return {};
}

} // namespace servo
