// The two per-file workers through the pool, as the driver runs them, with what each
// file costs beyond its reads: allocations (a counting operator new), bytes
// allocated, and minor page faults (rusage), per file. The directory is
// ORVA_SCAN_BENCH_CHATS when set (the realistic corpus of bench/chat_corpus.py, say),
// else 4000 generated files of a few records each, written once and removed at exit.
// One thread, so that the counts are those of one worker.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "allocation_counter.h"
#include "chat_listing.h"
#include "head_scan.h"
#include "session_scan.h"
#include "worker_pool.h"

namespace {

constexpr unsigned GENERATED_FILES = 4000;

class BenchDir {
  public:
    BenchDir() {
        if (const char* given = std::getenv("ORVA_SCAN_BENCH_CHATS")) {
            path_ = given;
            return;
        }
        path_ = (std::filesystem::temp_directory_path() / "orva-scan-bench").string();
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
        owned_ = true;
        for (unsigned n = 0; n < GENERATED_FILES; ++n) {
            char stem[40];
            std::snprintf(stem, sizeof stem, "%08x-0000-4000-8000-%012x", n, n * 2654435761U);
            std::ofstream out(path_ + "/" + stem + ".jsonl");
            out << R"({"type":"user","sessionId":")" << stem
                << R"(","cwd":"/home/dev/project","timestamp":"2024-05-01T10:00:00.000Z","gitBranch":"main",)"
                << R"("message":{"role":"user","parts":[{"type":"text","text":"Please fix the failing test )"
                << n
                << R"("}]}})"
                   "\n";
            for (int k = 0; k < 12; ++k) {
                out << R"({"type":"assistant","message":{"role":"assistant","parts":[{"type":"text","text":")"
                    << std::string(200 + 40 * k, 'w')
                    << R"("}]}})"
                       "\n";
            }
            out << R"({"type":"system","subtype":"custom_title","customTitle":"Session )" << n
                << R"(","titleSource":"manual"})"
                   "\n";
        }
    }
    ~BenchDir() {
        if (owned_) std::filesystem::remove_all(path_);
    }
    BenchDir(const BenchDir&) = delete;
    BenchDir& operator=(const BenchDir&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    bool owned_ = false;
};

const std::string& benchDir() {
    static const BenchDir dir;
    return dir.path();
}

long minorFaults() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Runs body once per iteration and reports the counts per file.
template <class Body>
void perFile(benchmark::State& state, std::size_t files, Body body) {
    const std::size_t allocations = allocationCount;
    const std::size_t bytes = allocatedBytes;
    const long faults = minorFaults();
    for (auto _ : state) body();
    const double count = static_cast<double>(files) * static_cast<double>(state.iterations());
    state.counters["allocsPerFile"] = static_cast<double>(allocationCount - allocations) / count;
    state.counters["bytesAllocatedPerFile"] = static_cast<double>(allocatedBytes - bytes) / count;
    state.counters["minorFaultsPerFile"] = static_cast<double>(minorFaults() - faults) / count;
    state.counters["files"] = static_cast<double>(files);
}

void BM_CatalogWorker(benchmark::State& state) {
    const std::string& dir = benchDir();
    const orva::CatalogListing listing = orva::listCatalogFiles(dir, std::nullopt, false, 1000000);
    const std::span<const orva::ChatFile> files(listing.files);
    perFile(state, files.size(), [&] {
        auto pool = orva::runWorkers(files, 1, orva::DEFAULT_READ_AHEAD,
                                     orva::CatalogWorker{dir, listing.sidecarNames});
        benchmark::DoNotOptimize(pool.chunks.data());
    });
}

void BM_HeadWorker(benchmark::State& state) {
    const std::string& dir = benchDir();
    const orva::ProjectListing listing = orva::listProjectFiles(dir, 1000000);
    const std::span<const std::string> names(listing.names);
    perFile(state, names.size(), [&] {
        auto pool = orva::runWorkers(names, 1, orva::DEFAULT_READ_AHEAD, orva::HeadWorker{dir});
        benchmark::DoNotOptimize(pool.chunks.data());
    });
}

BENCHMARK(BM_CatalogWorker)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeadWorker)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
