#include "allocation_counter.h"

#include <cstdlib>
#include <new>

thread_local std::size_t allocationCount = 0;

// Out of line, so that the compiler does not pair the malloc and free inside them
// with the new and delete expressions of their callers.
[[gnu::noinline]] void* operator new(std::size_t size) {
    ++allocationCount;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
