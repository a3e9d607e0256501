/* Worker threads: task threads registered under their numeric id before
 * they run, and event workers that wait for queued events. Items left on a
 * worker's lists when it ends go back through the worker's release
 * function (data items) or to the core's event pool (events). */
#include "worker.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <new>

#include "bpool.h"
#include "epcore.h"
#include "ioevent.h"
#include "memory.h"

namespace {

constexpr int kIdleWaitMs     = 5000;
constexpr int kRatioWindowMs  = 9999;
constexpr int kStopSignal     = -10;
constexpr int kWakeSignal     = 100;

void heap_release(epcore_t*, void* item) { kfree(item); }

int64_t ms_between(const btime_t& a, const btime_t& b) { return btime_diff_ms(&a, &b); }

void set_load(worker_t* wk, int v) { __atomic_store_n(&wk->workload, v, __ATOMIC_RELAXED); }
int get_load(worker_t* wk) { return __atomic_load_n(&wk->workload, __ATOMIC_RELAXED); }

/* Releases what is left on both lists. */
void drain_lists(worker_t* wk)
{
    epcore_t* core = wk->epcore;
    if (wk->data_list) {
        WorkerDataFree* release = wk->datafree ? wk->datafree : heap_release;
        EnterCriticalSection(&wk->datalistCS);
        while (void* item = lt_rm_head(wk->data_list)) release(core, item);
        LeaveCriticalSection(&wk->datalistCS);
    }
    if (wk->ioevent_list) {
        EnterCriticalSection(&wk->ioeventlistCS);
        while (ioevent_t* ev = static_cast<ioevent_t*>(lt_rm_head(wk->ioevent_list)))
            ioevent_recycle(core, ev);
        LeaveCriticalSection(&wk->ioeventlistCS);
    }
}

/* Frees the record and what it owns; the lists must be empty. */
void free_record(worker_t* wk)
{
    if (wk->ioevent) {
        event_signal(wk->ioevent, kStopSignal);
        event_destroy(wk->ioevent);
    }
    lt_free(wk->data_list);
    lt_free(wk->ioevent_list);
    DeleteCriticalSection(&wk->datalistCS);
    DeleteCriticalSection(&wk->ioeventlistCS);
    wk->~worker_t();
    kfree(wk);
}

/* A registered worker's end. Hand-overs through epcore_with_worker are
 * refused first, so the one drain finds everything ever queued; it runs
 * before the key goes, so whoever waits for the key to vanish finds the
 * items back in their pools (and queued events back in the core's pool
 * before teardown frees it). Producers reach the record only under the
 * registry lock, which the unregistration takes, so none is left using it
 * when it is freed. */
void leave(epcore_t* core, worker_t* wk)
{
    worker_thread_ending(core, wk);
    drain_lists(wk);
    worker_thread_del(core, wk);
    free_record(wk);
}

} // namespace

worker_t* worker_new(epcore_t* core)
{
    void* mem = kzalloc(sizeof(worker_t));
    if (!mem) return nullptr;
    worker_t* wk = new (mem) worker_t();
    wk->epcore = core;
    wk->quit.store(0);
    InitializeCriticalSection(&wk->ioeventlistCS);
    InitializeCriticalSection(&wk->datalistCS);
    wk->ioevent_list = lt_new();
    wk->data_list    = lt_new();
    wk->ioevent      = event_create();
    wk->datafree     = heap_release;
    btime(&wk->start_time);
    wk->count_tick = wk->start_time;
    if (!wk->ioevent_list || !wk->data_list || !wk->ioevent) {
        free_record(wk);
        return nullptr;
    }
    return wk;
}

int worker_free(worker_t* wk)
{
    if (!wk) return -1;
    drain_lists(wk);
    free_record(wk);
    return 0;
}

void worker_set_datafree(worker_t* wk, WorkerDataFree* fn)
{
    if (wk) wk->datafree = fn ? fn : heap_release;
}

int worker_create(epcore_t* core, uint64_t id, void* (*fn)(void*))
{
    if (!core || !fn) return -1;
    worker_t* wk = worker_new(core);
    if (!wk) return -100;
    wk->workerid = id;
    /* Registered before the thread exists: a task that ends at once must
     * find itself in the registry when it unregisters. */
    wk->threadid = id;
    worker_thread_add(core, wk);
    if (thread_start_detached(fn, wk) != 0) {
        worker_thread_del(core, wk);
        worker_free(wk);
        return -2;
    }
    return 0;
}

int worker_destory(worker_t* wk)
{
    if (!wk) return -1;
    epcore_t* core = wk->epcore;
    /* Counted in while it still uses the core's pools, so teardown waits. */
    epcore_thread_enter(core);
    leave(core, wk);
    epcore_thread_leave(core);
    return 0;
}

int worker_stop(worker_t* wk)
{
    if (!wk) return -1;
    wk->quit.store(1);
    return 0;
}

uint64_t workerid(worker_t* wk) { return wk ? wk->threadid : 0; }

int worker_main_start(epcore_t* core, int forkone)
{
    if (!core) return -1;
    worker_t* wk = worker_new(core);
    if (!wk) return -100;
    epcore_thread_enter(core);
    if (!forkone) {
        worker_proc_entry(wk);
        return 0;
    }
    if (thread_start_detached(worker_proc_entry, wk) != 0) {
        worker_free(wk);
        epcore_thread_leave(core);
        return -2;
    }
    return 0;
}

int worker_main_stop(worker_t* wk)
{
    if (!wk) return -1;
    wk->quit.store(1);
    event_signal(wk->ioevent, kStopSignal);
    return 0;
}

void* worker_proc_entry(void* arg)
{
    pthread_detach(pthread_self());
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    worker_main_proc(static_cast<worker_t*>(arg));
    return nullptr;
}

int worker_main_proc(worker_t* wk)
{
    if (!wk) return -1;
    epcore_t* core = wk->epcore;
    wk->threadid = (uint64_t)get_threadid();
    wk->workerid = WORKER_EVENT_ID;
    worker_thread_add(core, wk);
    btime(&wk->start_time);
    wk->count_tick = wk->start_time;
    btime_t mark = wk->start_time;

    int iter = 0;
    while (!core->quit.load() && !wk->quit.load()) {
        iter++;
        /* Taken at once when queued: one pass of the queue's lock per event. */
        ioevent_t* ev = worker_ioevent_pop(wk);
        if (!ev) {
            worker_real_load(wk);
            event_wait(wk->ioevent, kIdleWaitMs);
            worker_real_load(wk);
            if (core->quit.load() || wk->quit.load()) break;
            iter = 1;
        }
        btime_t t0;
        btime(&t0);
        wk->acc_idle_time += (uint64_t)ms_between(mark, t0);

        if (!ev) ev = worker_ioevent_pop(wk);
        if (ev) {
            wk->curioe = ev;
            ioevent_execute(core, ev);
            wk->curioe = nullptr;
            wk->acc_event_num++;
        }
        btime_t t1;
        btime(&t1);
        mark = t1;
        uint64_t spent = (uint64_t)ms_between(t0, t1);
        wk->acc_working_time += spent;
        wk->working_time += spent;

        int64_t window = ms_between(wk->count_tick, t1);
        if (window > kRatioWindowMs) {
            wk->working_ratio = (double)wk->working_time / (double)window;
            wk->count_tick    = t1;
            wk->working_time  = 0;
            worker_real_load(wk);
        } else if (iter % 10 == 0) {
            worker_real_load(wk);
        }
    }

    leave(core, wk);
    epcore_thread_leave(core);
    return 0;
}

/* ------------------------------------------------------------------ */
/* Event queue                                                         */

int worker_ioevent_push(worker_t* wk, ioevent_t* ev)
{
    if (!wk) return -1;
    if (!ev) return -2;
    EnterCriticalSection(&wk->ioeventlistCS);
    for (ioevent_t* q = static_cast<ioevent_t*>(lt_first(wk->ioevent_list)); q;
         q = static_cast<ioevent_t*>(lt_get_next(q))) {
        if (ev->obj && q->obj == ev->obj && q->type == ev->type && q->callback == ev->callback &&
            q->cbpara == ev->cbpara) {
            LeaveCriticalSection(&wk->ioeventlistCS);
            ioevent_recycle(wk->epcore, ev);
            return 0;
        }
    }
    ev->stamp = time(nullptr);
    lt_append(wk->ioevent_list, ev);
    LeaveCriticalSection(&wk->ioeventlistCS);
    event_set(wk->ioevent, kWakeSignal);
    return 0;
}

ioevent_t* worker_ioevent_pop(worker_t* wk)
{
    if (!wk) return nullptr;
    EnterCriticalSection(&wk->ioeventlistCS);
    ioevent_t* ev = static_cast<ioevent_t*>(lt_rm_head(wk->ioevent_list));
    LeaveCriticalSection(&wk->ioeventlistCS);
    return ev;
}

int worker_ioevent_num(worker_t* wk)
{
    if (!wk) return -1;
    EnterCriticalSection(&wk->ioeventlistCS);
    int n = lt_num(wk->ioevent_list);
    LeaveCriticalSection(&wk->ioeventlistCS);
    return n;
}

int worker_ioevent_remove(worker_t* wk, void* obj)
{
    if (!wk) return -1;
    if (!wk->epcore) return -2;
    return ioevent_list_drop(wk->epcore, &wk->ioeventlistCS, wk->ioevent_list, obj);
}

/* ------------------------------------------------------------------ */
/* Load figures                                                        */

int worker_real_load(worker_t* wk)
{
    if (!wk || !wk->epcore) return 0;
    epcore_t* core = wk->epcore;
    int load = 0;
    int handed = bpool_fetched_num(core->event_pool);
    if (handed > 0) load = (int)((double)worker_ioevent_num(wk) / handed * 600.0);
    load = (int)(wk->working_ratio * 300.0 + load);
    uint64_t total = __atomic_load_n(&core->acc_event_num, __ATOMIC_RELAXED);
    if (total > 0) load = (int)((double)wk->acc_event_num / (double)total * 100.0 + load);
    set_load(wk, load);
    return load;
}

int worker_perf(worker_t* wk, uint64_t* elapsed_ms, uint64_t* idle_ms, uint64_t* working_ms,
                uint64_t* events)
{
    if (!wk) return -1;
    btime_t now;
    btime(&now);
    if (elapsed_ms) *elapsed_ms = (uint64_t)ms_between(wk->start_time, now);
    if (idle_ms) *idle_ms = wk->acc_idle_time;
    if (working_ms) *working_ms = wk->acc_working_time;
    if (events) *events = wk->acc_event_num;
    return 0;
}

/* ------------------------------------------------------------------ */
/* Comparators                                                         */

int worker_cmp_threadid(void* a, void* key)
{
    worker_t* wk = static_cast<worker_t*>(a);
    if (!wk || !key) return -1;
    uint64_t k = *static_cast<uint64_t*>(key);
    return wk->threadid > k ? 1 : (wk->threadid < k ? -1 : 0);
}

int worker_cmp_worker_by_load(void* a, void* b)
{
    worker_t* x = *static_cast<worker_t**>(a);
    worker_t* y = *static_cast<worker_t**>(b);
    return get_load(x) - get_load(y);
}

int worker_cmp_worker_by_eventnum(void* a, void* b)
{
    worker_t* x = *static_cast<worker_t**>(a);
    worker_t* y = *static_cast<worker_t**>(b);
    return worker_ioevent_num(x) - worker_ioevent_num(y);
}
