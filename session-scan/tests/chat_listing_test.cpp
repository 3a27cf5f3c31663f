// Listing and selection over real temporary directories.
#include "chat_listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "file_test_support.h"

namespace orva {
namespace {

using testing::chatFileName;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

constexpr std::uint64_t ALL = std::numeric_limits<std::uint64_t>::max();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

class ChatDir : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    void file(const std::string& name) {
        const int fd = ::open(path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << name << ": " << std::strerror(errno);
        ::close(fd);
    }
    // A file whose modification time is seconds + nanoseconds since the epoch.
    void fileAt(const std::string& name, std::int64_t seconds, long nanoseconds = 0) {
        file(name);
        setTime(name, seconds, nanoseconds);
    }
    void fileAtMs(const std::string& name, std::int64_t ms) {
        fileAt(name, ms / 1000, (ms % 1000) * 1000000);
    }
    void setTime(const std::string& name, std::int64_t seconds, long nanoseconds) {
        const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path(name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0)
            << std::strerror(errno);
    }
    void symlink(const std::string& target, const std::string& name) {
        ASSERT_EQ(::symlink(target.c_str(), path(name).c_str()), 0) << std::strerror(errno);
    }
    void subdir(const std::string& name) {
        ASSERT_EQ(::mkdir(path(name).c_str(), 0755), 0) << std::strerror(errno);
    }
    void fifo(const std::string& name) {
        ASSERT_EQ(::mkfifo(path(name).c_str(), 0644), 0) << std::strerror(errno);
    }

    CatalogListing catalog(std::optional<double> cursor = std::nullopt, bool inclusive = false,
                           std::uint64_t maxFiles = ALL) const {
        return listCatalogFiles(dir_, cursor, inclusive, maxFiles);
    }

    testing::TempDir tmp_;
    const std::string& dir_ = tmp_.path();
};

std::vector<std::string> namesOf(const CatalogListing& listing) {
    std::vector<std::string> names;
    for (const ChatFile& file : listing.files) names.push_back(file.name);
    return names;
}

const std::string STEM32 = "0123456789abcdef0123456789abcdef";
const std::string STEM36 = "01234567-89ab-cdef-0123-456789abcdef";

TEST(SessionFileName, Boundaries) {
    struct Case {
        std::string name;
        bool passes;
    };
    const Case cases[] = {
        {STEM32 + ".jsonl", true},             // 38 bytes, the shortest
        {STEM36 + ".jsonl", true},             // 42 bytes, the longest
        {STEM32.substr(1) + ".jsonl", false},  // 31-byte stem
        {STEM36 + "0.jsonl", false},           // 37-byte stem
        {"0123456789ABCDEF0123456789ABCDEF.jsonl", true},
        {"01234567-89AB-cdef-0123-456789ABCDEF.jsonl", true},
        {std::string(32, '-') + ".jsonl", true},  // hyphens anywhere, any number
        {std::string(36, '-') + ".jsonl", true},
        {STEM32 + ".JSONL", false},
        {STEM32 + ".json", false},
        {STEM32 + ".jsonl.tmp", false},
        {"g" + STEM32.substr(1) + ".jsonl", false},
        {"_" + STEM32.substr(1) + ".jsonl", false},
        {"." + STEM32.substr(1) + ".jsonl", false},
        {STEM32.substr(1) + "\xc3\xa9.jsonl", false},  // 32 bytes of stem, one of them non-ASCII
        {STEM32 + ".title.json", false},
        {"", false},
        {".jsonl", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isSessionFileName(c.name), c.passes) << '"' << c.name << '"';
}

TEST(MtimeMs, EitherSideOfTheEpoch) {
    struct Case {
        std::int64_t seconds;
        std::int64_t nanoseconds;
        double ms;
    };
    const Case cases[] = {
        {0, 0, 0.0},
        {1, 0, 1000.0},
        {1700000000, 250000000, 1700000000250.0},
        {-1, 0, -1000.0},
        {-1, 500000000, -500.0},  // half a second before the epoch
        {-2, 500000000, -1500.0},
        // One nanosecond before the epoch: the distance formula gives exactly
        // -0.000001, where -1000 + 999.999999 would carry a rounding error.
        {-1, 999999999, -0.000001},
        {-86400, 0, -86400000.0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(mtimeMsOf(c.seconds, c.nanoseconds), c.ms)
            << c.seconds << "s " << c.nanoseconds << "ns";
    EXPECT_EQ(mtimeMsOf(1700000000, 123456789), 1700000000.0 * 1000.0 + 123456789.0 / 1000000.0);
}

TEST_F(ChatDir, EntryKindsAndNames) {
    const std::string name32 = STEM32 + ".jsonl";
    const std::string name36 = STEM36 + ".jsonl";
    const std::string upper = "0123456789ABCDEF0123456789ABCDEF.jsonl";
    const std::string link = chatFileName(1);
    const std::string dangling = chatFileName(2);
    const std::string directory = chatFileName(3);
    const std::string pipe = chatFileName(4);
    file(name32);
    file(name36);
    file(upper);
    file(STEM32.substr(1) + ".jsonl");
    file(STEM36 + "0.jsonl");
    file(STEM32 + ".JSONL");
    file("g" + STEM32.substr(1) + ".jsonl");
    symlink(name36, link);
    symlink("nowhere", dangling);
    subdir(directory);
    fifo(pipe);
    file(STEM36 + ".title.json");
    file(".title.json");
    subdir("orphan.title.json");
    symlink("nowhere", "dangling.title.json");
    file("\xff\xfe.title.json");  // not UTF-8
    file("notes.txt");

    const CatalogListing listing = catalog();
    EXPECT_EQ(listing.result, ListingResult::Listed);
    EXPECT_THAT(namesOf(listing), UnorderedElementsAre(name32, name36, upper, directory, pipe));
    EXPECT_THAT(listing.sidecarNames,
                UnorderedElementsAre(STEM36 + ".title.json", ".title.json", "orphan.title.json",
                                     "dangling.title.json"));
    EXPECT_FALSE(listing.truncated);

    // The project-id listing makes no status call: links of every kind stay.
    const ProjectListing projects = listProjectFiles(dir_, ALL);
    EXPECT_EQ(projects.result, ListingResult::Listed);
    std::vector<std::string> expected = {name32, name36, upper, link, dangling, directory, pipe};
    std::sort(expected.begin(), expected.end());
    EXPECT_THAT(projects.names, ElementsAreArray(expected));
}

TEST_F(ChatDir, EmptyOrNoMatch) {
    EXPECT_THAT(namesOf(catalog()), IsEmpty());
    file("notes.txt");
    file(STEM32 + ".title.json");
    const CatalogListing listing = catalog(std::nullopt, false, 0);
    EXPECT_EQ(listing.result, ListingResult::Listed);
    EXPECT_THAT(listing.files, IsEmpty());
    EXPECT_FALSE(listing.truncated);
    EXPECT_THAT(listProjectFiles(dir_, ALL).names, IsEmpty());
}

TEST_F(ChatDir, NewestFirstNamesBreakTies) {
    const std::int64_t t = 1700000000;
    fileAt(chatFileName(5), t, 123456789);
    fileAt(chatFileName(4), t, 123456789);
    // One nanosecond later, but the same double of milliseconds: a tie.
    fileAt(chatFileName(3), t, 123456790);
    fileAt(chatFileName(6), t + 1, 0);
    fileAt(chatFileName(2), -1, 500000000);
    fileAt(chatFileName(1), 0, 0);

    ASSERT_EQ(mtimeMsOf(t, 123456789), mtimeMsOf(t, 123456790));

    const CatalogListing listing = catalog();
    EXPECT_THAT(namesOf(listing), ElementsAre(chatFileName(6), chatFileName(3), chatFileName(4),
                                              chatFileName(5), chatFileName(1), chatFileName(2)));
    EXPECT_EQ(listing.files[0].mtimeMs, 1700000001000.0);
    EXPECT_EQ(listing.files[1].mtimeMs, mtimeMsOf(t, 123456789));
    EXPECT_EQ(listing.files[4].mtimeMs, 0.0);
    EXPECT_EQ(listing.files[5].mtimeMs, -500.0);

    // Name order, whatever the times.
    EXPECT_THAT(listProjectFiles(dir_, ALL).names,
                ElementsAre(chatFileName(1), chatFileName(2), chatFileName(3), chatFileName(4),
                            chatFileName(5), chatFileName(6)));
    EXPECT_THAT(listProjectFiles(dir_, 2).names, ElementsAre(chatFileName(1), chatFileName(2)));
    EXPECT_THAT(listProjectFiles(dir_, 0).names, IsEmpty());
}

TEST_F(ChatDir, NanosecondsBeforeTheEpochAsStored) {
    fileAt(chatFileName(1), -1, 999999999);
    struct stat status;
    ASSERT_EQ(::lstat(path(chatFileName(1)).c_str(), &status), 0);
    if (status.st_mtim.tv_sec != -1 || status.st_mtim.tv_nsec != 999999999) {
        GTEST_SKIP() << "this file system does not keep nanosecond times before 1970";
    }
    const CatalogListing listing = catalog();
    ASSERT_EQ(listing.files.size(), 1U);
    EXPECT_EQ(listing.files[0].mtimeMs, -0.000001);
}

// Five files at 1000 to 5000 ms (sessions 1 to 5), through the cursor and the cap.
TEST_F(ChatDir, CursorAndCap) {
    for (unsigned n = 1; n <= 5; ++n) fileAtMs(chatFileName(n), n * 1000);
    struct Case {
        std::optional<double> cursor;
        bool inclusive;
        std::uint64_t maxFiles;
        std::vector<unsigned> sessions;
        bool truncated;
    };
    const Case cases[] = {
        {std::nullopt, false, ALL, {5, 4, 3, 2, 1}, false},
        {std::nullopt, false, 5, {5, 4, 3, 2, 1}, false},
        {std::nullopt, false, 4, {5, 4, 3, 2}, true},
        {4000.0, false, ALL, {3, 2, 1}, false},  // a cursor equal to a file's time leaves it out
        {4000.0, true, ALL, {4, 3, 2, 1}, false},
        {3500.0, false, 3, {3, 2, 1}, false},
        {3500.0, false, 2, {3, 2}, true},
        {3500.0, true, 2, {3, 2}, true},
        {std::nullopt, false, 0, {}, true},
        {1000.0, false, 0, {}, false},  // nothing passed the cursor, so nothing was cut
        {1000.0, true, 0, {}, true},
        {NaN, false, ALL, {}, false},
        {NaN, true, ALL, {}, false},
        {INF, false, ALL, {5, 4, 3, 2, 1}, false},
        {-INF, true, ALL, {}, false},
        {0.0, false, ALL, {}, false},
    };
    for (const Case& c : cases) {
        const CatalogListing listing = catalog(c.cursor, c.inclusive, c.maxFiles);
        std::vector<std::string> expected;
        for (unsigned n : c.sessions) expected.push_back(chatFileName(n));
        EXPECT_THAT(namesOf(listing), ElementsAreArray(expected))
            << "cursor " << c.cursor.value_or(-1) << (c.inclusive ? " inclusive" : "") << " max "
            << c.maxFiles;
        EXPECT_EQ(listing.truncated, c.truncated)
            << "cursor " << c.cursor.value_or(-1) << " max " << c.maxFiles;
    }
}

// The cap selects before it sorts; what it keeps must be the head of the full order.
TEST_F(ChatDir, CapKeepsTheHeadOfTheFullOrder) {
    std::mt19937 random(7);
    for (unsigned n = 0; n < 400; ++n)
        fileAtMs(chatFileName(n), 1000 * static_cast<std::int64_t>(random() % 20));
    const std::vector<std::string> full = namesOf(catalog());
    ASSERT_EQ(full.size(), 400U);
    for (std::uint64_t cap : {0U, 1U, 37U, 399U}) {
        const CatalogListing listing = catalog(std::nullopt, false, cap);
        EXPECT_THAT(namesOf(listing),
                    ElementsAreArray(full.begin(), full.begin() + static_cast<long>(cap)));
        EXPECT_TRUE(listing.truncated);
    }
    const std::vector<std::string> byName = listProjectFiles(dir_, ALL).names;
    EXPECT_TRUE(std::is_sorted(byName.begin(), byName.end()));
    EXPECT_THAT(listProjectFiles(dir_, 37).names,
                ElementsAreArray(byName.begin(), byName.begin() + 37));
}

TEST_F(ChatDir, TrailingSlashListsTheSame) {
    fileAtMs(chatFileName(1), 2000);
    fileAtMs(chatFileName(2), 1000);
    EXPECT_EQ(namesOf(listCatalogFiles(dir_ + "/", std::nullopt, false, ALL)), namesOf(catalog()));
}

// An entry is stated by its path, the directory joined with its name, as the workers
// will open it. A directory that can be listed but whose entries' paths are too long
// for the kernel gives a catalog without them; the project-id listing makes no status
// call and keeps them.
TEST_F(ChatDir, EntryWhosePathCannotBeStatedIsDropped) {
    std::string deep = dir_;
    while (deep.size() + 1 + chatFileName(1).size() < PATH_MAX) {
        deep += "/" + std::string(std::min<std::size_t>(200, PATH_MAX - 1 - deep.size() - 1), 'd');
        ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0) << std::strerror(errno);
    }
    ASSERT_LT(deep.size(), static_cast<std::size_t>(PATH_MAX));
    const int dirFd = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirFd, 0) << std::strerror(errno);
    const int fd = ::openat(dirFd, chatFileName(1).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ::close(dirFd);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ::close(fd);

    const CatalogListing listing = listCatalogFiles(deep, std::nullopt, false, ALL);
    EXPECT_EQ(listing.result, ListingResult::Listed);
    EXPECT_THAT(listing.files, IsEmpty());
    EXPECT_FALSE(listing.truncated);
    EXPECT_THAT(listProjectFiles(deep, ALL).names, ElementsAre(chatFileName(1)));
}

TEST_F(ChatDir, OpenVerdicts) {
    file("plain");
    struct Case {
        std::string dir;
        ListingResult result;
        int error;
    };
    const Case cases[] = {
        {path("missing"), ListingResult::DirectoryMissing, ENOENT},
        {path("missing/deeper"), ListingResult::DirectoryMissing, ENOENT},
        {"", ListingResult::DirectoryMissing, ENOENT},
        {path("plain"), ListingResult::OpenFailed, ENOTDIR},
        {path("plain/deeper"), ListingResult::OpenFailed, ENOTDIR},
    };
    for (const Case& c : cases) {
        const CatalogListing listing = listCatalogFiles(c.dir, std::nullopt, false, ALL);
        EXPECT_EQ(listing.result, c.result) << c.dir;
        EXPECT_EQ(listing.error, c.error) << c.dir;
        const ProjectListing projects = listProjectFiles(c.dir, ALL);
        EXPECT_EQ(projects.result, c.result) << c.dir;
        EXPECT_EQ(projects.error, c.error) << c.dir;
    }
}

}  // namespace
}  // namespace orva
