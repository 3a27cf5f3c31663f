// The reader as it stood before its block scanners handled escapes and non-ASCII
// bytes, kept unchanged but for its namespace: the fuzzer compares the reader with it
// byte for byte, and the reader benchmark measures it beside the reader.
#include "record_fields.h"

#include <string>
#include <utility>

#include "json_reader.h"

namespace orva::baseline {
namespace {

// The record object is level 0; these are the levels of the values skipped in it.
constexpr unsigned TOP_MEMBER_DEPTH = 1;
constexpr unsigned NESTED_MEMBER_DEPTH = 2;  // members of systemPayload and message
constexpr unsigned PART_DEPTH = 3;           // elements of message.parts
constexpr unsigned PART_MEMBER_DEPTH = 4;    // members of a part object

// One line being walked, with the scratch buffer for escaped keys.
struct LineReader {
    JsonCursor cursor;
    std::string keyScratch;

    bool atEnd() const { return cursor.position >= cursor.length; }
    char peek() const { return atEnd() ? '\0' : cursor.bytes[cursor.position]; }
    void skipWhitespace() { skipJsonWhitespace(cursor); }
    bool consume(char c) {
        if (atEnd() || cursor.bytes[cursor.position] != c) return false;
        ++cursor.position;
        return true;
    }
};

enum class TopKey {
    Other,
    SessionId,
    Cwd,
    Timestamp,
    GitBranch,
    Type,
    Subtype,
    SystemPayload,
    Message
};
enum class PayloadKey { Other, ParentSessionId, SourceType, SourceId, Engine, DisplayText };

// Matched by length first, then by bytes.
TopKey classifyTopKey(std::string_view key) {
    switch (key.size()) {
        case 3:
            return key == "cwd" ? TopKey::Cwd : TopKey::Other;
        case 4:
            return key == "type" ? TopKey::Type : TopKey::Other;
        case 7:
            if (key == "subtype") return TopKey::Subtype;
            if (key == "message") return TopKey::Message;
            return TopKey::Other;
        case 9:
            if (key == "sessionId") return TopKey::SessionId;
            if (key == "timestamp") return TopKey::Timestamp;
            if (key == "gitBranch") return TopKey::GitBranch;
            return TopKey::Other;
        case 13:
            return key == "systemPayload" ? TopKey::SystemPayload : TopKey::Other;
        default:
            return TopKey::Other;
    }
}

PayloadKey classifyPayloadKey(std::string_view key) {
    switch (key.size()) {
        case 6:
            return key == "engine" ? PayloadKey::Engine : PayloadKey::Other;
        case 8:
            return key == "sourceId" ? PayloadKey::SourceId : PayloadKey::Other;
        case 10:
            return key == "sourceType" ? PayloadKey::SourceType : PayloadKey::Other;
        case 11:
            return key == "displayText" ? PayloadKey::DisplayText : PayloadKey::Other;
        case 15:
            return key == "parentSessionId" ? PayloadKey::ParentSessionId : PayloadKey::Other;
        default:
            return PayloadKey::Other;
    }
}

// Walks the members of an object whose opening brace has been consumed. onMember
// gets each key (a view valid only until the next key is read) with the cursor on
// the first byte of the value, and must consume the value.
template <typename OnMember>
bool walkObject(LineReader& reader, OnMember&& onMember) {
    reader.skipWhitespace();
    if (reader.consume('}')) return true;
    for (;;) {
        const auto key = readStringView(reader.cursor, reader.keyScratch);
        if (!key) return false;
        reader.skipWhitespace();
        if (!reader.consume(':')) return false;
        reader.skipWhitespace();
        if (!onMember(*key)) return false;
        reader.skipWhitespace();
        if (reader.consume(',')) continue;
        return reader.consume('}');
    }
}

// A string value replaces field; any other value clears it and is skipped.
bool readStringMember(LineReader& reader, OptionalString& field, unsigned depth) {
    if (reader.peek() == '"') {
        auto value = readString(reader.cursor);
        if (!value) return false;
        field = std::move(value);
        return true;
    }
    field.reset();
    return skipValue(reader.cursor, depth);
}

bool readSystemPayload(LineReader& reader, SystemPayloadFields& payload) {
    payload = SystemPayloadFields{};
    return walkObject(reader, [&](std::string_view key) {
        switch (classifyPayloadKey(key)) {
            case PayloadKey::ParentSessionId:
                return readStringMember(reader, payload.parentSessionId, NESTED_MEMBER_DEPTH);
            case PayloadKey::SourceType:
                return readStringMember(reader, payload.sourceType, NESTED_MEMBER_DEPTH);
            case PayloadKey::SourceId:
                return readStringMember(reader, payload.sourceId, NESTED_MEMBER_DEPTH);
            case PayloadKey::Engine:
                return readStringMember(reader, payload.engine, NESTED_MEMBER_DEPTH);
            case PayloadKey::DisplayText:
                payload.hasDisplayText = true;
                return readStringMember(reader, payload.displayText, NESTED_MEMBER_DEPTH);
            case PayloadKey::Other:
                break;
        }
        return skipValue(reader.cursor, NESTED_MEMBER_DEPTH);
    });
}

// The part-text search of one message object. The first part object with a "text"
// member decides; every later element is only skipped.
struct PartSearch {
    OptionalString text;
    bool nonString = false;
    bool decided = false;
};

bool readPartObject(LineReader& reader, PartSearch& search) {
    return walkObject(reader, [&](std::string_view key) {
        if (key != "text") return skipValue(reader.cursor, PART_MEMBER_DEPTH);
        search.decided = true;
        if (reader.peek() == '"') {
            auto value = readString(reader.cursor);
            if (!value) return false;
            search.text = std::move(value);
            return true;
        }
        search.nonString = true;
        return skipValue(reader.cursor, PART_MEMBER_DEPTH);
    });
}

// The cursor stands just after the opening bracket of a "parts" array.
bool readParts(LineReader& reader, PartSearch& search) {
    reader.skipWhitespace();
    if (reader.consume(']')) return true;
    for (;;) {
        reader.skipWhitespace();
        if (!search.decided && reader.consume('{')) {
            if (!readPartObject(reader, search)) return false;
        } else if (!skipValue(reader.cursor, PART_DEPTH)) {
            return false;
        }
        reader.skipWhitespace();
        if (reader.consume(',')) continue;
        return reader.consume(']');
    }
}

bool readMessage(LineReader& reader, RecordFields& fields) {
    PartSearch search;
    const bool read = walkObject(reader, [&](std::string_view key) {
        if (key == "parts" && reader.consume('[')) return readParts(reader, search);
        return skipValue(reader.cursor, NESTED_MEMBER_DEPTH);
    });
    fields.messageText = std::move(search.text);
    fields.partTextNonString = search.nonString;
    return read;
}

bool readTopMember(LineReader& reader, std::string_view key, RecordFields& fields) {
    switch (classifyTopKey(key)) {
        case TopKey::SessionId:
            return readStringMember(reader, fields.sessionId, TOP_MEMBER_DEPTH);
        case TopKey::Cwd:
            return readStringMember(reader, fields.cwd, TOP_MEMBER_DEPTH);
        case TopKey::Timestamp:
            return readStringMember(reader, fields.timestamp, TOP_MEMBER_DEPTH);
        case TopKey::Type:
            return readStringMember(reader, fields.type, TOP_MEMBER_DEPTH);
        case TopKey::GitBranch:
            fields.gitBranchNonString = reader.peek() != '"';
            return readStringMember(reader, fields.gitBranch, TOP_MEMBER_DEPTH);
        case TopKey::Subtype:
            fields.hasSubtype = true;
            return readStringMember(reader, fields.subtype, TOP_MEMBER_DEPTH);
        case TopKey::SystemPayload:
            if (reader.consume('{')) return readSystemPayload(reader, fields.systemPayload);
            fields.systemPayload = SystemPayloadFields{};
            return skipValue(reader.cursor, TOP_MEMBER_DEPTH);
        case TopKey::Message:
            if (reader.consume('{')) return readMessage(reader, fields);
            fields.messageText.reset();
            fields.partTextNonString = false;
            return skipValue(reader.cursor, TOP_MEMBER_DEPTH);
        case TopKey::Other:
            break;
    }
    return skipValue(reader.cursor, TOP_MEMBER_DEPTH);
}

}  // namespace

std::optional<RecordFields> extractRecordFields(std::string_view line) {
    LineReader reader{JsonCursor{line.data(), line.size(), 0}, {}};
    reader.skipWhitespace();
    if (!reader.consume('{')) return std::nullopt;
    RecordFields fields;
    const bool read = walkObject(
        reader, [&](std::string_view key) { return readTopMember(reader, key, fields); });
    if (!read) return std::nullopt;
    reader.skipWhitespace();
    if (!reader.atEnd()) return std::nullopt;
    return fields;
}

}  // namespace orva::baseline
