// A fixed byte string searched for from the end of a window backwards, and the one
// backward walk of the catalog scan's tail searches: find the last line of a window
// that holds a marker, read it, and go on above it until a line answers.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace orva {

// Two of the needle's bytes, chosen where they are rare in chat records, filter a
// block of candidate positions at a time; only positions where both match are compared whole.
// The windows searched are up to 64 KiB, and most hold no occurrence at all.
class BytePattern {
  public:
    static constexpr std::size_t npos = std::string_view::npos;

    // anchorA and anchorB are offsets of two bytes of the needle. Each pattern of
    // the scanner asserts its anchor bytes at compile time, beside its definition.
    constexpr BytePattern(std::string_view needle, std::size_t anchorA, std::size_t anchorB)
        : needle_(needle), anchorA_(anchorA), anchorB_(anchorB) {}

    constexpr std::string_view needle() const { return needle_; }
    constexpr char anchorA() const { return needle_[anchorA_]; }
    constexpr char anchorB() const { return needle_[anchorB_]; }
    constexpr std::size_t anchorOffsetA() const { return anchorA_; }
    constexpr std::size_t anchorOffsetB() const { return anchorB_; }

    // Offset of the last occurrence in haystack, or npos. Blocks of candidates on the
    // active reader path (32 at a time with SSE2, 64 with AVX2), then one at a time.
    std::size_t findLast(std::string_view haystack) const;

    bool matchesAt(std::string_view haystack, std::size_t start) const {
        return std::memcmp(haystack.data() + start, needle_.data(), needle_.size()) == 0;
    }

  private:
    std::string_view needle_;
    std::size_t anchorA_;
    std::size_t anchorB_;
};

// How a backward marker search cuts its window into lines. Both searches split at
// line feeds only.
struct LineRules {
    // When the window starts in the middle of a line, its first piece (before its
    // first line feed) is passed over rather than read as a line.
    bool skipFirstPieceMidLine = false;
    // Tab, form feed and space are trimmed from both ends of a line.
    bool trimBlanks = false;
    // Carriage returns are trimmed from both ends too, together with the blanks.
    // Otherwise a carriage return is a byte of the line like any other.
    bool trimCarriageReturns = false;
};

// The two backward searches of the catalog scan, side by side: the custom-title
// search reads every piece as it stands; the session-source search trims every line
// of ASCII whitespace for record extraction and never reads a cut first line.
// clang-format off
inline constexpr LineRules CUSTOM_TITLE_LINES{
    .skipFirstPieceMidLine = false, .trimBlanks = false, .trimCarriageReturns = false};
inline constexpr LineRules SESSION_SOURCE_LINES{
    .skipFirstPieceMidLine = true,  .trimBlanks = true,  .trimCarriageReturns = true};
// clang-format on

// The line of window around its match at `at`: from the byte after the previous line
// feed to the next line feed or limit, trimmed by rules. lineStart is set to where the
// untrimmed line starts.
std::string_view markedLineAt(std::string_view window, std::size_t at, std::size_t matchSize,
                              std::size_t limit, const LineRules& rules, std::size_t& lineStart);

// Visits the lines of window that hold the marker, from the last to the first, and
// stops at the first for which answer returns true; returns whether one did. Lines
// without the marker are never looked at: the walk jumps from match to match.
template <typename Answer>
bool answerFromLastMarkedLine(std::string_view window, bool startsMidLine,
                              const BytePattern& marker, const LineRules& rules, Answer&& answer) {
    const bool skipFirstPiece = startsMidLine && rules.skipFirstPieceMidLine;
    std::size_t limit = window.size();
    while (true) {
        const std::size_t at = marker.findLast(window.substr(0, limit));
        if (at == BytePattern::npos) return false;
        std::size_t lineStart = 0;
        const std::string_view line =
            markedLineAt(window, at, marker.needle().size(), limit, rules, lineStart);
        if (lineStart == 0 && skipFirstPiece) return false;
        if (answer(line)) return true;
        if (lineStart == 0) return false;
        limit = lineStart - 1;
    }
}

}  // namespace orva
