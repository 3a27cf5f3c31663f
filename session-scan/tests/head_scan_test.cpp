// scanHead over real files: the small- and large-file line rules, the worker's
// buffer, descriptors over thousands of files of every outcome, and scans racing a
// thread that keeps swapping the files.
#include "head_scan.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "file_test_support.h"
#include "worker_pool.h"

namespace orva {
namespace {

using testing::chatFileName;
using testing::makeSocket;
using testing::openDescriptors;
using testing::TempDir;

constexpr std::size_t WINDOW = HEAD_WINDOW;
const std::string RECORD = R"({"sessionId":"s-1","cwd":"/work/app"})";

// A record line of exactly length bytes (length >= 64), padded inside a JSON string.
std::string recordOfLength(std::size_t length) {
    const std::string head = R"({"sessionId":"s-1","cwd":"/work/app","pad":")";
    return head + std::string(length - head.size() - 2, 'p') + "\"}";
}

std::string padTo(std::string text, std::size_t size, char filler = ' ') {
    text.resize(size, filler);
    return text;
}

std::vector<char> workerBuffer() {
    std::vector<char> buffer;
    buffer.reserve(HEAD_WORKER_BUFFER);
    return buffer;
}

struct HeadCase {
    const char* what;
    std::string content;
    EntryStatus status;
    std::optional<std::string> sessionId = std::nullopt;
    std::optional<std::string> cwd = std::nullopt;
};

std::vector<HeadCase> headCases() {
    const std::string blanks = " \t\f\r\n\r\n\n\t \r \f\n";
    const std::string ok = RECORD + "\n";
    return {
        {"empty file", "", EntryStatus::Skip},
        {"blank lines only, small", blanks, EntryStatus::Skip},
        {"blank lines only, small, no final terminator", blanks + "  \t", EntryStatus::Skip},
        {"the same blanks padded to 70000 bytes", padTo(blanks, 70000), EntryStatus::Fallback},
        {"blanks padded to 70000 bytes ending in a line feed", padTo(blanks, 69999) + "\n",
         EntryStatus::Fallback},
        {"a record after 65536 blank bytes", padTo("\n", WINDOW) + ok, EntryStatus::Fallback},
        {"one record with a line feed", ok, EntryStatus::Ok, "s-1", "/work/app"},
        {"one record without a trailing newline", RECORD, EntryStatus::Ok, "s-1", "/work/app"},
        {"CR LF terminated", RECORD + "\r\n", EntryStatus::Ok, "s-1", "/work/app"},
        {"leading blank lines and whitespace around the record",
         "\r\n\n\r\f\t \n \t\f" + RECORD + " \t\f\r\n{}\n", EntryStatus::Ok, "s-1", "/work/app"},
        {"a carriage return alone ends the line", RECORD + "\rnot json", EntryStatus::Ok, "s-1",
         "/work/app"},
        {"a carriage return inside the record splits it",
         R"({"sessionId":"s-1",)"
         "\r"
         R"("cwd":"/w"})"
         "\n",
         EntryStatus::Fallback},
        {"vertical tab is not whitespace", "\v" + ok, EntryStatus::Fallback},
        {"exactly 65536 bytes, one unterminated record", recordOfLength(WINDOW), EntryStatus::Ok,
         "s-1", "/work/app"},
        {"65537 bytes, one unterminated record", recordOfLength(WINDOW + 1), EntryStatus::Fallback},
        {"65537 bytes, record terminated at the window's last byte",
         recordOfLength(WINDOW - 1) + "\n ", EntryStatus::Ok, "s-1", "/work/app"},
        {"large file, record terminated just past the window", recordOfLength(WINDOW) + "\n" + ok,
         EntryStatus::Fallback},
        {"large file, first line longer than 65536 bytes", recordOfLength(70000) + "\n",
         EntryStatus::Fallback},
        {"large file whose first record fits the window", padTo(ok, 200000, 'x'), EntryStatus::Ok,
         "s-1", "/work/app"},
        {"exactly 65536 bytes of blanks", padTo(blanks, WINDOW), EntryStatus::Skip},
        {"65537 bytes of blanks", padTo(blanks, WINDOW + 1), EntryStatus::Fallback},
        {"first line not JSON, later lines valid", "not json\n" + ok + ok, EntryStatus::Fallback},
        {"first line a JSON array", "[1,2]\n" + ok, EntryStatus::Fallback},
        {"first line an object with trailing bytes", RECORD + " x\n", EntryStatus::Fallback},
        {"cwd null",
         R"({"sessionId":"s-1","cwd":null})"
         "\n",
         EntryStatus::Fallback},
        {"cwd missing",
         R"({"sessionId":"s-1"})"
         "\n",
         EntryStatus::Fallback},
        {"sessionId a number",
         R"({"sessionId":7,"cwd":"/w"})"
         "\n",
         EntryStatus::Fallback},
        {"sessionId and cwd empty",
         R"({"sessionId":"","cwd":""})"
         "\n",
         EntryStatus::Ok, "", ""},
        {"only the first record counts",
         R"({"sessionId":"s-1"})"
         "\n" +
             ok,
         EntryStatus::Fallback},
        {"any record type",
         R"({"type":"custom-title","customTitle":"t","sessionId":"a","cwd":"b"})"
         "\n",
         EntryStatus::Ok, "a", "b"},
        {"escaped key and value",
         R"({"sessionId":"s\u002d1","c\u0077d":"/d\u00e9j\u00e0"})"
         "\n",
         EntryStatus::Ok, "s-1", "/d\xc3\xa9j\xc3\xa0"},
        {"the last of duplicate members",
         R"({"sessionId":"a","cwd":"x","cwd":"y"})"
         "\n",
         EntryStatus::Ok, "a", "y"},
    };
}

TEST(ScanHead, StatusAndFieldsByContent) {
    TempDir dir;
    auto buffer = workerBuffer();
    for (const HeadCase& c : headCases()) {
        const std::string name = "case.jsonl";
        dir.write(name, c.content);
        const ProjectIdEntry entry = scanHead(dir.path(), name, buffer);
        EXPECT_EQ(statusText(entry.status), statusText(c.status)) << c.what;
        EXPECT_EQ(entry.name, name);
        EXPECT_EQ(entry.sessionId, c.sessionId) << c.what;
        EXPECT_EQ(entry.cwd, c.cwd) << c.what;
    }
}

TEST(ScanHead, OpenVerdictsBecomeStatuses) {
    TempDir dir;
    dir.write("target", RECORD + "\n");
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link.jsonl").c_str()), 0);
    ASSERT_EQ(::mkdir((dir / "dir.jsonl").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo.jsonl").c_str(), 0644), 0);
    dir.write("plain", "x");
    auto buffer = workerBuffer();
    const std::string dirWithSlash = dir.path() + "/";
    for (const auto& [chatsDir, name, status] :
         {std::tuple{dir.path(), "link.jsonl", "skip"}, std::tuple{dir.path(), "dir.jsonl", "skip"},
          std::tuple{dir.path(), "fifo.jsonl", "skip"},
          std::tuple{dir.path(), "missing.jsonl", "skip"},
          std::tuple{dir / "plain", "x.jsonl", "fallback"},
          std::tuple{dirWithSlash, "target", "ok"}}) {
        const ProjectIdEntry entry = scanHead(chatsDir, name, buffer);
        EXPECT_EQ(statusText(entry.status), status) << name;
        EXPECT_EQ(entry.sessionId.has_value(), entry.status == EntryStatus::Ok) << name;
    }
}

TEST(ScanHead, ReusesTheWorkerBufferWithoutGrowingIt) {
    TempDir dir;
    dir.write("large", padTo(RECORD + "\n", 300000, 'x'));
    dir.write("small", RECORD + "\n");
    dir.write("empty", "");
    dir.write("exact", recordOfLength(WINDOW));
    auto buffer = workerBuffer();
    const char* const storage = buffer.data();
    for (const char* name : {"large", "small", "exact", "empty", "small", "large"}) {
        const ProjectIdEntry entry = scanHead(dir.path(), name, buffer);
        EXPECT_NE(entry.status, EntryStatus::Fallback) << name;
        EXPECT_LE(buffer.size(), WINDOW);
        EXPECT_EQ(buffer.capacity(), HEAD_WORKER_BUFFER) << name;
        EXPECT_EQ(buffer.data(), storage) << name;
    }
    // The buffer only grows, so that it is zeroed once: a smaller read leaves its size.
    scanHead(dir.path(), "small", buffer);
    EXPECT_EQ(buffer.size(), WINDOW);
}

constexpr std::size_t KINDS = 11;
const char* const EXPECTED[KINDS] = {"ok",   "ok",   "skip", "skip", "fallback", "fallback",
                                     "skip", "skip", "skip", "skip", "fallback"};

// files chat files of every outcome, kind i % KINDS of EXPECTED, then one name listed
// but never made: the names in order.
std::vector<std::string> writeEveryOutcome(const TempDir& dir, std::size_t files) {
    dir.write("target", RECORD + "\n");
    const std::string large = padTo(RECORD + "\n", 70000, 'x');
    const std::string largeBlank = padTo("\n", 70000);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < files; ++i) {
        const std::string name = chatFileName(i);
        const std::string path = dir / name;
        switch (i % KINDS) {
            case 0:
                dir.write(name, RECORD + "\n");
                break;
            case 1:
                dir.write(name, large);
                break;
            case 2:
                dir.write(name, "");
                break;
            case 3:
                dir.write(name, "\n \r\n");
                break;
            case 4:
                dir.write(name, "no json\n");
                break;
            case 5:
                dir.write(name, largeBlank);
                break;
            case 6:
                EXPECT_EQ(::symlink("target", path.c_str()), 0);
                break;
            case 7:
                EXPECT_EQ(::mkfifo(path.c_str(), 0644), 0);
                break;
            case 8:
                EXPECT_EQ(::mkdir(path.c_str(), 0755), 0);
                break;
            case 9:
                makeSocket(path);
                break;
            case 10:
                dir.write(name, R"({"sessionId":"x"})"
                                "\n");
                break;
        }
        names.push_back(name);
    }
    names.push_back(chatFileName(files));  // listed, then gone before the open
    return names;
}

// The entries of names as the driver gets them, in order.
std::vector<ProjectIdEntry> scanAll(const TempDir& dir, const std::vector<std::string>& names,
                                    unsigned threads, std::size_t readAhead) {
    auto pool =
        runWorkers(std::span<const std::string>(names), threads, readAhead, HeadWorker{dir.path()});
    EXPECT_TRUE(pool.faults.empty());
    std::vector<ProjectIdEntry> results;
    for (const auto& chunk : pool.chunks) {
        for (std::size_t i = 0; i < chunk.results.size(); ++i) {
            ProjectIdFields fields;
            chunk.results.fields(i, fields);
            ProjectIdEntry& entry = results.emplace_back();
            entry.name = names[chunk.firstFile + i];
            entry.status = chunk.results.status(i);
            if (fields[0]) entry.sessionId = std::string(*fields[0]);
            if (fields[1]) entry.cwd = std::string(*fields[1]);
        }
    }
    return results;
}

std::string describe(const std::vector<ProjectIdEntry>& entries) {
    std::string text;
    for (const ProjectIdEntry& entry : entries) {
        text += entry.name + " " + std::string(statusText(entry.status)) + " " +
                entry.sessionId.value_or("-") + " " + entry.cwd.value_or("-") + "\n";
    }
    return text;
}

// Thousands of files of every outcome, scanned the way the driver does it.
TEST(ScanHead, ThousandsOfFilesOfEveryOutcomeLeaveNoDescriptorOpen) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    constexpr std::size_t FILES = 2200;
    const std::vector<std::string> names = writeEveryOutcome(dir, FILES);
    const auto before = openDescriptors();
    const std::vector<ProjectIdEntry> results = scanAll(dir, names, 8, DEFAULT_READ_AHEAD);
    EXPECT_EQ(openDescriptors(), before);

    ASSERT_EQ(results.size(), names.size());
    for (std::size_t i = 0; i < FILES; ++i) {
        ASSERT_EQ(results[i].name, names[i]);
        ASSERT_EQ(statusText(results[i].status), EXPECTED[i % KINDS]) << names[i];
    }
    EXPECT_EQ(results.back().status, EntryStatus::Skip);
}

// Read-ahead changes when files are opened, never what is read from them: the same
// entries at depth 1, the default depth and a depth beyond every chunk, and when
// no descriptor is left for any early open, so that each file is opened again at
// its turn.
TEST(ScanHead, SameEntriesAtEveryReadAheadDepth) {
    TempDir dir;
    const std::vector<std::string> names = writeEveryOutcome(dir, 120);
    const std::string reference = describe(scanAll(dir, names, 1, 1));
    for (const unsigned threads : {1U, 3U}) {
        for (const std::size_t depth : {std::size_t{1}, DEFAULT_READ_AHEAD, std::size_t{1000}}) {
            EXPECT_EQ(describe(scanAll(dir, names, threads, depth)), reference)
                << threads << " threads, depth " << depth;
        }
    }
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Room for the file at its turn only. New descriptors take the lowest free
    // numbers, so only those open low down count.
    std::size_t open = 0;
    for (const int fd : openDescriptors()) open += fd < 64;
    const rlimit tight = {static_cast<rlim_t>(open + 1), saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const std::vector<ProjectIdEntry> limited = scanAll(dir, names, 1, 16);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(describe(limited), reference);
}

// A thread keeps replacing every chat file with a symbolic link to a foreign file, a
// FIFO, or a fresh copy of its own content, while scans run. Each scan must see the
// file's own record or skip: never the foreign record, never a stall on the FIFO.
TEST(ScanHead, ScansRacingRenamesOnlySeeTheirOwnFileOrSkip) {
    TempDir dir;
    constexpr std::size_t FILES = 8;
    dir.write("foreign", R"({"sessionId":"foreign","cwd":"/foreign"})"
                         "\n");
    auto ownRecord = [](std::size_t i) {
        return R"({"sessionId":"own-)" + std::to_string(i) +
               R"(","cwd":"/own"})"
               "\n";
    };
    std::vector<std::string> names;
    for (std::size_t i = 0; i < FILES; ++i) {
        names.push_back(chatFileName(i));
        dir.write(names[i], ownRecord(i));
    }

    std::atomic<bool> done{false};
    std::thread mutator([&] {
        for (int round = 0; round < 600; ++round) {
            const std::size_t i = static_cast<std::size_t>(round) % FILES;
            const std::string target = dir / names[i];
            const std::string spare = dir / ("spare-" + std::to_string(i));
            switch (round / static_cast<int>(FILES) % 3) {
                case 0:
                    ::symlink((dir / "foreign").c_str(), spare.c_str());
                    break;
                case 1:
                    ::mkfifo(spare.c_str(), 0644);
                    break;
                case 2:
                    break;
            }
            ::rename(spare.c_str(), target.c_str());
            dir.write("spare-" + std::to_string(i), ownRecord(i));
            ::rename(spare.c_str(), target.c_str());
        }
        done = true;
    });

    auto scanAll = [&](std::map<std::string, int>& seen) {
        auto buffer = workerBuffer();
        do {
            for (std::size_t i = 0; i < FILES; ++i) {
                const ProjectIdEntry entry = scanHead(dir.path(), names[i], buffer);
                const bool legal = entry.status == EntryStatus::Skip
                                       ? !entry.sessionId && !entry.cwd
                                       : entry.status == EntryStatus::Ok &&
                                             entry.sessionId == "own-" + std::to_string(i) &&
                                             entry.cwd == "/own";
                if (!legal)
                    ++seen["illegal " + std::string(statusText(entry.status)) + " " +
                           entry.sessionId.value_or("-")];
                ++seen[std::string(statusText(entry.status))];
            }
        } while (!done);
    };
    std::map<std::string, int> seen[3];
    std::thread scanners[3] = {std::thread(scanAll, std::ref(seen[0])),
                               std::thread(scanAll, std::ref(seen[1])),
                               std::thread(scanAll, std::ref(seen[2]))};
    mutator.join();
    for (auto& scanner : scanners) scanner.join();

    for (const auto& counts : seen) {
        for (const auto& [outcome, count] : counts) {
            EXPECT_FALSE(outcome.starts_with("illegal")) << outcome << " x" << count;
        }
    }
}

}  // namespace
}  // namespace orva
