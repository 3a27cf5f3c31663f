// The reader as it stood before its block scanners handled escapes and non-ASCII
// bytes, kept unchanged but for its namespace: the fuzzer compares the reader with it
// byte for byte, and the reader benchmark measures it beside the reader.
#include "text.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) && !defined(ORVA_NO_SSE2)
#include <emmintrin.h>
#endif

namespace orva::baseline {
namespace {

// Number of leading bytes below 0x80.
std::size_t asciiRun(const unsigned char* p, std::size_t length) {
    std::size_t i = 0;
#if defined(__SSE2__) && !defined(ORVA_NO_SSE2)
    for (; i + 32 <= length; i += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
        if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0) break;
    }
    for (; i + 16 <= length; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(block));
        if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
    }
#endif
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if ((word & 0x8080808080808080u) != 0) break;
    }
    while (i < length && p[i] < 0x80) ++i;
    return i;
}

// Length of the well-formed sequence that starts with the non-ASCII byte at p, or 0.
std::size_t sequenceLength(const unsigned char* p, std::size_t available) {
    const unsigned char lead = *p;
    std::size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;  // continuation byte, C0, C1 or F5 to FF
    }
    if (available < length) return 0;
    if (p[1] < low || p[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    return length;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t length = bytes.size();
    std::size_t i = 0;
    for (;;) {
        i += asciiRun(p + i, length - i);
        // Text that is not ASCII tends to stay so for a while: decode sequences until
        // the next ASCII byte before going back to the block scan.
        while (i < length && p[i] >= 0x80) {
            const std::size_t sequence = sequenceLength(p + i, length - i);
            if (sequence == 0) return false;
            i += sequence;
        }
        if (i == length) return true;
    }
}

std::string_view trimAsciiWhitespace(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isAsciiWhitespace(text[begin])) ++begin;
    while (end > begin && isAsciiWhitespace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace orva::baseline
