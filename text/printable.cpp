#include "text/printable.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace text {

namespace {

// The well-formed UTF-8 sequences: a lead byte in [leadFirst, leadLast], then a second byte in
// [secondFirst, secondLast], then continuation bytes (0x80–0xBF) up to the length. The narrowed
// second-byte ranges are what shuts out overlong forms, surrogates and code points beyond
// U+10FFFF.
struct Utf8Form
{
    uint8_t leadFirst;
    uint8_t leadLast;
    uint8_t secondFirst;
    uint8_t secondLast;
    size_t length;
};
constexpr std::array kUtf8Forms{
    Utf8Form{0x00, 0x7F, 0x00, 0x00, 1}, Utf8Form{0xC2, 0xDF, 0x80, 0xBF, 2},
    Utf8Form{0xE0, 0xE0, 0xA0, 0xBF, 3}, Utf8Form{0xE1, 0xEC, 0x80, 0xBF, 3},
    Utf8Form{0xED, 0xED, 0x80, 0x9F, 3}, Utf8Form{0xEE, 0xEF, 0x80, 0xBF, 3},
    Utf8Form{0xF0, 0xF0, 0x90, 0xBF, 4}, Utf8Form{0xF1, 0xF3, 0x80, 0xBF, 4},
    Utf8Form{0xF4, 0xF4, 0x80, 0x8F, 4},
};

// Characters that end a line, drive a terminal or reorder the text shown around them.
struct CodePoints
{
    char32_t first;
    char32_t last;
};
constexpr std::array kEscaped{
    CodePoints{0x0000, 0x001F}, // C0 controls
    CodePoints{0x007F, 0x009F}, // DEL and the C1 controls
    CodePoints{0x061C, 0x061C}, // Arabic letter mark
    CodePoints{0x200E, 0x200F}, // left-to-right and right-to-left marks
    CodePoints{0x2028, 0x2029}, // line and paragraph separators
    CodePoints{0x202A, 0x202E}, // bidirectional embeddings and overrides
    CodePoints{0x2066, 0x2069}, // bidirectional isolates
};

constexpr std::string_view kEllipsis = "\u2026";

// One character of the result: input bytes kept as they are, or an escape standing for them.
struct Piece
{
    size_t consumed = 1; // input bytes
    std::string_view kept;
    std::array<char, 6> escape{};
    size_t escapeLength = 0;

    size_t chars() const { return kept.empty() ? escapeLength : 1; }
};

// The length of the well-formed sequence bytes starts with; 0 when it starts with none.
size_t sequenceLength(std::string_view bytes)
{
    const auto lead = uint8_t(bytes[0]);
    for (const Utf8Form& form : kUtf8Forms) {
        if (lead < form.leadFirst || lead > form.leadLast)
            continue;
        if (bytes.size() < form.length)
            return 0;
        for (size_t i = 1; i < form.length; ++i) {
            const auto byte = uint8_t(bytes[i]);
            if (byte < (i == 1 ? form.secondFirst : 0x80) ||
                byte > (i == 1 ? form.secondLast : 0xBF))
                return 0;
        }
        return form.length;
    }
    return 0;
}

char32_t codePointOf(std::string_view sequence)
{
    constexpr std::array<uint8_t, 4> kLeadBits{0x7F, 0x1F, 0x0F, 0x07};
    char32_t codePoint = uint8_t(sequence[0]) & kLeadBits[sequence.size() - 1];
    for (size_t i = 1; i < sequence.size(); ++i)
        codePoint = (codePoint << 6) | (uint8_t(sequence[i]) & 0x3F);
    return codePoint;
}

bool isEscaped(char32_t codePoint)
{
    for (const CodePoints& range : kEscaped) {
        if (codePoint >= range.first && codePoint <= range.last)
            return true;
    }
    return false;
}

// Writes "\" + letter + value in digits lower-case hex digits.
void setEscape(Piece& piece, char letter, char32_t value, size_t digits)
{
    constexpr std::string_view kHex = "0123456789abcdef";
    piece.escape[0] = '\\';
    piece.escape[1] = letter;
    for (size_t i = 0; i < digits; ++i)
        piece.escape[2 + i] = kHex[(value >> (4 * (digits - 1 - i))) & 0xF];
    piece.escapeLength = 2 + digits;
}

Piece nextPiece(std::string_view rest)
{
    Piece piece;
    const size_t length = sequenceLength(rest);
    if (length == 0) {
        setEscape(piece, 'x', uint8_t(rest[0]), 2);
        return piece;
    }
    piece.consumed = length;
    const char32_t codePoint = codePointOf(rest.substr(0, length));
    if (!isEscaped(codePoint)) {
        piece.kept = rest.substr(0, length);
        return piece;
    }
    if (codePoint == '\n' || codePoint == '\r' || codePoint == '\t') {
        piece.escape = {'\\', codePoint == '\n' ? 'n' : codePoint == '\r' ? 'r' : 't'};
        piece.escapeLength = 2;
    } else if (codePoint < 0x80) {
        setEscape(piece, 'x', codePoint, 2);
    } else {
        setEscape(piece, 'u', codePoint, 4);
    }
    return piece;
}

} // namespace

std::string printable(std::string_view outside, size_t maxChars)
{
    std::string result;
    if (maxChars == 0)
        return result;
    result.reserve(std::min(outside.size(), maxChars) + kEllipsis.size());
    size_t chars = 0;
    size_t cutAt = 0; // the end of the result's longest prefix that leaves room for the ellipsis
    while (!outside.empty()) {
        const Piece piece = nextPiece(outside);
        if (chars + 1 <= maxChars)
            cutAt = result.size();
        if (chars + piece.chars() > maxChars) {
            result.resize(cutAt);
            result += kEllipsis;
            return result;
        }
        if (piece.kept.empty())
            result.append(piece.escape.data(), piece.escapeLength);
        else
            result += piece.kept;
        chars += piece.chars();
        outside.remove_prefix(piece.consumed);
    }
    return result;
}

std::string quoted(std::string_view outside, size_t maxChars)
{
    return "\"" + printable(outside, maxChars) + "\"";
}

} // namespace text
