#include "simd.h"

#include <array>

namespace orva {

namespace {

bool processorHasAvx2() {
#if ORVA_SSE2
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
#else
    return false;
#endif
}

bool processorHasAvx512() {
#if ORVA_SSE2
    __builtin_cpu_init();
    return processorHasAvx2() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw");
#else
    return false;
#endif
}

struct PathList {
    std::array<ReaderPath, READER_PATH_COUNT> paths{};
    std::size_t count = 0;
};

const PathList& pathList() {
    static const PathList list = [] {
        PathList found;
        found.paths[found.count++] = ReaderPath::Portable;
        if (ORVA_SSE2) found.paths[found.count++] = ReaderPath::Sse2;
        if (processorHasAvx2()) found.paths[found.count++] = ReaderPath::Avx2;
        if (processorHasAvx512()) found.paths[found.count++] = ReaderPath::Avx512;
        return found;
    }();
    return list;
}

}  // namespace

namespace detail {
ReaderPath activePath = availableReaderPaths().back();
}  // namespace detail

std::string_view readerPathName(ReaderPath path) {
    switch (path) {
        case ReaderPath::Portable:
            return "portable";
        case ReaderPath::Sse2:
            return "sse2";
        case ReaderPath::Avx2:
            return "avx2";
        case ReaderPath::Avx512:
            return "avx512";
    }
    return "portable";
}

std::span<const ReaderPath> availableReaderPaths() {
    const PathList& list = pathList();
    return {list.paths.data(), list.count};
}

bool forceReaderPath(ReaderPath path) {
    for (ReaderPath available : availableReaderPaths()) {
        if (available == path) {
            detail::activePath = path;
            return true;
        }
    }
    return false;
}

}  // namespace orva
