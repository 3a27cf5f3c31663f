// The reader as it stood before its block scanners handled escapes and non-ASCII
// bytes, kept unchanged but for its namespace: the fuzzer compares the reader with it
// byte for byte, and the reader benchmark measures it beside the reader.
// Extraction of the known members of one chat record (one JSON object per line)
// in a single forward pass.
#pragma once

#include <optional>
#include <string_view>

#include <string>

namespace orva::baseline {

using OptionalString = std::optional<std::string>;

struct SystemPayloadFields {
    OptionalString parentSessionId;
    OptionalString sourceType;
    OptionalString sourceId;
    OptionalString engine;
    OptionalString displayText;
    bool hasDisplayText = false;

    bool operator==(const SystemPayloadFields&) const = default;
};

struct RecordFields {
    OptionalString sessionId;
    OptionalString cwd;
    OptionalString timestamp;
    OptionalString gitBranch;
    OptionalString type;
    OptionalString subtype;
    SystemPayloadFields systemPayload;
    OptionalString messageText;
    bool gitBranchNonString = false;
    bool hasSubtype = false;
    bool partTextNonString = false;

    bool operator==(const RecordFields&) const = default;
};

// line is already trimmed of ASCII whitespace and not empty. Absent when the line
// is not exactly one well-formed JSON object.
std::optional<RecordFields> extractRecordFields(std::string_view line);

}  // namespace orva::baseline
