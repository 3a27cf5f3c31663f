#include "worker_pool.h"

namespace orva {

ChunkPlan planChunks(std::size_t fileCount, unsigned threads) {
    const std::size_t workerCount = std::min<std::size_t>(std::max<std::size_t>(fileCount, 1), threads);
    const std::size_t chunkSize = (fileCount + workerCount - 1) / workerCount;
    const std::size_t threadCount = chunkSize == 0 ? 0 : (fileCount + chunkSize - 1) / chunkSize;
    return {workerCount, chunkSize, threadCount};
}

}  // namespace orva
