#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

// Room for a reason or a name in one log line or one line of a message box.
inline constexpr size_t kMaxPrintableChars = 256;

// Text that came from outside (a peer's error reason, a string value of a server, a line of a
// settings file), made safe to write into a log line or show to the operator: it cannot start a
// new line, drive a terminal, reorder what is shown around it, or grow without bound.
//
// - Control characters are written as visible escapes: "\n", "\r", "\t", "\xNN" for the other
//   ASCII controls and DEL, "\uNNNN" for the C1 controls, the line and paragraph separators and
//   the bidirectional marks, embeddings, overrides and isolates.
// - A byte that does not begin well-formed UTF-8 (a stray continuation byte, an overlong form, a
//   surrogate, a code point beyond U+10FFFF, a sequence cut short) is written as "\xNN", one
//   byte at a time; the bytes after it are read afresh.
// - The result holds at most maxChars characters, escapes counted by their length. When the text
//   does not fit, it is cut before the character or escape that would not fit and ends in "…".
//   At most four input bytes per character of the result are read, however long the text is.
//
// Everything else, backslashes included, is kept as it is, so the result is valid UTF-8 and
// making printable text printable again with the same maxChars changes nothing.
std::string printable(std::string_view outside, size_t maxChars = kMaxPrintableChars);

// printable() between double quotes, so that a message shows where the outside text begins and
// ends, even when it is empty or ends in spaces.
std::string quoted(std::string_view outside, size_t maxChars = kMaxPrintableChars);

} // namespace text
