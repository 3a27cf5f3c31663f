#include "json_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "simd.h"
#include "text.h"

namespace orva {
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

// The value of each hexadecimal digit, -1 for every other byte.
constexpr std::array<signed char, 256> HEX_VALUE = [] {
    std::array<signed char, 256> table{};
    table.fill(-1);
    for (int digit = 0; digit < 10; ++digit) table['0' + digit] = static_cast<signed char>(digit);
    for (int letter = 0; letter < 6; ++letter) {
        table['a' + letter] = static_cast<signed char>(10 + letter);
        table['A' + letter] = static_cast<signed char>(10 + letter);
    }
    return table;
}();

constexpr int hexValue(char c) {
    return HEX_VALUE[static_cast<unsigned char>(c)];
}

// The byte each one-letter escape stands for, by the letter after the backslash; 0
// where the letter is none (the u of a \uXXXX escape is read apart).
constexpr std::array<char, 256> ESCAPED_BYTE = [] {
    std::array<char, 256> table{};
    table['"'] = '"';
    table['\\'] = '\\';
    table['/'] = '/';
    table['b'] = '\b';
    table['f'] = '\f';
    table['n'] = '\n';
    table['r'] = '\r';
    table['t'] = '\t';
    return table;
}();

inline Ptr skipWhitespace(Ptr p, Ptr end) {
    while (p != end && isJsonWhitespace(*p)) ++p;
    return p;
}

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
    if (*p == 'u') {
        std::uint16_t unit;
        return hex4(p + 1, end, unit);
    }
    return ESCAPED_BYTE[static_cast<unsigned char>(*p)] != 0 ? p + 1 : nullptr;
}

// What a string scan found in a body, for the decoders.
constexpr unsigned STRING_ESCAPED = StringIndex::HAS_ESCAPES;
constexpr unsigned STRING_NON_ASCII = StringIndex::HAS_NON_ASCII;

// Which bytes of a 64-byte block a backslash escapes, with the carry into the next
// block: in a run of backslashes every other one escapes the byte after it.
struct EscapeCarry {
    std::uint64_t nextIsEscaped = 0;

    std::uint64_t pending() const { return nextIsEscaped; }

    // One bit per byte that the backslash before it escapes.
    std::uint64_t next(std::uint64_t backslash) {
        const std::uint64_t fromBefore = nextIsEscaped;
        if (backslash == 0) {
            nextIsEscaped = 0;
            return fromBefore;
        }
        constexpr std::uint64_t ODD_BITS = 0xAAAAAAAAAAAAAAAAu;
        // A backslash that is itself escaped starts nothing. Adding the starts of the
        // runs to the runs carries through each run; the parity of where a run began
        // and where the carry left it tells which bytes are escaped.
        const std::uint64_t starts = backslash & ~fromBefore;
        const std::uint64_t codes = (((starts << 1) | ODD_BITS) - starts) ^ ODD_BITS;
        nextIsEscaped = (codes & backslash) >> 63;
        return codes ^ (backslash | fromBefore);
    }
};

// The unit of four hexadecimal digits that a scan has already checked.
inline std::uint16_t checkedHex4(Ptr p) {
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 4) | static_cast<unsigned>(hexValue(p[i]));
    return static_cast<std::uint16_t>(value);
}

// p stands on a backslash of a body that a scan accepted, close on its closing quote.
// Writes what the escape stands for at dst and advances it; returns the position after
// the escape, or null for a lone or unpaired surrogate.
inline Ptr decodeEscapeAt(Ptr p, Ptr close, char*& dst) {
    const char letter = p[1];
    if (letter != 'u') {
        *dst++ = ESCAPED_BYTE[static_cast<unsigned char>(letter)];
        return p + 2;
    }
    const std::uint16_t unit = checkedHex4(p + 2);
    char32_t codePoint = unit;
    p += 6;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (close - p < 6 || p[0] != '\\' || p[1] != 'u') return nullptr;
        const std::uint16_t low = checkedHex4(p + 2);
        if (low < 0xDC00 || low > 0xDFFF) return nullptr;
        codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00u);
        p += 6;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return nullptr;
    }
    dst = encodeCodePoint(codePoint, dst);
    return p;
}

// The portable path: runs found word by word, escapes checked byte by byte.
namespace portable {

bool hasHighByte(Ptr p, std::size_t length) {
    std::uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        any |= word;
    }
    for (; i < length; ++i) any |= static_cast<unsigned char>(p[i]);
    return (any & 0x8080808080808080u) != 0;
}

Ptr scanString(Ptr p, Ptr end, unsigned& traits) {
    for (;;) {
        const std::size_t run = scanStringRunPortable(p, static_cast<std::size_t>(end - p));
        if (hasHighByte(p, run)) traits |= STRING_NON_ASCII;
        p += run;
        if (p == end) return nullptr;
        const char c = *p++;
        if (c == '"') return p;
        if (c != '\\') return nullptr;  // a control byte
        traits |= STRING_ESCAPED;
        p = skipEscape(p, end);
        if (p == nullptr) return nullptr;
    }
}

char* decodeEscaped(Ptr p, Ptr close, char* dst) {
    while (p != close) {
        const void* found = std::memchr(p, '\\', static_cast<std::size_t>(close - p));
        const Ptr stop = found == nullptr ? close : static_cast<Ptr>(found);
        std::memcpy(dst, p, static_cast<std::size_t>(stop - p));
        dst += stop - p;
        p = stop;
        if (p == close) break;
        p = decodeEscapeAt(p, close, dst);
        if (p == nullptr) return nullptr;
    }
    return dst;
}

std::size_t stringRun(Ptr bytes, std::size_t length) {
    return scanStringRunPortable(bytes, length);
}

}  // namespace portable

#if ORVA_SSE2
// The SSE2 path: 16-byte registers, four to a block.
namespace sse2 {

#define ORVA_BLOCK_TARGET

inline std::uint32_t bits16(__m128i matches) {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(matches));
}

// Bytes 0x00 to 0x1F: saturating subtraction leaves zero exactly for them.
inline __m128i isControl(__m128i v) {
    return _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(0x1F)), _mm_setzero_si128());
}

// Signed compares: bytes above 0x7F are negative and so never digits.
inline __m128i isHex(__m128i v) {
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)),
                                        _mm_cmpgt_epi8(_mm_set1_epi8('9' + 1), v));
    const __m128i lower = _mm_or_si128(v, _mm_set1_epi8(0x20));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)),
                                         _mm_cmpgt_epi8(_mm_set1_epi8('f' + 1), lower));
    return _mm_or_si128(digit, letter);
}

struct BlockShort {
    static constexpr std::size_t SHORT = 16;
    __m128i v;

    static BlockShort load(Ptr p) { return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))}; }
    void store(char* out) const { _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v); }
    std::uint32_t eq(char c) const { return bits16(_mm_cmpeq_epi8(v, _mm_set1_epi8(c))); }
    std::uint32_t control() const { return bits16(isControl(v)); }
    std::uint32_t high() const { return bits16(v); }
};

struct Block64 {
    __m128i v[4];

    static Block64 load(Ptr p) {
        const auto* at = reinterpret_cast<const __m128i*>(p);
        return {{_mm_loadu_si128(at), _mm_loadu_si128(at + 1), _mm_loadu_si128(at + 2),
                 _mm_loadu_si128(at + 3)}};
    }
    template <typename Test>
    std::uint64_t bits(Test test) const {
        return std::uint64_t{bits16(test(v[0]))} | std::uint64_t{bits16(test(v[1]))} << 16 |
               std::uint64_t{bits16(test(v[2]))} << 32 | std::uint64_t{bits16(test(v[3]))} << 48;
    }
    std::uint64_t eq(char c) const {
        const __m128i wanted = _mm_set1_epi8(c);
        return bits([&](__m128i x) { return _mm_cmpeq_epi8(x, wanted); });
    }
    std::uint64_t control() const { return bits(isControl); }
    std::uint64_t high() const {
        return bits([](__m128i x) { return x; });
    }
    // Without a byte shuffle, escapes are few enough to be looked at one by one.
    static std::uint64_t badEscapes(std::uint64_t escaped, Ptr bytes) {
        std::uint64_t bad = 0;
        for (; escaped != 0; escaped &= escaped - 1) {
            const unsigned char letter = bytes[__builtin_ctzll(escaped)];
            if (letter != 'u' && ESCAPED_BYTE[letter] == 0) bad |= escaped & (0 - escaped);
        }
        return bad;
    }
    std::uint64_t badDigits(std::uint64_t needed, Ptr) const { return needed & ~bits(isHex); }
};

#include "json_reader_blocks.inc"

#undef ORVA_BLOCK_TARGET

}  // namespace sse2

// The bytes that may follow a backslash (" \\ / b f n r t u), looked up by their two
// nibbles with a byte shuffle: each high nibble of such a byte has a bit, and the
// table of low nibbles gives the bits of the high nibbles that go with it. The
// shuffle looks up within each 16-byte lane, so a register of N bytes holds the
// table once a lane.
// clang-format off
constexpr std::array<unsigned char, 16> ESCAPE_BY_HIGH_NIBBLE = {0, 0, 1, 0, 0, 2, 4, 8, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<unsigned char, 16> ESCAPE_BY_LOW_NIBBLE = {0, 0, 1 | 4 | 8, 0, 8, 8, 4, 0, 0, 0, 0, 0, 2, 0, 4, 1};
// clang-format on

template <std::size_t N>
constexpr std::array<unsigned char, N> inEveryLane(const std::array<unsigned char, 16>& lane) {
    std::array<unsigned char, N> all{};
    for (std::size_t i = 0; i < N; ++i) all[i] = lane[i % 16];
    return all;
}

// The AVX2 path: 32-byte registers, two to a block. Run only where the processor has
// AVX2 (activeReaderPath() says so).
namespace avx2 {

#define ORVA_BLOCK_TARGET ORVA_TARGET_AVX2

ORVA_TARGET_AVX2 inline std::uint32_t bits32(__m256i matches) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(matches));
}

ORVA_TARGET_AVX2 inline __m256i isControl(__m256i v) {
    const __m256i limit = _mm256_set1_epi8(0x1F);
    return _mm256_cmpeq_epi8(_mm256_max_epu8(v, limit), limit);
}

alignas(32) constexpr auto ESCAPE_BY_HIGH = inEveryLane<32>(ESCAPE_BY_HIGH_NIBBLE);
alignas(32) constexpr auto ESCAPE_BY_LOW = inEveryLane<32>(ESCAPE_BY_LOW_NIBBLE);

ORVA_TARGET_AVX2 inline __m256i isEscapeLetter(__m256i v) {
    const __m256i byHigh =
        _mm256_load_si256(reinterpret_cast<const __m256i*>(ESCAPE_BY_HIGH.data()));
    const __m256i byLow = _mm256_load_si256(reinterpret_cast<const __m256i*>(ESCAPE_BY_LOW.data()));
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i low = _mm256_and_si256(v, nibble);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    const __m256i classes =
        _mm256_and_si256(_mm256_shuffle_epi8(byLow, low), _mm256_shuffle_epi8(byHigh, high));
    return _mm256_cmpgt_epi8(classes, _mm256_setzero_si256());
}

ORVA_TARGET_AVX2 inline __m256i isHex(__m256i v) {
    const __m256i digit = _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8('0' - 1)),
                                           _mm256_cmpgt_epi8(_mm256_set1_epi8('9' + 1), v));
    const __m256i lower = _mm256_or_si256(v, _mm256_set1_epi8(0x20));
    const __m256i letter = _mm256_and_si256(_mm256_cmpgt_epi8(lower, _mm256_set1_epi8('a' - 1)),
                                            _mm256_cmpgt_epi8(_mm256_set1_epi8('f' + 1), lower));
    return _mm256_or_si256(digit, letter);
}

struct BlockShort {
    static constexpr std::size_t SHORT = 32;
    __m256i v;

    ORVA_TARGET_AVX2 static BlockShort load(Ptr p) {
        return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))};
    }
    ORVA_TARGET_AVX2 void store(char* out) const {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    }
    ORVA_TARGET_AVX2 std::uint32_t eq(char c) const {
        return bits32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(c)));
    }
    ORVA_TARGET_AVX2 std::uint32_t control() const { return bits32(isControl(v)); }
    ORVA_TARGET_AVX2 std::uint32_t high() const { return bits32(v); }
};

struct Block64 {
    __m256i low;
    __m256i high_;

    ORVA_TARGET_AVX2 static Block64 load(Ptr p) {
        const auto* at = reinterpret_cast<const __m256i*>(p);
        return {_mm256_loadu_si256(at), _mm256_loadu_si256(at + 1)};
    }
    ORVA_TARGET_AVX2 static std::uint64_t join(__m256i first, __m256i second) {
        return std::uint64_t{bits32(first)} | std::uint64_t{bits32(second)} << 32;
    }
    ORVA_TARGET_AVX2 std::uint64_t eq(char c) const {
        const __m256i wanted = _mm256_set1_epi8(c);
        return join(_mm256_cmpeq_epi8(low, wanted), _mm256_cmpeq_epi8(high_, wanted));
    }
    ORVA_TARGET_AVX2 std::uint64_t control() const {
        return join(isControl(low), isControl(high_));
    }
    ORVA_TARGET_AVX2 std::uint64_t high() const { return join(low, high_); }
    ORVA_TARGET_AVX2 std::uint64_t badEscapes(std::uint64_t escaped, Ptr) const {
        return escaped & ~join(isEscapeLetter(low), isEscapeLetter(high_));
    }
    ORVA_TARGET_AVX2 std::uint64_t badDigits(std::uint64_t needed, Ptr) const {
        return needed & ~join(isHex(low), isHex(high_));
    }
};

#include "json_reader_blocks.inc"

#undef ORVA_BLOCK_TARGET

}  // namespace avx2

// The AVX-512 path: the AVX2 path with its 64-byte blocks in one register, each test
// giving its mask at once. Run only where the processor has AVX-512BW.
namespace avx512 {

#define ORVA_BLOCK_TARGET ORVA_TARGET_AVX512

using avx2::BlockShort;

alignas(64) constexpr auto ESCAPE_BY_HIGH = inEveryLane<64>(ESCAPE_BY_HIGH_NIBBLE);
alignas(64) constexpr auto ESCAPE_BY_LOW = inEveryLane<64>(ESCAPE_BY_LOW_NIBBLE);

struct Block64 {
    __m512i v;

    ORVA_TARGET_AVX512 static Block64 load(Ptr p) { return {_mm512_loadu_si512(p)}; }
    ORVA_TARGET_AVX512 std::uint64_t eq(char c) const {
        return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c));
    }
    ORVA_TARGET_AVX512 std::uint64_t control() const {
        return _mm512_cmple_epu8_mask(v, _mm512_set1_epi8(0x1F));
    }
    ORVA_TARGET_AVX512 std::uint64_t high() const { return _mm512_movepi8_mask(v); }
    // The escape letters by their two nibbles.
    ORVA_TARGET_AVX512 std::uint64_t badEscapes(std::uint64_t escaped, Ptr) const {
        const __m512i byHigh = _mm512_load_si512(ESCAPE_BY_HIGH.data());
        const __m512i byLow = _mm512_load_si512(ESCAPE_BY_LOW.data());
        const __m512i nibble = _mm512_set1_epi8(0x0F);
        const __m512i low = _mm512_and_si512(v, nibble);
        const __m512i high = _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble);
        const __m512i classes =
            _mm512_and_si512(_mm512_shuffle_epi8(byLow, low), _mm512_shuffle_epi8(byHigh, high));
        return escaped & ~_mm512_test_epi8_mask(classes, classes);
    }
    ORVA_TARGET_AVX512 std::uint64_t badDigits(std::uint64_t needed, Ptr) const {
        const __m512i lower = _mm512_or_si512(v, _mm512_set1_epi8(0x20));
        const std::uint64_t digit =
            _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8('0')), _mm512_set1_epi8(9));
        const std::uint64_t letter = _mm512_cmple_epu8_mask(
            _mm512_sub_epi8(lower, _mm512_set1_epi8('a')), _mm512_set1_epi8(5));
        return needed & ~(digit | letter);
    }
};

#include "json_reader_blocks.inc"

#undef ORVA_BLOCK_TARGET

}  // namespace avx512
#endif

// The string scans of one path.
struct StringScans {
    Ptr (*scan)(Ptr p, Ptr end, unsigned& traits);
    char* (*decode)(Ptr p, Ptr close, char* dst);
    std::size_t (*run)(Ptr bytes, std::size_t length);
    // Null on the portable path, which scans strings as they come.
    void (*index)(Ptr bytes, std::size_t length, StringBlock* out, std::size_t count);
};

#if ORVA_SSE2
constexpr StringScans SCANS[READER_PATH_COUNT] = {
    {portable::scanString, portable::decodeEscaped, portable::stringRun, nullptr},
    {sse2::scanString, sse2::decodeEscaped, sse2::stringRun, sse2::indexBlocks},
    {avx2::scanString, avx2::decodeEscaped, avx2::stringRun, avx2::indexBlocks},
    // Strings of more than 32 bytes, and the index, in 64-byte registers; runs and
    // decoding stop within 32 bytes, as on the AVX2 path.
    {avx512::scanString, avx2::decodeEscaped, avx2::stringRun, avx512::indexBlocks},
};
#else
constexpr StringScans PORTABLE_SCANS{portable::scanString, portable::decodeEscaped,
                                     portable::stringRun, nullptr};
constexpr StringScans SCANS[READER_PATH_COUNT] = {PORTABLE_SCANS, PORTABLE_SCANS, PORTABLE_SCANS,
                                                  PORTABLE_SCANS};
#endif

inline const StringScans& scans() {
    return SCANS[static_cast<std::size_t>(activeReaderPath())];
}

// How the reader finds the end of a string whose body starts at p: a scan from p on
// the active path, or a look-up in the text's string index. end() returns the
// position after the closing quote, or null for a malformed string; decodable() does
// the same and sets traits to what the body holds (STRING_ESCAPED, STRING_NON_ASCII).
struct ScannedStrings {
    Ptr end(Ptr p, Ptr limit) const {
#if ORVA_SSE2
        // Most strings are short and plain, their first special byte the closing
        // quote: 16 bytes are looked at here before the path's scan is called.
        if (activeReaderPath() != ReaderPath::Portable && limit - p >= 16) {
            const sse2::BlockShort block = sse2::BlockShort::load(p);
            const std::uint32_t quote = block.eq('"');
            const std::uint32_t special = quote | block.eq('\\') | block.control();
            const std::uint32_t first = special & (0 - special);
            if ((first & quote) != 0) return p + __builtin_ctz(first) + 1;
        }
#endif
        unsigned traits = 0;
        return scans().scan(p, limit, traits);
    }
    Ptr decodable(Ptr p, Ptr limit, unsigned& traits) const {
        traits = 0;
        return scans().scan(p, limit, traits);
    }
};

struct IndexedStrings {
    const StringIndex& index;
    Ptr base;  // the first byte of the indexed text

    Ptr end(Ptr p, Ptr limit) const {
        const std::size_t close = index.closingQuote(static_cast<std::size_t>(p - base));
        if (close == StringIndex::NONE || base + close >= limit) return nullptr;
        return base + close + 1;
    }
    Ptr decodable(Ptr p, Ptr limit, unsigned& traits) const {
        traits = 0;
        const std::size_t close = index.closingQuote(static_cast<std::size_t>(p - base), traits);
        if (close == StringIndex::NONE || base + close >= limit) return nullptr;
        return base + close + 1;
    }
};

// p stands just after the opening quote.
template <typename Strings>
inline Ptr skipStringBody(Ptr p, Ptr end, const Strings& strings) {
    return strings.end(p, end);
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

template <typename Strings>
Ptr skipArray(Ptr p, Ptr end, unsigned depth, const Strings& strings);
template <typename Strings>
Ptr skipObject(Ptr p, Ptr end, unsigned depth, const Strings& strings);

// Scalars are handled in line; only containers recurse, so the recursion depth is
// the nesting depth.
template <typename Strings>
inline Ptr skipValueAt(Ptr p, Ptr end, unsigned depth, const Strings& strings) {
    if (depth > MAX_JSON_DEPTH) return nullptr;
    p = skipWhitespace(p, end);
    if (p == end) return nullptr;
    // clang-format off
    switch (*p) {
        case '"': return skipStringBody(p + 1, end, strings);
        case '-': case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return skipNumber(p, end);
        case 't': return skipLiteral(p, end, "true");
        case 'f': return skipLiteral(p, end, "false");
        case 'n': return skipLiteral(p, end, "null");
        case '[': return skipArray(p, end, depth, strings);
        case '{': return skipObject(p, end, depth, strings);
        default: return nullptr;
    }
    // clang-format on
}

// p stands on '['.
template <typename Strings>
Ptr skipArray(Ptr p, Ptr end, unsigned depth, const Strings& strings) {
    p = skipWhitespace(p + 1, end);
    if (p != end && *p == ']') return p + 1;
    for (;;) {
        p = skipValueAt(p, end, depth + 1, strings);
        if (p == nullptr) return nullptr;
        p = skipWhitespace(p, end);
        if (p == end) return nullptr;
        const char c = *p++;
        if (c == ']') return p;
        if (c != ',') return nullptr;
    }
}

// p stands on '{'.
template <typename Strings>
Ptr skipObject(Ptr p, Ptr end, unsigned depth, const Strings& strings) {
    p = skipWhitespace(p + 1, end);
    if (p != end && *p == '}') return p + 1;
    for (;;) {
        p = skipWhitespace(p, end);
        if (p == end || *p != '"') return nullptr;
        p = skipStringBody(p + 1, end, strings);
        if (p == nullptr) return nullptr;
        p = skipWhitespace(p, end);
        if (p == end || *p != ':') return nullptr;
        p = skipValueAt(p + 1, end, depth + 1, strings);
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

// One item of a string body at p: the closing quote (sets closed), an escape, or a
// plain run, which must be well-formed UTF-8 as a whole. Appends what it decodes to
// out and returns where the next item starts, or null on failure.
inline Ptr decodeItem(Ptr p, Ptr end, std::string& out, bool& closed) {
    if (p == end) return nullptr;
    const char c = *p;
    if (c == '"') {
        closed = true;
        return p + 1;
    }
    if (c != '\\') {
        if (static_cast<unsigned char>(c) < 0x20) return nullptr;
        const Ptr run = p;
        p += scanStringRun(p, static_cast<std::size_t>(end - p));
        const std::string_view text(run, static_cast<std::size_t>(p - run));
        if (!isValidUtf8(text)) return nullptr;
        out.append(text);
        return p;
    }
    if (++p == end) return nullptr;
    if (*p == 'u') return decodeUnicodeEscape(p, end, out);
    const char decoded = ESCAPED_BYTE[static_cast<unsigned char>(*p)];
    if (decoded == 0) return nullptr;
    out.push_back(decoded);
    return p + 1;
}

// A string that may be decoded: well-formed, and its body well-formed UTF-8.
struct StringBody {
    Ptr begin;
    Ptr close;  // the closing quote
    unsigned traits;

    std::size_t size() const { return static_cast<std::size_t>(close - begin); }
    bool escaped() const { return (traits & STRING_ESCAPED) != 0; }
};

// Skips whitespace and scans the string at p; returns the position after it, or null.
// The body is checked for UTF-8 whole: escapes are ASCII, so that is the same as
// checking every run between them.
template <typename Strings>
inline Ptr scanDecodable(Ptr p, Ptr end, const Strings& strings, StringBody& body) {
    p = skipWhitespace(p, end);
    if (p == end || *p != '"') return nullptr;
    body.begin = p + 1;
    const Ptr after = strings.decodable(body.begin, end, body.traits);
    if (after == nullptr) return nullptr;
    body.close = after - 1;
    if ((body.traits & STRING_NON_ASCII) != 0 &&
        !isValidUtf8(std::string_view(body.begin, body.size())))
        return nullptr;
    return after;
}

// Decodes an escaped body into out, which holds exactly the decoded bytes after.
inline bool decodeInto(const StringBody& body, std::string& out) {
    out.resize(body.size());
    char* const end = scans().decode(body.begin, body.close, out.data());
    if (end == nullptr) return false;
    out.resize(static_cast<std::size_t>(end - out.data()));
    return true;
}

Ptr positionOf(const JsonCursor& cursor) {
    return cursor.bytes + cursor.position;
}
Ptr endOf(const JsonCursor& cursor) {
    return cursor.bytes + cursor.length;
}

// Runs operation with the cursor's way of finding strings.
template <typename Operation>
inline auto withStrings(const JsonCursor& cursor, Operation&& operation) {
    if (cursor.strings != nullptr) {
        return operation(IndexedStrings{*cursor.strings, cursor.bytes});
    }
    return operation(ScannedStrings{});
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
    return scans().run(bytes, length);
}

bool skipValue(JsonCursor& cursor, unsigned depth) {
    return withStrings(cursor, [&](const auto& strings) {
        return advance(cursor, skipValueAt(positionOf(cursor), endOf(cursor), depth, strings));
    });
}

bool skipString(JsonCursor& cursor) {
    const Ptr end = endOf(cursor);
    const Ptr p = skipWhitespace(positionOf(cursor), end);
    if (p == end || *p != '"') return false;
    return withStrings(cursor, [&](const auto& strings) {
        return advance(cursor, skipStringBody(p + 1, end, strings));
    });
}

std::optional<std::string> readString(JsonCursor& cursor) {
    StringBody body;
    const Ptr after = withStrings(cursor, [&](const auto& strings) {
        return scanDecodable(positionOf(cursor), endOf(cursor), strings, body);
    });
    if (after == nullptr) return std::nullopt;
    if (!body.escaped()) {
        advance(cursor, after);
        return std::string(body.begin, body.size());
    }
    // Room for the plain prefix and 16 more bytes, or for the whole body if larger:
    // decoding never makes a body longer.
    const auto* backslash = static_cast<Ptr>(std::memchr(body.begin, '\\', body.size()));
    std::string out;
    out.reserve(std::max(static_cast<std::size_t>(backslash - body.begin) + 16, body.size()));
    if (!decodeInto(body, out)) return std::nullopt;
    advance(cursor, after);
    return out;
}

bool readStringInto(JsonCursor& cursor, std::string& out) {
    StringBody body;
    const Ptr after = withStrings(cursor, [&](const auto& strings) {
        return scanDecodable(positionOf(cursor), endOf(cursor), strings, body);
    });
    if (after == nullptr) return false;
    if (body.escaped()) {
        if (!decodeInto(body, out)) return false;
    } else {
        out.assign(body.begin, body.size());
    }
    return advance(cursor, after);
}

std::optional<std::string_view> readStringView(JsonCursor& cursor, std::string& scratch) {
    StringBody body;
    const Ptr after = withStrings(cursor, [&](const auto& strings) {
        return scanDecodable(positionOf(cursor), endOf(cursor), strings, body);
    });
    if (after == nullptr) return std::nullopt;
    if (body.escaped() && !decodeInto(body, scratch)) return std::nullopt;
    advance(cursor, after);
    if (!body.escaped()) return std::string_view(body.begin, body.size());
    return std::string_view(scratch);
}

std::size_t StringIndex::closingQuoteAcross(std::size_t from, unsigned& holds) const {
    std::size_t word = from / 64;
    std::uint64_t keep = ~std::uint64_t{0} << (from % 64);
    std::uint64_t backslashes = 0;
    std::uint64_t high = 0;
    for (;; keep = ~std::uint64_t{0}) {
        const StringBlock& block = blocks[word];
        const std::uint64_t quotes = block.quotes & keep;
        // The body up to the closing quote, or all of the block's rest.
        const std::uint64_t body = quotes == 0 ? keep : ((quotes ^ (quotes - 1)) >> 1) & keep;
        const std::uint64_t closing = quotes & (0 - quotes);
        if ((block.bad & (body | closing)) != 0) return NONE;
        backslashes |= block.backslashes & body;
        high |= block.high & body;
        if (quotes != 0) {
            if (backslashes != 0) holds |= HAS_ESCAPES;
            if (high != 0) holds |= HAS_NON_ASCII;
            return 64 * word + static_cast<std::size_t>(__builtin_ctzll(quotes));
        }
        if (++word == count) return NONE;
    }
}

std::optional<StringIndex> indexStrings(std::string_view text, std::vector<StringBlock>& storage) {
    const StringScans& active = scans();
    if (active.index == nullptr) return std::nullopt;
    const std::size_t count = text.size() / 64 + 1;
    if (storage.size() < count) storage.resize(count);
    active.index(text.data(), text.size(), storage.data(), count);
    return StringIndex{storage.data(), count};
}

void FailedStringReads::erase(std::size_t begin, std::size_t end) {
    for (std::size_t position = begin; position < end;) {
        const std::size_t word = position / 64;
        const std::size_t offset = position % 64;
        const std::size_t count = std::min<std::size_t>(64 - offset, end - position);
        const std::uint64_t bits =
            count == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << count) - 1);
        bits_[word] &= ~(bits << offset);
        position += count;
    }
}

std::optional<std::string_view> readStringAvoiding(JsonCursor& cursor, std::string& scratch,
                                                   FailedStringReads& failed) {
    const Ptr end = endOf(cursor);
    Ptr p = skipWhitespace(positionOf(cursor), end);
    if (p == end || *p != '"') return std::nullopt;
    const Ptr body = ++p;
    scratch.clear();
    bool closed = false;
    while (!closed) {
        const auto at = static_cast<std::size_t>(p - cursor.bytes);
        ++failed.bytesExamined;
        if (failed.contains(at)) return std::nullopt;
        // Marked before the item is read: if this read fails, every item start it
        // passed stays marked; if it succeeds, the marks are taken back below.
        failed.insert(at);
        const Ptr next = decodeItem(p, end, scratch, closed);
        if (next == nullptr) return std::nullopt;
        failed.bytesExamined += static_cast<std::size_t>(next - p);
        p = next;
    }
    failed.erase(static_cast<std::size_t>(body - cursor.bytes),
                 static_cast<std::size_t>(p - cursor.bytes));
    advance(cursor, p);
    return std::string_view(scratch);
}

std::optional<std::uint16_t> readHex4(JsonCursor& cursor) {
    std::uint16_t unit;
    if (!advance(cursor, hex4(positionOf(cursor), endOf(cursor), unit))) return std::nullopt;
    return unit;
}

}  // namespace orva
