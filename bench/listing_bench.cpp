// Listing a chat directory of 100 000 entries, every one a chat file (the worst
// case: each costs a status call and takes part in the sort), against the bare
// system calls that any listing must make: one readdir pass (the floor of the
// project-id listing) and readdir plus one lstat per entry (the floor of the
// catalog listing). The directory is written once and stays in the page cache,
// so the figures are warm-cache figures; compare ratios, not absolute times.
//
// allocsPerEntry counts operator new calls per directory entry: the names kept
// cost one each (they are longer than the small-string buffer), vector growth a
// little; anything near 2 or above would be per-entry churn.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <random>
#include <string>

#include "allocation_counter.h"
#include "chat_listing.h"

namespace {

constexpr unsigned ENTRY_COUNT = 100000;

// The generated directory, written on first use and removed at exit.
class GeneratedDir {
  public:
    GeneratedDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orva-listing-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
        path_ = pattern;
        std::mt19937_64 random(42);
        for (unsigned n = 0; n < ENTRY_COUNT; ++n) {
            char name[64];
            std::snprintf(name, sizeof name, "%08x-0000-4000-8000-%012x.jsonl", n, n * 2654435761U);
            const int fd =
                ::open((path_ + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) fail("open");
            // Times over about a year, a few thousand of them shared with a neighbour.
            const long long ns =
                1700000000000000000LL + static_cast<long long>(random() % 31536000000000000ULL);
            const timespec stamp = {static_cast<time_t>(ns / 1000000000),
                                    static_cast<long>(ns % 1000000000)};
            const timespec times[2] = {stamp, n % 32 == 0 && n > 0 ? lastStamp_ : stamp};
            if (::futimens(fd, times) != 0) fail("futimens");
            lastStamp_ = times[1];
            ::close(fd);
        }
    }
    ~GeneratedDir() { std::filesystem::remove_all(path_); }
    GeneratedDir(const GeneratedDir&) = delete;
    GeneratedDir& operator=(const GeneratedDir&) = delete;

    const std::string& path() const { return path_; }

  private:
    [[noreturn]] static void fail(const char* what) {
        std::fprintf(stderr, "listing_bench: %s: %s\n", what, std::strerror(errno));
        std::exit(1);
    }

    std::string path_;
    timespec lastStamp_{};
};

const std::string& benchDir() {
    static const GeneratedDir dir;
    return dir.path();
}

void reportAllocations(benchmark::State& state, std::uint64_t before) {
    const double perIteration =
        static_cast<double>(allocationCount - before) / static_cast<double>(state.iterations());
    state.counters["allocsPerEntry"] = perIteration / ENTRY_COUNT;
}

void BM_BaselineReaddir(benchmark::State& state) {
    const std::string& dir = benchDir();
    for (auto _ : state) {
        DIR* stream = ::opendir(dir.c_str());
        std::size_t count = 0;
        while (const dirent* entry = ::readdir(stream)) count += entry->d_name[0] != '.';
        ::closedir(stream);
        benchmark::DoNotOptimize(count);
    }
}

void BM_BaselineReaddirLstat(benchmark::State& state) {
    const std::string& dir = benchDir();
    for (auto _ : state) {
        DIR* stream = ::opendir(dir.c_str());
        long long newest = 0;
        while (const dirent* entry = ::readdir(stream)) {
            struct stat status;
            if (entry->d_name[0] == '.') continue;
            if (::fstatat(::dirfd(stream), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
                newest = std::max<long long>(newest, status.st_mtim.tv_sec);
            }
        }
        ::closedir(stream);
        benchmark::DoNotOptimize(newest);
    }
}

void BM_ListCatalogFiles(benchmark::State& state) {
    const std::string& dir = benchDir();
    const auto maxFiles = static_cast<std::uint64_t>(state.range(0));
    const std::size_t before = allocationCount;
    for (auto _ : state) {
        const orva::CatalogListing listing =
            orva::listCatalogFiles(dir, std::nullopt, false, maxFiles);
        if (listing.files.size() != std::min<std::uint64_t>(maxFiles, ENTRY_COUNT))
            state.SkipWithError("short listing");
        benchmark::DoNotOptimize(listing.files.data());
    }
    reportAllocations(state, before);
}

void BM_ListCatalogFilesWithCursor(benchmark::State& state) {
    const std::string& dir = benchDir();
    const std::size_t before = allocationCount;
    // A cursor half-way through the year keeps about half of the files.
    for (auto _ : state) {
        const orva::CatalogListing listing =
            orva::listCatalogFiles(dir, 1700000000000.0 + 15768000000.0, false, 10000);
        benchmark::DoNotOptimize(listing.files.data());
    }
    reportAllocations(state, before);
}

void BM_ListProjectFiles(benchmark::State& state) {
    const std::string& dir = benchDir();
    const auto maxFiles = static_cast<std::uint64_t>(state.range(0));
    const std::size_t before = allocationCount;
    for (auto _ : state) {
        const orva::ProjectListing listing = orva::listProjectFiles(dir, maxFiles);
        if (listing.names.size() != std::min<std::uint64_t>(maxFiles, ENTRY_COUNT))
            state.SkipWithError("short listing");
        benchmark::DoNotOptimize(listing.names.data());
    }
    reportAllocations(state, before);
}

BENCHMARK(BM_BaselineReaddir)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineReaddirLstat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListCatalogFiles)
    ->Arg(50)
    ->Arg(10000)
    ->Arg(ENTRY_COUNT)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListCatalogFilesWithCursor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListProjectFiles)->Arg(10000)->Arg(ENTRY_COUNT)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
