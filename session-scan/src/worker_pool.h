// Runs a per-file worker over contiguous chunks of a file list, one thread per
// chunk, and returns the results in list order. Knows nothing of chat files.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <span>
#include <string_view>
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
    std::exception_ptr error;  // what escaped, kept alive without copying
};

// The description of what escaped a worker: what() of a std::exception.
const char* faultWhat(const std::exception_ptr& error);

// One line of text of a bounded size, made without allocating.
struct FaultLine {
    std::array<char, 512> text{};
    std::size_t size = 0;

    std::string_view view() const { return {text.data(), size}; }
};

// "worker thread 2 (files 4 to 6) failed: std::bad_alloc; 3 entries are left out of
// the document", without a line feed. Made without allocating, since a fault is
// most often memory running out; a description too long for the line is cut.
FaultLine describeFault(const ChunkFault& fault);

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
