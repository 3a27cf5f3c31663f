// Listing and selection of the chat directory's files, done once per run before
// any file is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace orva {

// The suffix of a chat file's name.
inline constexpr std::string_view SESSION_SUFFIX = ".jsonl";
// The suffix of a title sidecar: the session id followed by it names the sidecar
// of that session's chat file.
inline constexpr std::string_view SIDECAR_SUFFIX = ".title.json";

// One selected chat file of scan-catalog.
struct ChatFile {
    std::string name;  // a name inside the chat directory, not a path
    double mtimeMs;    // milliseconds since the epoch, negative before it
};

// Whole names of the entries that end in ".title.json"; exact byte equality.
using SidecarNameSet = std::unordered_set<std::string>;

// 38 to 42 bytes, ".jsonl" suffix, a stem of ASCII hex digits and '-' only.
bool isSessionFileName(std::string_view name);

// A modification time (whole seconds since the epoch, nanoseconds 0..999999999) in
// milliseconds. A time before the epoch is the distance up to it, negated, so
// that half a second before it is exactly -500.
double mtimeMsOf(std::int64_t seconds, std::int64_t nanoseconds);

// Outcome of opening the chat directory: missing (ENOENT) is not an error.
enum class ListingResult { Listed, DirectoryMissing, OpenFailed };

struct CatalogListing {
    ListingResult result = ListingResult::Listed;
    int error = 0;                // errno of the failed open, for OpenFailed
    std::vector<ChatFile> files;  // newest first, filtered by the cursor, capped
    SidecarNameSet sidecarNames;
    bool truncated = false;
};

struct ProjectListing {
    ListingResult result = ListingResult::Listed;
    int error = 0;
    std::vector<std::string> names;  // byte order, capped
};

// One pass over the directory: ".title.json" names go to sidecarNames without a
// status call; session names are stated without following links, links dropped.
CatalogListing listCatalogFiles(const std::string& chatsDir, std::optional<double> cursorMtime,
                                bool cursorInclusive, std::uint64_t maxFiles);

// Session names only, whatever their type; no status call, no cursor, no flag.
ProjectListing listProjectFiles(const std::string& chatsDir, std::uint64_t maxFiles);

}  // namespace orva
