#include "cpu_count.h"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

namespace orva {

namespace {

constexpr unsigned MIN_DEFAULT_THREADS = 2;
constexpr unsigned MAX_DEFAULT_THREADS = 16;
constexpr unsigned UNKNOWN_DEFAULT_THREADS = 4;

std::optional<std::string> readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

bool listContains(std::string_view commaList, std::string_view item) {
    for (const std::string_view part : split(commaList, ',')) {
        if (part == item) return true;
    }
    return false;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// Whole CPUs allowed by one controller directory, if it sets a quota.
std::optional<unsigned> quotaOfDirectory(const std::string& dir, bool version2) {
    std::optional<std::int64_t> quota;
    std::optional<std::int64_t> period;
    if (version2) {
        const auto cpuMax = readSmallFile(dir + "/cpu.max");
        if (!cpuMax) return std::nullopt;
        const std::vector<std::string_view> fields = split(*cpuMax, ' ');
        if (fields.size() != 2) return std::nullopt;
        quota = parseInteger(fields[0]);  // "max" means no quota and parses to nothing
        period = parseInteger(fields[1]);
    } else {
        const auto quotaText = readSmallFile(dir + "/cpu.cfs_quota_us");
        const auto periodText = readSmallFile(dir + "/cpu.cfs_period_us");
        if (!quotaText || !periodText) return std::nullopt;
        quota = parseInteger(*quotaText);
        period = parseInteger(*periodText);
    }
    if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
    return static_cast<unsigned>(std::max<std::int64_t>(*quota / *period, 1));
}

struct CgroupMount {
    std::string root;        // the part of the hierarchy that is mounted
    std::string mountPoint;  // where it is mounted
};

// The mount of the unified hierarchy (version2) or of the version 1 hierarchy that
// carries the cpu controller, from /proc/self/mountinfo.
std::optional<CgroupMount> findCgroupMount(std::string_view mountInfo, bool version2) {
    for (const std::string_view line : split(mountInfo, '\n')) {
        const std::vector<std::string_view> fields = split(line, ' ');
        auto dash = std::find(fields.begin(), fields.end(), "-");
        // ... root mountPoint options [optional fields] - fsType source superOptions
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        const std::string_view fsType = dash[1];
        const std::string_view superOptions = dash[3];
        const bool match = version2 ? fsType == "cgroup2"
                                    : fsType == "cgroup" && listContains(superOptions, "cpu");
        if (match) return CgroupMount{std::string(fields[3]), std::string(fields[4])};
    }
    return std::nullopt;
}

// The smallest quota on the way from the process's cgroup up to the mount point.
std::optional<unsigned> quotaOfHierarchy(const CgroupMount& mount, std::string_view cgroupPath,
                                         bool version2, const std::string& rootPrefix) {
    if (mount.root != "/") {
        if (cgroupPath.substr(0, mount.root.size()) != mount.root) return std::nullopt;
        cgroupPath.remove_prefix(mount.root.size());
    }
    std::string relative(cgroupPath);
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    std::optional<unsigned> smallest;
    while (true) {
        const auto quota = quotaOfDirectory(rootPrefix + mount.mountPoint + relative, version2);
        if (quota && (!smallest || *quota < *smallest)) smallest = quota;
        if (relative.empty()) return smallest;
        relative.erase(relative.rfind('/'));
    }
}

std::optional<unsigned> affinityCpuCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) != 0) return std::nullopt;
    const int count = CPU_COUNT(&set);
    return count > 0 ? std::optional<unsigned>(static_cast<unsigned>(count)) : std::nullopt;
}

}  // namespace

std::optional<unsigned> cgroupCpuLimit(std::string_view procSelfCgroup, std::string_view mountInfo,
                                       const std::string& rootPrefix) {
    std::optional<unsigned> smallest;
    for (const std::string_view line : split(procSelfCgroup, '\n')) {
        // hierarchy-id:controller-list:path
        const std::size_t first = line.find(':');
        const std::size_t second =
            first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        const bool version2 = line.substr(0, first) == "0" && controllers.empty();
        if (!version2 && !listContains(controllers, "cpu")) continue;
        const auto mount = findCgroupMount(mountInfo, version2);
        if (!mount) continue;
        const auto quota = quotaOfHierarchy(*mount, path, version2, rootPrefix);
        if (quota && (!smallest || *quota < *smallest)) smallest = quota;
    }
    return smallest;
}

unsigned clampThreadCount(std::optional<unsigned> affinityCpus, std::optional<unsigned> quotaCpus) {
    std::optional<unsigned> cpus = affinityCpus;
    if (quotaCpus && (!cpus || *quotaCpus < *cpus)) cpus = quotaCpus;
    if (!cpus) return UNKNOWN_DEFAULT_THREADS;
    return std::clamp(*cpus, MIN_DEFAULT_THREADS, MAX_DEFAULT_THREADS);
}

unsigned defaultThreadCount() {
    const auto cgroup = readSmallFile("/proc/self/cgroup");
    const auto mountInfo = readSmallFile("/proc/self/mountinfo");
    std::optional<unsigned> quota;
    if (cgroup && mountInfo) quota = cgroupCpuLimit(*cgroup, *mountInfo, "");
    return clampThreadCount(affinityCpuCount(), quota);
}

}  // namespace orva
