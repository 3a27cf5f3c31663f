// Template body of runWorkers; included by worker_pool.h only.
#pragma once

#include <pthread.h>

#include <cxxabi.h>

#include <exception>
#include <iterator>

namespace orva {

namespace poolDetail {

// Starts entry(arg) on a thread with a WORKER_STACK_SIZE stack. 0 or the error number.
int startThread(pthread_t& thread, void* (*entry)(void*), void* arg);
void joinThread(pthread_t thread);

// One thread's share of the work. The thread writes only results and fault; the
// calling thread reads them after the join, which orders the two.
template <class Result, class File, class Worker>
struct Chunk {
    std::span<const File> files;
    std::size_t bufferCapacity = 0;
    const Worker* worker = nullptr;
    pthread_t thread{};
    std::vector<Result> results;
    std::exception_ptr fault;
};

template <class ChunkType>
void* runChunk(void* arg) {
    ChunkType& chunk = *static_cast<ChunkType*>(arg);
    try {
        std::vector<char> buffer;
        buffer.reserve(chunk.bufferCapacity);
        chunk.results.reserve(chunk.files.size());
        for (const auto& file : chunk.files) chunk.results.push_back((*chunk.worker)(file, buffer));
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind on
    } catch (...) {
        // Keeps the exception alive without allocating, even for a bad_alloc.
        chunk.fault = std::current_exception();
    }
    return nullptr;
}

}  // namespace poolDetail

template <class Result, class File, class Worker>
PoolOutcome<Result> runWorkers(std::span<const File> files, unsigned threads,
                               std::size_t bufferCapacity, const Worker& worker) {
    using ChunkType = poolDetail::Chunk<Result, File, Worker>;
    const ChunkPlan plan = planChunks(files.size(), threads);
    PoolOutcome<Result> outcome;
    // Sized once before any start: each thread holds a pointer into it.
    std::vector<ChunkType> chunks(plan.threadCount);
    // Everything the collection needs is allocated before the work: a worker that
    // fails because memory ran out must not take the collection down with it.
    outcome.results.reserve(files.size());
    outcome.faults.reserve(chunks.size());
    std::size_t started = 0;
    for (; started < chunks.size(); ++started) {
        ChunkType& chunk = chunks[started];
        const std::size_t first = started * plan.chunkSize;
        chunk.files = files.subspan(first, std::min(plan.chunkSize, files.size() - first));
        chunk.bufferCapacity = bufferCapacity;
        chunk.worker = &worker;
        outcome.spawnError =
            poolDetail::startThread(chunk.thread, &poolDetail::runChunk<ChunkType>, &chunk);
        if (outcome.spawnError != 0) break;
    }
    for (std::size_t i = 0; i < started; ++i) poolDetail::joinThread(chunks[i].thread);
    if (outcome.spawnError != 0) return outcome;

    for (std::size_t i = 0; i < chunks.size(); ++i) {
        ChunkType& chunk = chunks[i];
        if (chunk.fault) {
            outcome.faults.push_back({i, i * plan.chunkSize, chunk.files.size(), chunk.fault});
            continue;
        }
        std::move(chunk.results.begin(), chunk.results.end(), std::back_inserter(outcome.results));
    }
    return outcome;
}

}  // namespace orva
