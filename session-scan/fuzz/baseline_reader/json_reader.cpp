// The reader as it stood before its block scanners handled escapes and non-ASCII
// bytes, kept unchanged but for its namespace: the fuzzer compares the reader with it
// byte for byte, and the reader benchmark measures it beside the reader.
#include "json_reader.h"

#include <bit>
#include <cstring>

#include "text.h"

#if defined(__SSE2__) && !defined(ORVA_NO_SSE2)
#include <emmintrin.h>
#define ORVA_SSE2_STRING_SCAN 1
#endif

namespace orva::baseline {
namespace {

// The internals take a position by value and return the position after what they
// consumed, or null on failure. (A position held by reference would have to live in
// memory: every byte load may alias it.)
using Ptr = const char*;

constexpr bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

constexpr bool isStringSpecial(char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
}

constexpr int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One compare and a bit test per byte instead of four compares.
constexpr std::uint64_t WHITESPACE_BITS = std::uint64_t{1} << ' ' | std::uint64_t{1} << '\t' |
                                          std::uint64_t{1} << '\n' | std::uint64_t{1} << '\r';

inline bool isWhitespaceByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= ' ' && ((WHITESPACE_BITS >> byte) & 1) != 0;
}

inline Ptr skipWhitespace(Ptr p, Ptr end) {
    while (p != end && isWhitespaceByte(*p)) ++p;
    return p;
}

#ifdef ORVA_SSE2_STRING_SCAN
// One bit per byte of the 16 at p that is a quote, a backslash or below 0x20.
inline unsigned specialMask(Ptr p) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i quote = _mm_cmpeq_epi8(block, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(block, _mm_set1_epi8('\\'));
    // Saturating subtraction leaves zero exactly for the bytes 0x00 to 0x1F.
    const __m128i control =
        _mm_cmpeq_epi8(_mm_subs_epu8(block, _mm_set1_epi8(0x1F)), _mm_setzero_si128());
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
}

inline std::uint64_t specialMask64(Ptr p) {
    return std::uint64_t{specialMask(p)} | std::uint64_t{specialMask(p + 16)} << 16 |
           std::uint64_t{specialMask(p + 32)} << 32 | std::uint64_t{specialMask(p + 48)} << 48;
}
#endif

inline Ptr hex4(Ptr p, Ptr end, std::uint16_t& unit) {
    if (end - p < 4) return nullptr;
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
        const int nibble = hexValue(p[i]);
        if (nibble < 0) return nullptr;
        value = (value << 4) | static_cast<unsigned>(nibble);
    }
    unit = static_cast<std::uint16_t>(value);
    return p + 4;
}

// p stands on the byte after a backslash.
inline Ptr skipEscape(Ptr p, Ptr end) {
    if (p == end) return nullptr;
    switch (*p) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            return p + 1;
        case 'u': {
            std::uint16_t unit;
            return hex4(p + 1, end, unit);
        }
        default:
            return nullptr;
    }
}

// Word-wise string skipping from p, inside the body of a string.
Ptr skipStringBodyTail(Ptr p, Ptr end) {
    for (;;) {
        p += scanStringRunPortable(p, static_cast<std::size_t>(end - p));
        if (p == end) return nullptr;
        const char c = *p++;
        if (c == '"') return p;
        if (c != '\\') return nullptr;  // a control byte
        p = skipEscape(p, end);
        if (p == nullptr) return nullptr;
    }
}

#ifdef ORVA_SSE2_STRING_SCAN
// Handles every quote, backslash and control byte of the WIDTH bytes at p from one
// mask: escapes are checked and their bits dropped without rescanning. Sets closed
// and returns the position after the closing quote, returns null on failure, or
// returns where scanning resumes.
template <std::size_t WIDTH>
inline Ptr skipStringBlock(Ptr p, Ptr end, bool& closed) {
    std::uint64_t mask = WIDTH == 64 ? specialMask64(p) : specialMask(p);
    while (mask != 0) {
        const Ptr at = p + std::countr_zero(mask);
        if (*at == '"') {
            closed = true;
            return at + 1;
        }
        if (*at != '\\') return nullptr;
        const Ptr after = skipEscape(at + 1, end);
        if (after == nullptr) return nullptr;
        const auto offset = static_cast<std::size_t>(after - p);
        if (offset >= WIDTH) return after;
        mask &= ~std::uint64_t{0} << offset;
    }
    return p + WIDTH;
}
#endif

// p stands just after the opening quote. Most strings are short, so one 16-byte
// block is tried before the 64-byte blocks.
Ptr skipStringBody(Ptr p, Ptr end) {
#ifdef ORVA_SSE2_STRING_SCAN
    bool closed = false;
    if (end - p >= 16) {
        p = skipStringBlock<16>(p, end, closed);
        while (p != nullptr && !closed && end - p >= 64) p = skipStringBlock<64>(p, end, closed);
        while (p != nullptr && !closed && end - p >= 16) p = skipStringBlock<16>(p, end, closed);
        if (p == nullptr || closed) return p;
    }
#endif
    return skipStringBodyTail(p, end);
}

// p stands on the first byte of a number, a digit or '-'.
inline Ptr skipNumber(Ptr p, Ptr end) {
    if (*p == '-') {
        ++p;
        if (p == end || !isDigit(*p)) return nullptr;
    }
    if (*p++ != '0') {
        while (p != end && isDigit(*p)) ++p;
    }
    if (p != end && *p == '.') {
        ++p;
        if (p == end || !isDigit(*p)) return nullptr;
        while (p != end && isDigit(*p)) ++p;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !isDigit(*p)) return nullptr;
        while (p != end && isDigit(*p)) ++p;
    }
    return p;
}

inline Ptr skipLiteral(Ptr p, Ptr end, std::string_view word) {
    if (static_cast<std::size_t>(end - p) < word.size()) return nullptr;
    if (std::memcmp(p, word.data(), word.size()) != 0) return nullptr;
    return p + word.size();
}

Ptr skipArray(Ptr p, Ptr end, unsigned depth);
Ptr skipObject(Ptr p, Ptr end, unsigned depth);

// Scalars are handled in line; only containers recurse, so the recursion depth is
// the nesting depth.
inline Ptr skipValueAt(Ptr p, Ptr end, unsigned depth) {
    if (depth > MAX_JSON_DEPTH) return nullptr;
    p = skipWhitespace(p, end);
    if (p == end) return nullptr;
    switch (*p) {
        case '"':
            return skipStringBody(p + 1, end);
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
            return skipNumber(p, end);
        case 't':
            return skipLiteral(p, end, "true");
        case 'f':
            return skipLiteral(p, end, "false");
        case 'n':
            return skipLiteral(p, end, "null");
        case '[':
            return skipArray(p, end, depth);
        case '{':
            return skipObject(p, end, depth);
        default:
            return nullptr;
    }
}

// p stands on '['.
Ptr skipArray(Ptr p, Ptr end, unsigned depth) {
    p = skipWhitespace(p + 1, end);
    if (p != end && *p == ']') return p + 1;
    for (;;) {
        p = skipValueAt(p, end, depth + 1);
        if (p == nullptr) return nullptr;
        p = skipWhitespace(p, end);
        if (p == end) return nullptr;
        const char c = *p++;
        if (c == ']') return p;
        if (c != ',') return nullptr;
    }
}

// p stands on '{'.
Ptr skipObject(Ptr p, Ptr end, unsigned depth) {
    p = skipWhitespace(p + 1, end);
    if (p != end && *p == '}') return p + 1;
    for (;;) {
        p = skipWhitespace(p, end);
        if (p == end || *p != '"') return nullptr;
        p = skipStringBody(p + 1, end);
        if (p == nullptr) return nullptr;
        p = skipWhitespace(p, end);
        if (p == end || *p != ':') return nullptr;
        p = skipValueAt(p + 1, end, depth + 1);
        if (p == nullptr) return nullptr;
        p = skipWhitespace(p, end);
        if (p == end) return nullptr;
        const char c = *p++;
        if (c == '}') return p;
        if (c != ',') return nullptr;
    }
}

// p stands on the 'u' of a \u escape; appends the code point it starts, taking the
// low half of a surrogate pair too.
Ptr decodeUnicodeEscape(Ptr p, Ptr end, std::string& out) {
    std::uint16_t unit;
    p = hex4(p + 1, end, unit);
    if (p == nullptr) return nullptr;
    char32_t codePoint = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return nullptr;
        std::uint16_t low;
        p = hex4(p + 2, end, low);
        if (p == nullptr || low < 0xDC00 || low > 0xDFFF) return nullptr;
        codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00u);
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return nullptr;
    }
    appendCodePoint(out, codePoint);
    return p;
}

// Decodes from p, which stands on the first backslash of a string body, up to and
// including the closing quote, appending to out.
Ptr decodeEscapedTail(Ptr p, Ptr end, std::string& out) {
    for (;;) {
        if (p == end) return nullptr;
        const char c = *p;
        if (c == '"') return p + 1;
        if (c != '\\') {
            if (static_cast<unsigned char>(c) < 0x20) return nullptr;
            const Ptr run = p;
            p += scanStringRun(p, static_cast<std::size_t>(end - p));
            const std::string_view text(run, static_cast<std::size_t>(p - run));
            if (!isValidUtf8(text)) return nullptr;
            out.append(text);
            continue;
        }
        if (++p == end) return nullptr;
        char decoded;
        switch (*p) {
            case '"':
                decoded = '"';
                break;
            case '\\':
                decoded = '\\';
                break;
            case '/':
                decoded = '/';
                break;
            case 'b':
                decoded = '\b';
                break;
            case 'f':
                decoded = '\f';
                break;
            case 'n':
                decoded = '\n';
                break;
            case 'r':
                decoded = '\r';
                break;
            case 't':
                decoded = '\t';
                break;
            case 'u':
                p = decodeUnicodeEscape(p, end, out);
                if (p == nullptr) return nullptr;
                continue;
            default:
                return nullptr;
        }
        out.push_back(decoded);
        ++p;
    }
}

// Shared front of readString and readStringView: skips whitespace and the opening
// quote and validates the plain prefix. Returns the position of the closing quote or
// of the first backslash, with prefix holding the bytes before it.
Ptr readPlainPrefix(Ptr p, Ptr end, std::string_view& prefix) {
    p = skipWhitespace(p, end);
    if (p == end || *p != '"') return nullptr;
    const Ptr start = ++p;
    p += scanStringRun(p, static_cast<std::size_t>(end - p));
    if (p == end || static_cast<unsigned char>(*p) < 0x20) return nullptr;
    prefix = std::string_view(start, static_cast<std::size_t>(p - start));
    return isValidUtf8(prefix) ? p : nullptr;
}

Ptr positionOf(const JsonCursor& cursor) {
    return cursor.bytes + cursor.position;
}
Ptr endOf(const JsonCursor& cursor) {
    return cursor.bytes + cursor.length;
}

// Moves the cursor after a successful operation; a failed one leaves it alone.
bool advance(JsonCursor& cursor, Ptr p) {
    if (p == nullptr) return false;
    cursor.position = static_cast<std::size_t>(p - cursor.bytes);
    return true;
}

}  // namespace

std::size_t scanStringRunPortable(const char* bytes, std::size_t length) {
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ONES = 0x0101010101010101u;
        constexpr std::uint64_t HIGH = 0x8080808080808080u;
        // Flags bytes below n (n <= 0x80). A false flag can only sit above a true
        // one, so the lowest flag is exact.
        const auto below = [](std::uint64_t word, std::uint64_t n) {
            return (word - ONES * n) & ~word & HIGH;
        };
        for (; i + 8 <= length; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            const std::uint64_t flags =
                below(word ^ (ONES * '"'), 1) | below(word ^ (ONES * '\\'), 1) | below(word, 0x20);
            if (flags != 0) return i + static_cast<std::size_t>(std::countr_zero(flags)) / 8;
        }
    }
    while (i < length && !isStringSpecial(bytes[i])) ++i;
    return i;
}

std::size_t scanStringRun(const char* bytes, std::size_t length) {
#ifdef ORVA_SSE2_STRING_SCAN
    if (length < 16) return scanStringRunPortable(bytes, length);
    const unsigned first = specialMask(bytes);
    if (first != 0) return static_cast<std::size_t>(std::countr_zero(first));
    std::size_t i = 16;
    for (; i + 64 <= length; i += 64) {
        const std::uint64_t mask = specialMask64(bytes + i);
        if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
    }
    for (; i + 16 <= length; i += 16) {
        const unsigned mask = specialMask(bytes + i);
        if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
    }
    if (i == length) return length;
    // The last block overlaps bytes already scanned; drop their bits.
    const std::size_t overlap = i - (length - 16);
    const unsigned mask = specialMask(bytes + length - 16) >> overlap;
    return mask != 0 ? i + static_cast<std::size_t>(std::countr_zero(mask)) : length;
#else
    return scanStringRunPortable(bytes, length);
#endif
}

void skipJsonWhitespace(JsonCursor& cursor) {
    advance(cursor, skipWhitespace(positionOf(cursor), endOf(cursor)));
}

bool skipValue(JsonCursor& cursor, unsigned depth) {
    return advance(cursor, skipValueAt(positionOf(cursor), endOf(cursor), depth));
}

bool skipString(JsonCursor& cursor) {
    const Ptr end = endOf(cursor);
    const Ptr p = skipWhitespace(positionOf(cursor), end);
    if (p == end || *p != '"') return false;
    return advance(cursor, skipStringBody(p + 1, end));
}

std::optional<std::string> readString(JsonCursor& cursor) {
    const Ptr end = endOf(cursor);
    std::string_view prefix;
    const Ptr p = readPlainPrefix(positionOf(cursor), end, prefix);
    if (p == nullptr) return std::nullopt;
    if (*p == '"') {
        advance(cursor, p + 1);
        return std::string(prefix);
    }
    std::string out;
    out.reserve(prefix.size() + 16);
    out.append(prefix);
    if (!advance(cursor, decodeEscapedTail(p, end, out))) return std::nullopt;
    return out;
}

std::optional<std::string_view> readStringView(JsonCursor& cursor, std::string& scratch) {
    const Ptr end = endOf(cursor);
    std::string_view prefix;
    const Ptr p = readPlainPrefix(positionOf(cursor), end, prefix);
    if (p == nullptr) return std::nullopt;
    if (*p == '"') {
        advance(cursor, p + 1);
        return prefix;
    }
    scratch.assign(prefix);
    if (!advance(cursor, decodeEscapedTail(p, end, scratch))) return std::nullopt;
    return std::string_view(scratch);
}

std::optional<std::uint16_t> readHex4(JsonCursor& cursor) {
    std::uint16_t unit;
    if (!advance(cursor, hex4(positionOf(cursor), endOf(cursor), unit))) return std::nullopt;
    return unit;
}

void appendCodePoint(std::string& out, char32_t codePoint) {
    const auto byte = [](char32_t bits) {
        return static_cast<char>(static_cast<unsigned char>(bits));
    };
    const auto continuation = [&](unsigned shift) {
        return byte(0x80 | ((codePoint >> shift) & 0x3F));
    };
    if (codePoint < 0x80) {
        out.push_back(byte(codePoint));
    } else if (codePoint < 0x800) {
        const char bytes[] = {byte(0xC0 | (codePoint >> 6)), continuation(0)};
        out.append(bytes, sizeof bytes);
    } else if (codePoint < 0x10000) {
        const char bytes[] = {byte(0xE0 | (codePoint >> 12)), continuation(6), continuation(0)};
        out.append(bytes, sizeof bytes);
    } else {
        const char bytes[] = {byte(0xF0 | (codePoint >> 18)), continuation(12), continuation(6),
                              continuation(0)};
        out.append(bytes, sizeof bytes);
    }
}

}  // namespace orva::baseline
