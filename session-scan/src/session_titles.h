// Session titles: the latest custom-title record of a window, the title sources the
// catalog reports, and the first user prompt of the head records.
#pragma once

#include <array>
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

// "auto" and "manual" pass; everything else, and absent, gives absent.
OptionalString normalizeTitleSource(const OptionalString& titleSource);

struct PromptOutcome {
    TitleSearch result = TitleSearch::NotFound;
    std::string text;  // meaningful only for Found
};

PromptOutcome firstPromptText(std::span<const RecordFields> headRecords);

// The first `limit` Unicode scalar values of well-formed UTF-8 text.
std::string_view cutToChars(std::string_view text, std::size_t limit);

// A fixed needle searched with Horspool's skip table, forwards or backwards. The
// windows searched are up to 64 KiB and the needles 14 to 24 bytes, so most bytes
// of a window are never looked at.
class BytePattern {
public:
    static constexpr std::size_t npos = std::string_view::npos;

    constexpr explicit BytePattern(std::string_view needle) : needle_(needle) {
        const std::size_t m = needle.size();
        forward_.fill(m);
        backward_.fill(m);
        for (std::size_t i = 0; i + 1 < m; ++i) forward_[byteAt(needle, i)] = m - 1 - i;
        for (std::size_t i = m - 1; i >= 1; --i) backward_[byteAt(needle, i)] = i;
    }

    std::string_view needle() const { return needle_; }

    // Offset of the first occurrence in haystack, or npos.
    std::size_t findFirst(std::string_view haystack) const {
        const std::size_t m = needle_.size();
        if (haystack.size() < m) return npos;
        const char last = needle_[m - 1];
        for (std::size_t pos = 0; pos + m <= haystack.size();) {
            const char probe = haystack[pos + m - 1];
            if (probe == last && std::memcmp(haystack.data() + pos, needle_.data(), m - 1) == 0) return pos;
            pos += forward_[static_cast<unsigned char>(probe)];
        }
        return npos;
    }

    // Offset of the last occurrence in haystack, or npos.
    std::size_t findLast(std::string_view haystack) const {
        const std::size_t m = needle_.size();
        if (haystack.size() < m) return npos;
        const char first = needle_[0];
        for (std::size_t pos = haystack.size() - m;;) {
            const char probe = haystack[pos];
            if (probe == first && std::memcmp(haystack.data() + pos + 1, needle_.data() + 1, m - 1) == 0) {
                return pos;
            }
            const std::size_t shift = backward_[static_cast<unsigned char>(probe)];
            if (pos < shift) return npos;
            pos -= shift;
        }
    }

private:
    static constexpr unsigned char byteAt(std::string_view text, std::size_t i) {
        return static_cast<unsigned char>(text[i]);
    }

    std::string_view needle_;
    std::array<std::size_t, 256> forward_{};   // shift keyed by the window's last byte
    std::array<std::size_t, 256> backward_{};  // shift keyed by the window's first byte
};

}  // namespace orva
