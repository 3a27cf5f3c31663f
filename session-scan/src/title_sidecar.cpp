#include "title_sidecar.h"

#include <algorithm>
#include <span>
#include <utility>

#include "file_access.h"
#include "json_reader.h"
#include "text.h"

namespace orva {

namespace {

// What the members of the object said, as far as the sidecar cares.
struct SidecarMembers {
    std::optional<std::string> displayName;
    std::optional<std::string> source;
    bool versionValid = false;
};

// A "displayName" or "source" member: a string replaces the earlier value, any
// other value clears it.
bool readStringMember(JsonCursor& cursor, std::optional<std::string>& field) {
    if (nextIs(cursor, '"')) {
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

bool readMember(JsonCursor& cursor, std::string_view key, SidecarMembers& members) {
    if (key == "displayName") return readStringMember(cursor, members.displayName);
    if (key == "source") return readStringMember(cursor, members.source);
    if (key == "version") return readVersionMember(cursor, members.versionValid);
    return skipValue(cursor, 1);
}

// An empty object passes here and fails later, for want of a version.
std::optional<SidecarMembers> readObject(std::string_view content) {
    JsonCursor cursor{content.data(), content.size(), 0};
    std::string keys;
    skipJsonWhitespace(cursor);
    if (!consume(cursor, '{')) return std::nullopt;
    SidecarMembers members;
    const bool read = walkObject(
        cursor, keys, [&](std::string_view key) { return readMember(cursor, key, members); });
    if (!read) return std::nullopt;
    skipJsonWhitespace(cursor);
    if (!atEnd(cursor)) return std::nullopt;
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

std::optional<TitleSidecar> parseTitleSidecar(std::string_view content) {
    if (!isValidUtf8(content)) return std::nullopt;
    std::optional<SidecarMembers> members = readObject(content);
    if (!members || !members->versionValid || !members->displayName || !members->source)
        return std::nullopt;
    const std::string_view name = trimUnicodeWhiteSpace(*members->displayName);
    if (name.empty() || countChars(name) > DISPLAY_NAME_CHAR_LIMIT) return std::nullopt;
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
