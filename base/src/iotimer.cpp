/* One-shot timers kept in a pump's tree ordered by expiry. A timer is
 * registered in the core by its id from start until it is handled or
 * stopped; whoever takes it out of the registry owns the record and gives
 * it back, so a stop racing the expiry releases it exactly once. */
#include "iotimer.h"

#include <string.h>

#include "bpool.h"
#include "epcore.h"
#include "epwakeup.h"
#include "evpump.h"
#include "ioevent.h"
#include "memory.h"
#include "mthread.h"
#include "trace.h"

namespace {

uint64_t pump_tid(evpump_t* pump)
{
    return std::atomic_ref<uint64_t>(pump->threadid).load();
}

/* Caller holds the pump's timertreeCS. A timer out of any tree has its
 * links cleared, so only the root or a linked node counts as inside. */
bool in_tree(evpump_t* pump, iotimer_t* t)
{
    return t->res.parent != nullptr || pump->timer_tree->root == &t->res;
}

void clear_links(iotimer_t* t)
{
    t->res.parent = t->res.left = t->res.right = nullptr;
}

/* 1 when it was in the pump's tree and is now out. */
int leave_tree(evpump_t* pump, iotimer_t* t)
{
    int removed = 0;
    EnterCriticalSection(&pump->timertreeCS);
    if (in_tree(pump, t) && rbtree_delete_node(pump->timer_tree, &t->res) == 1) {
        clear_links(t);
        removed = 1;
    }
    LeaveCriticalSection(&pump->timertreeCS);
    return removed;
}

bool due(const btime_t& expiry, const btime_t& now)
{
    return expiry.s < now.s || (expiry.s == now.s && expiry.ms <= now.ms);
}

} // namespace

iotimer_t* iotimer_fetch(epcore_t* core)
{
    if (!core) return nullptr;
    auto* t = static_cast<iotimer_t*>(bpool_fetch(core->timer_pool));
    if (!t) t = static_cast<iotimer_t*>(kzalloc(sizeof(iotimer_t)));
    if (!t) return nullptr;
    iotimer_init(t);
    t->epcore = core;
    t->id = epcore_timer_nextid(core);
    if (epcore_iotimer_add(core, t) < 0) {
        iotimer_release(t);
        return nullptr;
    }
    return t;
}

int iotimer_release(iotimer_t* t)
{
    if (!t) return -1;
    epcore_t* core = t->epcore;
    /* A record the pool did not hand out came from the heap. */
    if (!core || bpool_recycle(core->timer_pool, t) == -10) kfree(t);
    return 0;
}

iotimer_t* iotimer_claim(epcore_t* core, iotimer_t* timer, uint64_t id)
{
    if (!core || !timer) return nullptr;
    EnterCriticalSection(&core->timertableCS);
    bool mine = ht_get(core->timer_table, &id) == timer;
    if (mine) ht_delete(core->timer_table, &id);
    LeaveCriticalSection(&core->timertableCS);
    return mine ? timer : nullptr;
}

int iotimer_recycle(iotimer_t* timer)
{
    if (!timer || !timer->epcore) return -1;
    /* Out of the tree before the claim, as in iotimer_stop. */
    if (timer->evpump) leave_tree(timer->evpump, timer);
    if (!iotimer_claim(timer->epcore, timer, timer->id)) return 0;
    return iotimer_release(timer);
}

iotimer_t* iotimer_start(epcore_t* core, int ms, int cmdid, void* para, IOHandler* cb, void* cbpara)
{
    iotimer_t* t = iotimer_fetch(core);
    if (!t) return nullptr;
    t->cmdid = cmdid;
    t->para = para;
    t->callback = cb;
    t->cbpara = cbpara;
    btime_now_add(&t->bintime, ms < 0 ? 0 : ms);
    if (core->dispmode == 1) t->threadid = get_threadid();

    evpump_t* pump = evpump_thread_select(core);
    if (!pump) {
        trlogfile(g_trace_log, 0, nullptr, 0, "iotimer_start: %ld cmdid=%d failed to select an evpump\n",
                  (long)t->id, cmdid);
        epcore_global_iotimer_add(core, t);
        /* A pump that registered after the selection may already have
         * adopted the waiting list: hand the timer over ourselves. */
        pump = evpump_thread_select(core);
        if (pump && epcore_global_iotimer_getmon(core, pump) > 0 && get_threadid() != pump_tid(pump))
            evpump_wakeup_send(pump);
        return t;
    }

    t->evpump = pump;
    EnterCriticalSection(&pump->timertreeCS);
    rbtree_insert(pump->timer_tree, t, t, nullptr);
    LeaveCriticalSection(&pump->timertreeCS);
    if (get_threadid() != pump_tid(pump)) evpump_wakeup_send(pump);
    return t;
}

int iotimer_stop(iotimer_t* timer)
{
    if (!timer) return -1;
    epcore_t* core = timer->epcore;
    if (!core) return 0;

    /* No look-up first: a timer that already fired or was stopped is in no
     * list or tree (its links were cleared when it left), so the steps
     * below find nothing and the claim fails.
     * The waiting list first: once that lock was taken, a pump that adopted
     * the timer has finished and its pump link can be read. */
    if (epcore_global_iotimer_del(core, timer)) {
        epcore_wakeup_send(core);
    } else if (evpump_t* pump = timer->evpump) {
        if (leave_tree(pump, timer) && get_threadid() != pump_tid(pump)) evpump_wakeup_send(pump);
    }
    if (iotimer_claim(core, timer, timer->id)) iotimer_release(timer);
    return 0;
}

int iotimer_check_timeout(evpump_t* pump, btime_t* remaining, int* count)
{
    if (count) *count = 0;
    if (!pump) return -10;
    for (;;) {
        EnterCriticalSection(&pump->timertreeCS);
        auto* t = static_cast<iotimer_t*>(rbtree_min(pump->timer_tree));
        if (!t) {
            LeaveCriticalSection(&pump->timertreeCS);
            return -10;
        }
        btime_t now;
        btime(&now);
        if (!due(t->bintime, now)) {
            if (remaining) *remaining = btime_diff(&now, &t->bintime);
            LeaveCriticalSection(&pump->timertreeCS);
            return 1;
        }
        rbtree_delete_node(pump->timer_tree, &t->res);
        clear_links(t);
        t->threadid = 0;
        /* Queued before the tree lock goes: a stop has to pass that lock
         * before it can release the record, so the event takes the id of
         * this very timer and never that of a newer one in the same record. */
        ioevent_push(pump, EVT_TIMEOUT, t, nullptr, nullptr);
        LeaveCriticalSection(&pump->timertreeCS);
        if (count) (*count)++;
    }
}

uint64_t iotimer_id(iotimer_t* timer) { return timer ? timer->id : 0; }
int iotimer_cmdid(iotimer_t* timer) { return timer ? timer->cmdid : 0; }
void* iotimer_para(iotimer_t* timer) { return timer ? timer->para : nullptr; }
evpump_t* iotimer_evpump(iotimer_t* timer) { return timer ? timer->evpump : nullptr; }
uint64_t iotimer_workerid(iotimer_t* timer) { return timer ? timer->threadid : 0; }

uint64_t iotimer_workerid_set(iotimer_t* timer, uint64_t v)
{
    if (!timer) return 0;
    timer->threadid = v == 1 ? get_threadid() : v;
    return timer->threadid;
}

int iotimer_init(void* unit)
{
    if (!unit) return -1;
    memset(unit, 0, sizeof(iotimer_t));
    return 0;
}

int iotimer_free(void* unit)
{
    kfree(unit);
    return 0;
}

int iotimer_void_free(void* unit) { return iotimer_free(unit); }

int iotimer_cmp_iotimer(void* a, void* b)
{
    auto* x = static_cast<iotimer_t*>(a);
    auto* y = static_cast<iotimer_t*>(b);
    if (x->bintime.s != y->bintime.s) return x->bintime.s < y->bintime.s ? -1 : 1;
    if (x->bintime.ms != y->bintime.ms) return x->bintime.ms < y->bintime.ms ? -1 : 1;
    return 0;
}

int iotimer_cmp_id(void* timer, void* key)
{
    if (!timer || !key) return -1;
    return static_cast<iotimer_t*>(timer)->id == *static_cast<uint64_t*>(key) ? 0 : -1;
}

unsigned long iotimer_hash_func(void* key)
{
    return key ? (unsigned long)*static_cast<uint64_t*>(key) : 0;
}
