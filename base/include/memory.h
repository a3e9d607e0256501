/* Heap allocation wrappers used by every module.
 *
 * They behave as the system allocator, with two rules callers depend on:
 * size 0 gives NULL, and a failed krealloc releases the old block so no
 * caller keeps a stale pointer. A test-only failure seam lets tests drive
 * the out-of-memory paths of the containers deterministically. */
#ifndef KORVID_MEMORY_H
#define KORVID_MEMORY_H

#include <stddef.h>

void* kalloc_dbg(size_t size, const char* file, int line);
void* kzalloc_dbg(size_t size, const char* file, int line);
void* krealloc_dbg(void* ptr, size_t size, const char* file, int line);
void  kfree_dbg(void* ptr, const char* file, int line);

void* kosmalloc(size_t size);
void* kosrealloc(void* ptr, size_t size);
void  kosfree(void* ptr);

void  kmem_print(void);

#define kalloc(size)        kalloc_dbg((size), __FILE__, __LINE__)
#define kzalloc(size)       kzalloc_dbg((size), __FILE__, __LINE__)
#define krealloc(ptr, size) krealloc_dbg((ptr), (size), __FILE__, __LINE__)
#define kfree(ptr)          kfree_dbg((ptr), __FILE__, __LINE__)

/* Test seam: on the calling thread, let `n` more allocations succeed and fail
 * every one after that (kalloc, kzalloc, krealloc and the kos* family).
 * A negative `n` turns failure injection off again. */
void kmem_fail_after(long n);

#endif
