#include "json_reader.h"

#include <bit>
#include <cstring>

#include "text.h"

#if defined(__SSE2__) && !defined(ORVA_PORTABLE_STRING_SCAN)
#include <emmintrin.h>
#define ORVA_SSE2_STRING_SCAN 1
#endif

namespace orva {
namespace {

// The internals walk a pointer pair; the public operations translate to and from
// the cursor's position once per call.
using Ptr = const char*;

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

constexpr bool isStringSpecial(char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
}

constexpr int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void skipWhitespace(Ptr& p, Ptr end) {
    while (p != end && isJsonWhitespace(*p)) ++p;
}

std::optional<std::uint16_t> hex4(Ptr& p, Ptr end) {
    if (end - p < 4) return std::nullopt;
    unsigned unit = 0;
    for (int i = 0; i < 4; ++i) {
        const int nibble = hexValue(p[i]);
        if (nibble < 0) return std::nullopt;
        unit = (unit << 4) | static_cast<unsigned>(nibble);
    }
    p += 4;
    return static_cast<std::uint16_t>(unit);
}

// p stands just after the opening quote.
bool skipStringBody(Ptr& p, Ptr end) {
    for (;;) {
        p += scanStringRun(p, static_cast<std::size_t>(end - p));
        if (p == end) return false;
        const char c = *p++;
        if (c == '"') return true;
        if (c != '\\' || p == end) return false;  // a control byte, or a lone backslash
        switch (*p++) {
            case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
                break;
            case 'u':
                if (!hex4(p, end)) return false;
                break;
            default:
                return false;
        }
    }
}

// p stands on the first byte of a number, a digit or '-'.
bool skipNumber(Ptr& p, Ptr end) {
    if (*p == '-') {
        ++p;
        if (p == end || !isDigit(*p)) return false;
    }
    if (*p++ != '0') {
        while (p != end && isDigit(*p)) ++p;
    }
    if (p != end && *p == '.') {
        ++p;
        if (p == end || !isDigit(*p)) return false;
        while (p != end && isDigit(*p)) ++p;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !isDigit(*p)) return false;
        while (p != end && isDigit(*p)) ++p;
    }
    return true;
}

bool skipLiteral(Ptr& p, Ptr end, std::string_view word) {
    if (static_cast<std::size_t>(end - p) < word.size()) return false;
    if (std::memcmp(p, word.data(), word.size()) != 0) return false;
    p += word.size();
    return true;
}

bool skipValueAt(Ptr& p, Ptr end, unsigned depth);

// p stands on '['.
bool skipArray(Ptr& p, Ptr end, unsigned depth) {
    ++p;
    skipWhitespace(p, end);
    if (p != end && *p == ']') {
        ++p;
        return true;
    }
    for (;;) {
        if (!skipValueAt(p, end, depth + 1)) return false;
        skipWhitespace(p, end);
        if (p == end) return false;
        const char c = *p++;
        if (c == ']') return true;
        if (c != ',') return false;
    }
}

// p stands on '{'.
bool skipObject(Ptr& p, Ptr end, unsigned depth) {
    ++p;
    skipWhitespace(p, end);
    if (p != end && *p == '}') {
        ++p;
        return true;
    }
    for (;;) {
        skipWhitespace(p, end);
        if (p == end || *p != '"') return false;
        ++p;
        if (!skipStringBody(p, end)) return false;
        skipWhitespace(p, end);
        if (p == end || *p != ':') return false;
        ++p;
        if (!skipValueAt(p, end, depth + 1)) return false;
        skipWhitespace(p, end);
        if (p == end) return false;
        const char c = *p++;
        if (c == '}') return true;
        if (c != ',') return false;
    }
}

bool skipValueAt(Ptr& p, Ptr end, unsigned depth) {
    if (depth > MAX_JSON_DEPTH) return false;
    skipWhitespace(p, end);
    if (p == end) return false;
    switch (*p) {
        case '"':
            ++p;
            return skipStringBody(p, end);
        case '-': case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return skipNumber(p, end);
        case 't': return skipLiteral(p, end, "true");
        case 'f': return skipLiteral(p, end, "false");
        case 'n': return skipLiteral(p, end, "null");
        case '[': return skipArray(p, end, depth);
        case '{': return skipObject(p, end, depth);
        default: return false;
    }
}

// Decodes from p, which stands on the first backslash of a string body, up to and
// including the closing quote, appending to out.
bool decodeEscapedTail(Ptr& p, Ptr end, std::string& out) {
    for (;;) {
        if (p == end) return false;
        const char c = *p;
        if (c == '"') {
            ++p;
            return true;
        }
        if (c != '\\') {
            if (static_cast<unsigned char>(c) < 0x20) return false;
            const Ptr run = p;
            p += scanStringRun(p, static_cast<std::size_t>(end - p));
            const std::string_view text(run, static_cast<std::size_t>(p - run));
            if (!isValidUtf8(text)) return false;
            out.append(text);
            continue;
        }
        ++p;
        if (p == end) return false;
        switch (*p++) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                const auto unit = hex4(p, end);
                if (!unit) return false;
                char32_t codePoint = *unit;
                if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
                    if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return false;
                    p += 2;
                    const auto low = hex4(p, end);
                    if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
                    codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (*low - 0xDC00u);
                } else if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
                    return false;
                }
                appendCodePoint(out, codePoint);
                break;
            }
            default:
                return false;
        }
    }
}

// Shared front of readString and readStringView: skips whitespace and the opening
// quote and validates the plain prefix. On success p stands on the closing quote or
// on the first backslash, and prefix holds the bytes before it.
bool readPlainPrefix(Ptr& p, Ptr end, std::string_view& prefix) {
    skipWhitespace(p, end);
    if (p == end || *p != '"') return false;
    ++p;
    const Ptr start = p;
    p += scanStringRun(p, static_cast<std::size_t>(end - p));
    if (p == end || static_cast<unsigned char>(*p) < 0x20) return false;
    prefix = std::string_view(start, static_cast<std::size_t>(p - start));
    return isValidUtf8(prefix);
}

struct CursorSpan {
    JsonCursor& cursor;
    Ptr p;
    Ptr end;
    explicit CursorSpan(JsonCursor& c)
        : cursor(c), p(c.bytes + c.position), end(c.bytes + c.length) {}
    ~CursorSpan() { cursor.position = static_cast<std::size_t>(p - cursor.bytes); }
    CursorSpan(const CursorSpan&) = delete;
    CursorSpan& operator=(const CursorSpan&) = delete;
};

#if ORVA_SSE2_STRING_SCAN
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
#endif

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
#if ORVA_SSE2_STRING_SCAN
    if (length < 16) return scanStringRunPortable(bytes, length);
    std::size_t i = 0;
    for (; i + 64 <= length; i += 64) {
        const unsigned m0 = specialMask(bytes + i);
        const unsigned m1 = specialMask(bytes + i + 16);
        const unsigned m2 = specialMask(bytes + i + 32);
        const unsigned m3 = specialMask(bytes + i + 48);
        if ((m0 | m1 | m2 | m3) != 0) {
            const std::uint64_t all = std::uint64_t{m0} | std::uint64_t{m1} << 16 |
                                      std::uint64_t{m2} << 32 | std::uint64_t{m3} << 48;
            return i + static_cast<std::size_t>(std::countr_zero(all));
        }
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
    while (cursor.position < cursor.length && isJsonWhitespace(cursor.bytes[cursor.position])) {
        ++cursor.position;
    }
}

bool skipValue(JsonCursor& cursor, unsigned depth) {
    CursorSpan span(cursor);
    return skipValueAt(span.p, span.end, depth);
}

bool skipString(JsonCursor& cursor) {
    CursorSpan span(cursor);
    skipWhitespace(span.p, span.end);
    if (span.p == span.end || *span.p != '"') return false;
    ++span.p;
    return skipStringBody(span.p, span.end);
}

std::optional<std::string> readString(JsonCursor& cursor) {
    CursorSpan span(cursor);
    std::string_view prefix;
    if (!readPlainPrefix(span.p, span.end, prefix)) return std::nullopt;
    if (*span.p == '"') {
        ++span.p;
        return std::string(prefix);
    }
    std::string out;
    out.reserve(prefix.size() + 16);
    out.append(prefix);
    if (!decodeEscapedTail(span.p, span.end, out)) return std::nullopt;
    return out;
}

std::optional<std::string_view> readStringView(JsonCursor& cursor, std::string& scratch) {
    CursorSpan span(cursor);
    std::string_view prefix;
    if (!readPlainPrefix(span.p, span.end, prefix)) return std::nullopt;
    if (*span.p == '"') {
        ++span.p;
        return prefix;
    }
    scratch.assign(prefix);
    if (!decodeEscapedTail(span.p, span.end, scratch)) return std::nullopt;
    return std::string_view(scratch);
}

std::optional<std::uint16_t> readHex4(JsonCursor& cursor) {
    CursorSpan span(cursor);
    return hex4(span.p, span.end);
}

void appendCodePoint(std::string& out, char32_t codePoint) {
    const auto byte = [](char32_t bits) { return static_cast<char>(static_cast<unsigned char>(bits)); };
    const auto continuation = [&](unsigned shift) { return byte(0x80 | ((codePoint >> shift) & 0x3F)); };
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

}  // namespace orva
