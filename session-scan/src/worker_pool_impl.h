// Template body of runWorkers; included by worker_pool.h only.
#pragma once

#include <pthread.h>

#include <cxxabi.h>

#include <exception>
#include <utility>

namespace orva {

namespace poolDetail {

// Starts entry(arg) on a thread with a WORKER_STACK_SIZE stack. 0 or the error number.
int startThread(pthread_t& thread, void* (*entry)(void*), void* arg);
void joinThread(pthread_t thread);

// One thread's share of the work. The thread writes only results and fault; the
// calling thread reads them after the join, which orders the two.
template <class File, class Worker>
struct Chunk {
    std::span<const File> files;
    std::size_t readAhead = 1;
    const Worker* worker = nullptr;
    pthread_t thread{};
    ResultsOf<Worker, File> results{};
    std::exception_ptr fault;
};

// The files of a chunk in order, each prepared up to readAhead - 1 files before its
// turn, in a ring of readAhead slots. A slot is refilled only after its file
// finished, so that no more than readAhead files are ever prepared at once. Once an
// early step is held back, the thread prepares each further file only at its turn:
// the files it holds are then released before that file is taken up again.
template <class File, class Worker>
void runFiles(Chunk<File, Worker>& chunk) {
    const Worker& worker = *chunk.worker;
    const std::span<const File> files = chunk.files;
    auto thread = worker.start(files.size());
    const std::size_t depth = std::clamp<std::size_t>(chunk.readAhead, 1, files.size());
    std::vector<AheadOf<Worker, File>> ring(depth);
    std::size_t prepared = 0;  // files prepared so far, in order
    bool heldBack = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::size_t aheadEnd = heldBack ? i + 1 : std::min(files.size(), i + depth);
        for (; prepared < aheadEnd && (!heldBack || prepared == i); ++prepared) {
            auto& slot = ring[prepared % depth];
            slot = worker.prepare(files[prepared], thread);
            if (worker.heldBack(slot)) heldBack = true;
        }
        worker.finish(files[i], std::move(ring[i % depth]), thread);
    }
    chunk.results = worker.end(thread);
}

template <class ChunkType>
void* runChunk(void* arg) {
    ChunkType& chunk = *static_cast<ChunkType*>(arg);
    try {
        runFiles(chunk);
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind on
    } catch (...) {
        // Keeps the exception alive without allocating, even for a bad_alloc.
        chunk.fault = std::current_exception();
    }
    return nullptr;
}

}  // namespace poolDetail

template <class File, class Worker>
PoolOutcome<ResultsOf<Worker, File>> runWorkers(std::span<const File> files, unsigned threads,
                                                std::size_t readAhead, const Worker& worker) {
    using ChunkType = poolDetail::Chunk<File, Worker>;
    const ChunkPlan plan = planChunks(files.size(), threads);
    PoolOutcome<ResultsOf<Worker, File>> outcome;
    // Sized once before any start: each thread holds a pointer into it.
    std::vector<ChunkType> chunks(plan.threadCount);
    // Everything the collection needs is allocated before the work: a worker that
    // fails because memory ran out must not take the collection down with it.
    outcome.chunks.reserve(chunks.size());
    outcome.faults.reserve(chunks.size());
    std::size_t started = 0;
    for (; started < chunks.size(); ++started) {
        ChunkType& chunk = chunks[started];
        const std::size_t first = started * plan.chunkSize;
        chunk.files = files.subspan(first, std::min(plan.chunkSize, files.size() - first));
        chunk.readAhead = readAhead;
        chunk.worker = &worker;
        outcome.spawnError =
            poolDetail::startThread(chunk.thread, &poolDetail::runChunk<ChunkType>, &chunk);
        if (outcome.spawnError != 0) break;
    }
    for (std::size_t i = 0; i < started; ++i) poolDetail::joinThread(chunks[i].thread);
    if (outcome.spawnError != 0) return outcome;

    for (std::size_t i = 0; i < chunks.size(); ++i) {
        ChunkType& chunk = chunks[i];
        const std::size_t first = i * plan.chunkSize;
        if (chunk.fault) {
            outcome.faults.push_back({i, first, chunk.files.size(), chunk.fault});
            continue;
        }
        outcome.chunks.push_back({first, chunk.files.size(), std::move(chunk.results)});
    }
    return outcome;
}

}  // namespace orva
