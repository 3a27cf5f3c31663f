#include "record_fields.h"

#include <string>
#include <utility>
#include <vector>

#include "json_reader.h"

namespace orva {
namespace {

// The record object is level 0; these are the levels of the values skipped in it.
constexpr unsigned TOP_MEMBER_DEPTH = 1;
constexpr unsigned NESTED_MEMBER_DEPTH = 2;  // members of systemPayload and message
constexpr unsigned PART_DEPTH = 3;           // elements of message.parts
constexpr unsigned PART_MEMBER_DEPTH = 4;    // members of a part object

// clang-format off
enum class TopKey { Other, SessionId, Cwd, Timestamp, GitBranch, Type, Subtype, SystemPayload, Message };
enum class PayloadKey { Other, ParentSessionId, SourceType, SourceId, Engine, DisplayText };

// Matched by length first, then by bytes.
TopKey classifyTopKey(std::string_view key) {
    switch (key.size()) {
        case 3: return key == "cwd" ? TopKey::Cwd : TopKey::Other;
        case 4: return key == "type" ? TopKey::Type : TopKey::Other;
        case 7:
            if (key == "subtype") return TopKey::Subtype;
            if (key == "message") return TopKey::Message;
            return TopKey::Other;
        case 9:
            if (key == "sessionId") return TopKey::SessionId;
            if (key == "timestamp") return TopKey::Timestamp;
            if (key == "gitBranch") return TopKey::GitBranch;
            return TopKey::Other;
        case 13: return key == "systemPayload" ? TopKey::SystemPayload : TopKey::Other;
        default: return TopKey::Other;
    }
}

PayloadKey classifyPayloadKey(std::string_view key) {
    switch (key.size()) {
        case 6: return key == "engine" ? PayloadKey::Engine : PayloadKey::Other;
        case 8: return key == "sourceId" ? PayloadKey::SourceId : PayloadKey::Other;
        case 10: return key == "sourceType" ? PayloadKey::SourceType : PayloadKey::Other;
        case 11: return key == "displayText" ? PayloadKey::DisplayText : PayloadKey::Other;
        case 15: return key == "parentSessionId" ? PayloadKey::ParentSessionId : PayloadKey::Other;
        default: return PayloadKey::Other;
    }
}
// clang-format on

// A string value replaces field; any other value clears it and is skipped.
bool readStringMember(JsonCursor& cursor, RecordString& field, unsigned depth) {
    if (nextIs(cursor, '"')) {
        std::string_view plain;
        if (takePlainString(cursor, plain)) {
            field.makePresent().assign(plain);
            return true;
        }
        return readStringInto(cursor, field.makePresent());
    }
    field.makeAbsent();
    return skipMemberValue(cursor, depth);
}

void clearPayload(SystemPayloadFields& payload) {
    payload.parentSessionId.makeAbsent();
    payload.sourceType.makeAbsent();
    payload.sourceId.makeAbsent();
    payload.engine.makeAbsent();
    payload.displayText.makeAbsent();
    payload.hasDisplayText = false;
}

// A fresh record, on the buffers of the old one.
void clearRecord(RecordFields& fields) {
    fields.sessionId.makeAbsent();
    fields.cwd.makeAbsent();
    fields.timestamp.makeAbsent();
    fields.gitBranch.makeAbsent();
    fields.type.makeAbsent();
    fields.subtype.makeAbsent();
    clearPayload(fields.systemPayload);
    fields.messageText.makeAbsent();
    fields.gitBranchNonString = false;
    fields.hasSubtype = false;
    fields.partTextNonString = false;
}

// The object replaces the payload whole, so it is read into a cleared one.
bool readSystemPayload(JsonCursor& cursor, std::string& keys, SystemPayloadFields& payload) {
    clearPayload(payload);
    return walkObject(cursor, keys, [&](std::string_view key) {
        switch (classifyPayloadKey(key)) {
            case PayloadKey::ParentSessionId:
                return readStringMember(cursor, payload.parentSessionId, NESTED_MEMBER_DEPTH);
            case PayloadKey::SourceType:
                return readStringMember(cursor, payload.sourceType, NESTED_MEMBER_DEPTH);
            case PayloadKey::SourceId:
                return readStringMember(cursor, payload.sourceId, NESTED_MEMBER_DEPTH);
            case PayloadKey::Engine:
                return readStringMember(cursor, payload.engine, NESTED_MEMBER_DEPTH);
            case PayloadKey::DisplayText:
                payload.hasDisplayText = true;
                return readStringMember(cursor, payload.displayText, NESTED_MEMBER_DEPTH);
            case PayloadKey::Other:
                break;
        }
        return skipMemberValue(cursor, NESTED_MEMBER_DEPTH);
    });
}

// The part-text search of one message object. The first part object with a "text"
// member decides; every later element is only skipped. text is the record's
// messageText, cleared when the message object starts: the object's result replaces
// it whole.
struct PartSearch {
    RecordString& text;
    bool nonString = false;
    bool decided = false;
};

bool readPartObject(JsonCursor& cursor, std::string& keys, PartSearch& search) {
    return walkObject(cursor, keys, [&](std::string_view key) {
        if (key != "text") return skipMemberValue(cursor, PART_MEMBER_DEPTH);
        search.decided = true;
        if (nextIs(cursor, '"')) return readStringInto(cursor, search.text.makePresent());
        search.nonString = true;
        return skipMemberValue(cursor, PART_MEMBER_DEPTH);
    });
}

// The cursor stands just after the opening bracket of a "parts" array.
bool readParts(JsonCursor& cursor, std::string& keys, PartSearch& search) {
    skipJsonWhitespace(cursor);
    if (consume(cursor, ']')) return true;
    for (;;) {
        skipJsonWhitespace(cursor);
        if (!search.decided && consume(cursor, '{')) {
            if (!readPartObject(cursor, keys, search)) return false;
        } else if (!skipMemberValue(cursor, PART_DEPTH)) {
            return false;
        }
        skipJsonWhitespace(cursor);
        if (consume(cursor, ',')) continue;
        return consume(cursor, ']');
    }
}

bool readMessage(JsonCursor& cursor, std::string& keys, RecordFields& fields) {
    fields.messageText.makeAbsent();
    PartSearch search{fields.messageText};
    const bool read = walkObject(cursor, keys, [&](std::string_view key) {
        if (key == "parts" && consume(cursor, '[')) return readParts(cursor, keys, search);
        return skipMemberValue(cursor, NESTED_MEMBER_DEPTH);
    });
    fields.partTextNonString = search.nonString;
    return read;
}

bool readTopMember(JsonCursor& cursor, std::string& keys, std::string_view key,
                   RecordFields& fields) {
    switch (classifyTopKey(key)) {
        case TopKey::SessionId:
            return readStringMember(cursor, fields.sessionId, TOP_MEMBER_DEPTH);
        case TopKey::Cwd:
            return readStringMember(cursor, fields.cwd, TOP_MEMBER_DEPTH);
        case TopKey::Timestamp:
            return readStringMember(cursor, fields.timestamp, TOP_MEMBER_DEPTH);
        case TopKey::Type:
            return readStringMember(cursor, fields.type, TOP_MEMBER_DEPTH);
        case TopKey::GitBranch:
            fields.gitBranchNonString = !nextIs(cursor, '"');
            return readStringMember(cursor, fields.gitBranch, TOP_MEMBER_DEPTH);
        case TopKey::Subtype:
            fields.hasSubtype = true;
            return readStringMember(cursor, fields.subtype, TOP_MEMBER_DEPTH);
        case TopKey::SystemPayload:
            if (consume(cursor, '{')) return readSystemPayload(cursor, keys, fields.systemPayload);
            clearPayload(fields.systemPayload);
            return skipMemberValue(cursor, TOP_MEMBER_DEPTH);
        case TopKey::Message:
            if (consume(cursor, '{')) return readMessage(cursor, keys, fields);
            fields.messageText.makeAbsent();
            fields.partTextNonString = false;
            return skipMemberValue(cursor, TOP_MEMBER_DEPTH);
        case TopKey::Other:
            break;
    }
    return skipMemberValue(cursor, TOP_MEMBER_DEPTH);
}

}  // namespace

bool extractRecordFieldsInto(std::string_view line, RecordFields& fields) {
    // Each thread keeps its index storage and key buffer from line to line.
    thread_local std::vector<StringBlock> indexStorage;
    thread_local std::string keys;
    const std::optional<StringIndex> strings = indexStrings(line, indexStorage);
    JsonCursor cursor{line.data(), line.size(), 0, strings ? &*strings : nullptr};
    skipJsonWhitespace(cursor);
    if (!consume(cursor, '{')) return false;
    clearRecord(fields);
    const bool read = walkObject(cursor, keys, [&](std::string_view key) {
        return readTopMember(cursor, keys, key, fields);
    });
    if (!read) return false;
    skipJsonWhitespace(cursor);
    return atEnd(cursor);
}

std::optional<RecordFields> extractRecordFields(std::string_view line) {
    RecordFields fields;
    if (!extractRecordFieldsInto(line, fields)) return std::nullopt;
    return fields;
}

}  // namespace orva
