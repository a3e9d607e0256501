/* Event pump: the thread loop (expired timers, queued events, epoll wait),
 * its record with the device and timer trees, hooks, and the descriptor
 * scan. A pump record lives in the core's pump pool; its locks and
 * containers are made on first use and kept while the record is pooled, so
 * a thread still holding the pointer never meets a destroyed lock. */
#include "evpump.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string.h>

#include "bpool.h"
#include "epcore.h"
#include "epepoll.h"
#include "epwakeup.h"
#include "iodev.h"
#include "ioevent.h"
#include "iotimer.h"
#include "memory.h"
#include "mlisten.h"

namespace {

std::atomic_ref<uint64_t> tid_of(evpump_t* pump) { return std::atomic_ref<uint64_t>(pump->threadid); }

void* pump_thread(void* arg)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    evpump_main_proc(static_cast<evpump_t*>(arg));
    return nullptr;
}

/* First use of a pool record: containers and locks that then stay with it. */
bool pump_setup(evpump_t* pump)
{
    if (pump->device_tree) return true;
    rbtree_t* dt = rbtree_new(iodev_cmp_fd, 1);
    rbtree_t* tt = rbtree_new(iotimer_cmp_iotimer, 0);
    dlist_t* el = lt_new();
    arr_t* hooks = arr_new(16);
    if (!dt || !tt || !el || !hooks) {
        rbtree_free(dt);
        rbtree_free(tt);
        lt_free(el);
        arr_free(hooks);
        return false;
    }
    InitializeCriticalSection(&pump->devicetreeCS);
    InitializeCriticalSection(&pump->timertreeCS);
    InitializeCriticalSection(&pump->ioeventlistCS);
    InitializeCriticalSection(&pump->exteventlistCS);
    pump->timer_tree = tt;
    pump->ioevent_list = el;
    pump->exteventlist = hooks;
    pump->device_tree = dt;
    return true;
}

void count_tcp(void* para, void* /*key*/, void* obj, int /*index*/)
{
    auto* dev = static_cast<iodev_t*>(obj);
    if (dev->fdtype == IODEV_TCP_CONNECTED || dev->fdtype == IODEV_TCP_ACCEPTED)
        (*static_cast<int*>(para))++;
}

bool hook_matches(ioevent_t* ev, IOIgnitor* ignitor, void* igpara, IOHookHandler* cb, void* cbpara)
{
    return ev->ignitor == ignitor && ev->igpara == igpara &&
           ev->callback == reinterpret_cast<IOHandler*>(reinterpret_cast<void (*)()>(cb)) &&
           ev->cbpara == cbpara;
}

} // namespace

evpump_t* evpump_new(epcore_t* core)
{
    if (!core) return nullptr;
    auto* pump = static_cast<evpump_t*>(bpool_fetch(core->evpump_pool));
    if (!pump) return nullptr;
    if (!pump_setup(pump)) {
        bpool_recycle(core->evpump_pool, pump);
        return nullptr;
    }
    evpump_init(pump);
    pump->deblock_times = 0;
    pump->blocking = 0;
    pump->epcore = core;
    pump->curioe = nullptr;
    pump->exteventindex = 0;
    tid_of(pump).store(0);
    pump->wakeupfd = -1;
    pump->wakeupdev = nullptr;

    if (evpump_epoll_init(pump, core->maxfd) < 0) {
        bpool_recycle(core->evpump_pool, pump);
        return nullptr;
    }
    pump->setpoll = evpump_epoll_setpoll;
    pump->delpoll = evpump_epoll_clearpoll;
    pump->fddispatch = evpump_epoll_dispatch;

    if (evpump_wakeup_init(pump) < 0) {
        evpump_epoll_clean(pump);
        bpool_recycle(core->evpump_pool, pump);
        return nullptr;
    }
    return pump;
}

int evpump_init(evpump_t* pump)
{
    if (!pump) return -1;
    pump->quit = 0;
    return 0;
}

int evpump_recycle(evpump_t* pump)
{
    if (!pump) return -1;
    epcore_t* core = pump->epcore;
    pump->quit = 1;
    tid_of(pump).store(0);
    evpump_wakeup_clean(pump);

    /* Devices join and leave the poll set under the tree's lock: emptied and
     * closed under it, the poll set is never touched after the close. */
    EnterCriticalSection(&pump->devicetreeCS);
    rbtree_zero(pump->device_tree);
    evpump_epoll_clean(pump);
    LeaveCriticalSection(&pump->devicetreeCS);

    /* Timers left in the tree stay registered; the core frees them. */
    EnterCriticalSection(&pump->timertreeCS);
    while (auto* t = static_cast<iotimer_t*>(rbtree_delete_min(pump->timer_tree)))
        t->res.parent = t->res.left = t->res.right = nullptr;
    LeaveCriticalSection(&pump->timertreeCS);

    EnterCriticalSection(&pump->ioeventlistCS);
    while (auto* ev = static_cast<ioevent_t*>(lt_rm_head(pump->ioevent_list)))
        ioevent_recycle(core, ev);
    pump->curioe = nullptr;
    LeaveCriticalSection(&pump->ioeventlistCS);

    EnterCriticalSection(&pump->exteventlistCS);
    while (auto* ev = static_cast<ioevent_t*>(arr_pop(pump->exteventlist)))
        ioevent_recycle(core, ev);
    pump->exteventindex = 0;
    LeaveCriticalSection(&pump->exteventlistCS);

    bpool_recycle(core->evpump_pool, pump);
    return 0;
}

int evpump_free(void* unit)
{
    auto* pump = static_cast<evpump_t*>(unit);
    if (!pump) return -1;
    if (pump->device_tree) {
        rbtree_free(pump->device_tree);
        rbtree_free(pump->timer_tree);
        lt_free(pump->ioevent_list);
        arr_free(pump->exteventlist);
        DeleteCriticalSection(&pump->devicetreeCS);
        DeleteCriticalSection(&pump->timertreeCS);
        DeleteCriticalSection(&pump->ioeventlistCS);
        DeleteCriticalSection(&pump->exteventlistCS);
    }
    evpump_epoll_clean(pump);
    kfree(pump);
    return 0;
}

int evpump_main_start(epcore_t* core, int forkone)
{
    if (!core) return -1;
    evpump_t* pump = evpump_new(core);
    if (!pump) return -100;
    epcore_thread_enter(core);
    if (!forkone) {
        evpump_main_proc(pump);
        return 0;
    }
    if (thread_start_detached(pump_thread, pump) != 0) {
        evpump_recycle(pump);
        epcore_thread_leave(core);
        return -2;
    }
    return 0;
}

int evpump_main_proc(evpump_t* pump)
{
    if (!pump) return -1;
    epcore_t* core = pump->epcore;

    tid_of(pump).store(get_threadid());
    evpump_thread_add(core, pump);
    epcore_global_iodev_getmon(core, pump);
    epcore_global_iotimer_getmon(core, pump);
    epcore_mlisten_create(core, pump);

    /* Each pass: queued events, expired timers, then the wait. The timers
     * are read after the handlers ran, because a handler that starts a timer
     * on its own pump writes no wake-up; timers that just expired are
     * handled in the next pass after a wait of zero. */
    while (!core->quit && !pump->quit) {
        ioevent_handle(pump);
        if (core->quit || pump->quit) break;
        btime_t remaining;
        int expired = 0;
        int pending = iotimer_check_timeout(pump, &remaining, &expired);
        if (expired > 0) remaining = btime_t{0, 0};
        pump->fddispatch(pump, (pending == 1 || expired > 0) ? &remaining : nullptr);
    }

    pump->quit = 1;
    evpump_thread_del(core, pump);
    evpump_recycle(pump);
    epcore_thread_leave(core);
    return 0;
}

int evpump_main_stop(evpump_t* pump)
{
    if (!pump) return -1;
    pump->quit = 1;
    evpump_wakeup_send(pump);
    return 0;
}

int evpump_iodev_add(evpump_t* pump, iodev_t* dev)
{
    if (!pump || !dev) return -1;
    /* Two devices can share a descriptor number only when the older one's
     * descriptor was closed behind its back: that number is the newer
     * device's now, so the older record goes without touching it, once the
     * tree lock is released. */
    iodev_t* stale = nullptr;
    int r = iodev_tree_add(pump, dev, &stale);
    if (stale) iodev_close_stale(stale);
    return r;
}

iodev_t* evpump_iodev_del(evpump_t* pump, int fd)
{
    if (!pump) return nullptr;
    EnterCriticalSection(&pump->devicetreeCS);
    auto* dev = static_cast<iodev_t*>(rbtree_delete(pump->device_tree, &fd));
    LeaveCriticalSection(&pump->devicetreeCS);
    return dev;
}

iodev_t* evpump_iodev_find(evpump_t* pump, int fd)
{
    if (!pump) return nullptr;
    EnterCriticalSection(&pump->devicetreeCS);
    auto* dev = static_cast<iodev_t*>(rbtree_get(pump->device_tree, &fd));
    LeaveCriticalSection(&pump->devicetreeCS);
    return dev;
}

int evpump_iodev_tcpnum(evpump_t* pump)
{
    if (!pump) return 0;
    int n = 0;
    EnterCriticalSection(&pump->devicetreeCS);
    rbtree_inorder(pump->device_tree, count_tcp, &n);
    LeaveCriticalSection(&pump->devicetreeCS);
    return n;
}

int evpump_iodev_maxfd(evpump_t* pump)
{
    if (!pump) return 0;
    EnterCriticalSection(&pump->devicetreeCS);
    auto* dev = static_cast<iodev_t*>(rbtree_max(pump->device_tree));
    int n = dev ? dev->fd + 1 : 0;
    LeaveCriticalSection(&pump->devicetreeCS);
    return n;
}

int evpump_objnum(evpump_t* pump, int which)
{
    if (!pump) return 0;
    int n = 0;
    if (which != 2) {
        EnterCriticalSection(&pump->devicetreeCS);
        n += rbtree_num(pump->device_tree);
        LeaveCriticalSection(&pump->devicetreeCS);
    }
    if (which != 1) {
        EnterCriticalSection(&pump->timertreeCS);
        n += rbtree_num(pump->timer_tree);
        LeaveCriticalSection(&pump->timertreeCS);
    }
    return n;
}

uint64_t evpumpid(evpump_t* pump)
{
    return pump ? tid_of(pump).load() : 0;
}

int evpump_cmp_threadid(void* a, void* key)
{
    auto* pump = static_cast<evpump_t*>(a);
    if (!pump || !key) return -1;
    uint64_t x = tid_of(pump).load();
    uint64_t y = *static_cast<uint64_t*>(key);
    return x > y ? 1 : (x < y ? -1 : 0);
}

int evpump_cmp_evpump_by_objnum(void* a, void* b)
{
    return evpump_objnum(*static_cast<evpump_t**>(a), 0) - evpump_objnum(*static_cast<evpump_t**>(b), 0);
}

int evpump_cmp_evpump_by_devnum(void* a, void* b)
{
    return evpump_objnum(*static_cast<evpump_t**>(a), 1) - evpump_objnum(*static_cast<evpump_t**>(b), 1);
}

int evpump_cmp_evpump_by_timernum(void* a, void* b)
{
    return evpump_objnum(*static_cast<evpump_t**>(a), 2) - evpump_objnum(*static_cast<evpump_t**>(b), 2);
}

int evpump_hook_register(evpump_t* pump, IOIgnitor* ignitor, void* igpara,
                         IOHookHandler* callback, void* cbpara)
{
    if (!pump) return -1;
    int r = 0;
    EnterCriticalSection(&pump->exteventlistCS);
    int num = arr_num(pump->exteventlist);
    for (int i = 0; i < num; i++) {
        if (hook_matches(static_cast<ioevent_t*>(arr_value(pump->exteventlist, i)), ignitor, igpara,
                         callback, cbpara)) {
            LeaveCriticalSection(&pump->exteventlistCS);
            return 0;
        }
    }
    /* The lowest number from EVT_USER up that no hook holds. */
    int type = EVT_USER;
    for (bool used = true; used && type < 65535;) {
        used = false;
        for (int i = 0; i < num; i++) {
            if (static_cast<ioevent_t*>(arr_value(pump->exteventlist, i))->type == type) {
                used = true;
                type++;
                break;
            }
        }
    }
    if (type >= 65535) {
        r = -100;
    } else {
        ioevent_t* ev = ioevent_fetch(pump->epcore);
        if (!ev) {
            r = -10;
        } else {
            ev->externflag = 1;
            ev->type = type;
            ev->obj = cbpara;
            ev->callback = reinterpret_cast<IOHandler*>(reinterpret_cast<void (*)()>(callback));
            ev->cbpara = cbpara;
            ev->ignitor = ignitor;
            ev->igpara = igpara;
            if (arr_push(pump->exteventlist, ev) == 0) {
                ioevent_recycle(pump->epcore, ev);
                r = -10;
            }
        }
    }
    LeaveCriticalSection(&pump->exteventlistCS);
    return r;
}

int evpump_hook_remove(evpump_t* pump, IOIgnitor* ignitor, void* igpara,
                       IOHookHandler* callback, void* cbpara)
{
    if (!pump) return 0;
    ioevent_t* found = nullptr;
    EnterCriticalSection(&pump->exteventlistCS);
    int num = arr_num(pump->exteventlist);
    for (int i = 0; i < num; i++) {
        auto* ev = static_cast<ioevent_t*>(arr_value(pump->exteventlist, i));
        if (hook_matches(ev, ignitor, igpara, callback, cbpara)) {
            arr_delete(pump->exteventlist, i);
            if (pump->exteventindex > i) pump->exteventindex--;
            if (pump->exteventindex >= arr_num(pump->exteventlist)) pump->exteventindex = 0;
            found = ev;
            break;
        }
    }
    LeaveCriticalSection(&pump->exteventlistCS);
    if (!found) return 0;
    ioevent_recycle(pump->epcore, found);
    return 1;
}

int extevent_cmp_type(void* a, void* key)
{
    auto* ev = static_cast<ioevent_t*>(a);
    if (!ev || !key) return -1;
    int x = ev->type;
    int y = *static_cast<uint16_t*>(key);
    return x > y ? 1 : (x < y ? -1 : 0);
}

namespace {

struct ScanCtx {
    evpump_t* pump;
    int checked;
};

/* Zero-time poll of one direction; false when the descriptor is refused. */
bool direction_ok(int fd, short events)
{
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    int r;
    do {
        r = poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r >= 0 && !(p.revents & POLLNVAL);
}

void scan_one(void* para, void* /*key*/, void* obj, int /*index*/)
{
    auto* ctx = static_cast<ScanCtx*>(para);
    auto* dev = static_cast<iodev_t*>(obj);
    if (!dev) return;
    ctx->checked++;
    bool passed = false;
    static const struct { uint8_t flag; short events; } dirs[] = {
        {WATCH_READ, POLLIN}, {WATCH_WRITE, POLLOUT}};
    for (const auto& d : dirs) {
        if (!(__atomic_load_n(&dev->rwflag, __ATOMIC_RELAXED) & d.flag)) continue;
        if (direction_ok(__atomic_load_n(&dev->fd, __ATOMIC_RELAXED), d.events)) {
            passed = true;
        } else {
            EnterCriticalSection(&dev->fdCS);
            __atomic_fetch_and(&dev->rwflag, (uint8_t)~d.flag, __ATOMIC_RELAXED);
            LeaveCriticalSection(&dev->fdCS);
            ioevent_push(ctx->pump, EVT_INVALID, dev, nullptr, nullptr);
        }
    }
    if (passed) ctx->pump->setpoll(ctx->pump, dev);
}

} // namespace

int evpump_device_scan(evpump_t* pump)
{
    if (!pump) return -1;
    ScanCtx ctx{pump, 0};
    EnterCriticalSection(&pump->devicetreeCS);
    rbtree_inorder(pump->device_tree, scan_one, &ctx);
    LeaveCriticalSection(&pump->devicetreeCS);
    return ctx.checked;
}
