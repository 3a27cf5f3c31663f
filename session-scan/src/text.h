// Byte-text helpers shared by the scanner: UTF-8 (well-formedness, encoding,
// counting and cutting characters, White_Space trimming) and the ASCII whitespace set
// used to trim whole lines and windows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orva {

// RFC 3629 well-formedness: no overlong forms, no encoded surrogates, nothing
// above U+10FFFF, no truncated sequences or stray continuation bytes.
bool isValidUtf8(std::string_view bytes);

// codePoint is a Unicode scalar value: at most U+10FFFF and not a surrogate.
void appendCodePoint(std::string& out, char32_t codePoint);
// The same, written at out, which has room for 4 bytes; returns the end.
char* encodeCodePoint(char32_t codePoint, char* out);

constexpr bool isUtf8Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The functions below take well-formed UTF-8. Characters are Unicode scalar values.
std::size_t countChars(std::string_view text);
// The first `limit` characters.
std::string_view cutToChars(std::string_view text, std::size_t limit);
// Without the characters of the Unicode White_Space property at either end.
std::string_view trimUnicodeWhiteSpace(std::string_view text);

// Tab, line feed, form feed, carriage return and space. Vertical tab is not one.
// (JSON whitespace, in json_reader.h, lacks the form feed.)
constexpr bool isAsciiWhitespace(char c) {
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

std::string_view trimAsciiWhitespace(std::string_view text);

}  // namespace orva
