// Swaps the file between openRegularFile's status query and its open, through the
// test-only hook of the orva_file_access_hooked build, and checks that the swapped-in
// file is never read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file_access.h"
#include "file_access_hooks.h"
#include "file_test_support.h"
#include "head_scan.h"
#include "session_scan.h"

namespace orva {
namespace {

using testing::openDescriptors;
using testing::TempDir;

constexpr std::string_view NAME = "00000000-0000-4000-8000-000000000001.jsonl";
constexpr std::string_view OWN_RECORD = R"({"sessionId":"own","cwd":"/own"})"
                                        "\n";
constexpr std::string_view OTHER_RECORD = R"({"sessionId":"other","cwd":"/other"})"
                                          "\n";

// The swap to run inside the window, and how many times the window was reached.
std::function<void(const std::string&)> swap;
int windowsReached = 0;

void runSwap(const std::string& path) {
    ++windowsReached;
    if (swap) swap(path);
}

class RaceWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        windowsReached = 0;
        hooks::betweenStatusAndOpen = runSwap;
        dir.write(NAME, OWN_RECORD);
        dir.write("other", OTHER_RECORD);
    }
    void TearDown() override {
        hooks::betweenStatusAndOpen = nullptr;
        swap = nullptr;
    }
    std::string path() const { return dir / NAME; }

    TempDir dir;
};

struct SwapCase {
    const char* what;
    std::function<void(const TempDir&, const std::string&)> swap;
};

std::vector<SwapCase> swapCases() {
    return {
        {"another regular file renamed onto the name",
         [](const TempDir& d, const std::string& path) {
             ASSERT_EQ(::rename((d / "other").c_str(), path.c_str()), 0);
         }},
        {"a symbolic link to another file renamed onto the name",
         [](const TempDir& d, const std::string& path) {
             ASSERT_EQ(::symlink((d / "other").c_str(), (d / "link").c_str()), 0);
             ASSERT_EQ(::rename((d / "link").c_str(), path.c_str()), 0);
         }},
        {"the file deleted",
         [](const TempDir&, const std::string& path) { ASSERT_EQ(::unlink(path.c_str()), 0); }},
        {"a FIFO without a writer renamed onto the name",
         [](const TempDir& d, const std::string& path) {
             ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0644), 0);
             ASSERT_EQ(::rename((d / "fifo").c_str(), path.c_str()), 0);
         }},
        {"a directory put in its place",
         [](const TempDir&, const std::string& path) {
             ASSERT_EQ(::unlink(path.c_str()), 0);
             ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
         }},
    };
}

TEST_F(RaceWindow, HookIsReachedAndAnUntouchedFileOpens) {
    const OpenOutcome outcome = openRegularFile(path());
    EXPECT_EQ(windowsReached, 1);
    EXPECT_EQ(outcome.verdict, OpenVerdict::Opened);
}

TEST(RaceWindowCases, EverySwapIsSkipAndNeverShowsTheOtherFile) {
    for (const SwapCase& c : swapCases()) {
        for (const bool throughHeadScan : {false, true}) {
            SCOPED_TRACE(std::string(c.what) +
                         (throughHeadScan ? " (scanHead)" : " (openRegularFile)"));
            TempDir dir;
            dir.write(NAME, OWN_RECORD);
            dir.write("other", OTHER_RECORD);
            windowsReached = 0;
            swap = [&](const std::string& path) { c.swap(dir, path); };
            hooks::betweenStatusAndOpen = runSwap;
            const auto before = openDescriptors();

            if (throughHeadScan) {
                std::vector<char> buffer;
                buffer.reserve(HEAD_WINDOW);
                const ProjectIdEntry entry = scanHead(dir.path(), std::string(NAME), buffer);
                EXPECT_EQ(statusText(entry.status), "skip");
                EXPECT_FALSE(entry.sessionId.has_value());
                EXPECT_FALSE(entry.cwd.has_value());
                EXPECT_EQ(entry.name, NAME);
            } else {
                const OpenOutcome outcome = openRegularFile(dir / NAME);
                EXPECT_EQ(outcome.verdict, OpenVerdict::Skip);
                EXPECT_FALSE(outcome.fd);
            }
            hooks::betweenStatusAndOpen = nullptr;
            swap = nullptr;
            EXPECT_EQ(windowsReached, 1);
            EXPECT_EQ(openDescriptors(), before);
        }
    }
}

// The same swaps after a file's early open (read-ahead) and before its reads: the
// reads go to the file that was opened, so the scan never shows the other file's
// bytes. The catalog's change check sees the unlinked file's new status-change
// time and gives "fallback"; the head scan reads the content the file had.
TEST(RaceWindowCases, SwapAfterTheEarlyOpenNeverShowsTheOtherFile) {
    const std::string own = R"({"sessionId":"own","cwd":"/own","timestamp":"t"})"
                            "\n";
    const std::string other = R"({"sessionId":"other","cwd":"/other","timestamp":"t"})"
                              "\n";
    for (const SwapCase& c : swapCases()) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir / NAME;
        const auto before = openDescriptors();
        {
            dir.write(NAME, own);
            dir.write("other", other);
            PreparedChat prepared = prepareChatFile(path);
            ASSERT_EQ(prepared.opened.verdict, OpenVerdict::Opened);
            c.swap(dir, path);
            std::vector<char> buffer;
            const CatalogEntry entry =
                scanPreparedSessionFile(dir.path(), path, ChatFile{std::string(NAME), 1.0},
                                        std::move(prepared), {}, buffer);
            EXPECT_EQ(statusText(entry.status), "fallback");
            EXPECT_FALSE(entry.sessionId.has_value());
        }
        {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
            dir.write(NAME, own);
            dir.write("other", other);
            PreparedHead prepared = prepareHeadFile(path);
            ASSERT_EQ(prepared.opened.verdict, OpenVerdict::Opened);
            c.swap(dir, path);
            std::vector<char> buffer;
            const ProjectIdEntry entry =
                scanPreparedHead(path, std::string(NAME), std::move(prepared), buffer);
            EXPECT_EQ(statusText(entry.status), "ok");
            EXPECT_EQ(entry.sessionId, "own");
            EXPECT_EQ(entry.cwd, "/own");
        }
        EXPECT_EQ(openDescriptors(), before);
    }
}

}  // namespace
}  // namespace orva
