// Runs a per-file worker over contiguous chunks of a file list, one thread per
// chunk, and returns the results in list order. Knows nothing of chat files: what
// a file is, what its early step prepares and what its results hold are the worker's.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <exception>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace orva {

inline constexpr unsigned MAX_THREADS = 32;
// Files a thread keeps prepared, the one at its turn included (see runWorkers).
inline constexpr std::size_t DEFAULT_READ_AHEAD = 32;
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

template <class Results>
struct ChunkResults {
    std::size_t firstFile = 0;  // list position of the chunk's first file
    std::size_t fileCount = 0;
    Results results;
};

template <class Results>
struct PoolOutcome {
    std::vector<ChunkResults<Results>> chunks;  // in list order; a faulted chunk is missing
    std::vector<ChunkFault> faults;             // in start order
    int spawnError = 0;  // non-zero: a thread could not be started, no results
};

// A worker is a record of the run's read-only inputs with four steps, each called
// through a const reference from several threads at once:
//
//   Thread  start(std::size_t fileCount) const   the state one thread keeps for a
//                                                chunk of that many files
//   Ahead   prepare(const File&, Thread&) const  a file's early step, taken up to
//                                                readAhead - 1 files before its turn
//   bool    heldBack(const Ahead&) const         the early step found no resources
//                                                (descriptors) and was left to the turn
//   void    finish(const File&, Ahead, Thread&) const   the file's work at its turn,
//                                                in list order; keeps its result
//   Results end(Thread&) const                   the chunk's results, handed back
//
// Ahead is default-constructible and movable, and whatever it holds is released
// when it is destroyed, so that a thread that fails releases what it prepared.
// Each thread keeps at most readAhead prepared files, the one at its turn included:
// a readAhead of 1 (or 0) prepares each file just before its turn. After an early
// step that was held back, the thread prepares no file ahead of its turn any more,
// so that the file held back meets at its turn no file of its own thread held open.
template <class Worker, class File>
using ThreadOf = decltype(std::declval<const Worker&>().start(std::size_t{}));
template <class Worker, class File>
using AheadOf = decltype(std::declval<const Worker&>().prepare(
    std::declval<const File&>(), std::declval<ThreadOf<Worker, File>&>()));
template <class Worker, class File>
using ResultsOf =
    decltype(std::declval<const Worker&>().end(std::declval<ThreadOf<Worker, File>&>()));

// Returns only after every started thread has ended; threads are joined in start order.
template <class File, class Worker>
PoolOutcome<ResultsOf<Worker, File>> runWorkers(std::span<const File> files, unsigned threads,
                                                std::size_t readAhead, const Worker& worker);

}  // namespace orva

#include "worker_pool_impl.h"
