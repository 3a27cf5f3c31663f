// The option grammars, the option walk and the default thread count's arithmetic.
#include "scan_options.h"

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include <gtest/gtest.h>

namespace orva {
namespace {

TEST(ParseCount, Grammar) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> expected;
    } cases[] = {
        {"0", 0},
        {"5", 5},
        {"+4", 4},
        {"0007", 7},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"-3", std::nullopt},
        {"++4", std::nullopt},
        {"4x", std::nullopt},
        {" 4", std::nullopt},
        {"4 ", std::nullopt},
        {"1.0", std::nullopt},
        {"1+1", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseCount(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ParseCursor, Grammar) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* text;
        std::optional<double> expected;
    } cases[] = {
        {"5", 5.0},
        {"5.", 5.0},
        {".5", 0.5},
        {"1.25", 1.25},
        {"+7", 7.0},
        {"-2.5e3", -2500.0},
        {"1E+2", 100.0},
        {"1e-2", 0.01},
        {"1700000000123.4568", 1700000000123.4568},
        {"0.1", 0.1},
        {"inf", inf},
        {"-Infinity", -inf},
        {"INF", inf},
        {"1e999", inf},
        {"-1e999", -inf},
        {"", std::nullopt},
        {".", std::nullopt},
        {"+", std::nullopt},
        {"e5", std::nullopt},
        {"1e", std::nullopt},
        {"1e+", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"0x10", std::nullopt},
        {"1,000", std::nullopt},
        {"nan(123)", std::nullopt},
        {"infinit", std::nullopt},
        {"--1", std::nullopt},
        {"1.2.3", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseCursor(c.text), c.expected) << '"' << c.text << '"';

    for (const char* nan : {"nan", "NaN", "-nan", "+NAN"}) {
        const auto value = parseCursor(nan);
        ASSERT_TRUE(value.has_value()) << nan;
        EXPECT_TRUE(std::isnan(*value)) << nan;
    }
    const auto tiny = parseCursor("-1e-999");
    ASSERT_TRUE(tiny.has_value());
    EXPECT_EQ(*tiny, 0.0);
    EXPECT_TRUE(std::signbit(*tiny));
    // Ties go to even: 2^53 + 1 lies halfway between two doubles.
    EXPECT_EQ(parseCursor("9007199254740993"), 9007199254740992.0);
}

struct WalkResult {
    ScanOptions options;
    std::optional<std::string> unknown;
};

WalkResult walk(std::vector<std::string_view> words) {
    WalkResult result;
    result.options.threads = 9;  // stands for the default
    if (const auto unknown = parseOptionWords(words, result.options)) result.unknown = std::string(*unknown);
    return result;
}

TEST(OptionWalk, ValuesAndClamping) {
    EXPECT_EQ(walk({"--threads", "0"}).options.threads, 1u);
    EXPECT_EQ(walk({"--threads", "100"}).options.threads, 32u);
    EXPECT_EQ(walk({"--threads", "+4"}).options.threads, 4u);
    EXPECT_EQ(walk({"--threads", "99999999999999999999999"}).options.threads, 9u);
    for (const char* bad : {"-3", "4x", ""}) EXPECT_EQ(walk({"--threads", bad}).options.threads, 9u) << bad;
    EXPECT_EQ(walk({"--threads", "3", "--threads", "bad"}).options.threads, 3u);
    EXPECT_EQ(walk({"--threads", "3", "--threads"}).options.threads, 3u);
    EXPECT_EQ(walk({"--max-files", "0"}).options.maxFiles, 0u);
    EXPECT_EQ(walk({"--max-files", "7", "--max-files", "8"}).options.maxFiles, 8u);
    EXPECT_EQ(walk({}).options.maxFiles, DEFAULT_MAX_FILES);
    EXPECT_TRUE(walk({"--cursor-inclusive"}).options.cursorInclusive);
}

TEST(OptionWalk, CursorIsClearedByAnInvalidOrMissingValue) {
    EXPECT_EQ(walk({"--cursor-mtime", "12.5"}).options.cursorMtime, 12.5);
    EXPECT_EQ(walk({"--cursor-mtime", "12", "--cursor-mtime"}).options.cursorMtime, std::nullopt);
    EXPECT_EQ(walk({"--cursor-mtime", "12", "--cursor-mtime", "x"}).options.cursorMtime, std::nullopt);
}

TEST(OptionWalk, ValueWordIsAlwaysConsumed) {
    const WalkResult result = walk({"--threads", "--max-files", "5"});
    EXPECT_EQ(result.unknown, "5");
    EXPECT_EQ(result.options.maxFiles, DEFAULT_MAX_FILES);
    EXPECT_EQ(walk({"--threads=4"}).unknown, "--threads=4");
    EXPECT_EQ(walk({"--max-files", "1", "-t"}).unknown, "-t");
    EXPECT_EQ(walk({"--threads", "--cursor-inclusive"}).options.cursorInclusive, false);
}

TEST(ThreadCount, Clamping) {
    EXPECT_EQ(clampThreadCount(std::nullopt, std::nullopt), 4u);
    EXPECT_EQ(clampThreadCount(1, std::nullopt), 2u);
    EXPECT_EQ(clampThreadCount(8, std::nullopt), 8u);
    EXPECT_EQ(clampThreadCount(64, std::nullopt), 16u);
    EXPECT_EQ(clampThreadCount(8, 3), 3u);
    EXPECT_EQ(clampThreadCount(8, 1), 2u);
    EXPECT_EQ(clampThreadCount(2, 6), 2u);
    EXPECT_EQ(clampThreadCount(std::nullopt, 5), 5u);
    const unsigned live = defaultThreadCount();
    EXPECT_GE(live, 2u);
    EXPECT_LE(live, 16u);
}

// Controller files laid out under a temporary root, as the kernel shows them.
class CgroupFixture : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("orva-cgroup-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(root_);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    void write(const std::string& relative, const std::string& text) {
        const auto path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    std::optional<unsigned> limit(const std::string& cgroup, const std::string& mountInfo) {
        return cgroupCpuLimit(cgroup, mountInfo, root_.string());
    }

    std::filesystem::path root_;
};

const std::string V2_MOUNT =
    "30 23 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw\n";
const std::string V1_MOUNTS =
    "31 25 0:27 / /sys/fs/cgroup/memory rw,nosuid - cgroup cgroup rw,memory\n"
    "32 25 0:28 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid - cgroup cgroup rw,cpu,cpuacct\n";

TEST_F(CgroupFixture, Version2QuotaIsWholeCpusAndTheSmallestOnThePath) {
    write("sys/fs/cgroup/app/cpu.max", "250000 100000\n");
    EXPECT_EQ(limit("0::/app\n", V2_MOUNT), 2u);
    write("sys/fs/cgroup/app/job/cpu.max", "max 100000\n");
    EXPECT_EQ(limit("0::/app/job\n", V2_MOUNT), 2u);  // the parent's quota still binds
    write("sys/fs/cgroup/app/job/cpu.max", "50000 100000\n");
    EXPECT_EQ(limit("0::/app/job\n", V2_MOUNT), 1u);  // half a CPU is still one
}

TEST_F(CgroupFixture, Version2WithoutQuota) {
    write("sys/fs/cgroup/cpu.max", "max 100000\n");
    EXPECT_EQ(limit("0::/\n", V2_MOUNT), std::nullopt);
    EXPECT_EQ(limit("0::/missing\n", V2_MOUNT), std::nullopt);
    EXPECT_EQ(limit("0::/\n", ""), std::nullopt);
}

TEST_F(CgroupFixture, Version1QuotaAndPeriod) {
    write("sys/fs/cgroup/cpu,cpuacct/batch/cpu.cfs_quota_us", "300000\n");
    write("sys/fs/cgroup/cpu,cpuacct/batch/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(limit("4:memory:/batch\n2:cpu,cpuacct:/batch\n", V1_MOUNTS), 3u);
    write("sys/fs/cgroup/cpu,cpuacct/batch/cpu.cfs_quota_us", "-1\n");
    EXPECT_EQ(limit("2:cpu,cpuacct:/batch\n", V1_MOUNTS), std::nullopt);
}

TEST_F(CgroupFixture, Version1MountOfASubtree) {
    // Inside a container the mount's root is the container's own cgroup.
    const std::string mounts = "40 35 0:28 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n";
    write("sys/fs/cgroup/cpu/cpu.cfs_quota_us", "200000\n");
    write("sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(limit("3:cpu:/docker/abc\n", mounts), 2u);
}

}  // namespace
}  // namespace orva
