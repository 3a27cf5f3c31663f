#include "byte_pattern.h"

#include <cstdint>

#include "simd.h"

namespace orva {

namespace {

constexpr std::size_t NOT_FOUND = BytePattern::npos;

#if ORVA_SSE2
// The candidate blocks below end, 32 starts per step from the top down: the match,
// or NOT_FOUND with end lowered to the lowest start not yet looked at.
std::size_t lastInBlocksSse2(const BytePattern& pattern, std::string_view haystack,
                             std::size_t& end) {
    const __m128i byteA = _mm_set1_epi8(pattern.anchorA());
    const __m128i byteB = _mm_set1_epi8(pattern.anchorB());
    const char* const atA = haystack.data() + pattern.anchorOffsetA();
    const char* const atB = haystack.data() + pattern.anchorOffsetB();
    const auto candidatesAt = [&](std::size_t block) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(atA + block));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(atB + block));
        return static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, byteA), _mm_cmpeq_epi8(b, byteB))));
    };
    while (end >= 32) {
        const std::size_t block = end - 32;
        unsigned candidates = candidatesAt(block) | (candidatesAt(block + 16) << 16);
        while (candidates != 0) {
            const unsigned bit = 31U - static_cast<unsigned>(__builtin_clz(candidates));
            if (pattern.matchesAt(haystack, block + bit)) return block + bit;
            candidates &= ~(1U << bit);
        }
        end = block;
    }
    return NOT_FOUND;
}

// The same with 64 starts per step, in two 32-byte blocks per anchor.
ORVA_TARGET_AVX2 std::size_t lastInBlocksAvx2(const BytePattern& pattern, std::string_view haystack,
                                              std::size_t& end) {
    const __m256i byteA = _mm256_set1_epi8(pattern.anchorA());
    const __m256i byteB = _mm256_set1_epi8(pattern.anchorB());
    const char* const atA = haystack.data() + pattern.anchorOffsetA();
    const char* const atB = haystack.data() + pattern.anchorOffsetB();
    const auto candidatesAt = [&](std::size_t block) ORVA_TARGET_AVX2 {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(atA + block));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(atB + block));
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(a, byteA), _mm256_cmpeq_epi8(b, byteB))));
    };
    while (end >= 64) {
        const std::size_t block = end - 64;
        std::uint64_t candidates = candidatesAt(block) | std::uint64_t{candidatesAt(block + 32)}
                                                             << 32;
        while (candidates != 0) {
            const auto bit = 63U - static_cast<unsigned>(_lzcnt_u64(candidates));
            if (pattern.matchesAt(haystack, block + bit)) return block + bit;
            candidates &= ~(std::uint64_t{1} << bit);
        }
        end = block;
    }
    return NOT_FOUND;
}
#endif

}  // namespace

std::size_t BytePattern::findLast(std::string_view haystack) const {
    if (haystack.size() < needle_.size()) return npos;
    // Candidate starts are 0 to haystack.size() - needle size; `end` is one past the
    // highest not yet looked at. A block's loads reach at most the byte at its
    // highest start plus an anchor offset, which lies inside the haystack.
    std::size_t end = haystack.size() - needle_.size() + 1;
#if ORVA_SSE2
    const ReaderPath path = activeReaderPath();
    if (path != ReaderPath::Portable) {
        // The AVX-512 path searches as the AVX2 one: the search is over before a
        // wider register would pay.
        const std::size_t found = path >= ReaderPath::Avx2 ? lastInBlocksAvx2(*this, haystack, end)
                                                           : lastInBlocksSse2(*this, haystack, end);
        if (found != npos) return found;
        // Fewer than one block of starts is left; SSE2 takes 32 of them first.
        if (end >= 32) {
            const std::size_t rest = lastInBlocksSse2(*this, haystack, end);
            if (rest != npos) return rest;
        }
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
