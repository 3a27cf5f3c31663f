#include "chat_listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>

#include "file_access.h"
#include "text.h"

namespace orva {

namespace {

constexpr std::size_t MIN_SESSION_NAME = 38;
constexpr std::size_t MAX_SESSION_NAME = 42;

constexpr bool isStemByte(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-';
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// The directory opened for one listing pass, or the verdict on its open failure.
struct OpenedDir {
    DirHandle dir;
    ListingResult result = ListingResult::Listed;
    int error = 0;
};

OpenedDir openChatDir(const std::string& chatsDir) {
    OpenedDir opened;
    opened.dir.reset(::opendir(chatsDir.c_str()));
    if (!opened.dir) {
        opened.error = errno;
        opened.result =
            opened.error == ENOENT ? ListingResult::DirectoryMissing : ListingResult::OpenFailed;
    }
    return opened;
}

// Calls visit(name) for every entry in the order the kernel returns them; name
// views d_name and so is NUL-terminated. A read error ends the pass: the stream
// cannot be advanced past it, and asking again would fail the same way forever.
template <class Visit>
void forEachEntry(DIR* dir, Visit visit) {
    while (const dirent* entry = ::readdir(dir)) visit(std::string_view(entry->d_name));
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Whole seconds and nanoseconds, both counted away from the epoch.
double millisecondsOf(std::uint64_t seconds, std::uint64_t nanoseconds) {
    return static_cast<double>(seconds) * 1000.0 + static_cast<double>(nanoseconds) / 1000000.0;
}

bool newerFirst(const ChatFile& a, const ChatFile& b) {
    if (a.mtimeMs != b.mtimeMs) return a.mtimeMs > b.mtimeMs;
    return a.name < b.name;
}

// Sorts items by less and keeps the first limit of them; only those are fully
// ordered, which is all the cap needs.
template <class T, class Less>
void sortAndCap(std::vector<T>& items, std::uint64_t limit, Less less) {
    if (limit < items.size()) {
        const auto keep = static_cast<std::ptrdiff_t>(limit);
        std::nth_element(items.begin(), items.begin() + keep, items.end(), less);
        items.resize(static_cast<std::size_t>(limit));
    }
    std::sort(items.begin(), items.end(), less);
}

}  // namespace

bool isSessionFileName(std::string_view name) {
    if (name.size() < MIN_SESSION_NAME || name.size() > MAX_SESSION_NAME) return false;
    if (!endsWith(name, SESSION_SUFFIX)) return false;
    const std::string_view stem = name.substr(0, name.size() - SESSION_SUFFIX.size());
    return std::all_of(stem.begin(), stem.end(), isStemByte);
}

double mtimeMsOf(std::int64_t seconds, std::int64_t nanoseconds) {
    constexpr std::uint64_t NS_PER_SECOND = 1000000000;
    if (seconds >= 0) {
        return millisecondsOf(static_cast<std::uint64_t>(seconds),
                              static_cast<std::uint64_t>(nanoseconds));
    }
    // Before the epoch: the distance up to it, negated. -(seconds + 1) cannot
    // overflow, unlike -seconds.
    std::uint64_t distanceSeconds = static_cast<std::uint64_t>(-(seconds + 1));
    std::uint64_t distanceNanos = NS_PER_SECOND - static_cast<std::uint64_t>(nanoseconds);
    if (distanceNanos == NS_PER_SECOND) {
        distanceNanos = 0;
        ++distanceSeconds;
    }
    return -millisecondsOf(distanceSeconds, distanceNanos);
}

CatalogListing listCatalogFiles(const std::string& chatsDir, std::optional<double> cursorMtime,
                                bool cursorInclusive, std::uint64_t maxFiles) {
    CatalogListing listing;
    OpenedDir opened = openChatDir(chatsDir);
    listing.result = opened.result;
    listing.error = opened.error;
    if (!opened.dir) return listing;

    // Entries are stated by the path the workers will open, so that one the kernel
    // cannot reach by that path (too long, say) is dropped here like a vanished file.
    // One path buffer serves every entry.
    std::string path = joinPath(chatsDir, "");
    const std::size_t dirLength = path.size();
    forEachEntry(opened.dir.get(), [&](std::string_view name) {
        if (endsWith(name, SIDECAR_SUFFIX)) {
            if (isValidUtf8(name)) listing.sidecarNames.emplace(name);
            return;
        }
        // A session name is ASCII, so passing this test also proves it is UTF-8.
        if (!isSessionFileName(name)) return;
        struct stat status;
        path.resize(dirLength);
        path.append(name);
        if (::lstat(path.c_str(), &status) != 0) return;
        if (S_ISLNK(status.st_mode)) return;
        listing.files.push_back(
            {std::string(name), mtimeMsOf(status.st_mtim.tv_sec, status.st_mtim.tv_nsec)});
    });

    if (cursorMtime) {
        const double cursor = *cursorMtime;
        // Written as "keep" so that a NaN cursor, which compares false, keeps nothing.
        std::erase_if(listing.files, [&](const ChatFile& file) {
            return !(cursorInclusive ? file.mtimeMs <= cursor : file.mtimeMs < cursor);
        });
    }
    listing.truncated = listing.files.size() > maxFiles;
    sortAndCap(listing.files, maxFiles, newerFirst);
    return listing;
}

ProjectListing listProjectFiles(const std::string& chatsDir, std::uint64_t maxFiles) {
    ProjectListing listing;
    OpenedDir opened = openChatDir(chatsDir);
    listing.result = opened.result;
    listing.error = opened.error;
    if (!opened.dir) return listing;

    forEachEntry(opened.dir.get(), [&](std::string_view name) {
        if (isSessionFileName(name)) listing.names.emplace_back(name);
    });
    sortAndCap(listing.names, maxFiles, std::less<std::string>());
    return listing;
}

}  // namespace orva
