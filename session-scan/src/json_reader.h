// In-place JSON reader: validate-and-skip one value, or decode one string into an
// owned UTF-8 string. Skipping checks syntax only; decoding also checks UTF-8 and
// surrogate pairing. Failures carry no reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orva {

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

// The positions of one text from which string reads have failed. A string read is a
// sequence of items (a plain run, an escape, the closing quote), and where it goes
// from the start of an item depends on that position alone: a read that reaches a
// position another read failed from fails as well, and can stop there. This keeps a
// scan that tries a string read at every quote of a line linear in the line.
class FailedStringReads {
  public:
    explicit FailedStringReads(std::size_t length) : bits_(length / 64 + 1, 0) {}

    bool contains(std::size_t position) const {
        return (bits_[position / 64] >> (position % 64) & 1) != 0;
    }
    void insert(std::size_t position) {
        bits_[position / 64] |= std::uint64_t{1} << (position % 64);
    }
    // Forgets [begin, end): a read that succeeded over it leaves no mark behind.
    void erase(std::size_t begin, std::size_t end);

    // Bytes looked at by the reads so far, item starts included: the work of a scan.
    std::size_t bytesExamined = 0;

  private:
    std::vector<std::uint64_t> bits_;
};

// readStringView that consults and records failed: a read fails at once where an
// earlier one failed from, and on failure every item start it passed is recorded.
// failed covers the cursor's whole input.
std::optional<std::string_view> readStringAvoiding(JsonCursor& cursor, std::string& scratch,
                                                   FailedStringReads& failed);

// Number of leading bytes of [bytes, bytes + length) that are neither a quote, a
// backslash nor below 0x20: the plain run of a string body. Block-wise with SSE2
// where the target has it, word-wise otherwise; scanStringRunPortable is the latter,
// kept callable so that both agree under test.
std::size_t scanStringRun(const char* bytes, std::size_t length);
std::size_t scanStringRunPortable(const char* bytes, std::size_t length);

}  // namespace orva
