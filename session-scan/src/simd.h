// The one switch between the block code of the scanner's byte scans and their
// portable code, at build time and at run time.
//
// Build time: SSE2 is part of every x86-64 processor; ORVA_NO_SSE2 builds the
// portable code alone there too, so that the tests run it as a build without SIMD
// would. Run time: the reader's scans come in paths, and each reader operation runs
// on the active one; the widest the processor has is chosen at start. Tests and
// benchmarks select each path in turn.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#if defined(__SSE2__) && !defined(ORVA_NO_SSE2)
#define ORVA_SSE2 1
#include <immintrin.h>
#else
#define ORVA_SSE2 0
#endif

// The attributes that let one function use AVX2 (and the bit instructions that come
// with it), or AVX-512BW besides, in a build for the SSE2 baseline. Such a function
// runs only when the processor has them, behind a check of activeReaderPath().
#define ORVA_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2,lzcnt,popcnt")))
#define ORVA_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx2,bmi,bmi2,lzcnt,popcnt")))

namespace orva {

enum class ReaderPath : unsigned char {
    Portable,  // word-wise and byte-wise code in plain C++
    Sse2,      // 16-byte blocks
    Avx2,      // 32-byte blocks
    Avx512,    // the AVX2 path with 64-byte blocks in one register (AVX-512BW), and the
               // widest UTF-8 validation the processor has
};
inline constexpr std::size_t READER_PATH_COUNT = 4;

std::string_view readerPathName(ReaderPath path);

// The paths this build can run on this processor, Portable first.
std::span<const ReaderPath> availableReaderPaths();

namespace detail {
extern ReaderPath activePath;
}  // namespace detail

// The widest available path, unless forceReaderPath chose another.
inline ReaderPath activeReaderPath() {
    return detail::activePath;
}

// Tests and benchmarks only: selects the path of every later reader operation;
// false, changing nothing, when the path is not available. Not safe while other
// threads read.
bool forceReaderPath(ReaderPath path);

}  // namespace orva
