// Heap allocations of the whole process, counted while a benchmark asks
// (operator new comes through malloc too). Included by one file of a
// benchmark, which defines alloc_counting(): whether the calling
// allocation counts.
#ifndef KORVID_BENCH_ALLOC_COUNT_H
#define KORVID_BENCH_ALLOC_COUNT_H

#include <stddef.h>

#include <atomic>

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

bool alloc_counting();
inline std::atomic<unsigned long> g_allocs{0};

inline void count_alloc()
{
    if (alloc_counting()) g_allocs.fetch_add(1, std::memory_order_relaxed);
}

extern "C" void* malloc(size_t n)
{
    count_alloc();
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m)
{
    count_alloc();
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n)
{
    count_alloc();
    return __libc_realloc(p, n);
}

#endif
