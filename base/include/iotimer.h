/* One-shot timers: started with a delay in milliseconds, kept in one pump's
 * timer tree ordered by expiry and fired by that pump as an EVT_TIMEOUT
 * event. Of timers due in the same millisecond the one started last fires
 * first. */
#ifndef KORVID_IOTIMER_H
#define KORVID_IOTIMER_H

#include <stdint.h>

#include "btime.h"
#include "eptype.h"
#include "rbtree.h"

/* cmdid of the timer that finishes a linger close of its device (para). */
#define TIMER_CMD_LINGER 1

struct IOTimer_ {
    rbtnode_t  res;       /* the timer is its own node in the pump's tree */
    int        cmdid;
    uint64_t   id;        /* registry key, never reused */
    void*      para;
    btime_t    bintime;   /* expiry */
    IOHandler* callback;  /* null: the core's default handler */
    void*      cbpara;
    evpump_t*  evpump;    /* null while waiting for a pump */
    epcore_t*  epcore;
    uint64_t   threadid;  /* starting thread with dispmode 1; 0 once queued */
};

/* Null for a null core or when no record can be had. */
iotimer_t* iotimer_start(epcore_t* core, int ms, int cmdid, void* para,
                         IOHandler* cb, void* cbpara);
/* Cancels a timer whose handler has not run yet; 0 (-1 for null). */
int        iotimer_stop(iotimer_t* timer);

/* Queues EVT_TIMEOUT for every due timer of the pump. 1 with *remaining
 * set to the time until the next timer; -10 when none is pending.
 * *count receives the number expired in this call. */
int        iotimer_check_timeout(evpump_t* pump, btime_t* remaining, int* count);

uint64_t   iotimer_id(iotimer_t* timer);
int        iotimer_cmdid(iotimer_t* timer);
void*      iotimer_para(iotimer_t* timer);
evpump_t*  iotimer_evpump(iotimer_t* timer);
uint64_t   iotimer_workerid(iotimer_t* timer);
/* v == 1 means the calling thread. Returns the stored value. */
uint64_t   iotimer_workerid_set(iotimer_t* timer, uint64_t v);

/* A cleared record with a new id, registered in the core. */
iotimer_t* iotimer_fetch(epcore_t* core);
/* Unregister, leave the tree, give the record back; nothing when the
 * registry does not hold this timer under its id. */
int        iotimer_recycle(iotimer_t* timer);

/* Handling an EVT_TIMEOUT event: the pump takes the timer out of the
 * registry before its handler runs, so a stop racing the handler cannot
 * release the record under it. Returns the timer when it is still
 * registered under id (the id the event carries), else null: the timer was
 * stopped after it expired, or its record now serves a newer timer. */
iotimer_t* iotimer_claim(epcore_t* core, iotimer_t* timer, uint64_t id);
/* Gives a claimed timer's record back (to the pool, or to the heap when
 * it came from the heap). */
int        iotimer_release(iotimer_t* timer);

/* Pool unit functions. */
int        iotimer_init(void* timer);
int        iotimer_free(void* timer);
int        iotimer_void_free(void* timer);

/* Tree order: by expiry seconds, then milliseconds (a and b are timers). */
int        iotimer_cmp_iotimer(void* a, void* b);
/* Registry: key points to a uint64_t id. 0 when equal, else -1. */
int        iotimer_cmp_id(void* timer, void* key);
unsigned long iotimer_hash_func(void* key);

#endif
