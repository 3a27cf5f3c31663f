#include "session_titles.h"

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "byte_pattern.h"
#include "json_reader.h"

namespace orva {

namespace {

// The colon and the underscore: `"subtype":"custom_title"`.
constexpr BytePattern TITLE_MARKER{CUSTOM_TITLE_MARKER, 9, 17};
static_assert(TITLE_MARKER.anchorA() == ':' && TITLE_MARKER.anchorB() == '_');

enum class TitleKey { None, CustomTitle, TitleSource };

TitleKey titleKeyOf(std::string_view token) {
    if (token == "customTitle") return TitleKey::CustomTitle;
    if (token == "titleSource") return TitleKey::TitleSource;
    return TitleKey::None;
}

// The string value after `key` at cursor.position, if the key is followed by
// whitespace, a colon, whitespace and a double quote. Anything else is no value and
// leaves the token scan to go on after the key.
enum class ValueRead { NoValue, Read, Broken };

ValueRead readKeyValue(JsonCursor& cursor, std::string& scratch, FailedStringReads& failed,
                       std::string& value) {
    skipJsonWhitespace(cursor);
    if (!consume(cursor, ':')) return ValueRead::NoValue;
    skipJsonWhitespace(cursor);
    if (!nextIs(cursor, '"')) return ValueRead::NoValue;
    const std::optional<std::string_view> text = readStringAvoiding(cursor, scratch, failed);
    if (!text) return ValueRead::Broken;
    value.assign(*text);
    return ValueRead::Read;
}

// Token scan of one line holding the marker: every string token at any depth, the
// last customTitle and the first titleSource. A string read is tried at every quote
// that no successful read has passed over; the reads share what they learnt about
// where reads fail, so the scan stays linear in the line even when every quote
// starts a read that runs to a bad escape at the end of the line.
CustomTitleOutcome scanTitleLine(std::string_view line, std::size_t& bytesExamined) {
    FailedStringReads failed(line.size());
    std::string scratch;
    std::optional<std::string> title;
    OptionalString source;
    std::size_t p = 0;
    const auto finish = [&](CustomTitleOutcome outcome) {
        bytesExamined += failed.bytesExamined;
        return outcome;
    };
    while (p < line.size()) {
        if (line[p] != '"') {
            const void* quote = std::memchr(line.data() + p, '"', line.size() - p);
            if (quote == nullptr) break;
            p = static_cast<std::size_t>(static_cast<const char*>(quote) - line.data());
        }
        JsonCursor cursor{line.data(), line.size(), p};
        const std::optional<std::string_view> token = readStringAvoiding(cursor, scratch, failed);
        if (!token) {
            ++p;
            continue;
        }
        p = cursor.position;
        const TitleKey key = titleKeyOf(*token);
        if (key == TitleKey::None) continue;
        std::string value;
        const ValueRead read = readKeyValue(cursor, scratch, failed, value);
        if (read == ValueRead::Broken) return finish({TitleSearch::Error, {}});
        if (read == ValueRead::NoValue) continue;
        p = cursor.position;
        if (key == TitleKey::CustomTitle) {
            title = std::move(value);
        } else if (!source) {
            source = std::move(value);
        }
    }
    if (!title) return finish({});
    return finish({TitleSearch::Found, {std::move(*title), std::move(source)}});
}

}  // namespace

CustomTitleOutcome findCustomTitle(std::string_view window) {
    std::size_t bytesExamined = 0;
    return findCustomTitle(window, bytesExamined);
}

CustomTitleOutcome findCustomTitle(std::string_view window, std::size_t& bytesExamined) {
    // The window may start in the middle of a line; CUSTOM_TITLE_LINES reads its
    // first piece all the same, so no startsMidLine flag is needed.
    CustomTitleOutcome outcome;
    answerFromLastMarkedLine(window, false, TITLE_MARKER, CUSTOM_TITLE_LINES,
                             [&](std::string_view line) {
                                 outcome = scanTitleLine(line, bytesExamined);
                                 return outcome.result != TitleSearch::NotFound;
                             });
    return outcome;
}

OptionalString normalizeTitleSource(const OptionalString& titleSource) {
    if (titleSource && (*titleSource == "auto" || *titleSource == "manual")) return titleSource;
    return std::nullopt;
}

PromptOutcome firstPromptText(std::span<const RecordFields> headRecords) {
    for (const RecordFields& record : headRecords) {
        if (record.type != "user" || record.hasSubtype) continue;
        const SystemPayloadFields& payload = record.systemPayload;
        if (payload.hasDisplayText) {
            if (payload.displayText && !payload.displayText->empty()) {
                return {TitleSearch::Found,
                        std::string(cutToChars(*payload.displayText, PROMPT_CHAR_LIMIT))};
            }
            continue;
        }
        if (record.partTextNonString) return {TitleSearch::Error, {}};
        if (record.messageText && !record.messageText->empty()) {
            return {TitleSearch::Found,
                    std::string(cutToChars(*record.messageText, PROMPT_CHAR_LIMIT))};
        }
    }
    return {};
}

}  // namespace orva
