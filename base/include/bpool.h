/* Pool of fixed-size units shared between threads.
 *
 * Units are allocated in batches of `allocnum`, handed out by bpool_fetch and
 * taken back by bpool_recycle; fresh units are handed out before recycled
 * ones. A return of a unit this pool did not hand out, or a second return of
 * the same unit, is refused with -10. After more than 300 seconds of low use
 * the pool releases idle units, never below one batch. The frame pools of the
 * device and the event core's record pools are built on it. */
#ifndef KORVID_BPOOL_H
#define KORVID_BPOOL_H

#include "arfifo.h"
#include "hashtab.h"
#include "mthread.h"

#include <stdint.h>
#include <time.h>

typedef int (*BPoolUnitFunc)(void* unit);
typedef time_t (*BPoolClock)(void);

typedef struct buffer_pool {
    uint8_t need_free;     /* bpool_init allocated the pool, bpool_clean releases it */
    int     unitsize;      /* bytes of each new unit */
    int     allocnum;      /* batch size, >= 1; also the shrink floor */
    int     unit_freesize; /* > 0: returned units at least this big are released */
    BPoolUnitFunc unitinit;    /* on every fetch, outside the lock */
    BPoolUnitFunc unitfree;    /* releases a unit and its own resources */
    BPoolUnitFunc getunitsize; /* current size of a unit */
    int     allocated;     /* units that exist: exhausted + remaining */
    int     exhausted;     /* fetched, not yet recycled */
    int     remaining;     /* waiting in fifo + refifo */
    time_t  idletick;      /* second at which low use began; 0 when not in low use */
    CRITICAL_SECTION ulCS;
    arfifo_t*  fifo;       /* fresh units, never handed out */
    arfifo_t*  refifo;     /* recycled units */
    hashtab_t* rmdup_tab;  /* units currently fetched, keyed by address */
    int     hashlen;
    BPoolClock clock;      /* wall-clock seconds for the shrink rule */
} bpool_t;

/* NULL allocates the pool. Returns the pool, NULL when out of memory. */
bpool_t* bpool_init(bpool_t* pool);
int      bpool_clean(bpool_t* pool); /* units still fetched are not touched */

int bpool_set_unitsize(bpool_t* pool, int size);
int bpool_set_allocnum(bpool_t* pool, int n);
int bpool_set_initfunc(bpool_t* pool, BPoolUnitFunc f);
int bpool_set_freefunc(bpool_t* pool, BPoolUnitFunc f);
int bpool_set_getsizefunc(bpool_t* pool, BPoolUnitFunc f);
int bpool_set_freesize(bpool_t* pool, int size);
/* Replaces the clock behind the shrink rule (tests); NULL restores time(NULL). */
int bpool_set_clock(bpool_t* pool, BPoolClock clock);

void* bpool_fetch(bpool_t* pool);
/* 0 taken back; -10 not currently fetched from this pool (nothing changes);
 * -1 null pool or unit. */
int   bpool_recycle(bpool_t* pool, void* unit);

int bpool_fetched_num(bpool_t* pool);
int bpool_get_state(bpool_t* pool, int* allocated, int* remaining, int* exhausted, int* fifonum,
                    int* refifonum);

#endif
