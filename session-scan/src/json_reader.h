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

// Where the strings of one text are, worked out for the whole text at once in 64-byte
// blocks, so that reading a string of it is a look-up rather than a scan. Block i
// covers bytes 64 i to 64 i + 63 with one bit per byte:
struct StringBlock {
    std::uint64_t quotes;       // a quote that no backslash escapes
    std::uint64_t bad;          // a byte that a string holding it may not have: a
                                // control byte, an escaped byte that is no escape letter,
                                // or a byte of the four after an escaped u that is no
                                // hexadecimal digit
    std::uint64_t backslashes;  // a backslash
    std::uint64_t high;         // a byte above 0x7F
};

struct StringIndex {
    const StringBlock* blocks;
    std::size_t count;  // enough blocks for every byte and the position after the last

    static constexpr std::size_t NONE = ~std::size_t{0};
    // What a string body holds, for its decoding.
    static constexpr unsigned HAS_ESCAPES = 1;    // a backslash
    static constexpr unsigned HAS_NON_ASCII = 2;  // a byte above 0x7F

    // The offset of the closing quote of the string whose body starts at offset from,
    // or NONE when the string is malformed or has no end.
    std::size_t closingQuote(std::size_t from) const {
        std::size_t word = from / 64;
        const std::uint64_t keep = ~std::uint64_t{0} << (from % 64);
        std::uint64_t quotes = blocks[word].quotes & keep;
        std::uint64_t bad = blocks[word].bad & keep;
        while (quotes == 0) {
            // No closing quote in this block: all of the rest is body.
            if (bad != 0 || ++word == count) return NONE;
            quotes = blocks[word].quotes;
            bad = blocks[word].bad;
        }
        // The body and the closing quote itself.
        const std::uint64_t through = quotes ^ (quotes - 1);
        if ((bad & through) != 0) return NONE;
        return 64 * word + static_cast<std::size_t>(__builtin_ctzll(quotes));
    }

    // The same, adding to holds what the body holds.
    std::size_t closingQuote(std::size_t from, unsigned& holds) const {
        const std::size_t word = from / 64;
        const std::uint64_t keep = ~std::uint64_t{0} << (from % 64);
        const StringBlock& block = blocks[word];
        const std::uint64_t quotes = block.quotes & keep;
        if (quotes == 0) return closingQuoteAcross(from, holds);
        const std::uint64_t through = quotes ^ (quotes - 1);
        if ((block.bad & keep & through) != 0) return NONE;
        const std::uint64_t body = (through >> 1) & keep;
        if ((block.backslashes & body) != 0) holds |= HAS_ESCAPES;
        if ((block.high & body) != 0) holds |= HAS_NON_ASCII;
        return 64 * word + static_cast<std::size_t>(__builtin_ctzll(quotes));
    }

    // closingQuote with holds, for a body that runs past its first block.
    std::size_t closingQuoteAcross(std::size_t from, unsigned& holds) const;
};

// Indexes text on the active reader path into storage, whose capacity is reused. A
// string is then read where the reader expects one: its first quote is a real one
// there, so it ends at the next one, and it is well-formed unless a bad byte lies in
// its body or on its closing quote. That is exactly what a byte-by-byte scan from its
// opening quote finds.
// Absent on the portable path, which scans strings as they come.
std::optional<StringIndex> indexStrings(std::string_view text, std::vector<StringBlock>& storage);

// A read position over bytes the cursor does not own. With strings set (an index of
// exactly these bytes), string reads and skips look the strings up instead of
// scanning them; the results are the same.
struct JsonCursor {
    const char* bytes;
    std::size_t length;
    std::size_t position;
    const StringIndex* strings = nullptr;
};

// Space, tab, line feed and carriage return; form feed is not JSON whitespace.
// One compare and a bit test per byte instead of four compares.
constexpr bool isJsonWhitespace(char c) {
    constexpr std::uint64_t BITS = std::uint64_t{1} << ' ' | std::uint64_t{1} << '\t' |
                                   std::uint64_t{1} << '\n' | std::uint64_t{1} << '\r';
    const auto byte = static_cast<unsigned char>(c);
    return byte <= ' ' && ((BITS >> byte) & 1) != 0;
}

inline void skipJsonWhitespace(JsonCursor& cursor) {
    while (cursor.position < cursor.length && isJsonWhitespace(cursor.bytes[cursor.position]))
        ++cursor.position;
}

// depth is the nesting level of the value itself; above MAX_JSON_DEPTH fails at once.
bool skipValue(JsonCursor& cursor, unsigned depth);
bool skipString(JsonCursor& cursor);
std::optional<std::string> readString(JsonCursor& cursor);
// readString into out, replacing what it held and reusing its capacity: a caller that
// keeps out from string to string allocates only when a string is longer than any
// before. False on failure, out then holding anything.
bool readStringInto(JsonCursor& cursor, std::string& out);
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

// The fast paths of an indexed cursor, in line for the walkers of records.

// When the cursor stands on a string whose body is plain ASCII without escapes and
// the cursor has an index, sets body to it, moves past the string and answers true.
// Otherwise answers false and leaves the string to readString, readStringInto or
// readStringView. Whitespace is not skipped: callers that allow it skip it first.
inline bool takePlainString(JsonCursor& cursor, std::string_view& body) {
    if (cursor.strings == nullptr || !nextIs(cursor, '"')) return false;
    unsigned holds = 0;
    const std::size_t close = cursor.strings->closingQuote(cursor.position + 1, holds);
    if (holds != 0 || close >= cursor.length) return false;
    body = std::string_view(cursor.bytes + cursor.position + 1, close - cursor.position - 1);
    cursor.position = close + 1;
    return true;
}

// readStringView, with takePlainString first: member keys are mostly plain.
inline std::optional<std::string_view> readKey(JsonCursor& cursor, std::string& scratch) {
    std::string_view key;
    if (takePlainString(cursor, key)) return key;
    return readStringView(cursor, scratch);
}

// skipValue, with a string of an indexed cursor skipped in line.
inline bool skipMemberValue(JsonCursor& cursor, unsigned depth) {
    if (cursor.strings != nullptr && depth <= MAX_JSON_DEPTH) {
        skipJsonWhitespace(cursor);
        if (nextIs(cursor, '"')) {
            const std::size_t close = cursor.strings->closingQuote(cursor.position + 1);
            if (close >= cursor.length) return false;
            cursor.position = close + 1;
            return true;
        }
    }
    return skipValue(cursor, depth);
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
        const std::optional<std::string_view> key = readKey(cursor, keyScratch);
        if (!key) return false;
        // Records are mostly written without blanks: the byte that follows is tried
        // before any whitespace is looked for.
        if (!consume(cursor, ':')) {
            skipJsonWhitespace(cursor);
            if (!consume(cursor, ':')) return false;
        }
        skipJsonWhitespace(cursor);
        if (!onMember(*key)) return false;
        if (consume(cursor, ',')) continue;
        if (consume(cursor, '}')) return true;
        skipJsonWhitespace(cursor);
        if (consume(cursor, ',')) continue;
        return consume(cursor, '}');
    }
}

// Number of leading bytes of [bytes, bytes + length) that are neither a quote, a
// backslash nor below 0x20: the plain run of a string body. Block-wise on the SIMD
// paths, word-wise on the portable one; scanStringRunPortable is the latter, kept
// callable so that they agree under test.
std::size_t scanStringRun(const char* bytes, std::size_t length);
std::size_t scanStringRunPortable(const char* bytes, std::size_t length);

}  // namespace orva
