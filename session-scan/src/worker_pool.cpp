#include "worker_pool.h"

namespace orva {

ChunkPlan planChunks(std::size_t fileCount, unsigned threads) {
    const std::size_t cap = std::max(threads, 1U);
    const std::size_t workerCount = std::min(std::max<std::size_t>(fileCount, 1), cap);
    const std::size_t chunkSize = (fileCount + workerCount - 1) / workerCount;
    const std::size_t threadCount = chunkSize == 0 ? 0 : (fileCount + chunkSize - 1) / chunkSize;
    return {workerCount, chunkSize, threadCount};
}

std::string describeFault(const ChunkFault& fault) {
    return "worker thread " + std::to_string(fault.chunk + 1) + " (files " +
           std::to_string(fault.firstFile + 1) + " to " +
           std::to_string(fault.firstFile + fault.fileCount) + ") failed: " + fault.what +
           "; its results are left out";
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

std::string describeException(const std::exception_ptr& fault) {
    try {
        std::rethrow_exception(fault);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "an exception of unknown type";
    }
}

}  // namespace poolDetail

}  // namespace orva
