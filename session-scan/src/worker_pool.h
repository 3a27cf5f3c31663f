// Runs a per-file worker over contiguous chunks of a file list, one thread per
// chunk, and returns the results in list order. Knows nothing of chat files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace orva {

inline constexpr unsigned MAX_THREADS = 32;
inline constexpr std::size_t WORKER_STACK_SIZE = 2 * 1024 * 1024;

struct ChunkPlan {
    std::size_t workerCount;  // min(max(n, 1), threads)
    std::size_t chunkSize;    // ceil(n / workerCount), 0 for no files
    std::size_t threadCount;  // chunks actually started: ceil(n / chunkSize)
};

// A threads setting of 0 counts as 1.
ChunkPlan planChunks(std::size_t fileCount, unsigned threads);

// A chunk whose worker let an exception escape; its results are left out.
struct ChunkFault {
    std::size_t chunk;      // position in start order
    std::size_t firstFile;  // list position of the chunk's first file
    std::size_t fileCount;
    std::string what;  // the exception's description
};

// "worker thread 2 (files 4 to 6) failed: std::bad_alloc; its results are left out"
std::string describeFault(const ChunkFault& fault);

template <class Result>
struct PoolOutcome {
    std::vector<Result> results;     // in list order; a faulted chunk is missing
    std::vector<ChunkFault> faults;  // in start order
    int spawnError = 0;              // non-zero: a thread could not be started, no results
};

// Worker: Result(const File& file, std::vector<char>& buffer), called concurrently
// from several threads through a const reference. Each thread owns one buffer,
// reserved to bufferCapacity, and passes it for every file of its chunk. Returns
// only after every started thread has ended; threads are joined in start order.
template <class Result, class File, class Worker>
PoolOutcome<Result> runWorkers(std::span<const File> files, unsigned threads,
                               std::size_t bufferCapacity, const Worker& worker);

}  // namespace orva

#include "worker_pool_impl.h"
