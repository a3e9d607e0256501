/* Heap allocation wrappers over the system allocator. */
#include "memory.h"

#include <stdlib.h>
#include <string.h>

namespace {
/* Countdown of allocations that may still succeed on this thread; -1 = off. */
thread_local long g_fail_countdown = -1;

bool injected_failure()
{
    if (g_fail_countdown < 0) return false;
    if (g_fail_countdown == 0) return true;
    --g_fail_countdown;
    return false;
}

void* do_alloc(size_t size, bool zero)
{
    if (size == 0 || injected_failure()) return nullptr;
    return zero ? calloc(1, size) : malloc(size);
}

void* do_realloc(void* ptr, size_t size)
{
    if (size == 0) {
        free(ptr);
        return nullptr;
    }
    void* p = injected_failure() ? nullptr : realloc(ptr, size);
    /* The old block goes with the failure, so callers never hold a stale pointer. */
    if (!p) free(ptr);
    return p;
}
} // namespace

void kmem_fail_after(long n) { g_fail_countdown = n < 0 ? -1 : n; }

void* kalloc_dbg(size_t size, const char*, int) { return do_alloc(size, false); }
void* kzalloc_dbg(size_t size, const char*, int) { return do_alloc(size, true); }
void* krealloc_dbg(void* ptr, size_t size, const char*, int) { return do_realloc(ptr, size); }
void  kfree_dbg(void* ptr, const char*, int) { free(ptr); }

void* kosmalloc(size_t size) { return do_alloc(size, false); }
void* kosrealloc(void* ptr, size_t size) { return do_realloc(ptr, size); }
void  kosfree(void* ptr) { free(ptr); }

void kmem_print(void) {}
