// The reader as it stood before its block scanners handled escapes and non-ASCII
// bytes, kept unchanged but for its namespace: the fuzzer compares the reader with it
// byte for byte, and the reader benchmark measures it beside the reader.
// In-place JSON reader: validate-and-skip one value, or decode one string into an
// owned UTF-8 string. Skipping checks syntax only; decoding also checks UTF-8 and
// surrogate pairing. Failures carry no reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orva::baseline {

inline constexpr unsigned MAX_JSON_DEPTH = 256;

// A read position over bytes the cursor does not own.
struct JsonCursor {
    const char* bytes;
    std::size_t length;
    std::size_t position;
};

// Skips space, tab, line feed and carriage return; form feed is not JSON whitespace.
void skipJsonWhitespace(JsonCursor& cursor);

// depth is the nesting level of the value itself; above MAX_JSON_DEPTH fails at once.
bool skipValue(JsonCursor& cursor, unsigned depth);
bool skipString(JsonCursor& cursor);
std::optional<std::string> readString(JsonCursor& cursor);
// The cursor stands on the first of the four digits after "\u".
std::optional<std::uint16_t> readHex4(JsonCursor& cursor);
// codePoint is a Unicode scalar value: at most U+10FFFF and not a surrogate.
void appendCodePoint(std::string& out, char32_t codePoint);

// Decodes one string exactly as readString does, without an owned result: a string
// without escapes is returned as a view of the input, an escaped one is decoded into
// scratch (whose capacity is reused) and the view points there. Meant for member keys.
std::optional<std::string_view> readStringView(JsonCursor& cursor, std::string& scratch);

// Number of leading bytes of [bytes, bytes + length) that are neither a quote, a
// backslash nor below 0x20: the plain run of a string body. Block-wise with SSE2
// where the target has it, word-wise otherwise; scanStringRunPortable is the latter,
// kept callable so that both agree under test.
std::size_t scanStringRun(const char* bytes, std::size_t length);
std::size_t scanStringRunPortable(const char* bytes, std::size_t length);

}  // namespace orva::baseline
