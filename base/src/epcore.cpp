/* The process-wide event core: creation and teardown, the registries of
 * devices, timers, pumps and workers, pump and worker selection, and the
 * lists of devices and timers that wait for a pump to start. */
#include "epcore.h"

#include <errno.h>
#include <stdio.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "epdns.h"
#include "epwakeup.h"
#include "evpump.h"
#include "ioevent.h"
#include "iodev.h"
#include "iotimer.h"
#include "memory.h"
#include "mlisten.h"
#include "trace.h"
#include "worker.h"

namespace {

constexpr int kDefaultMaxfd       = 524280;
constexpr int kTableBuckets       = 300000;
constexpr int kThreadTableBuckets = 300;
constexpr int kPumpResortSecs     = 5;
constexpr int kWorkerResortSecs   = 9; /* re-sort when more than this has passed */
/* How long teardown waits for pumps and workers to leave. Event workers
 * sleep up to 5 s between looks at the stop flag, so allow one full wait. */
constexpr int kTeardownWaitMs     = 6000;

time_t default_clock(void) { return time(nullptr); }

int cmp_pump_threadid(void* value, void* key) { return evpump_cmp_threadid(value, key); }

/* Look-ups in a registry table under its lock. */
template <typename T> T* locked_get(CRITICAL_SECTION* cs, hashtab_t* table, void* key)
{
    EnterCriticalSection(cs);
    T* v = static_cast<T*>(ht_get(table, key));
    LeaveCriticalSection(cs);
    return v;
}

template <typename T> T* locked_take(CRITICAL_SECTION* cs, hashtab_t* table, void* key)
{
    EnterCriticalSection(cs);
    T* v = static_cast<T*>(ht_delete(table, key));
    LeaveCriticalSection(cs);
    return v;
}

/* Stores obj under key unless another object holds it: 0 stored (or
 * already there), -100 held by another, -200 no memory. */
int locked_add(CRITICAL_SECTION* cs, hashtab_t* table, void* key, void* obj)
{
    EnterCriticalSection(cs);
    void* held = ht_get(table, key);
    int ret = held == obj ? 0 : held ? -100 : (ht_set(table, key, obj) < 0 ? -200 : 0);
    LeaveCriticalSection(cs);
    return ret;
}

/* Removes key only while it maps to obj: 1 removed, 0 not. */
int locked_remove(CRITICAL_SECTION* cs, hashtab_t* table, void* key, const void* obj)
{
    int removed = 0;
    EnterCriticalSection(cs);
    if (ht_get(table, key) == obj) {
        ht_delete(table, key);
        removed = 1;
    }
    LeaveCriticalSection(cs);
    return removed;
}

bpool_t* make_pool(int unitsize, int allocnum, BPoolUnitFunc init, BPoolUnitFunc freefn)
{
    bpool_t* pool = bpool_init(nullptr);
    if (!pool) return nullptr;
    bpool_set_unitsize(pool, unitsize);
    bpool_set_allocnum(pool, allocnum);
    if (init) bpool_set_initfunc(pool, init);
    if (freefn) bpool_set_freefunc(pool, freefn);
    return pool;
}

void set_open_file_limit(int maxfd)
{
    struct rlimit old;
    if (getrlimit(RLIMIT_NOFILE, &old) != 0) return;
    if (old.rlim_cur != RLIM_INFINITY && old.rlim_cur >= (rlim_t)maxfd) return;
    if (old.rlim_cur == RLIM_INFINITY) return;
    struct rlimit want = old;
    want.rlim_cur = (rlim_t)maxfd;
    if (old.rlim_max != RLIM_INFINITY && old.rlim_max < (rlim_t)maxfd) want.rlim_max = (rlim_t)maxfd;
    if (setrlimit(RLIMIT_NOFILE, &want) != 0) setrlimit(RLIMIT_NOFILE, &old);
}

/* Fix a rotating cursor after a list shrank. */
void clamp_cursor(int* cursor, arr_t* list)
{
    if (*cursor >= arr_num(list)) *cursor = 0;
}

void free_device_value(void* v) { iodev_free(v); }
void free_timer_value(void* v) { iotimer_free(v); }

void visit_tcp(void* usr, void* value)
{
    iodev_t* dev = static_cast<iodev_t*>(value);
    if (dev->fdtype == IODEV_TCP_CONNECTED || dev->fdtype == IODEV_TCP_ACCEPTED)
        (*static_cast<int*>(usr))++;
}

bool threads_gone(epcore_t* core)
{
    if (core->threadnum.load() > 0) return false;
    bool empty = true;
    if (core->evpump_list) {
        EnterCriticalSection(&core->evpumplistCS);
        empty = arr_num(core->evpump_list) == 0;
        LeaveCriticalSection(&core->evpumplistCS);
    }
    if (empty && core->worker_list) {
        EnterCriticalSection(&core->workerlistCS);
        empty = arr_num(core->worker_list) == 0;
        LeaveCriticalSection(&core->workerlistCS);
    }
    /* A worker counts itself in before it unregisters, so read the count
     * again after seeing the lists empty. */
    return empty && core->threadnum.load() == 0;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Creation and teardown                                               */

epcore_t* epcore_new(int maxfd, int dispmode)
{
    void* mem = kzalloc(sizeof(epcore_t));
    if (!mem) return nullptr;
    epcore_t* core = new (mem) epcore_t();

    core->maxfd = maxfd <= 1024 ? kDefaultMaxfd : maxfd;
    set_open_file_limit(core->maxfd);

    core->dispmode     = dispmode;
    core->startup_time = time(nullptr);
    core->wakeupdev    = nullptr;
    core->wakeupfd     = -1;
    core->quit.store(0);
    core->streamon.store(0);
    core->clockfn      = default_clock;
    core->threadnum.store(0);

    InitializeCriticalSection(&core->devicetableCS);
    InitializeCriticalSection(&core->timertableCS);
    InitializeCriticalSection(&core->glbiodevlistCS);
    InitializeCriticalSection(&core->glbiotimerlistCS);
    InitializeCriticalSection(&core->glbmlistenlistCS);
    InitializeCriticalSection(&core->evpumplistCS);
    InitializeCriticalSection(&core->workerlistCS);
    InitializeCriticalSection(&core->eventnumCS);
    InitializeCriticalSection(&core->userCS);

    core->device_pool = make_pool(sizeof(iodev_t), 256, iodev_init, iodev_free);
    core->timer_pool  = make_pool(sizeof(iotimer_t), 256, nullptr, iotimer_free);
    core->event_pool  = make_pool(sizeof(ioevent_t), 64, nullptr, ioevent_free);
    core->evpump_pool = make_pool(sizeof(evpump_t), 8, nullptr, evpump_free);

    core->device_table = ht_only_new(kTableBuckets, iodev_cmp_id);
    ht_set_hash_func(core->device_table, iodev_hash_func);
    core->deviceID = 100;
    core->timer_table = ht_only_new(kTableBuckets, iotimer_cmp_id);
    ht_set_hash_func(core->timer_table, iotimer_hash_func);
    core->timerID = 100;

    core->glbiodev_list   = arr_new(16);
    core->glbiotimer_list = arr_new(32);
    core->glbmlisten_list = arr_new(4);

    core->curpump     = 0;
    core->evpump_list = arr_new(32);
    core->evpump_tab  = ht_only_new(kThreadTableBuckets, cmp_pump_threadid);
    ht_set_hash_func(core->evpump_tab, hash_int64_key);

    core->curwk       = 0;
    core->worker_list = arr_new(64);
    core->worker_tab  = ht_only_new(kThreadTableBuckets, worker_cmp_threadid);
    ht_set_hash_func(core->worker_tab, hash_int64_key);

    core->acc_event_num = 0;
    core->user_info     = lt_new();

    if (!core->device_pool || !core->timer_pool || !core->event_pool || !core->evpump_pool ||
        !core->device_table || !core->timer_table || !core->glbiodev_list ||
        !core->glbiotimer_list || !core->glbmlisten_list || !core->evpump_list ||
        !core->evpump_tab || !core->worker_list || !core->worker_tab || !core->user_info) {
        epcore_clean(core);
        return nullptr;
    }

    epcore_mlisten_init(core);
    epcore_wakeup_init(core);
    core->dnsmgmt = dns_mgmt_init(core, nullptr, nullptr);
    return core;
}

void epcore_clean(epcore_t* core)
{
    if (!core) return;

    dns_mgmt_clean(static_cast<dns_mgmt_t*>(core->dnsmgmt));
    core->dnsmgmt = nullptr;
    if (core->glbmlisten_list) epcore_mlisten_clean(core);

    core->quit.store(1);
    if (core->wakeupfd >= 0) epcore_wakeup_send(core);

    if (core->worker_list) epcore_stop_worker(core);

    /* Wait for the pumps and workers to leave before freeing what they use.
     * Short naps keep this simple; it runs once, at the very end. */
    btime_t start;
    btime(&start);
    bool gone = threads_gone(core);
    for (int round = 1; !gone; round++) {
        btime_t now;
        btime(&now);
        if (btime_diff_ms(&start, &now) > kTeardownWaitMs) break;
        /* A pump that started after the first wake-up still needs one. */
        if (round % 50 == 0 && core->wakeupfd >= 0) epcore_wakeup_send(core);
        usleep(1000);
        gone = threads_gone(core);
    }
    if (!gone) {
        /* Freeing now would pull the tables out from under running threads;
         * leaving the core allocated is the lesser harm. */
        trlogfile(g_trace_log, 1, __FILE__, __LINE__,
                  "epcore_clean: pumps or workers still running after %d ms, core left allocated\n",
                  kTeardownWaitMs);
        return;
    }

    if (core->wakeupdev || core->wakeupfd >= 0) epcore_wakeup_clean(core);

    if (core->device_table) {
        EnterCriticalSection(&core->devicetableCS);
        ht_free_all(core->device_table, free_device_value);
        core->device_table = nullptr;
        LeaveCriticalSection(&core->devicetableCS);
    }
    if (core->timer_table) {
        EnterCriticalSection(&core->timertableCS);
        ht_free_all(core->timer_table, free_timer_value);
        core->timer_table = nullptr;
        LeaveCriticalSection(&core->timertableCS);
    }
    DeleteCriticalSection(&core->devicetableCS);
    DeleteCriticalSection(&core->timertableCS);

    arr_free(core->glbiodev_list);
    arr_free(core->glbiotimer_list);
    arr_free(core->glbmlisten_list);
    arr_free(core->evpump_list);
    ht_free(core->evpump_tab);
    arr_free(core->worker_list);
    ht_free(core->worker_tab);
    lt_free(core->user_info);

    DeleteCriticalSection(&core->glbiodevlistCS);
    DeleteCriticalSection(&core->glbiotimerlistCS);
    DeleteCriticalSection(&core->glbmlistenlistCS);
    DeleteCriticalSection(&core->evpumplistCS);
    DeleteCriticalSection(&core->workerlistCS);
    DeleteCriticalSection(&core->eventnumCS);
    DeleteCriticalSection(&core->userCS);

    bpool_clean(core->timer_pool);
    bpool_clean(core->device_pool);
    bpool_clean(core->event_pool);
    bpool_clean(core->evpump_pool);

    core->~epcore_t();
    kfree(core);
}

int epcore_set_callback(epcore_t* core, IOHandler* cb, void* cbpara)
{
    if (!core) return -1;
    core->callback = cb;
    core->cbpara   = cbpara;
    return 0;
}

int epcore_dnsrv_add(epcore_t* core, const char* ip, int port)
{
    if (!core) return -1;
    return dns_nsrv_append(static_cast<dns_mgmt_t*>(core->dnsmgmt), ip, port);
}

void epcore_set_clock(epcore_t* core, time_t (*clockfn)(void))
{
    if (!core) return;
    core->clockfn = clockfn ? clockfn : default_clock;
}

time_t epcore_now(epcore_t* core)
{
    if (!core || !core->clockfn) return time(nullptr);
    return core->clockfn();
}

/* ------------------------------------------------------------------ */
/* Threads                                                             */

void epcore_start_evpump(epcore_t* core, int n)
{
    if (!core) return;
    for (int i = 0; i < n; i++) evpump_main_start(core, 1);
}

void epcore_stop_evpump(epcore_t* core)
{
    if (!core) return;
    core->quit.store(1);
    epcore_wakeup_send(core);
}

void epcore_start_worker(epcore_t* core, int n)
{
    if (!core) return;
    for (int i = 0; i < n; i++) worker_main_start(core, 1);
}

void epcore_stop_worker(epcore_t* core)
{
    if (!core) return;
    EnterCriticalSection(&core->workerlistCS);
    for (int i = 0; i < arr_num(core->worker_list); i++)
        worker_main_stop(static_cast<worker_t*>(arr_value(core->worker_list, i)));
    LeaveCriticalSection(&core->workerlistCS);
}

void epcore_thread_enter(epcore_t* core)
{
    if (core) core->threadnum.fetch_add(1);
}

void epcore_thread_leave(epcore_t* core)
{
    if (core) core->threadnum.fetch_sub(1);
}

/* ------------------------------------------------------------------ */
/* Device and timer registry                                           */

uint64_t epcore_device_nextid(epcore_t* core)
{
    if (!core) return 0;
    EnterCriticalSection(&core->devicetableCS);
    if (core->deviceID < 100) core->deviceID = 100;
    uint64_t id = core->deviceID++;
    LeaveCriticalSection(&core->devicetableCS);
    return id;
}

uint64_t epcore_timer_nextid(epcore_t* core)
{
    if (!core) return 0;
    EnterCriticalSection(&core->timertableCS);
    if (core->timerID < 100) core->timerID = 100;
    uint64_t id = core->timerID++;
    LeaveCriticalSection(&core->timertableCS);
    return id;
}

int epcore_iodev_add(epcore_t* core, iodev_t* dev)
{
    if (!core || !dev) return -1;
    int ret = locked_add(&core->devicetableCS, core->device_table, &dev->id, dev);
    if (ret == -100)
        trlogfile(g_trace_log, 1, __FILE__, __LINE__,
                  "epcore_iodev_add: id %lu already held by another device, fd %d not registered\n",
                  (unsigned long)dev->id, dev->fd);
    return ret;
}

iodev_t* epcore_iodev_del(epcore_t* core, uint64_t id)
{
    return core ? locked_take<iodev_t>(&core->devicetableCS, core->device_table, &id) : nullptr;
}

iodev_t* epcore_iodev_find(epcore_t* core, uint64_t id)
{
    return core ? locked_get<iodev_t>(&core->devicetableCS, core->device_table, &id) : nullptr;
}

int epcore_iodev_remove(epcore_t* core, iodev_t* dev)
{
    if (!core || !dev) return -1;
    return locked_remove(&core->devicetableCS, core->device_table, &dev->id, dev);
}

int epcore_iotimer_add(epcore_t* core, iotimer_t* timer)
{
    if (!core || !timer) return -1;
    return locked_add(&core->timertableCS, core->timer_table, &timer->id, timer);
}

iotimer_t* epcore_iotimer_del(epcore_t* core, uint64_t id)
{
    return core ? locked_take<iotimer_t>(&core->timertableCS, core->timer_table, &id) : nullptr;
}

iotimer_t* epcore_iotimer_find(epcore_t* core, uint64_t id)
{
    return core ? locked_get<iotimer_t>(&core->timertableCS, core->timer_table, &id) : nullptr;
}

int epcore_iotimer_remove(epcore_t* core, iotimer_t* timer)
{
    if (!core || !timer) return -1;
    return locked_remove(&core->timertableCS, core->timer_table, &timer->id, timer);
}

int epcore_iodev_tcpnum(epcore_t* core)
{
    if (!core) return 0;
    int n = 0;
    EnterCriticalSection(&core->devicetableCS);
    ht_traverse(core->device_table, &n, visit_tcp);
    LeaveCriticalSection(&core->devicetableCS);
    return n;
}

worker_t* epcore_worker_find(epcore_t* core, uint64_t key)
{
    return worker_thread_find(core, key);
}

int epcore_with_worker(epcore_t* core, uint64_t key, void (*fn)(worker_t* wk, void* arg), void* arg)
{
    if (!core || !fn) return -1;
    EnterCriticalSection(&core->workerlistCS);
    auto* wk = static_cast<worker_t*>(ht_get(core->worker_tab, &key));
    bool live = wk && !wk->ending;
    if (live) fn(wk, arg);
    LeaveCriticalSection(&core->workerlistCS);
    return live ? 1 : 0;
}

int epcore_worker_stop(epcore_t* core, uint64_t key)
{
    return epcore_with_worker(
        core, key, [](worker_t* wk, void*) { worker_stop(wk); }, nullptr);
}

/* ------------------------------------------------------------------ */
/* Pump registry                                                       */

int evpump_thread_add(epcore_t* core, evpump_t* pump)
{
    if (!core) return -1;
    if (!pump) return -2;
    EnterCriticalSection(&core->evpumplistCS);
    evpump_t* held = static_cast<evpump_t*>(ht_get(core->evpump_tab, &pump->threadid));
    if (held != pump) {
        if (held) {
            /* A record left behind under a reused thread id. */
            ht_delete(core->evpump_tab, &pump->threadid);
            arr_delete_ptr(core->evpump_list, held);
        }
        ht_set(core->evpump_tab, &pump->threadid, pump);
        if (!arr_search(core->evpump_list, pump, nullptr)) arr_push(core->evpump_list, pump);
    }
    clamp_cursor(&core->curpump, core->evpump_list);
    LeaveCriticalSection(&core->evpumplistCS);
    return 0;
}

int evpump_thread_del(epcore_t* core, evpump_t* pump)
{
    if (!core) return -1;
    if (!pump) return -2;
    EnterCriticalSection(&core->evpumplistCS);
    if (ht_get(core->evpump_tab, &pump->threadid) == pump)
        ht_delete(core->evpump_tab, &pump->threadid);
    arr_delete_ptr(core->evpump_list, pump);
    clamp_cursor(&core->curpump, core->evpump_list);
    LeaveCriticalSection(&core->evpumplistCS);
    return 0;
}

evpump_t* evpump_thread_find(epcore_t* core, uint64_t threadid)
{
    return core ? locked_get<evpump_t>(&core->evpumplistCS, core->evpump_tab, &threadid) : nullptr;
}

evpump_t* evpump_thread_self(epcore_t* core)
{
    return evpump_thread_find(core, (uint64_t)get_threadid());
}

static void sort_pumps_locked(epcore_t* core, int by)
{
    ArrCmp cmp = by == 1 ? evpump_cmp_evpump_by_devnum
               : by == 2 ? evpump_cmp_evpump_by_timernum
                         : evpump_cmp_evpump_by_objnum;
    arr_sort_by(core->evpump_list, cmp);
    core->evpump_sorttime = epcore_now(core);
}

int evpump_thread_sort(epcore_t* core, int by)
{
    if (!core) return -1;
    EnterCriticalSection(&core->evpumplistCS);
    sort_pumps_locked(core, by);
    LeaveCriticalSection(&core->evpumplistCS);
    return 0;
}

evpump_t* evpump_thread_select(epcore_t* core)
{
    if (!core) return nullptr;
    evpump_t* p = nullptr;
    EnterCriticalSection(&core->evpumplistCS);
    int n = arr_num(core->evpump_list);
    if (n > 0) {
        if (epcore_now(core) - core->evpump_sorttime > kPumpResortSecs) {
            sort_pumps_locked(core, 0);
            core->curpump = 0;
        } else if (++core->curpump >= n) {
            core->curpump = 0;
        }
        p = static_cast<evpump_t*>(arr_value(core->evpump_list, core->curpump));
    }
    LeaveCriticalSection(&core->evpumplistCS);
    return p;
}

int evpump_thread_setpoll(epcore_t* core, iodev_t* dev)
{
    if (!core) return -1;
    if (!dev) return -2;
    arr_t* stale = nullptr;
    EnterCriticalSection(&core->evpumplistCS);
    for (int i = 0; i < arr_num(core->evpump_list); i++)
        iodev_tree_join(static_cast<evpump_t*>(arr_value(core->evpump_list, i)), dev, &stale);
    LeaveCriticalSection(&core->evpumplistCS);
    iodev_stale_close(stale);
    return 0;
}

int evpump_thread_delpoll(epcore_t* core, iodev_t* dev)
{
    if (!core) return -1;
    if (!dev) return -2;
    EnterCriticalSection(&core->evpumplistCS);
    for (int i = 0; i < arr_num(core->evpump_list); i++) {
        evpump_t* pump = static_cast<evpump_t*>(arr_value(core->evpump_list, i));
        iodev_tree_leave(pump, dev, 1);
    }
    LeaveCriticalSection(&core->evpumplistCS);
    return 0;
}

/* ------------------------------------------------------------------ */
/* Worker registry                                                     */

int worker_thread_add(epcore_t* core, worker_t* wk)
{
    if (!core) return -1;
    if (!wk) return -2;
    EnterCriticalSection(&core->workerlistCS);
    /* The table holds the first live worker of a key; later workers under
     * the same key are only listed until the first one leaves. */
    if (!ht_get(core->worker_tab, &wk->threadid)) ht_set(core->worker_tab, &wk->threadid, wk);
    if (!arr_search(core->worker_list, wk, nullptr)) arr_push(core->worker_list, wk);
    LeaveCriticalSection(&core->workerlistCS);
    return 0;
}

int worker_thread_del(epcore_t* core, worker_t* wk)
{
    if (!core) return -1;
    if (!wk) return -2;
    EnterCriticalSection(&core->workerlistCS);
    arr_delete_ptr(core->worker_list, wk);
    if (ht_get(core->worker_tab, &wk->threadid) == wk) {
        ht_delete(core->worker_tab, &wk->threadid);
        /* Hand the key to another live worker registered under it. */
        for (int i = 0; i < arr_num(core->worker_list); i++) {
            worker_t* other = static_cast<worker_t*>(arr_value(core->worker_list, i));
            if (other->threadid == wk->threadid) {
                ht_set(core->worker_tab, &other->threadid, other);
                break;
            }
        }
    }
    clamp_cursor(&core->curwk, core->worker_list);
    LeaveCriticalSection(&core->workerlistCS);
    return 0;
}

int worker_thread_ending(epcore_t* core, worker_t* wk)
{
    if (!core) return -1;
    if (!wk) return -2;
    /* Under the lock, so a hand-over that found the worker live has finished
     * with its lists before the worker drains them. */
    EnterCriticalSection(&core->workerlistCS);
    wk->ending = 1;
    LeaveCriticalSection(&core->workerlistCS);
    return 0;
}

worker_t* worker_thread_find(epcore_t* core, uint64_t key)
{
    return core ? locked_get<worker_t>(&core->workerlistCS, core->worker_tab, &key) : nullptr;
}

worker_t* worker_thread_self(epcore_t* core)
{
    return worker_thread_find(core, (uint64_t)get_threadid());
}

static void sort_workers_locked(epcore_t* core)
{
    arr_sort_by(core->worker_list, worker_cmp_worker_by_load);
    core->worker_sorttime = epcore_now(core);
}

int worker_thread_sort(epcore_t* core)
{
    if (!core) return -1;
    EnterCriticalSection(&core->workerlistCS);
    sort_workers_locked(core);
    LeaveCriticalSection(&core->workerlistCS);
    return 0;
}

worker_t* worker_thread_select(epcore_t* core)
{
    if (!core) return nullptr;
    worker_t* wk = nullptr;
    EnterCriticalSection(&core->workerlistCS);
    int n = arr_num(core->worker_list);
    if (n > 0) {
        if (epcore_now(core) - core->worker_sorttime > kWorkerResortSecs) {
            sort_workers_locked(core);
            core->curwk = 0;
        } else if (++core->curwk >= n) {
            core->curwk = 0;
        }
        wk = static_cast<worker_t*>(arr_value(core->worker_list, core->curwk));
    }
    LeaveCriticalSection(&core->workerlistCS);
    return wk;
}

/* ------------------------------------------------------------------ */
/* Waiting lists                                                       */

int epcore_global_iodev_add(epcore_t* core, iodev_t* dev)
{
    if (!core) return -1;
    if (!dev) return -2;
    EnterCriticalSection(&core->glbiodevlistCS);
    if (!arr_search(core->glbiodev_list, dev, nullptr)) arr_push(core->glbiodev_list, dev);
    LeaveCriticalSection(&core->glbiodevlistCS);
    return 0;
}

int epcore_global_iodev_del(epcore_t* core, iodev_t* dev)
{
    if (!core) return -1;
    if (!dev) return -2;
    EnterCriticalSection(&core->glbiodevlistCS);
    int removed = arr_delete_ptr(core->glbiodev_list, dev) ? 1 : 0;
    LeaveCriticalSection(&core->glbiodevlistCS);
    return removed;
}

int epcore_global_iodev_getmon(epcore_t* core, evpump_t* pump)
{
    if (!core) return -1;
    if (!pump) return -2;
    arr_t* stale = nullptr;
    EnterCriticalSection(&core->glbiodevlistCS);
    int i = 0;
    while (i < arr_num(core->glbiodev_list)) {
        iodev_t* dev = static_cast<iodev_t*>(arr_value(core->glbiodev_list, i));
        if (!dev || dev->fd == -1) {
            arr_delete(core->glbiodev_list, i);
            continue;
        }
        if (iodev_tree_has(pump, dev)) {
            i++;
            continue;
        }
        if (dev->bindtype != BIND_ALL) {
            arr_delete(core->glbiodev_list, i);
            dev->evpump = pump;
        } else {
            i++;
        }
        iodev_tree_join(pump, dev, &stale);
    }
    LeaveCriticalSection(&core->glbiodevlistCS);
    iodev_stale_close(stale);
    return 0;
}

int epcore_global_iotimer_add(epcore_t* core, iotimer_t* timer)
{
    if (!core) return -1;
    if (!timer) return -2;
    EnterCriticalSection(&core->glbiotimerlistCS);
    if (!arr_search(core->glbiotimer_list, timer, nullptr)) arr_push(core->glbiotimer_list, timer);
    LeaveCriticalSection(&core->glbiotimerlistCS);
    return 0;
}

int epcore_global_iotimer_del(epcore_t* core, iotimer_t* timer)
{
    if (!core || !timer) return 0;
    EnterCriticalSection(&core->glbiotimerlistCS);
    int removed = arr_delete_ptr(core->glbiotimer_list, timer) ? 1 : 0;
    LeaveCriticalSection(&core->glbiotimerlistCS);
    return removed;
}

int epcore_global_iotimer_getmon(epcore_t* core, evpump_t* pump)
{
    if (!core) return -1;
    if (!pump) return -2;
    EnterCriticalSection(&core->glbiotimerlistCS);
    int n = arr_num(core->glbiotimer_list);
    for (int i = 0; i < n; i++) {
        iotimer_t* t = static_cast<iotimer_t*>(arr_value(core->glbiotimer_list, i));
        EnterCriticalSection(&pump->timertreeCS);
        t->evpump = pump;
        rbtree_insert(pump->timer_tree, t, t, nullptr);
        LeaveCriticalSection(&pump->timertreeCS);
    }
    arr_zero(core->glbiotimer_list);
    LeaveCriticalSection(&core->glbiotimerlistCS);
    return n;
}

/* ------------------------------------------------------------------ */

void epcore_print(epcore_t* core)
{
    if (!core) return;
    EnterCriticalSection(&core->evpumplistCS);
    int n = arr_num(core->evpump_list);
    printf("Total evpump thread %d:\n", n);
    for (int i = 0; i < n; i++) {
        evpump_t* p = static_cast<evpump_t*>(arr_value(core->evpump_list, i));
        printf("  [Thread %d]:%lu iodev:%d iotimer:%d\n", i + 1, (unsigned long)p->threadid,
               evpump_objnum(p, 1), evpump_objnum(p, 2));
    }
    LeaveCriticalSection(&core->evpumplistCS);

    EnterCriticalSection(&core->workerlistCS);
    n = arr_num(core->worker_list);
    printf("Total worker thread %d:\n", n);
    for (int i = 0; i < n; i++) {
        worker_t* w = static_cast<worker_t*>(arr_value(core->worker_list, i));
        printf("  [Thread %d]:%lu idle_time:%lu working_time:%lu working_ratio:%.3f "
               "execute_event:%lu pending_event:%d\n",
               i + 1, (unsigned long)w->threadid, (unsigned long)w->acc_idle_time,
               (unsigned long)w->acc_working_time, w->working_ratio,
               (unsigned long)w->acc_event_num, worker_ioevent_num(w));
    }
    LeaveCriticalSection(&core->workerlistCS);
    fflush(stdout);
}
