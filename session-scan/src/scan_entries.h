// The result records of the two per-file workers and their status values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "optional_string.h"

namespace orva {

enum class EntryStatus { Ok, Skip, Fallback };

constexpr std::string_view statusText(EntryStatus status) {
    switch (status) {
        case EntryStatus::Ok:
            return "ok";
        case EntryStatus::Skip:
            return "skip";
        case EntryStatus::Fallback:
            return "fallback";
    }
    return "fallback";
}

// One chat file of scan-catalog. For a status other than Ok only name, mtimeMs and
// status are written; the session fields are then ignored.
struct CatalogEntry {
    std::string name;
    OptionalString sessionId;
    OptionalString cwd;
    OptionalString startTime;
    OptionalString gitBranch;
    OptionalString promptText;
    OptionalString parentSessionId;
    OptionalString sourceType;
    OptionalString sourceId;
    OptionalString customTitle;
    OptionalString titleSource;
    OptionalString sidecarDisplayName;  // the titleSidecar object is written only when
    OptionalString sidecarSource;       // both of these are present
    EntryStatus status = EntryStatus::Skip;
    double mtimeMs = 0.0;
};

// One chat file of scan-project-ids.
struct ProjectIdEntry {
    std::string name;
    OptionalString sessionId;
    OptionalString cwd;
    EntryStatus status = EntryStatus::Skip;
};

}  // namespace orva
