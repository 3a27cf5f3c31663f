#include "text.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "simd.h"

#if ORVA_SSE2
#include <simdjson.h>

#include <array>
#endif

namespace orva {
namespace {

// Number of leading bytes below 0x80, word by word.
std::size_t asciiRunPortable(const unsigned char* p, std::size_t length) {
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if ((word & 0x8080808080808080u) != 0) break;
    }
    while (i < length && p[i] < 0x80) ++i;
    return i;
}

#if ORVA_SSE2
std::size_t asciiRunSse2(const unsigned char* p, std::size_t length) {
    std::size_t i = 0;
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
    return i + asciiRunPortable(p + i, length - i);
}
#endif

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

// The Unicode White_Space property.
bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The scalar value of the well-formed sequence text[begin, end).
char32_t decodeAt(std::string_view text, std::size_t begin, std::size_t end) {
    const auto lead = static_cast<unsigned char>(text[begin]);
    const std::size_t length = end - begin;
    char32_t c = length == 1   ? lead
                 : length == 2 ? (lead & 0x1F)
                 : length == 3 ? (lead & 0x0F)
                               : (lead & 0x07);
    for (std::size_t i = begin + 1; i < end; ++i)
        c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    return c;
}

std::size_t sequenceEnd(std::string_view text, std::size_t begin) {
    std::size_t end = begin + 1;
    while (end < text.size() && isUtf8Continuation(text[end])) ++end;
    return end;
}

std::size_t sequenceStart(std::string_view text, std::size_t end) {
    std::size_t begin = end - 1;
    while (begin > 0 && isUtf8Continuation(text[begin])) --begin;
    return begin;
}

using AsciiRun = std::size_t (*)(const unsigned char*, std::size_t);

template <AsciiRun ASCII_RUN>
bool validateSequences(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t length = bytes.size();
    std::size_t i = 0;
    for (;;) {
        i += ASCII_RUN(p + i, length - i);
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

#if ORVA_SSE2
// Below this the library's block validation costs more than the sequence decoder
// here: it works in 64-byte blocks behind a virtual call.
constexpr std::size_t LIBRARY_UTF8_MINIMUM = 64;

// The library's validator for each block path: its best for the AVX-512 path, its
// AVX2 one for the AVX2 path, and its SSE4.2 one, or its portable one, for the SSE2
// path.
const simdjson::implementation& libraryValidator(ReaderPath path) {
    static const std::array<const simdjson::implementation*, READER_PATH_COUNT> validators = [] {
        const auto& available = simdjson::get_available_implementations();
        std::array<const simdjson::implementation*, READER_PATH_COUNT> table{};
        const simdjson::implementation* sse = available["westmere"];
        if (sse == nullptr || !sse->supported_by_runtime_system()) sse = available["fallback"];
        table[static_cast<std::size_t>(ReaderPath::Portable)] = available["fallback"];
        table[static_cast<std::size_t>(ReaderPath::Sse2)] = sse;
        const simdjson::implementation* best = available.detect_best_supported();
        const simdjson::implementation* avx2 = available["haswell"];
        if (avx2 == nullptr || !avx2->supported_by_runtime_system()) avx2 = best;
        table[static_cast<std::size_t>(ReaderPath::Avx2)] = avx2;
        table[static_cast<std::size_t>(ReaderPath::Avx512)] = best;
        return table;
    }();
    return *validators[static_cast<std::size_t>(path)];
}
#endif

}  // namespace

bool isValidUtf8(std::string_view bytes) {
#if ORVA_SSE2
    if (activeReaderPath() != ReaderPath::Portable) {
        if (bytes.size() >= LIBRARY_UTF8_MINIMUM)
            return libraryValidator(activeReaderPath()).validate_utf8(bytes.data(), bytes.size());
        return validateSequences<asciiRunSse2>(bytes);
    }
#endif
    return validateSequences<asciiRunPortable>(bytes);
}

char* encodeCodePoint(char32_t codePoint, char* out) {
    const auto byte = [](char32_t bits) {
        return static_cast<char>(static_cast<unsigned char>(bits));
    };
    const auto continuation = [&](unsigned shift) {
        return byte(0x80 | ((codePoint >> shift) & 0x3F));
    };
    if (codePoint < 0x80) {
        *out++ = byte(codePoint);
    } else if (codePoint < 0x800) {
        *out++ = byte(0xC0 | (codePoint >> 6));
        *out++ = continuation(0);
    } else if (codePoint < 0x10000) {
        *out++ = byte(0xE0 | (codePoint >> 12));
        *out++ = continuation(6);
        *out++ = continuation(0);
    } else {
        *out++ = byte(0xF0 | (codePoint >> 18));
        *out++ = continuation(12);
        *out++ = continuation(6);
        *out++ = continuation(0);
    }
    return out;
}

void appendCodePoint(std::string& out, char32_t codePoint) {
    char bytes[4];
    out.append(bytes, static_cast<std::size_t>(encodeCodePoint(codePoint, bytes) - bytes));
}

std::size_t countChars(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !isUtf8Continuation(c); }));
}

std::string_view cutToChars(std::string_view text, std::size_t limit) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isUtf8Continuation(text[i])) continue;
        if (chars == limit) return text.substr(0, i);
        ++chars;
    }
    return text;
}

std::string_view trimUnicodeWhiteSpace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t next = sequenceEnd(text, begin);
        if (!isWhiteSpace(decodeAt(text, begin, next))) break;
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t start = sequenceStart(text, end);
        if (!isWhiteSpace(decodeAt(text, start, end))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string_view trimAsciiWhitespace(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isAsciiWhitespace(text[begin])) ++begin;
    while (end > begin && isAsciiWhitespace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

}  // namespace orva
