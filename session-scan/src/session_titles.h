// Session titles: the latest custom-title record of a window, the title sources the
// catalog reports, and the first user prompt of the head records.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "record_fields.h"
#include "scan_entries.h"

namespace orva {

inline constexpr std::size_t PROMPT_CHAR_LIMIT = 201;

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

}  // namespace orva
