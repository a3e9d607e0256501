/* Pool of fixed-size units: batch allocation, reuse, refusal of foreign or
 * repeated returns, and shrinking after a long spell of low use. */
#include "bpool.h"

#include "memory.h"

#include <stdint.h>
#include <string.h>

namespace {

constexpr int kFifoStart = 128;
constexpr int kFetchedBuckets = 4096;
constexpr time_t kIdleSeconds = 300;

time_t wall_clock(void) { return time(nullptr); }

/* The fetched set is keyed by the unit's address itself. */
unsigned long unit_hash(void* key) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(key)); }

int unit_cmp(void* value, void* key)
{
    auto a = reinterpret_cast<uintptr_t>(value), b = reinterpret_cast<uintptr_t>(key);
    return a < b ? -1 : (a > b ? 1 : 0);
}

/* A unit that has been handed out may carry resources of its own. */
void release_used(bpool_t* pool, void* unit)
{
    if (pool->unitfree) pool->unitfree(unit);
    else kfree(unit);
}

void drop_parts(bpool_t* pool)
{
    ar_fifo_free(pool->fifo);
    ar_fifo_free(pool->refifo);
    ht_free(pool->rmdup_tab);
    pool->fifo = pool->refifo = nullptr;
    pool->rmdup_tab = nullptr;
}

void alloc_batch(bpool_t* pool)
{
    if (pool->unitsize <= 0) return;
    for (int i = 0; i < pool->allocnum; i++) {
        void* unit = kzalloc(static_cast<size_t>(pool->unitsize));
        if (!unit) continue;
        if (ar_fifo_push(pool->fifo, unit) != 0) {
            kfree(unit);
            continue;
        }
        pool->allocated++;
        pool->remaining++;
    }
}

int low_use_threshold(const bpool_t* pool) { return pool->allocnum < 4 ? 2 * pool->allocnum : pool->allocnum / 2; }

/* Releases idle units, recycled ones first, while more than `thr` wait and
 * the pool holds more than one batch. */
void shrink(bpool_t* pool, int thr)
{
    while (pool->remaining > thr && pool->allocated > pool->allocnum) {
        void* unit = ar_fifo_out(pool->refifo);
        if (unit) {
            release_used(pool, unit);
        } else {
            unit = ar_fifo_out(pool->fifo);
            if (!unit) break;
            kfree(unit);
        }
        pool->allocated--;
        pool->remaining--;
    }
}

} // namespace

bpool_t* bpool_init(bpool_t* pool)
{
    bool own = pool == nullptr;
    if (own) {
        pool = static_cast<bpool_t*>(kzalloc(sizeof(bpool_t)));
        if (!pool) return nullptr;
    } else {
        memset(pool, 0, sizeof(*pool));
    }
    pool->need_free = own ? 1 : 0;
    pool->allocnum = 1;
    pool->idletick = 0;
    pool->hashlen = kFetchedBuckets;
    pool->clock = wall_clock;
    pool->fifo = ar_fifo_new(kFifoStart);
    pool->refifo = ar_fifo_new(kFifoStart);
    pool->rmdup_tab = ht_only_new(pool->hashlen, unit_cmp);
    if (!pool->fifo || !pool->refifo || !pool->rmdup_tab) {
        drop_parts(pool);
        if (own) kfree(pool);
        return nullptr;
    }
    ht_set_hash_func(pool->rmdup_tab, unit_hash);
    InitializeCriticalSection(&pool->ulCS);
    return pool;
}

int bpool_clean(bpool_t* pool)
{
    if (!pool) return -1;
    EnterCriticalSection(&pool->ulCS);
    while (void* unit = ar_fifo_out(pool->refifo)) release_used(pool, unit);
    while (void* unit = ar_fifo_out(pool->fifo)) kfree(unit);
    drop_parts(pool);
    pool->allocated = pool->exhausted;
    pool->remaining = 0;
    LeaveCriticalSection(&pool->ulCS);
    DeleteCriticalSection(&pool->ulCS);
    if (pool->need_free) kfree(pool);
    return 0;
}

int bpool_set_unitsize(bpool_t* pool, int size)
{
    if (!pool) return -1;
    pool->unitsize = size;
    return size;
}

int bpool_set_allocnum(bpool_t* pool, int n)
{
    if (!pool) return -1;
    pool->allocnum = n < 1 ? 1 : n;
    return pool->allocnum;
}

int bpool_set_initfunc(bpool_t* pool, BPoolUnitFunc f)
{
    if (!pool) return -1;
    pool->unitinit = f;
    return 0;
}

int bpool_set_freefunc(bpool_t* pool, BPoolUnitFunc f)
{
    if (!pool) return -1;
    pool->unitfree = f;
    return 0;
}

int bpool_set_getsizefunc(bpool_t* pool, BPoolUnitFunc f)
{
    if (!pool) return -1;
    pool->getunitsize = f;
    return 0;
}

int bpool_set_freesize(bpool_t* pool, int size)
{
    if (!pool) return -1;
    pool->unit_freesize = size;
    return size;
}

int bpool_set_clock(bpool_t* pool, BPoolClock clock)
{
    if (!pool) return -1;
    EnterCriticalSection(&pool->ulCS);
    pool->clock = clock ? clock : wall_clock;
    LeaveCriticalSection(&pool->ulCS);
    return 0;
}

void* bpool_fetch(bpool_t* pool)
{
    if (!pool) return nullptr;
    EnterCriticalSection(&pool->ulCS);
    /* Fresh units first. Only this pool touches its FIFOs, under ulCS, so the
     * counts are stable here and the unit is taken from the one FIFO that
     * holds it (no lock round on an empty FIFO). */
    arfifo_t* from = ar_fifo_num(pool->fifo) > 0 ? pool->fifo : pool->refifo;
    if (ar_fifo_num(from) == 0) {
        alloc_batch(pool);
        from = pool->fifo;
    }
    void* unit = ar_fifo_out(from);
    if (!unit) {
        LeaveCriticalSection(&pool->ulCS);
        return nullptr;
    }
    if (ht_set(pool->rmdup_tab, unit, unit) < 0) {
        /* Out of memory: a unit handed out unrecorded could never come back,
         * so it stays in the pool and the fetch fails. */
        if (ar_fifo_push(pool->refifo, unit) != 0) {
            release_used(pool, unit);
            pool->allocated--;
            pool->remaining--;
        }
        LeaveCriticalSection(&pool->ulCS);
        return nullptr;
    }
    pool->exhausted++;
    if (pool->remaining > 0) pool->remaining--;
    LeaveCriticalSection(&pool->ulCS);
    if (pool->unitinit) pool->unitinit(unit);
    return unit;
}

int bpool_recycle(bpool_t* pool, void* unit)
{
    if (!pool || !unit) return -1;
    EnterCriticalSection(&pool->ulCS);
    if (!ht_delete(pool->rmdup_tab, unit)) {
        LeaveCriticalSection(&pool->ulCS);
        return -10;
    }
    if (pool->unitfree && pool->getunitsize && pool->unit_freesize > 0 &&
        pool->getunitsize(unit) >= pool->unit_freesize) {
        pool->unitfree(unit);
        pool->allocated--;
        pool->exhausted--;
        LeaveCriticalSection(&pool->ulCS);
        return 0;
    }
    pool->exhausted--;
    if (ar_fifo_push(pool->refifo, unit) == 0) {
        pool->remaining++;
    } else {
        release_used(pool, unit); /* the FIFO could not grow */
        pool->allocated--;
    }

    int thr = low_use_threshold(pool);
    if (pool->allocated > pool->allocnum && pool->exhausted <= thr) {
        time_t now = pool->clock();
        if (pool->idletick == 0) pool->idletick = now;
        else if (now - pool->idletick > kIdleSeconds) shrink(pool, thr);
    } else if (pool->idletick != 0) {
        pool->idletick = 0;
    }
    LeaveCriticalSection(&pool->ulCS);
    return 0;
}

int bpool_fetched_num(bpool_t* pool)
{
    if (!pool) return 0;
    EnterCriticalSection(&pool->ulCS);
    int n = pool->exhausted;
    LeaveCriticalSection(&pool->ulCS);
    return n;
}

int bpool_get_state(bpool_t* pool, int* allocated, int* remaining, int* exhausted, int* fifonum, int* refifonum)
{
    if (!pool) return -1;
    EnterCriticalSection(&pool->ulCS);
    if (allocated) *allocated = pool->allocated;
    if (remaining) *remaining = pool->remaining;
    if (exhausted) *exhausted = pool->exhausted;
    if (fifonum) *fifonum = ar_fifo_num(pool->fifo);
    if (refifonum) *refifonum = ar_fifo_num(pool->refifo);
    LeaveCriticalSection(&pool->ulCS);
    return 0;
}
