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

#include "text.h"  // appendCodePoint

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

// The peek and consume vocabulary of the object walkers. None of them skips
// whitespace.
inline bool atEnd(const JsonCursor& cursor) {
    return cursor.position >= cursor.length;
}
inline bool nextIs(const JsonCursor& cursor, char c) {
    return !atEnd(cursor) && cursor.bytes[cursor.position] == c;
}
inline bool consume(JsonCursor& cursor, char c) {
    if (!nextIs(cursor, c)) return false;
    ++cursor.position;
    return true;
}

// Walks the members of an object whose opening brace the cursor has just consumed,
// up to and including its closing brace. Each key is decoded (into keyScratch when it
// has escapes; the view is valid until the next key), the colon and the whitespace
// around it are passed, and onMember(key) is called with the cursor on the first byte
// of the value, which it must consume, answering false on failure. False when the
// object is malformed or a member failed.
template <typename OnMember>
bool walkObject(JsonCursor& cursor, std::string& keyScratch, OnMember&& onMember) {
    skipJsonWhitespace(cursor);
    if (consume(cursor, '}')) return true;
    for (;;) {
        const std::optional<std::string_view> key = readStringView(cursor, keyScratch);
        if (!key) return false;
        skipJsonWhitespace(cursor);
        if (!consume(cursor, ':')) return false;
        skipJsonWhitespace(cursor);
        if (!onMember(*key)) return false;
        skipJsonWhitespace(cursor);
        if (consume(cursor, ',')) continue;
        return consume(cursor, '}');
    }
}

// Number of leading bytes of [bytes, bytes + length) that are neither a quote, a
// backslash nor below 0x20: the plain run of a string body. Block-wise with SSE2
// where the target has it, word-wise otherwise; scanStringRunPortable is the latter,
// kept callable so that both agree under test.
std::size_t scanStringRun(const char* bytes, std::size_t length);
std::size_t scanStringRunPortable(const char* bytes, std::size_t length);

}  // namespace orva
