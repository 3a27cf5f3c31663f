#include "byte_pattern.h"

#include "simd.h"

namespace orva {

std::size_t BytePattern::findLast(std::string_view haystack) const {
    if (haystack.size() < needle_.size()) return npos;
    // Candidate starts are 0 to haystack.size() - needle size; `end` is one past the
    // highest not yet looked at.
    std::size_t end = haystack.size() - needle_.size() + 1;
#if ORVA_SSE2
    const __m128i byteA = _mm_set1_epi8(needle_[anchorA_]);
    const __m128i byteB = _mm_set1_epi8(needle_[anchorB_]);
    const char* const data = haystack.data();
    const auto candidatesAt = [&](std::size_t block) {
        const __m128i atA =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + block + anchorA_));
        const __m128i atB =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + block + anchorB_));
        return static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(atA, byteA), _mm_cmpeq_epi8(atB, byteB))));
    };
    // 32 candidate starts per step, the higher 16 in the upper half of the mask.
    while (end >= 32) {
        const std::size_t block = end - 32;
        unsigned candidates = candidatesAt(block) | (candidatesAt(block + 16) << 16);
        while (candidates != 0) {
            const unsigned bit = 31U - static_cast<unsigned>(__builtin_clz(candidates));
            if (matchesAt(haystack, block + bit)) return block + bit;
            candidates &= ~(1U << bit);
        }
        end = block;
    }
#endif
    while (end > 0) {
        --end;
        if (haystack[end + anchorA_] == needle_[anchorA_] && matchesAt(haystack, end)) return end;
    }
    return npos;
}

namespace {

bool isTrimmed(char c, const LineRules& rules) {
    if (c == '\r') return rules.trimCarriageReturns;
    return rules.trimBlanks && (c == '\t' || c == '\f' || c == ' ');
}

}  // namespace

std::string_view markedLineAt(std::string_view window, std::size_t at, std::size_t matchSize,
                              std::size_t limit, const LineRules& rules, std::size_t& lineStart) {
    const void* before = at == 0 ? nullptr : ::memrchr(window.data(), '\n', at);
    lineStart =
        before == nullptr
            ? 0
            : static_cast<std::size_t>(static_cast<const char*>(before) - window.data()) + 1;
    const std::size_t after = at + matchSize;
    const void* next = std::memchr(window.data() + after, '\n', limit - after);
    std::size_t lineEnd =
        next == nullptr ? limit
                        : static_cast<std::size_t>(static_cast<const char*>(next) - window.data());
    std::size_t begin = lineStart;
    while (begin < lineEnd && isTrimmed(window[begin], rules)) ++begin;
    while (lineEnd > begin && isTrimmed(window[lineEnd - 1], rules)) --lineEnd;
    return window.substr(begin, lineEnd - begin);
}

}  // namespace orva
