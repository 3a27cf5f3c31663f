#include "chat_listing.h"

#include <dirent.h>

#include <cerrno>

namespace orva {

// Provisional until the listing lands: opens the directory for the right
// missing/failed verdicts and selects no file.
namespace {
ListingResult openVerdict(const std::string& chatsDir, int& error) {
    DIR* dir = ::opendir(chatsDir.c_str());
    if (dir == nullptr) {
        error = errno;
        return error == ENOENT ? ListingResult::DirectoryMissing : ListingResult::OpenFailed;
    }
    ::closedir(dir);
    return ListingResult::Listed;
}
}  // namespace

bool isSessionFileName(std::string_view) { return false; }

CatalogListing listCatalogFiles(const std::string& chatsDir, std::optional<double>, bool,
                                std::uint64_t) {
    CatalogListing listing;
    listing.result = openVerdict(chatsDir, listing.error);
    return listing;
}

ProjectListing listProjectFiles(const std::string& chatsDir, std::uint64_t) {
    ProjectListing listing;
    listing.result = openVerdict(chatsDir, listing.error);
    return listing;
}

}  // namespace orva
