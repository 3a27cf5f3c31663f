// The default thread count: its clamping, and the cgroup CPU quota read from
// controller files laid out as the kernel shows them.
#include "cpu_count.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "file_test_support.h"

namespace orva {
namespace {

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
    void write(const std::string& relative, const std::string& text) {
        const std::filesystem::path path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    std::optional<unsigned> limit(const std::string& cgroup, const std::string& mountInfo) {
        return cgroupCpuLimit(cgroup, mountInfo, root_.path());
    }

    testing::TempDir root_;
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
    const std::string mounts =
        "40 35 0:28 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n";
    write("sys/fs/cgroup/cpu/cpu.cfs_quota_us", "200000\n");
    write("sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(limit("3:cpu:/docker/abc\n", mounts), 2u);
}

}  // namespace
}  // namespace orva
