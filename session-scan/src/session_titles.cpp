#include "session_titles.h"

#include <cstring>
#include <optional>

#if defined(__SSE2__) && !defined(ORVA_NO_SSE2)
#include <emmintrin.h>
#endif
#include <string>
#include <utility>

#include "json_reader.h"

namespace orva {

namespace {

// The colon and the underscore: `"subtype":"custom_title"`.
constexpr BytePattern TITLE_MARKER{CUSTOM_TITLE_MARKER, 9, 17};

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
    if (cursor.position >= cursor.length || cursor.bytes[cursor.position] != ':')
        return ValueRead::NoValue;
    ++cursor.position;
    skipJsonWhitespace(cursor);
    if (cursor.position >= cursor.length || cursor.bytes[cursor.position] != '"')
        return ValueRead::NoValue;
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

std::size_t lineStartBefore(std::string_view window, std::size_t pos) {
    const void* lf = ::memrchr(window.data(), '\n', pos);
    return lf == nullptr
               ? 0
               : static_cast<std::size_t>(static_cast<const char*>(lf) - window.data()) + 1;
}

}  // namespace

std::size_t BytePattern::findLast(std::string_view haystack) const {
    if (haystack.size() < needle_.size()) return npos;
    // Candidate starts are 0 to haystack.size() - needle size; `end` is one past the
    // highest not yet looked at.
    std::size_t end = haystack.size() - needle_.size() + 1;
#if defined(__SSE2__) && !defined(ORVA_NO_SSE2)
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

CustomTitleOutcome findCustomTitle(std::string_view window) {
    std::size_t bytesExamined = 0;
    return findCustomTitle(window, bytesExamined);
}

CustomTitleOutcome findCustomTitle(std::string_view window, std::size_t& bytesExamined) {
    // Lines without the marker yield nothing, so jump from marker to marker, from
    // the end of the window backwards, and read only the line around each.
    std::size_t end = window.size();
    while (true) {
        const std::size_t at = TITLE_MARKER.findLast(window.substr(0, end));
        if (at == BytePattern::npos) return {};
        const std::size_t lineStart = lineStartBefore(window, at);
        const std::size_t after = at + CUSTOM_TITLE_MARKER.size();
        const void* lf = std::memchr(window.data() + after, '\n', end - after);
        const std::size_t lineEnd =
            lf == nullptr ? end
                          : static_cast<std::size_t>(static_cast<const char*>(lf) - window.data());
        CustomTitleOutcome outcome =
            scanTitleLine(window.substr(lineStart, lineEnd - lineStart), bytesExamined);
        if (outcome.result != TitleSearch::NotFound) return outcome;
        if (lineStart == 0) return {};
        end = lineStart - 1;
    }
}

OptionalString normalizeTitleSource(const OptionalString& titleSource) {
    if (titleSource && (*titleSource == "auto" || *titleSource == "manual")) return titleSource;
    return std::nullopt;
}

std::string_view cutToChars(std::string_view text, std::size_t limit) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (chars == limit) return text.substr(0, i);
        ++chars;
    }
    return text;
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
