// Extraction of the known members of one chat record (one JSON object per line)
// in a single forward pass.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "optional_string.h"

namespace orva {

// An optional string of a record: an OptionalString, and used as one, that keeps its
// buffer while it is absent, so that a record decoded into again and again reuses
// the capacity of every string it ever held.
class RecordString : public OptionalString {
  public:
    using OptionalString::OptionalString;
    using OptionalString::operator=;

    // Absent, keeping the buffer for a later value.
    void makeAbsent() {
        if (!has_value()) return;
        spare_ = std::move(**this);
        reset();
    }
    // Present and empty, on the buffer of an earlier value where there was one.
    std::string& makePresent() {
        if (!has_value()) emplace(std::move(spare_));
        (**this).clear();
        return **this;
    }

    // Compared as OptionalStrings are; the spare buffer is no part of the value. (The
    // comparisons of std::optional alone would be ambiguous for a class derived from it.)
    friend bool operator==(const RecordString& a, const RecordString& b) {
        return static_cast<const OptionalString&>(a) == static_cast<const OptionalString&>(b);
    }
    friend bool operator==(const RecordString& a, const OptionalString& b) {
        return static_cast<const OptionalString&>(a) == b;
    }
    template <typename Text>
    requires std::is_convertible_v<const Text&, std::string_view>
    friend bool operator==(const RecordString& a, const Text& text) {
        return a.has_value() && std::string_view(*a) == std::string_view(text);
    }

  private:
    std::string spare_;
};

struct SystemPayloadFields {
    RecordString parentSessionId;
    RecordString sourceType;
    RecordString sourceId;
    RecordString engine;
    RecordString displayText;
    bool hasDisplayText = false;

    bool operator==(const SystemPayloadFields&) const = default;
};

struct RecordFields {
    RecordString sessionId;
    RecordString cwd;
    RecordString timestamp;
    RecordString gitBranch;
    RecordString type;
    RecordString subtype;
    SystemPayloadFields systemPayload;
    RecordString messageText;
    bool gitBranchNonString = false;
    bool hasSubtype = false;
    bool partTextNonString = false;

    bool operator==(const RecordFields&) const = default;
};

// line is already trimmed of ASCII whitespace and not empty. Absent when the line
// is not exactly one well-formed JSON object.
std::optional<RecordFields> extractRecordFields(std::string_view line);

// The same extraction into fields, replacing everything it held: on success fields is
// what extractRecordFields gives, and its strings reuse the buffers they had, so a
// caller that keeps its records from line to line and file to file allocates only
// for strings longer than any before in the same place. False when the line is not
// one well-formed object; fields then holds anything.
bool extractRecordFieldsInto(std::string_view line, RecordFields& fields);

}  // namespace orva
