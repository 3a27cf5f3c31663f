// libFuzzer target for the JSON reader and record field extraction. Besides
// running under AddressSanitizer and UndefinedBehaviorSanitizer, it checks that
// the operations agree with each other on every input:
// - a line that gives a record is one JSON object to skipValue as well, and a line
//   that skipValue accepts as an object gives a record unless decoding may fail
//   (bytes above 0x7F or a surrogate escape somewhere);
// - every decoded string is well-formed UTF-8, readString and readStringView
//   agree, and skipString ends where readString does;
// - the block scanners agree with the word-wise ones and with plain loops;
// - every reader path (portable, SSE2, AVX2), scanning strings or looking them up in
//   a string index, gives exactly what the portable path gives, and that is what the
//   reader as it was before its block scanners (baseline_reader/, built without
//   SSE2: the old scalar path) gives.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "baseline_reader/json_reader.h"
#include "baseline_reader/record_fields.h"
#include "baseline_reader/text.h"
#include "fuzz_support.h"
#include "json_reader.h"
#include "record_fields.h"
#include "text.h"

namespace {

using namespace orva;
using fuzz::check;

// The well-formedness rules byte by byte, as plainly as they can be written.
bool referenceUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::size_t n;
        char32_t c;
        if (b < 0x80) {
            ++i;
            continue;
        }
        if (b >= 0xC0 && b < 0xE0) {
            n = 2;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b < 0xF0) {
            n = 3;
            c = b & 0x0F;
        } else if (b >= 0xF0 && b < 0xF8) {
            n = 4;
            c = b & 0x07;
        } else
            return false;
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
    while (i < text.size() && text[i] != '"' && text[i] != '\\' &&
           static_cast<unsigned char>(text[i]) >= 0x20)
        ++i;
    return i;
}

// Whether a decoded string somewhere in text could fail for a reason that skipping
// does not check.
bool decodingMayFail(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'u' &&
            (text[i + 2] | 0x20) == 'd') {
            const char third = static_cast<char>(text[i + 3] | 0x20);
            if (third == '8' || third == '9' || (third >= 'a' && third <= 'f')) return true;
        }
    }
    return false;
}

bool validField(const OptionalString& field) {
    return !field || isValidUtf8(*field);
}

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
        check(validField(fields->sessionId) && validField(fields->cwd) &&
                  validField(fields->timestamp) && validField(fields->gitBranch) &&
                  validField(fields->type) && validField(fields->subtype) &&
                  validField(fields->messageText) &&
                  validField(fields->systemPayload.parentSessionId) &&
                  validField(fields->systemPayload.sourceType) &&
                  validField(fields->systemPayload.sourceId) &&
                  validField(fields->systemPayload.engine) &&
                  validField(fields->systemPayload.displayText),
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
        check(*decoded == *viewed && read.position == view.position,
              "readStringView decodes differently");
        check(isValidUtf8(*decoded), "a decoded string that is not UTF-8");
        check(skipped && skip.position == read.position, "skipString and readString end apart");
    }
}

// What the reader makes of one text on the active path.
struct Verdicts {
    bool utf8 = false;
    std::size_t run = 0;
    std::optional<std::size_t> skipEnd;
    std::optional<RecordFields> record;
    std::optional<RecordFields> recordInto;  // extracted into a record that held another
    std::optional<std::string> decoded[2];   // readString at offsets 0 and 1
    std::optional<std::size_t> decodedEnd[2];
    std::optional<std::size_t> skippedString[2];

    bool operator==(const Verdicts&) const = default;
};

const std::string DIRTY_LINE =
    R"({"sessionId":"s0","cwd":"/c0","timestamp":"t0","gitBranch":"b0","type":"y0",)"
    R"("subtype":"u0","systemPayload":{"parentSessionId":"p0","sourceType":"st0",)"
    R"("sourceId":"si0","engine":"e0","displayText":"d0"},"message":{"parts":[{"text":"m0"}]}})";

Verdicts judge(std::string_view text) {
    Verdicts v;
    v.utf8 = isValidUtf8(text);
    v.run = scanStringRun(text.data(), text.size());
    JsonCursor cursor{text.data(), text.size(), 0};
    if (skipValue(cursor, 1)) v.skipEnd = cursor.position;
    v.record = extractRecordFields(text);
    RecordFields into;
    extractRecordFieldsInto(DIRTY_LINE, into);
    if (extractRecordFieldsInto(text, into)) v.recordInto = into;
    std::vector<StringBlock> storage;
    const std::optional<StringIndex> index = indexStrings(text, storage);
    for (std::size_t at = 0; at < 2 && at < text.size(); ++at) {
        JsonCursor read{text.data(), text.size(), at};
        v.decoded[at] = readString(read);
        if (v.decoded[at]) v.decodedEnd[at] = read.position;
        JsonCursor skip{text.data(), text.size(), at};
        if (skipString(skip)) v.skippedString[at] = skip.position;
        // A string is looked up only where one may start: at a quote that no
        // backslash escapes, as everywhere the grammar expects one.
        if (index && text[at] == '"' && (at == 0 || text[at - 1] != '\\')) {
            JsonCursor indexedRead{text.data(), text.size(), at, &*index};
            const std::optional<std::string> indexed = readString(indexedRead);
            check(
                indexed == v.decoded[at] && (!indexed || indexedRead.position == v.decodedEnd[at]),
                "a read through the string index differs from the scan");
        }
    }
    if (index && !text.empty() && (text[0] == '[' || text[0] == '{')) {
        JsonCursor indexedSkip{text.data(), text.size(), 0, &*index};
        const bool skipped = skipValue(indexedSkip, 1);
        check(skipped == v.skipEnd.has_value() && (!skipped || indexedSkip.position == *v.skipEnd),
              "a skip through the string index differs from the scan");
    }
    return v;
}

bool sameField(const OptionalString& field, const baseline::OptionalString& old) {
    return field == old;
}

bool sameRecord(const std::optional<RecordFields>& now,
                const std::optional<baseline::RecordFields>& old) {
    if (now.has_value() != old.has_value()) return false;
    if (!now) return true;
    const RecordFields& a = *now;
    const baseline::RecordFields& b = *old;
    return sameField(a.sessionId, b.sessionId) && sameField(a.cwd, b.cwd) &&
           sameField(a.timestamp, b.timestamp) && sameField(a.gitBranch, b.gitBranch) &&
           sameField(a.type, b.type) && sameField(a.subtype, b.subtype) &&
           sameField(a.messageText, b.messageText) &&
           sameField(a.systemPayload.parentSessionId, b.systemPayload.parentSessionId) &&
           sameField(a.systemPayload.sourceType, b.systemPayload.sourceType) &&
           sameField(a.systemPayload.sourceId, b.systemPayload.sourceId) &&
           sameField(a.systemPayload.engine, b.systemPayload.engine) &&
           sameField(a.systemPayload.displayText, b.systemPayload.displayText) &&
           a.systemPayload.hasDisplayText == b.systemPayload.hasDisplayText &&
           a.gitBranchNonString == b.gitBranchNonString && a.hasSubtype == b.hasSubtype &&
           a.partTextNonString == b.partTextNonString;
}

// The reader of today, on its portable path, against the reader as it was.
void compareWithBaseline(std::string_view text, const Verdicts& now) {
    check(now.utf8 == baseline::isValidUtf8(text), "isValidUtf8 differs from the old reader");
    check(now.run == baseline::scanStringRun(text.data(), text.size()),
          "scanStringRun differs from the old reader");
    baseline::JsonCursor cursor{text.data(), text.size(), 0};
    const bool skipped = baseline::skipValue(cursor, 1);
    check(now.skipEnd.has_value() == skipped && (!skipped || *now.skipEnd == cursor.position),
          "skipValue differs from the old reader");
    check(sameRecord(now.record, baseline::extractRecordFields(text)),
          "extractRecordFields differs from the old reader");
    check(now.record == now.recordInto, "extractRecordFieldsInto differs from extractRecordFields");
    for (std::size_t at = 0; at < 2 && at < text.size(); ++at) {
        baseline::JsonCursor read{text.data(), text.size(), at};
        const std::optional<std::string> old = baseline::readString(read);
        check(now.decoded[at] == old && (!old || *now.decodedEnd[at] == read.position),
              "readString differs from the old reader");
        baseline::JsonCursor skip{text.data(), text.size(), at};
        const bool oldSkipped = baseline::skipString(skip);
        check(now.skippedString[at].has_value() == oldSkipped &&
                  (!oldSkipped || *now.skippedString[at] == skip.position),
              "skipString differs from the old reader");
    }
}

// The invariants of the reader on the active path.
void checkEachPath(std::string_view text) {
    check(isValidUtf8(text) == referenceUtf8(text), "isValidUtf8 disagrees with the plain rules");
    const std::size_t run = scanStringRun(text.data(), text.size());
    check(run == scanStringRunPortable(text.data(), text.size()) && run == referenceRun(text),
          "string scanners disagree");

    JsonCursor cursor{text.data(), text.size(), 0};
    if (skipValue(cursor, 1))
        check(cursor.position > 0 && cursor.position <= text.size(), "skipValue ran off the input");

    checkRecord(text);
    const std::string_view trimmed = trimAsciiWhitespace(text);
    if (!trimmed.empty() && trimmed.size() != text.size()) checkRecord(trimmed);

    checkStringAt(text, 0);
    if (text.size() > 1) checkStringAt(text, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const Verdicts portable = fuzz::judgeOnEveryPath(
        [&] { return judge(text); }, "a path judges differently from the portable one");
    compareWithBaseline(text, portable);

    for (ReaderPath path : availableReaderPaths()) {
        forceReaderPath(path);
        checkEachPath(text);
    }
    return 0;
}
