// The entry of the reader's tests: every test runs once on each reader path that this
// build and processor have (portable, SSE2, AVX2), in that order, as iterations of
// one run. A failure names its path in the line before the iteration's results.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "simd.h"

namespace {

class ReaderPathPerIteration : public testing::EmptyTestEventListener {
    void OnTestIterationStart(const testing::UnitTest&, int iteration) override {
        const auto paths = orva::availableReaderPaths();
        const orva::ReaderPath path = paths[static_cast<std::size_t>(iteration) % paths.size()];
        if (!orva::forceReaderPath(path)) std::abort();
        std::printf("[ reader path: %s ]\n", orva::readerPathName(path).data());
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // --gtest_repeat=N runs N rounds of every path.
    const int rounds = GTEST_FLAG_GET(repeat);
    if (rounds > 0) {
        GTEST_FLAG_SET(repeat, rounds * static_cast<int>(orva::availableReaderPaths().size()));
    }
    testing::UnitTest::GetInstance()->listeners().Append(new ReaderPathPerIteration);
    return RUN_ALL_TESTS();
}
