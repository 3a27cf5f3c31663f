// Runs a per-file worker over contiguous chunks of a file list, one thread per
// chunk, and returns the results in list order. Knows nothing of chat files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace orva {

inline constexpr unsigned MAX_THREADS = 32;
inline constexpr std::size_t CATALOG_WORKER_BUFFER = 131072;
inline constexpr std::size_t HEAD_WORKER_BUFFER = 65536;

struct ChunkPlan {
    std::size_t workerCount;  // min(max(n, 1), threads)
    std::size_t chunkSize;    // ceil(n / workerCount), 0 for no files
    std::size_t threadCount;  // chunks actually started: ceil(n / chunkSize)
};

ChunkPlan planChunks(std::size_t fileCount, unsigned threads);

template <class Result>
struct PoolOutcome {
    std::vector<Result> results;  // in list order; a faulted chunk is missing
    int spawnError = 0;           // non-zero: a thread could not be started
};

// Worker: Result(const File& file, std::vector<char>& buffer). Each thread owns one
// buffer, reserved to bufferCapacity, and reuses it for every file of its chunk.
template <class Result, class File, class Worker>
PoolOutcome<Result> runWorkers(std::span<const File> files, unsigned threads,
                               std::size_t bufferCapacity, Worker worker);

}  // namespace orva

#include "worker_pool_impl.h"
