// libFuzzer target for the backward session-source search of a tail window. The first
// byte says whether the window starts in the middle of a line; the rest is the
// window. On every reader path the search gives what the search written literally
// gives (pieces split at line feeds, the cut first piece dropped, each piece trimmed
// and extracted, from the last up), that one extracting with the reader as it was
// before its block scanners.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "baseline_reader/record_fields.h"
#include "fuzz_support.h"
#include "session_scan.h"
#include "text.h"

namespace {

using namespace orva;
using fuzz::check;

std::optional<TailSessionSource> literalSearch(std::string_view window, bool startsMidLine) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= window.size(); ++i) {
        if (i == window.size() || window[i] == '\n') {
            pieces.push_back(window.substr(start, i - start));
            start = i + 1;
        }
    }
    const std::size_t first = startsMidLine ? 1 : 0;
    for (std::size_t i = pieces.size(); i-- > first;) {
        const std::string_view line = trimAsciiWhitespace(pieces[i]);
        if (line.size() < 14 || line.find("session_source") == std::string_view::npos) continue;
        const auto record = baseline::extractRecordFields(line);
        if (!record || record->type != "system" || record->subtype != "session_source" ||
            !record->systemPayload.sourceType)
            continue;
        return TailSessionSource{*record->systemPayload.sourceType, record->systemPayload.sourceId};
    }
    return std::nullopt;
}

bool same(const std::optional<TailSessionSource>& a, const std::optional<TailSessionSource>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->sourceType == b->sourceType && a->sourceId == b->sourceId);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool startsMidLine = (data[0] & 1) != 0;
    const std::string_view window(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::optional<TailSessionSource> expected = literalSearch(window, startsMidLine);
    for (ReaderPath path : availableReaderPaths()) {
        forceReaderPath(path);
        check(same(findTailSessionSource(window, startsMidLine), expected),
              "findTailSessionSource differs from the literal search");
    }
    return 0;
}
