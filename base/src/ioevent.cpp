/* Queued events: records from the core's event pool, their dispatch to the
 * producing pump's queue, and their handling on that pump, which drops any
 * event whose device or timer has gone in the meantime. */
#include "ioevent.h"

#include <string.h>
#include <time.h>

#include <new>

#include "bpool.h"
#include "epcore.h"
#include "epdns.h"
#include "hashtab.h"
#include "iodev.h"
#include "iotimer.h"
#include "memory.h"
#include "worker.h"

namespace {

bool is_device_event(int type)
{
    return type >= EVT_CONNECTED && type <= EVT_INVALID;
}

void call_default(epcore_t* core, void* obj, int event, int fdtype)
{
    if (core->callback) core->callback(core->cbpara, obj, event, fdtype);
}

void handle_timer(epcore_t* core, ioevent_t* ev)
{
    /* The event carries the timer's id: a timer stopped after it left the
     * tree, or a record now serving a newer timer, is not claimed. */
    iotimer_t* timer = iotimer_claim(core, static_cast<iotimer_t*>(ev->obj), ev->objid);
    if (!timer) return;
    if (timer->cmdid == TIMER_CMD_LINGER) {
        iodev_t* dev = static_cast<iodev_t*>(timer->para);
        bool mine = false;
        if (dev && dev->alive.load()) {
            EnterCriticalSection(&dev->fdCS);
            mine = dev->iot == timer;
            if (mine) dev->iot = nullptr; /* released below, not by the close */
            LeaveCriticalSection(&dev->fdCS);
        }
        if (mine) iodev_close(dev);
    } else if (timer->callback) {
        timer->callback(timer->cbpara, timer, EVT_TIMEOUT, IODEV_TIMER);
    } else {
        call_default(core, timer, EVT_TIMEOUT, IODEV_TIMER);
    }
    iotimer_release(timer);
}

void handle_device(epcore_t* core, ioevent_t* ev)
{
    iodev_t* dev = static_cast<iodev_t*>(ev->obj);
    if (!dev || epcore_iodev_find(core, ev->objid) != dev) return;
    /* A close on another thread changes these under fdCS; a device bound
     * to every pump is handled on several pumps at once. */
    EnterCriticalSection(&dev->fdCS);
    bool open = dev->fd != -1;
    IOHandler* cb = dev->callback;
    void* cbpara = dev->cbpara;
    int fdtype = dev->fdtype;
    if (open && (ev->type == EVT_CONNECTED || ev->type == EVT_CONNECT_FAILED ||
                 ev->type == EVT_ACCEPT))
        dev->iostate = IOSTATE_READY;
    LeaveCriticalSection(&dev->fdCS);
    if (!open) return;
    if (cb) cb(cbpara, dev, ev->type, fdtype);
    else call_default(core, dev, ev->type, fdtype);
}

/* Runs one event; hooks stay with their pump, everything else goes back to
 * the pool. */
void run_event(epcore_t* core, ioevent_t* ev)
{
    if (ev->externflag) {
        IOHookHandler* cb =
            reinterpret_cast<IOHookHandler*>(reinterpret_cast<void (*)()>(ev->callback));
        if (cb) cb(ev->cbpara, ev->ignresult);
        return;
    }
    switch (ev->type) {
    case EVT_TIMEOUT:
        handle_timer(core, ev);
        break;
    case EVT_DNS:
        dns_msg_handle(static_cast<dns_msg_t*>(ev->obj));
        break;
    default:
        if (is_device_event(ev->type)) {
            handle_device(core, ev);
        } else if (ev->callback) {
            ev->callback(ev->cbpara, ev->obj, ev->type, IODEV_USER_CMD);
        } else {
            call_default(core, ev->obj, ev->type, IODEV_USER_CMD);
        }
        break;
    }
    ioevent_recycle(core, ev);
}

} // namespace

ioevent_t* ioevent_fetch(epcore_t* core)
{
    if (!core || !core->event_pool) return nullptr;
    void* mem = bpool_fetch(core->event_pool);
    if (!mem) return nullptr;
    return new (mem) ioevent_t();
}

int ioevent_recycle(epcore_t* core, ioevent_t* ev)
{
    if (!core || !ev) return -1;
    return bpool_recycle(core->event_pool, ev) == 0 ? 0 : -10;
}

int ioevent_free(void* ev)
{
    if (!ev) return -1;
    kfree(ev);
    return 0;
}

int evpump_ioevent_push(evpump_t* pump, ioevent_t* ev)
{
    if (!pump) return -1;
    if (!ev) return -2;
    EnterCriticalSection(&pump->ioeventlistCS);
    int n = lt_append(pump->ioevent_list, ev);
    LeaveCriticalSection(&pump->ioeventlistCS);
    return n;
}

int ioevent_push(evpump_t* pump, int type, void* obj, IOHandler* cb, void* cbpara)
{
    if (!pump || !pump->epcore) return -1;
    epcore_t* core = pump->epcore;
    ioevent_t* ev = ioevent_fetch(core);
    if (!ev) return -10;
    ev->type     = type;
    ev->obj      = obj;
    ev->objid    = 0;
    ev->callback = cb;
    ev->cbpara   = cbpara;
    ev->evpumpid = pump->threadid;
    ev->workerid = 0;

    /* A counter alone needs no lock of its own on every event. */
    __atomic_fetch_add(&core->acc_event_num, 1, __ATOMIC_RELAXED);

    /* Always through dispatch, so every event records the id of its device
     * or timer and is checked against it when handled. */
    int ret = ioevent_dispatch(pump, ev);
    return ret > 0 ? 0 : ret;
}

int ioevent_dispatch(evpump_t* pump, ioevent_t* ev)
{
    if (!pump || !pump->epcore) return -1;
    if (!ev) return -2;
    epcore_t* core = pump->epcore;

    uint64_t* threadslot = nullptr;
    if (ev->type == EVT_TIMEOUT) {
        iotimer_t* timer = static_cast<iotimer_t*>(ev->obj);
        if (!timer) {
            ioevent_recycle(core, ev);
            return -101;
        }
        ev->objid  = timer->id;
        threadslot = &timer->threadid;
    } else if (ev->type == EVT_DNS) {
        if (!ev->obj) {
            ioevent_recycle(core, ev);
            return -101;
        }
    } else if (is_device_event(ev->type)) {
        iodev_t* dev = static_cast<iodev_t*>(ev->obj);
        if (!dev || __atomic_load_n(&dev->fd, __ATOMIC_RELAXED) == -1) {
            ioevent_recycle(core, ev);
            return -100;
        }
        ev->objid  = dev->id;
        threadslot = &dev->threadid;
    }

    /* Queued while the worker cannot end under us; inside, the registry lock
     * is held, so the tie is looked up in the table directly. */
    int pushed = 0;
    if (epcore_with_worker(core, WORKER_EVENT_ID, [&](worker_t* wk) {
            ev->workerid = wk->threadid;
            if (threadslot) {
                uint64_t tie = *threadslot;
                if (tie <= 9 || !ht_get(core->worker_tab, &tie)) *threadslot = wk->threadid;
            }
            pushed = worker_ioevent_push(wk, ev);
        }))
        return pushed;

    /* Written only when set, so pumps sharing a device do not race on it. */
    if (threadslot && *threadslot) *threadslot = 0;
    evpump_ioevent_push(pump, ev);
    return 0;
}

ioevent_t* ioevent_pop(evpump_t* pump)
{
    if (!pump) return nullptr;
    EnterCriticalSection(&pump->ioeventlistCS);
    ioevent_t* ev = static_cast<ioevent_t*>(lt_rm_head(pump->ioevent_list));
    LeaveCriticalSection(&pump->ioeventlistCS);
    if (ev) return ev;

    EnterCriticalSection(&pump->exteventlistCS);
    int n = arr_num(pump->exteventlist);
    if (pump->exteventindex >= n) pump->exteventindex = 0;
    for (int i = 0; i < n && !ev; i++) {
        int idx = (pump->exteventindex + i) % n;
        ioevent_t* hook = static_cast<ioevent_t*>(arr_value(pump->exteventlist, idx));
        if (!hook || !hook->ignitor) continue;
        hook->ignresult = hook->ignitor(hook->igpara, hook->type);
        if (hook->ignresult >= 0) {
            ev = hook;
            pump->exteventindex = (idx + 1) % n;
        }
    }
    LeaveCriticalSection(&pump->exteventlistCS);
    return ev;
}

int ioevent_handle(evpump_t* pump)
{
    if (!pump || !pump->epcore) return 0;
    epcore_t* core = pump->epcore;
    int count = 0;
    while (!pump->quit.load()) {
        ioevent_t* ev = ioevent_pop(pump);
        if (!ev) break;
        pump->curioe = ev;
        run_event(core, ev);
        pump->curioe = nullptr;
        count++;
    }
    return count;
}

int ioevent_execute(epcore_t* core, ioevent_t* ev)
{
    if (!core) return -1;
    if (!ev) return -2;
    run_event(core, ev);
    return 0;
}

int ioevent_remove(evpump_t* pump, void* obj)
{
    if (!pump || !pump->epcore) return 0;
    return ioevent_list_drop(pump->epcore, &pump->ioeventlistCS, pump->ioevent_list, obj);
}

int ioevent_list_drop(epcore_t* core, CRITICAL_SECTION* cs, dlist_t* list, void* obj)
{
    dlist_t gone = {0, nullptr, nullptr};
    EnterCriticalSection(cs);
    ioevent_t* ev = static_cast<ioevent_t*>(lt_first(list));
    while (ev) {
        ioevent_t* next = static_cast<ioevent_t*>(lt_get_next(ev));
        if (ev->obj == obj && !ev->externflag) {
            lt_delete_ptr(list, ev);
            lt_append(&gone, ev);
        }
        ev = next;
    }
    LeaveCriticalSection(cs);
    /* Back to the pool once the queue's lock is released. */
    int n = 0;
    while (ioevent_t* e = static_cast<ioevent_t*>(lt_rm_head(&gone))) {
        ioevent_recycle(core, e);
        n++;
    }
    return n;
}
