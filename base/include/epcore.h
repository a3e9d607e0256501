/* The process-wide event core: registries of devices and timers by id, of
 * event pumps and worker threads with their selection rules, the lists of
 * devices, timers and listeners waiting for a pump, the record pools of the
 * event library, the process-wide wake-up eventfd, the resolver state and,
 * for the device code, the frame pools, the connected-user list and the quit
 * and stream-on flags.
 *
 * Lock order where two locks are held: evpumplistCS before a pump's tree
 * locks; the waiting-list locks (devices, timers, listeners) before a pump's
 * tree locks; a device's fdCS is taken alone. */
#ifndef KORVID_EPCORE_H
#define KORVID_EPCORE_H

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <type_traits>

#include "bpool.h"
#include "dlist.h"
#include "dynarr.h"
#include "eptype.h"
#include "hashtab.h"
#include "mthread.h"

struct EPCore_ {
    int              maxfd;      /* descriptor capacity; <= 1024 asks for 524280 */
    int              dispmode;   /* 1: remember the creating thread on devices and timers */
    int              wakeupfd;   /* eventfd that wakes every pump; -1 while none */
    iodev_t*         wakeupdev;

    CRITICAL_SECTION devicetableCS;
    hashtab_t*       device_table; /* devices by id */
    uint64_t         deviceID;     /* next device id */

    CRITICAL_SECTION timertableCS;
    hashtab_t*       timer_table;  /* live timers by id */
    uint64_t         timerID;      /* next timer id */

    CRITICAL_SECTION glbiodevlistCS;
    arr_t*           glbiodev_list;   /* devices waiting for a pump, and BIND_ALL ones */
    CRITICAL_SECTION glbiotimerlistCS;
    arr_t*           glbiotimer_list; /* timers started while no pump ran */
    CRITICAL_SECTION glbmlistenlistCS;
    arr_t*           glbmlisten_list; /* multi-pump listener records */

    CRITICAL_SECTION evpumplistCS;
    int              curpump;
    arr_t*           evpump_list;     /* running pumps in selection order */
    hashtab_t*       evpump_tab;      /* pumps by thread id */
    time_t           evpump_sorttime;

    CRITICAL_SECTION workerlistCS;
    int              curwk;
    arr_t*           worker_list;     /* every registered worker */
    hashtab_t*       worker_tab;      /* the first live worker under each key */
    time_t           worker_sorttime;

    CRITICAL_SECTION eventnumCS;
    uint64_t         acc_event_num;   /* events ever queued; atomic adds, no lock */

    IOHandler*       callback;        /* default handler */
    void*            cbpara;

    bpool_t*         device_pool;
    bpool_t*         timer_pool;
    bpool_t*         event_pool;
    bpool_t*         evpump_pool;

    /* frame pools, made and cleaned by start-up */
    bpool_t*         raw;
    bpool_t*         rgb;
    bpool_t*         depth;
    bpool_t*         applation_algo;
    bpool_t*         applation_algo_result;

    void*            dnsmgmt;
    void*            hconf;           /* slots for the device code */
    void*            aiq_ctx;

    CRITICAL_SECTION userCS;
    dlist_t*         user_info;       /* connected GigE Vision hosts */

    std::atomic<uint8_t> quit;        /* process-wide stop, never reset */
    std::atomic<uint8_t> streamon;
    time_t           startup_time;

    /* Wall clock in seconds for the selection re-sorts (tests replace it). */
    time_t         (*clockfn)(void);
    /* Pump and worker threads that may still touch the core; teardown waits
     * for this to reach zero. */
    std::atomic<int> threadnum;
};

/* Creation and teardown */
epcore_t* epcore_new(int maxfd, int dispmode);
void      epcore_clean(epcore_t* core);
int       epcore_set_callback(epcore_t* core, IOHandler* cb, void* cbpara);
int       epcore_dnsrv_add(epcore_t* core, const char* ip, int port);
/* Replaces the seconds clock used by the pump and worker selection. */
void      epcore_set_clock(epcore_t* core, time_t (*clockfn)(void));
time_t    epcore_now(epcore_t* core);

/* Threads. A thread that runs a pump or worker loop on the core counts
 * itself in with epcore_thread_enter before it starts (the starter calls it
 * before creating the thread) and out with epcore_thread_leave as its very
 * last use of the core; epcore_clean waits, with a bound, for the count to
 * reach zero before it frees the tables and pools. */
void      epcore_start_evpump(epcore_t* core, int n);
void      epcore_stop_evpump(epcore_t* core);
void      epcore_start_worker(epcore_t* core, int n);
void      epcore_stop_worker(epcore_t* core);
void      epcore_thread_enter(epcore_t* core);
void      epcore_thread_leave(epcore_t* core);

/* Device and timer registry. Ids come from separate counters, from 100. */
uint64_t  epcore_device_nextid(epcore_t* core);
uint64_t  epcore_timer_nextid(epcore_t* core);
/* 0 stored (or already this device); -1 null argument; -100 another device
 * holds the id (reported to the trace log, nothing stored). */
int       epcore_iodev_add(epcore_t* core, iodev_t* dev);
iodev_t*  epcore_iodev_del(epcore_t* core, uint64_t id);
iodev_t*  epcore_iodev_find(epcore_t* core, uint64_t id);
/* Removes the entry under dev->id only when it is this device: 1 removed,
 * 0 not this device's entry, -1 null argument. */
int       epcore_iodev_remove(epcore_t* core, iodev_t* dev);
int       epcore_iotimer_add(epcore_t* core, iotimer_t* timer);
iotimer_t* epcore_iotimer_del(epcore_t* core, uint64_t id);
iotimer_t* epcore_iotimer_find(epcore_t* core, uint64_t id);
int       epcore_iotimer_remove(epcore_t* core, iotimer_t* timer);
int       epcore_iodev_tcpnum(epcore_t* core);
/* The worker under key, or null. Only for asking whether it runs: the
 * record may be freed as soon as this returns. */
worker_t* epcore_worker_find(epcore_t* core, uint64_t key);
/* Runs fn(wk, arg) on the live worker registered under key while its record
 * cannot be freed: under workerlistCS, which a worker takes to mark itself
 * ending before it drains its lists and frees them. A worker that has ended
 * or is ending counts as absent, so whatever it is refused stays with the
 * caller (a frame goes back to its pool) instead of landing on a list that
 * nobody drains. 1 fn ran; 0 no live worker; -1 null core or fn.
 * fn runs under the registry lock: it may take the worker's own locks but
 * must not call the worker registry, and pool items are best released after
 * the call. */
int       epcore_with_worker(epcore_t* core, uint64_t key, void (*fn)(worker_t* wk, void* arg), void* arg);
/* Asks the live worker under key to stop, without waiting for it; as
 * epcore_with_worker returns. */
int       epcore_worker_stop(epcore_t* core, uint64_t key);

/* Pump registry (evpumplistCS) */
int       evpump_thread_add(epcore_t* core, evpump_t* pump);
int       evpump_thread_del(epcore_t* core, evpump_t* pump);
evpump_t* evpump_thread_find(epcore_t* core, uint64_t threadid);
evpump_t* evpump_thread_self(epcore_t* core);
/* by: 1 devices, 2 timers, other both; ascending. */
int       evpump_thread_sort(epcore_t* core, int by);
evpump_t* evpump_thread_select(epcore_t* core);
/* Add the device to every pump's tree and poll / take it out of every pump
 * whose tree holds it. 0; -1 null core; -2 null device. */
int       evpump_thread_setpoll(epcore_t* core, iodev_t* dev);
int       evpump_thread_delpoll(epcore_t* core, iodev_t* dev);

/* Worker registry (workerlistCS). Several workers may share a key: the
 * table holds the first live one and the list holds all. */
int       worker_thread_add(epcore_t* core, worker_t* wk);
int       worker_thread_del(epcore_t* core, worker_t* wk);
/* Marks the worker ending: from then on epcore_with_worker passes it by.
 * Its own thread calls this before draining its lists for the last time. */
int       worker_thread_ending(epcore_t* core, worker_t* wk);
worker_t* worker_thread_find(epcore_t* core, uint64_t key);
worker_t* worker_thread_self(epcore_t* core);
int       worker_thread_sort(epcore_t* core);
worker_t* worker_thread_select(epcore_t* core);

/* Waiting lists */
int       epcore_global_iodev_add(epcore_t* core, iodev_t* dev);
int       epcore_global_iodev_del(epcore_t* core, iodev_t* dev);
int       epcore_global_iodev_getmon(epcore_t* core, evpump_t* pump);
int       epcore_global_iotimer_add(epcore_t* core, iotimer_t* timer);
/* 1 when it was listed and is now removed, else 0. */
int       epcore_global_iotimer_del(epcore_t* core, iotimer_t* timer);
int       epcore_global_iotimer_getmon(epcore_t* core, evpump_t* pump);

void      epcore_print(epcore_t* core);

/* epcore_with_worker for a callable taking the worker: true when it ran. */
template <typename Fn>
bool epcore_with_worker(epcore_t* core, uint64_t key, Fn&& fn)
{
    using F = std::remove_reference_t<Fn>;
    return epcore_with_worker(
               core, key, [](worker_t* wk, void* arg) { (*static_cast<F*>(arg))(wk); },
               const_cast<void*>(static_cast<const void*>(&fn))) == 1;
}

#endif
