// Session titles: the latest custom-title record of a window, the title sources the
// catalog reports, and the first user prompt of the head records.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>

#include "record_fields.h"
#include "scan_entries.h"

namespace orva {

inline constexpr std::size_t PROMPT_CHAR_LIMIT = 201;

// The 24 bytes a line must contain to be read for a custom title.
inline constexpr std::string_view CUSTOM_TITLE_MARKER = "\"subtype\":\"custom_title\"";

struct CustomTitleHit {
    std::string customTitle;  // possibly empty
    OptionalString titleSource;
};

enum class TitleSearch { NotFound, Found, Error };

struct CustomTitleOutcome {
    TitleSearch result = TitleSearch::NotFound;
    CustomTitleHit hit;  // meaningful only for Found
};

CustomTitleOutcome findCustomTitle(std::string_view window);
// The same search, adding to bytesExamined the bytes its string reads looked at: the
// measure of its work, linear in the window.
CustomTitleOutcome findCustomTitle(std::string_view window, std::size_t& bytesExamined);

// "auto" and "manual" pass; everything else, and absent, gives absent.
OptionalString normalizeTitleSource(const OptionalString& titleSource);

struct PromptOutcome {
    TitleSearch result = TitleSearch::NotFound;
    std::string text;  // meaningful only for Found
};

PromptOutcome firstPromptText(std::span<const RecordFields> headRecords);

// The first `limit` Unicode scalar values of well-formed UTF-8 text.
std::string_view cutToChars(std::string_view text, std::size_t limit);

// A fixed needle searched from the end of a haystack backwards. Two of its bytes,
// chosen where they are rare in chat records, filter 16 candidate positions at a
// time; only positions where both match are compared whole. The windows searched
// are up to 64 KiB, and most hold no occurrence at all.
class BytePattern {
  public:
    static constexpr std::size_t npos = std::string_view::npos;

    // anchorA and anchorB are offsets of two bytes of the needle.
    constexpr BytePattern(std::string_view needle, std::size_t anchorA, std::size_t anchorB)
        : needle_(needle), anchorA_(anchorA), anchorB_(anchorB) {}

    std::string_view needle() const { return needle_; }

    // Offset of the last occurrence in haystack, or npos.
    std::size_t findLast(std::string_view haystack) const;

  private:
    bool matchesAt(std::string_view haystack, std::size_t start) const {
        return std::memcmp(haystack.data() + start, needle_.data(), needle_.size()) == 0;
    }

    std::string_view needle_;
    std::size_t anchorA_;
    std::size_t anchorB_;
};

}  // namespace orva
