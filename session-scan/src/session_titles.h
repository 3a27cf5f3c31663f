// Session titles: the latest custom-title record of a window, the title sources the
// catalog reports, and the first user prompt of the head records.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "optional_string.h"
#include "record_fields.h"
#include "text.h"  // cutToChars

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

}  // namespace orva
