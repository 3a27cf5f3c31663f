// What the scanner's libFuzzer targets share: a failed check aborts with its reason,
// so that libFuzzer saves the input, and every reader path can be run in turn.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "simd.h"
#include "text.h"

namespace orva::fuzz {

inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed on the %s path: %s\n",
                     std::string(readerPathName(activeReaderPath())).c_str(), what);
        std::abort();
    }
}

// Calls judge() on every reader path this processor has, portable first, and checks
// that every path gives what the portable one gave. Leaves the widest path active.
template <typename Judge>
auto judgeOnEveryPath(Judge&& judge, const char* what) {
    forceReaderPath(ReaderPath::Portable);
    const auto portable = judge();
    for (ReaderPath path : availableReaderPaths()) {
        forceReaderPath(path);
        check(judge() == portable, what);
    }
    return portable;
}

}  // namespace orva::fuzz
