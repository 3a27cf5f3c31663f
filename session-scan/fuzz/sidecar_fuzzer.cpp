// libFuzzer target for the title sidecar's shape rules. Every reader path gives the
// same result, and a result holds only what a sidecar may: the content was UTF-8 and
// one JSON object, the display name is UTF-8 without White_Space at its ends and 1 to
// 256 characters long, and the source is one of the three.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_support.h"
#include "json_reader.h"
#include "text.h"
#include "title_sidecar.h"

namespace {

using namespace orva;
using fuzz::check;

std::optional<std::pair<std::string, std::string>> parse(std::string_view content) {
    std::optional<TitleSidecar> sidecar = parseTitleSidecar(content);
    if (!sidecar) return std::nullopt;
    return std::pair{std::move(sidecar->displayName), std::move(sidecar->source)};
}

bool isOneObject(std::string_view content) {
    JsonCursor cursor{content.data(), content.size(), 0};
    skipJsonWhitespace(cursor);
    if (!nextIs(cursor, '{') || !skipValue(cursor, 0)) return false;
    skipJsonWhitespace(cursor);
    return atEnd(cursor);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const auto result = fuzz::judgeOnEveryPath([&] { return parse(content); },
                                               "parseTitleSidecar differs between paths");
    if (!result) return 0;
    const auto& [name, source] = *result;
    check(isValidUtf8(content) && isOneObject(content), "a sidecar read from malformed content");
    check(isValidUtf8(name) && trimUnicodeWhiteSpace(name) == name, "an untrimmed display name");
    check(!name.empty() && countChars(name) <= DISPLAY_NAME_CHAR_LIMIT, "a display name too long");
    check(source == "auto" || source == "manual" || source == "prompt", "an unknown source");
    return 0;
}
