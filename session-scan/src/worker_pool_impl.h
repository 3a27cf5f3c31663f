// Template body of runWorkers; included by worker_pool.h only.
#pragma once

// Provisional: runs every file on the calling thread until the pool lands.
namespace orva {

template <class Result, class File, class Worker>
PoolOutcome<Result> runWorkers(std::span<const File> files, unsigned /*threads*/,
                               std::size_t bufferCapacity, Worker worker) {
    PoolOutcome<Result> outcome;
    std::vector<char> buffer;
    buffer.reserve(bufferCapacity);
    outcome.results.reserve(files.size());
    for (const File& file : files) outcome.results.push_back(worker(file, buffer));
    return outcome;
}

}  // namespace orva
