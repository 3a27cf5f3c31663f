// libFuzzer target for the JSON reader and record field extraction. Besides
// running under AddressSanitizer and UndefinedBehaviorSanitizer, it checks that
// the operations agree with each other on every input:
// - a line that gives a record is one JSON object to skipValue as well, and a line
//   that skipValue accepts as an object gives a record unless decoding may fail
//   (bytes above 0x7F or a surrogate escape somewhere);
// - every decoded string is well-formed UTF-8, readString and readStringView
//   agree, and skipString ends where readString does;
// - the block scanners agree with the word-wise ones and with plain loops.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json_reader.h"
#include "record_fields.h"
#include "text.h"

namespace {

using namespace orva;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "reader invariant broken: %s\n", what);
        std::abort();
    }
}

// The well-formedness rules byte by byte, as plainly as they can be written.
bool referenceUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t n;
        char32_t c;
        if (b < 0x80) { ++i; continue; }
        if (b >= 0xC0 && b < 0xE0) { n = 2; c = b & 0x1F; }
        else if (b >= 0xE0 && b < 0xF0) { n = 3; c = b & 0x0F; }
        else if (b >= 0xF0 && b < 0xF8) { n = 4; c = b & 0x07; }
        else return false;
        if (i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        const char32_t minimum = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

std::size_t referenceRun(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] != '"' && text[i] != '\\' && static_cast<unsigned char>(text[i]) >= 0x20) ++i;
    return i;
}

// Whether a decoded string somewhere in text could fail for a reason that skipping
// does not check.
bool decodingMayFail(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'u' && (text[i + 2] | 0x20) == 'd') {
            const char third = static_cast<char>(text[i + 3] | 0x20);
            if (third == '8' || third == '9' || (third >= 'a' && third <= 'f')) return true;
        }
    }
    return false;
}

bool validField(const OptionalString& field) { return !field || isValidUtf8(*field); }

void checkRecord(std::string_view line) {
    const auto fields = extractRecordFields(line);
    JsonCursor cursor{line.data(), line.size(), 0};
    bool skipped = skipValue(cursor, 0);
    skipJsonWhitespace(cursor);
    skipped = skipped && cursor.position == cursor.length;
    JsonCursor start{line.data(), line.size(), 0};
    skipJsonWhitespace(start);
    const bool object = start.position < line.size() && line[start.position] == '{';
    if (fields) {
        check(skipped, "a record line that skipValue rejects");
        check(validField(fields->sessionId) && validField(fields->cwd) && validField(fields->timestamp) &&
                  validField(fields->gitBranch) && validField(fields->type) && validField(fields->subtype) &&
                  validField(fields->messageText) && validField(fields->systemPayload.parentSessionId) &&
                  validField(fields->systemPayload.sourceType) && validField(fields->systemPayload.sourceId) &&
                  validField(fields->systemPayload.engine) && validField(fields->systemPayload.displayText),
              "a record field that is not UTF-8");
        check(!fields->gitBranch || !fields->gitBranchNonString, "gitBranch both a string and not");
        check(!fields->subtype || fields->hasSubtype, "subtype without hasSubtype");
        check(!fields->systemPayload.displayText || fields->systemPayload.hasDisplayText,
              "displayText without hasDisplayText");
    } else if (skipped && object) {
        check(decodingMayFail(line), "an object that skipValue accepts but gives no record");
    }
}

void checkStringAt(std::string_view text, std::size_t start) {
    JsonCursor read{text.data(), text.size(), start};
    const auto decoded = readString(read);
    std::string scratch;
    JsonCursor view{text.data(), text.size(), start};
    const auto viewed = readStringView(view, scratch);
    check(decoded.has_value() == viewed.has_value(), "readString and readStringView disagree");
    JsonCursor skip{text.data(), text.size(), start};
    const bool skipped = skipString(skip);
    if (decoded) {
        check(*decoded == *viewed && read.position == view.position, "readStringView decodes differently");
        check(isValidUtf8(*decoded), "a decoded string that is not UTF-8");
        check(skipped && skip.position == read.position, "skipString and readString end apart");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    check(isValidUtf8(text) == referenceUtf8(text), "isValidUtf8 disagrees with the plain rules");
    const std::size_t run = scanStringRun(text.data(), text.size());
    check(run == scanStringRunPortable(text.data(), text.size()) && run == referenceRun(text),
          "string scanners disagree");

    JsonCursor cursor{text.data(), text.size(), 0};
    if (skipValue(cursor, 1)) check(cursor.position > 0 && cursor.position <= size, "skipValue ran off the input");

    checkRecord(text);
    const std::string_view trimmed = trimAsciiWhitespace(text);
    if (!trimmed.empty() && trimmed.size() != text.size()) checkRecord(trimmed);

    checkStringAt(text, 0);
    if (size > 1) checkStringAt(text, 1);
    return 0;
}
