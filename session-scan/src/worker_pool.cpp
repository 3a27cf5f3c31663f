#include "worker_pool.h"

#include <cstdio>

namespace orva {

ChunkPlan planChunks(std::size_t fileCount, unsigned threads) {
    const std::size_t cap = std::max(threads, 1U);
    const std::size_t workerCount = std::min(std::max<std::size_t>(fileCount, 1), cap);
    const std::size_t chunkSize = (fileCount + workerCount - 1) / workerCount;
    const std::size_t threadCount = chunkSize == 0 ? 0 : (fileCount + chunkSize - 1) / chunkSize;
    return {workerCount, chunkSize, threadCount};
}

const char* faultWhat(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        return exception.what();
    } catch (...) {
        return "an exception of unknown type";
    }
}

FaultLine describeFault(const ChunkFault& fault) {
    FaultLine line;
    const int length = std::snprintf(
        line.text.data(), line.text.size(),
        "worker thread %zu (files %zu to %zu) failed: %s; %zu %s left out of the document",
        fault.chunk + 1, fault.firstFile + 1, fault.firstFile + fault.fileCount,
        faultWhat(fault.error), fault.fileCount, fault.fileCount == 1 ? "entry is" : "entries are");
    line.size = length < 0 ? 0 : std::min(static_cast<std::size_t>(length), line.text.size() - 1);
    return line;
}

namespace poolDetail {

int startThread(pthread_t& thread, void* (*entry)(void*), void* arg) {
    pthread_attr_t attributes;
    int error = ::pthread_attr_init(&attributes);
    if (error != 0) return error;
    error = ::pthread_attr_setstacksize(&attributes, WORKER_STACK_SIZE);
    if (error == 0) error = ::pthread_create(&thread, &attributes, entry, arg);
    ::pthread_attr_destroy(&attributes);
    return error;
}

void joinThread(pthread_t thread) {
    ::pthread_join(thread, nullptr);
}

}  // namespace poolDetail

}  // namespace orva
