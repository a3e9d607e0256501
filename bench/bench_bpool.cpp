// Frame pool fetch + recycle against malloc + free of the same unit size, for
// the device's five frame pools. Every arm touches each 4 KiB page of the
// block once, as a frame user writing the frame would.
//
// glibc raises its mmap threshold to the size of the last mmapped block it
// freed (up to 32 MiB), so a loop over one size soon serves even the 33 MB
// frames from heap memory that stays mapped. The mmap arm shows the other
// case, a block above the threshold: a fresh mapping and page faults for
// every frame (what malloc does for each frame while the threshold is fixed,
// e.g. GLIBC_TUNABLES=glibc.malloc.mmap_threshold=131072).
#include "bpool.h"

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/mman.h>

namespace {

struct FramePool {
    int unitsize;
    int allocnum;
    bpool_t* pool;
};

FramePool g_pools[] = {
    {204, 16, nullptr},      // application result
    {41064, 16, nullptr},    // application algorithm
    {4322408, 16, nullptr},  // depth
    {6220904, 8, nullptr},   // colour
    {33177704, 8, nullptr},  // raw
};

bpool_t* pool_for(int idx)
{
    FramePool& fp = g_pools[idx];
    if (!fp.pool) {
        fp.pool = bpool_init(nullptr);
        bpool_set_unitsize(fp.pool, fp.unitsize);
        bpool_set_allocnum(fp.pool, fp.allocnum);
    }
    return fp.pool;
}

inline void touch(void* p, size_t size, char v)
{
    auto* c = static_cast<volatile char*>(p);
    for (size_t off = 0; off < size; off += 4096) c[off] = v;
    c[size - 1] = v;
}

void BM_PoolFetchRecycle(benchmark::State& state)
{
    int idx = static_cast<int>(state.range(0));
    if (state.thread_index() == 0) pool_for(idx);
    size_t size = static_cast<size_t>(g_pools[idx].unitsize);
    char v = 0;
    for (auto _ : state) {
        void* u = bpool_fetch(g_pools[idx].pool);
        if (!u) {
            state.SkipWithError("pool empty");
            break;
        }
        touch(u, size, ++v);
        bpool_recycle(g_pools[idx].pool, u);
    }
    state.SetLabel(std::to_string(size) + " B");
}

void BM_MallocFree(benchmark::State& state)
{
    int idx = static_cast<int>(state.range(0));
    size_t size = static_cast<size_t>(g_pools[idx].unitsize);
    char v = 0;
    for (auto _ : state) {
        void* u = malloc(size);
        benchmark::DoNotOptimize(u);
        touch(u, size, ++v);
        free(u);
    }
    state.SetLabel(std::to_string(size) + " B");
}

void BM_MmapMunmap(benchmark::State& state)
{
    int idx = static_cast<int>(state.range(0));
    size_t size = static_cast<size_t>(g_pools[idx].unitsize);
    char v = 0;
    for (auto _ : state) {
        void* u = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (u == MAP_FAILED) {
            state.SkipWithError("mmap failed");
            break;
        }
        touch(u, size, ++v);
        munmap(u, size);
    }
    state.SetLabel(std::to_string(size) + " B");
}

} // namespace

BENCHMARK(BM_PoolFetchRecycle)->DenseRange(0, 4)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_MallocFree)->DenseRange(0, 4)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_MmapMunmap)->DenseRange(2, 4)->Threads(1)->Threads(4)->UseRealTime();

BENCHMARK_MAIN();
