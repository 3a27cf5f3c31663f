// The heap allocations of the calling thread, counted by the operator new that
// allocation_counter.cpp puts in place, so that tests can show which operations
// never allocate. Link allocation_counter.cpp into each test binary that uses it.
#pragma once

#include <cstddef>

extern thread_local std::size_t allocationCount;
