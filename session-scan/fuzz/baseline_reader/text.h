// The reader as it stood before its block scanners handled escapes and non-ASCII
// bytes, kept unchanged but for its namespace: the fuzzer compares the reader with it
// byte for byte, and the reader benchmark measures it beside the reader.
// Byte-text helpers shared by the scanner: UTF-8 well-formedness and the ASCII
// whitespace set used to trim whole lines and windows.
#pragma once

#include <cstddef>
#include <string_view>

namespace orva::baseline {

// RFC 3629 well-formedness: no overlong forms, no encoded surrogates, nothing
// above U+10FFFF, no truncated sequences or stray continuation bytes.
bool isValidUtf8(std::string_view bytes);

// Tab, line feed, form feed, carriage return and space. Vertical tab is not one.
// (JSON whitespace, in json_reader.h, lacks the form feed.)
constexpr bool isAsciiWhitespace(char c) {
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

std::string_view trimAsciiWhitespace(std::string_view text);

}  // namespace orva::baseline
