// The heap allocations of the process, counted by the operator new that
// allocation_counter.cpp puts in place, so that tests can show which operations never
// allocate and benchmarks can report what a loop allocates (on every thread, the
// workers of a pool included). Link allocation_counter.cpp into each program that
// uses it.
#pragma once

#include <atomic>
#include <cstddef>

extern std::atomic<std::size_t> allocationCount;
extern std::atomic<std::size_t> allocatedBytes;
