// The read-ahead advises the kernel of exactly the windows that the scans read (the
// files are fewer than ADVICE_CHECK_INTERVAL per thread, so that advice is given
// even though they are in the page cache):
// every range given to POSIX_FADV_WILLNEED and every range read, logged per file
// through the test-only hooks of the orva_file_access_hooked build, while the two
// workers run through the pool as the driver runs them.
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "chat_listing.h"
#include "file_access_hooks.h"
#include "file_test_support.h"
#include "head_scan.h"
#include "session_scan.h"
#include "worker_pool.h"

namespace orva {
namespace {

using testing::chatFileName;
using testing::TempDir;
using Ranges = std::vector<std::pair<std::int64_t, std::size_t>>;

struct Log {
    std::mutex lock;
    std::map<ino_t, Ranges> advised;
    std::map<ino_t, Ranges> read;

    void add(std::map<ino_t, Ranges>& into, int fd, std::int64_t offset, std::size_t length) {
        struct stat status {};
        ASSERT_EQ(::fstat(fd, &status), 0);
        const std::lock_guard<std::mutex> held(lock);
        into[status.st_ino].emplace_back(offset, length);
    }
};
Log* log = nullptr;

class AdviceLog : public ::testing::Test {
  protected:
    void SetUp() override {
        log = &entries;
        hooks::onAdvise = [](int fd, std::int64_t offset, std::size_t length) {
            log->add(log->advised, fd, offset, length);
        };
        hooks::onRead = [](int fd, std::int64_t offset, std::size_t length) {
            log->add(log->read, fd, offset, length);
        };
    }
    void TearDown() override {
        hooks::onAdvise = nullptr;
        hooks::onRead = nullptr;
        log = nullptr;
    }
    static ino_t inodeOf(const std::string& path) {
        struct stat status {};
        EXPECT_EQ(::stat(path.c_str(), &status), 0);
        return status.st_ino;
    }
    static Ranges sorted(Ranges ranges) {
        std::sort(ranges.begin(), ranges.end());
        return ranges;
    }

    Log entries;
};

// Chat files of every read shape, each a session that reaches its last read: a
// prompt and a source record up front, blank lines after them; the two smallest
// hold a blank line only.
const std::size_t SIZES[] = {1,      100,    65535,  65536,   65537,  100000,
                             131072, 131073, 200000, 3 << 20, 6 << 20};

std::string chatOfSize(std::size_t n, std::size_t size) {
    std::string content =
        R"({"type":"user","sessionId":")" + chatFileName(n).substr(0, 36) +
        R"(","cwd":"/w","timestamp":"t","message":{"parts":[{"text":"p"}]}})"
        "\n"
        R"({"type":"system","subtype":"session_source","systemPayload":{"sourceType":"cli"}})"
        "\n";
    if (size < content.size()) return std::string(size - 1, ' ') + "\n";
    while (content.size() < size) {
        content += std::string(std::min<std::size_t>(size - content.size(), 1000) - 1, ' ') + "\n";
    }
    return content;
}

TEST_F(AdviceLog, CatalogAdvisesExactlyTheWindowsItReads) {
    TempDir dir;
    std::vector<std::string> paths;
    for (std::size_t n = 0; n < std::size(SIZES); ++n)
        paths.push_back(dir.write(chatFileName(n), chatOfSize(n, SIZES[n])));
    // A sidecar is read at its file's turn and never advised.
    const std::string sidecar =
        dir.write(chatFileName(2).substr(0, 36) + std::string(SIDECAR_SUFFIX),
                  R"({"version":1,"displayName":"Side","source":"auto"})");
    const CatalogListing listing = listCatalogFiles(dir.path(), std::nullopt, false, 100);
    auto pool = runWorkers(std::span<const ChatFile>(listing.files), 2, DEFAULT_READ_AHEAD,
                           CatalogWorker{dir.path(), listing.sidecarNames});
    std::size_t ok = 0;
    for (const auto& chunk : pool.chunks) {
        for (std::size_t i = 0; i < chunk.results.size(); ++i)
            ok += chunk.results.status(i) == EntryStatus::Ok;
    }
    EXPECT_EQ(ok, std::size(SIZES) - 2);  // all but the two files too small for a record

    for (std::size_t n = 0; n < paths.size(); ++n) {
        const ino_t inode = inodeOf(paths[n]);
        SCOPED_TRACE(std::to_string(SIZES[n]) + " bytes");
        EXPECT_FALSE(entries.read[inode].empty());
        EXPECT_EQ(sorted(entries.advised[inode]), sorted(entries.read[inode]));
    }
    EXPECT_EQ(entries.read[inodeOf(sidecar)].size(), 1U);
    EXPECT_TRUE(entries.advised[inodeOf(sidecar)].empty());
}

TEST_F(AdviceLog, HeadScanAdvisesExactlyTheWindowItReads) {
    TempDir dir;
    std::vector<std::string> names;
    std::vector<std::string> paths;
    for (std::size_t n = 0; n < std::size(SIZES); ++n) {
        names.push_back(chatFileName(n));
        paths.push_back(dir.write(names.back(), chatOfSize(n, SIZES[n])));
    }
    auto pool = runWorkers(std::span<const std::string>(names), 2, DEFAULT_READ_AHEAD,
                           HeadWorker{dir.path()});
    ASSERT_TRUE(pool.faults.empty());
    for (std::size_t n = 0; n < paths.size(); ++n) {
        const ino_t inode = inodeOf(paths[n]);
        SCOPED_TRACE(std::to_string(SIZES[n]) + " bytes");
        const Ranges window = {{0, std::min<std::size_t>(SIZES[n], HEAD_WINDOW)}};
        EXPECT_EQ(entries.read[inode], window);
        EXPECT_EQ(entries.advised[inode], window);
    }
}

}  // namespace
}  // namespace orva
