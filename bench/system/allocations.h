#pragma once

// Counts the heap allocations of the whole program (malloc, calloc, realloc, and so operator
// new and Qt's containers), so that a benchmark can show how many a stretch of work makes.
// Include in exactly one source file of an executable: it puts its own malloc, calloc and
// realloc in front of the C library's, which still does the allocating. Linux with glibc only.

#include <atomic>
#include <cstddef>

// glibc's own allocators, which the replacements below hand the work to: reserved names, and
// meant to be.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
}
// NOLINTEND(bugprone-reserved-identifier)

namespace bench {

inline std::atomic<unsigned long long> g_allocations{0};

inline unsigned long long allocations()
{
    return g_allocations.load(std::memory_order_relaxed);
}

} // namespace bench

extern "C" void* malloc(std::size_t size)
{
    bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size)
{
    bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* p, std::size_t size)
{
    bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
