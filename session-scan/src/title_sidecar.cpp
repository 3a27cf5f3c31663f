#include "title_sidecar.h"

#include <algorithm>
#include <span>
#include <utility>

#include "file_access.h"
#include "json_reader.h"
#include "text.h"

namespace orva {

namespace {

bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The scalar value of the well-formed sequence text[begin, end).
char32_t decodeAt(std::string_view text, std::size_t begin, std::size_t end) {
    const auto lead = static_cast<unsigned char>(text[begin]);
    const std::size_t length = end - begin;
    char32_t c = length == 1   ? lead
                 : length == 2 ? (lead & 0x1F)
                 : length == 3 ? (lead & 0x0F)
                               : (lead & 0x07);
    for (std::size_t i = begin + 1; i < end; ++i)
        c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    return c;
}

std::size_t sequenceEnd(std::string_view text, std::size_t begin) {
    std::size_t end = begin + 1;
    while (end < text.size() && isContinuation(text[end])) ++end;
    return end;
}

std::size_t sequenceStart(std::string_view text, std::size_t end) {
    std::size_t begin = end - 1;
    while (begin > 0 && isContinuation(text[begin])) --begin;
    return begin;
}

std::size_t charCount(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !isContinuation(c); }));
}

bool atByte(const JsonCursor& cursor, char c) {
    return cursor.position < cursor.length && cursor.bytes[cursor.position] == c;
}

// What the members of the object said, as far as the sidecar cares.
struct SidecarMembers {
    std::optional<std::string> displayName;
    std::optional<std::string> source;
    bool versionValid = false;
};

// A "displayName" or "source" member: a string replaces the earlier value, any
// other value clears it.
bool readStringMember(JsonCursor& cursor, std::optional<std::string>& field) {
    if (atByte(cursor, '"')) {
        field = readString(cursor);
        return field.has_value();
    }
    field.reset();
    return skipValue(cursor, 1);
}

bool readVersionMember(JsonCursor& cursor, bool& valid) {
    const std::size_t start = cursor.position;
    if (!skipValue(cursor, 1)) return false;
    const std::string_view text(cursor.bytes + start, cursor.position - start);
    valid = trimAsciiWhitespace(text) == "1";
    return true;
}

bool readMember(JsonCursor& cursor, SidecarMembers& members) {
    const std::optional<std::string> key = readString(cursor);
    if (!key) return false;
    skipJsonWhitespace(cursor);
    if (!atByte(cursor, ':')) return false;
    ++cursor.position;
    skipJsonWhitespace(cursor);
    if (*key == "displayName") return readStringMember(cursor, members.displayName);
    if (*key == "source") return readStringMember(cursor, members.source);
    if (*key == "version") return readVersionMember(cursor, members.versionValid);
    return skipValue(cursor, 1);
}

std::optional<SidecarMembers> readObject(std::string_view content) {
    JsonCursor cursor{content.data(), content.size(), 0};
    skipJsonWhitespace(cursor);
    if (!atByte(cursor, '{')) return std::nullopt;
    ++cursor.position;
    skipJsonWhitespace(cursor);
    if (atByte(cursor, '}')) return std::nullopt;
    SidecarMembers members;
    while (true) {
        if (!readMember(cursor, members)) return std::nullopt;
        skipJsonWhitespace(cursor);
        if (atByte(cursor, ',')) {
            ++cursor.position;
            continue;
        }
        if (!atByte(cursor, '}')) return std::nullopt;
        ++cursor.position;
        break;
    }
    skipJsonWhitespace(cursor);
    if (cursor.position != cursor.length) return std::nullopt;
    return members;
}

bool isSidecarSource(const std::string& source) {
    return source == "auto" || source == "manual" || source == "prompt";
}

// The whole file, or absent when it cannot be read or is over the size limit. Sized
// from the descriptor's status, grown only if the file grew since.
std::optional<std::string> readWholeSidecar(const OpenOutcome& opened) {
    const auto statSize = static_cast<std::size_t>(std::max<std::int64_t>(opened.stamp.size, 0));
    std::string content(std::min(statSize, SIDECAR_SIZE_LIMIT) + 1, '\0');
    std::size_t count = 0;
    while (true) {
        const ReadOutcome read =
            readFullAt(opened.fd.get(), static_cast<std::int64_t>(count),
                       std::span<char>(content.data() + count, content.size() - count));
        if (read.error != 0) return std::nullopt;
        count += read.count;
        if (count < content.size()) break;
        if (count > SIDECAR_SIZE_LIMIT) return std::nullopt;
        content.resize(std::min(content.size() * 2, SIDECAR_SIZE_LIMIT + 1));
    }
    content.resize(count);
    return content;
}

}  // namespace

std::string_view trimUnicodeWhiteSpace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t next = sequenceEnd(text, begin);
        if (!isWhiteSpace(decodeAt(text, begin, next))) break;
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t start = sequenceStart(text, end);
        if (!isWhiteSpace(decodeAt(text, start, end))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::optional<TitleSidecar> parseTitleSidecar(std::string_view content) {
    if (!isValidUtf8(content)) return std::nullopt;
    std::optional<SidecarMembers> members = readObject(content);
    if (!members || !members->versionValid || !members->displayName || !members->source)
        return std::nullopt;
    const std::string_view name = trimUnicodeWhiteSpace(*members->displayName);
    if (name.empty() || charCount(name) > DISPLAY_NAME_CHAR_LIMIT) return std::nullopt;
    if (!isSidecarSource(*members->source)) return std::nullopt;
    return TitleSidecar{std::string(name), std::move(*members->source)};
}

std::optional<TitleSidecar> readTitleSidecar(const std::string& path) {
    const OpenOutcome opened = openRegularFile(path);
    if (opened.verdict != OpenVerdict::Opened) return std::nullopt;
    const std::optional<std::string> content = readWholeSidecar(opened);
    if (!content) return std::nullopt;
    return parseTitleSidecar(*content);
}

}  // namespace orva
