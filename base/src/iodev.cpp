/* I/O devices: creation from the core's pool, binding to event pumps,
 * watched directions, closing and the linger close of accepted TCP
 * connections. */
#include "iodev.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "bpool.h"
#include "epcore.h"
#include "evpump.h"
#include "ioevent.h"
#include "iotimer.h"
#include "memory.h"
#include "rbtree.h"
#include "trace.h"
#include "tsock.h"
#include "worker.h"

namespace {

constexpr int kLingerMs = 2000;

uint8_t load_flags(const uint8_t* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
void store_flags(uint8_t* p, uint8_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

/* Tree lookups. Caller holds the pump's devicetreeCS. */
rbtnode_t* find_node_locked(rbtree_t* tree, iodev_t* dev)
{
    if (!tree) return nullptr;
    if (dev->fd >= 0) {
        rbtnode_t* nodes[8];
        int n = rbtree_mget_node(tree, &dev->fd, nodes, 8);
        for (int i = 0; i < n && i < 8; i++)
            if (nodes[i]->obj == dev) return nodes[i];
        return nullptr;
    }
    /* The descriptor is gone already; walk the tree for the record. */
    for (rbtnode_t* n = rbtree_min_node(tree); n; n = rbtnode_next(n))
        if (n->obj == dev) return n;
    return nullptr;
}

/* iodev_tree_add with the pump's devicetreeCS held. With `poll`, the pump's
 * set-poll follows under the same hold: a pump shutting down empties its tree
 * and closes its poll set under that lock, so the poll set is never touched
 * once closed (its descriptor number may be another's by then). */
int tree_add_locked(evpump_t* pump, iodev_t* dev, iodev_t** stale, bool poll)
{
    int ret = 0;
    rbtree_t* tree = pump->device_tree;
    bool present = false;
    for (int guard = 0; tree && guard < 8; guard++) {
        rbtnode_t* n = rbtree_get_node(tree, &dev->fd);
        if (!n) break;
        if (n->obj == dev) {
            present = true;
            break;
        }
        iodev_t* old = static_cast<iodev_t*>(n->obj);
        rbtree_delete_node(tree, n);
        if (stale && !*stale) *stale = old;
    }
    if (!present && (!tree || rbtree_insert(tree, &dev->fd, dev, nullptr) < 0)) ret = -100;
    if (ret == 0 && poll && tree && pump->setpoll) pump->setpoll(pump, dev);
    return ret;
}

/* Bind to one pump: join its tree and apply the poll. */
int bind_to(iodev_t* dev, evpump_t* pump)
{
    dev->evpump = pump;
    if (dev->fd < 0) return -2;
    iodev_t* stale = nullptr;
    EnterCriticalSection(&pump->devicetreeCS);
    int ret = tree_add_locked(pump, dev, &stale, true);
    LeaveCriticalSection(&pump->devicetreeCS);
    if (stale) iodev_close_stale(stale);
    return ret == 0 ? 1 : ret;
}

/* Bind to a selected pump, or wait for the first pump that starts. */
int bind_select(iodev_t* dev)
{
    evpump_t* pump = evpump_thread_select(dev->epcore);
    if (pump) return bind_to(dev, pump);
    dev->evpump = nullptr;
    epcore_global_iodev_add(dev->epcore, dev);
    return 0;
}

bool on_every_pump(const iodev_t* dev)
{
    return dev->bindtype == BIND_ALL || dev->bindtype == BIND_MLISTEN;
}

/* Leave every pump: queued events, tree and (unless the descriptor now
 * belongs to someone else) the epoll interest. */
void leave_all_pumps(epcore_t* core, iodev_t* dev, bool clearpoll)
{
    EnterCriticalSection(&core->evpumplistCS);
    for (int i = 0; i < arr_num(core->evpump_list); i++) {
        evpump_t* pump = static_cast<evpump_t*>(arr_value(core->evpump_list, i));
        ioevent_remove(pump, dev);
        iodev_tree_leave(pump, dev, clearpoll);
    }
    LeaveCriticalSection(&core->evpumplistCS);
}

void release_record(epcore_t* core, iodev_t* dev)
{
    if (dev->heaprec) {
        if (dev->csinit) DeleteCriticalSection(&dev->fdCS);
        kfree(dev);
        return;
    }
    /* A unit the pool does not count as handed out is not ours to free. */
    bpool_recycle(core->device_pool, dev);
}

int close_device(iodev_t* dev, bool stale)
{
    if (!dev) return -1;
    epcore_t* core = dev->epcore;
    if (!core) return -2;
    /* Only a device that owns its table entry is closed: taking the entry
     * out is what makes this close the only one. A device never registered
     * (or whose id another device holds) still belongs to its caller, and
     * another device's entry is never removed. */
    if (epcore_iodev_remove(core, dev) != 1) return -3;
    dev->alive.store(0);

    worker_t* wk = worker_thread_self(core);
    if (wk) worker_ioevent_remove(wk, dev);

    epcore_global_iodev_del(core, dev);
    if (on_every_pump(dev)) {
        leave_all_pumps(core, dev, !stale);
    } else if (evpump_t* pump = dev->evpump) {
        ioevent_remove(pump, dev);
        iodev_tree_leave(pump, dev, !stale);
    }

    EnterCriticalSection(&dev->fdCS);
    dev->para     = nullptr;
    dev->callback = nullptr;
    dev->cbpara   = nullptr;
    store_flags(&dev->rwflag, 0);
    dev->iostate  = 0;
    iotimer_t* timer = dev->iot;
    dev->iot = nullptr;
    if (dev->fd != -1) {
        if (!stale) {
            if (dev->fdtype == IODEV_TCP_CONNECTED) {
                struct linger lg = {1, 0};
                setsockopt(dev->fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
                shutdown(dev->fd, SHUT_RDWR);
            }
            close(dev->fd);
        }
        __atomic_store_n(&dev->fd, -1, __ATOMIC_RELAXED);
    }
    LeaveCriticalSection(&dev->fdCS);
    if (timer) iotimer_stop(timer);

    dev->evpump   = nullptr;
    dev->bindtype = 0;
    release_record(core, dev);
    return 0;
}

const char* type_label(int fdtype)
{
    switch (fdtype) {
    case IODEV_TCP_LISTEN:      return "TCP LISTEN";
    case IODEV_TCP_CONNECTED:   return "TCP CONNECTED";
    case IODEV_TCP_ACCEPTED:    return "TCP ACCEPTED";
    case IODEV_UDP_LISTEN:      return "UDP LISTEN";
    case IODEV_UDP_CLIENT:      return "UDP CLIENT";
    case IODEV_USOCK_LISTEN:    return "USOCK LISTEN";
    case IODEV_USOCK_CONNECTED: return "USOCK CONNECTED";
    case IODEV_USOCK_ACCEPTED:  return "USOCK ACCEPTED";
    case IODEV_RAW_SOCKET:      return "RAW SOCKET";
    case IODEV_TIMER:           return "TIMER";
    case IODEV_USER_CMD:        return "USER CMD";
    case IODEV_TCP_LINGER:      return "TCP LINGER";
    case IODEV_STDIN:           return "STDIN";
    case IODEV_STDOUT:          return "STDOUT";
    default:                    return "Unknown";
    }
}

void print_device(void*, void* value)
{
    iodev_t* d = static_cast<iodev_t*>(value);
    printf("ID=%lu FD=%d %s Local<%s:%d> Remote<%s:%d>\n", (unsigned long)d->id, d->fd,
           type_label(d->fdtype), d->local_ip, d->local_port, d->remote_ip, d->remote_port);
}

} // namespace

/* ------------------------------------------------------------------ */
/* Creation and release                                                */

void* iodev_alloc(void)
{
    void* mem = kzalloc(sizeof(iodev_t));
    if (!mem) return nullptr;
    return new (mem) iodev_t();
}

int iodev_init(void* p)
{
    iodev_t* dev = static_cast<iodev_t*>(p);
    if (!dev) return -1;
    /* The lock lives as long as the record: a recycled record keeps it. */
    if (!dev->csinit) {
        InitializeCriticalSection(&dev->fdCS);
        dev->csinit = 1;
    }
    dev->res[0] = dev->res[1] = nullptr;
    dev->id          = 0;
    dev->fd          = -1;
    dev->subdevFd    = -1;
    dev->fdtype      = 0;
    dev->family      = 0;
    dev->socktype    = 0;
    dev->protocol    = 0;
    dev->para        = nullptr;
    dev->callback    = nullptr;
    dev->cbpara      = nullptr;
    dev->local_ip[0] = '\0';
    dev->local_port  = 0;
    dev->remote_ip[0] = '\0';
    dev->remote_port = 0;
    store_flags(&dev->rwflag, 0);
    dev->iostate     = 0;
    dev->priv_data   = nullptr;
    dev->iot         = nullptr;
    dev->epcore      = nullptr;
    dev->evpump      = nullptr;
    dev->threadid    = 0;
    dev->bindtype    = 0;
    dev->tcp_nodelay = 2;
    dev->tcp_nopush  = 2;
    dev->reuseaddr   = 0;
    dev->reuseport   = 0;
    dev->keepalive   = 0;
    dev->heaprec     = 0;
    dev->alive.store(0);
    return 0;
}

int iodev_free(void* p)
{
    iodev_t* dev = static_cast<iodev_t*>(p);
    if (!dev) return -1;
    /* A zeroed record that never served (id 0) has fd 0, which is not its own. */
    if (dev->fd >= 0 && !(dev->fd == 0 && dev->id == 0)) {
        if (dev->fdtype == IODEV_TCP_CONNECTED || dev->fdtype == IODEV_TCP_ACCEPTED)
            shutdown(dev->fd, SHUT_RDWR);
        close(dev->fd);
        dev->fd = -1;
    }
    if (dev->csinit) DeleteCriticalSection(&dev->fdCS);
    kfree(dev);
    return 0;
}

iodev_t* iodev_new(epcore_t* core)
{
    if (!core) return nullptr;
    iodev_t* dev = static_cast<iodev_t*>(bpool_fetch(core->device_pool));
    bool heap = false;
    if (!dev) {
        dev = static_cast<iodev_t*>(iodev_alloc());
        if (!dev) return nullptr;
        heap = true;
    }
    iodev_init(dev);
    dev->heaprec = heap ? 1 : 0;
    dev->id      = epcore_device_nextid(core);
    dev->epcore  = core;
    dev->alive.store(1);
    return dev;
}

iodev_t* iodev_new_from_fd(epcore_t* core, int fd, int fdtype, void* para, IOHandler* cb,
                           void* cbpara)
{
    if (!core || fd == -1) return nullptr;
    iodev_t* dev = iodev_new(core);
    if (!dev) return nullptr;
    dev->fd       = fd;
    dev->fdtype   = fdtype;
    dev->para     = para;
    dev->callback = cb;
    dev->cbpara   = cbpara;
    dev->iostate  = IOSTATE_READY;
    store_flags(&dev->rwflag, WATCH_READ);
    if (epcore_iodev_add(core, dev) != 0) {
        /* Keep the caller's descriptor open: only the record goes. */
        iodev_discard(dev);
        return nullptr;
    }
    return dev;
}

int iodev_discard(iodev_t* dev)
{
    if (!dev) return -1;
    epcore_t* core = dev->epcore;
    if (!core) return -2;
    if (epcore_iodev_find(core, dev->id) == dev) return -3;
    uint8_t expect = 1;
    if (!dev->alive.compare_exchange_strong(expect, 0)) return -3;
    epcore_global_iodev_del(core, dev);
    dev->fd = -1;
    dev->evpump = nullptr;
    dev->bindtype = 0;
    release_record(core, dev);
    return 0;
}

int iodev_close(iodev_t* dev) { return close_device(dev, false); }

int iodev_close_stale(iodev_t* dev) { return close_device(dev, true); }

void iodev_stale_keep(arr_t** stale, iodev_t* dev)
{
    if (!stale || !dev) return;
    if (!*stale) *stale = arr_new(4);
    if (*stale && arr_search(*stale, dev, nullptr)) return; /* seen on another pump */
    /* Closing it here could take the very locks the caller holds. */
    if (!*stale || arr_push(*stale, dev) == 0)
        trlogfile(g_trace_log, 1, __FILE__, __LINE__,
                  "stale device %lu on fd %d left open: out of memory\n",
                  (unsigned long)dev->id, dev->fd);
}

void iodev_stale_close(arr_t* stale)
{
    if (!stale) return;
    for (int i = 0; i < arr_num(stale); i++)
        iodev_close_stale(static_cast<iodev_t*>(arr_value(stale, i)));
    arr_free(stale);
}

int iodev_linger_close(iodev_t* dev)
{
    if (!dev) return -1;
    epcore_t* core = dev->epcore;
    if (!core) return -2;
    if (dev->fdtype != IODEV_TCP_ACCEPTED || epcore_iodev_find(core, dev->id) != dev)
        return iodev_close(dev);

    EnterCriticalSection(&dev->fdCS);
    if (dev->fd >= 0) shutdown(dev->fd, SHUT_WR);
    dev->fdtype = IODEV_TCP_LINGER;
    iotimer_t* old = dev->iot;
    dev->iot = nullptr;
    LeaveCriticalSection(&dev->fdCS);
    if (old) iotimer_stop(old);

    /* Started outside fdCS: the timer locks are never taken under it. */
    iotimer_t* timer = iotimer_start(core, kLingerMs, TIMER_CMD_LINGER, dev, nullptr, nullptr);
    if (!timer) return iodev_close(dev);
    EnterCriticalSection(&dev->fdCS);
    dev->iot = timer;
    LeaveCriticalSection(&dev->fdCS);
    return 0;
}

/* ------------------------------------------------------------------ */
/* Pump trees                                                          */

int iodev_tree_add(evpump_t* pump, iodev_t* dev, iodev_t** stale)
{
    if (stale) *stale = nullptr;
    if (!pump || !dev) return -1;
    if (dev->fd < 0) return -2;
    EnterCriticalSection(&pump->devicetreeCS);
    int ret = tree_add_locked(pump, dev, stale, false);
    LeaveCriticalSection(&pump->devicetreeCS);
    return ret;
}

int iodev_tree_join(evpump_t* pump, iodev_t* dev, arr_t** stale)
{
    if (!pump || !dev) return -1;
    if (dev->fd < 0) return -2;
    iodev_t* old = nullptr;
    EnterCriticalSection(&pump->devicetreeCS);
    int ret = tree_add_locked(pump, dev, &old, true);
    LeaveCriticalSection(&pump->devicetreeCS);
    iodev_stale_keep(stale, old);
    return ret;
}

int iodev_tree_del(evpump_t* pump, iodev_t* dev) { return iodev_tree_leave(pump, dev, 0); }

int iodev_tree_leave(evpump_t* pump, iodev_t* dev, int clearpoll)
{
    if (!pump || !dev) return 0;
    EnterCriticalSection(&pump->devicetreeCS);
    rbtnode_t* n = find_node_locked(pump->device_tree, dev);
    int removed = n && rbtree_delete_node(pump->device_tree, n) == 1 ? 1 : 0;
    if (removed && clearpoll && dev->fd >= 0 && pump->delpoll) pump->delpoll(pump, dev);
    LeaveCriticalSection(&pump->devicetreeCS);
    return removed;
}

int iodev_tree_has(evpump_t* pump, iodev_t* dev)
{
    if (!pump || !dev) return 0;
    EnterCriticalSection(&pump->devicetreeCS);
    int has = find_node_locked(pump->device_tree, dev) ? 1 : 0;
    LeaveCriticalSection(&pump->devicetreeCS);
    return has;
}

/* ------------------------------------------------------------------ */
/* Watching                                                            */

int iodev_rwflag_set(iodev_t* dev, uint8_t flags)
{
    if (!dev) return -1;
    if (dev->fd == -1) {
        iodev_close(dev);
        return 0;
    }
    EnterCriticalSection(&dev->fdCS);
    store_flags(&dev->rwflag, flags);
    LeaveCriticalSection(&dev->fdCS);
    return 0;
}

int iodev_set_poll(iodev_t* dev)
{
    if (!dev) return -1;
    if (dev->fd == -1) return -2;
    if (dev->bindtype == BIND_ALL) return evpump_thread_setpoll(dev->epcore, dev);
    evpump_t* pump = dev->evpump;
    if (!pump || !pump->setpoll) return -100;
    return pump->setpoll(pump, dev);
}

int iodev_clear_poll(iodev_t* dev)
{
    if (!dev) return -1;
    if (dev->fd == -1) return -2;
    if (dev->bindtype == BIND_ALL) return evpump_thread_delpoll(dev->epcore, dev);
    evpump_t* pump = dev->evpump;
    if (!pump || !pump->delpoll) return -100;
    return pump->delpoll(pump, dev);
}

int iodev_add_notify(iodev_t* dev, uint8_t flags)
{
    if (!dev) return -1;
    if (dev->fd == -1) return -2;
    EnterCriticalSection(&dev->fdCS);
    store_flags(&dev->rwflag, load_flags(&dev->rwflag) | flags);
    LeaveCriticalSection(&dev->fdCS);
    return iodev_set_poll(dev);
}

int iodev_del_notify(iodev_t* dev, uint8_t flags)
{
    if (!dev) return -1;
    if (dev->fd == -1) return -2;
    EnterCriticalSection(&dev->fdCS);
    uint8_t cur = load_flags(&dev->rwflag);
    bool had = (cur & flags) != 0;
    if (had) store_flags(&dev->rwflag, cur & (uint8_t)~flags);
    LeaveCriticalSection(&dev->fdCS);
    if (!had) return 0;
    return iodev_set_poll(dev);
}

int iodev_bind_evpump(iodev_t* dev, int bindtype, evpump_t* pump)
{
    if (!dev) return -1;
    epcore_t* core = dev->epcore;
    if (!core) return -2;

    switch (bindtype) {
    case BIND_NONE:
        return 0;
    case BIND_SELECT:
        dev->bindtype = BIND_SELECT;
        return bind_select(dev);
    case BIND_SELECT_SILENT:
        dev->bindtype = BIND_SELECT_SILENT;
        bind_select(dev);
        return 0;
    case BIND_ALL:
        dev->bindtype = BIND_ALL;
        dev->evpump   = nullptr;
        epcore_global_iodev_add(core, dev);
        evpump_thread_setpoll(core, dev);
        return 1;
    case BIND_CURRENT: {
        dev->bindtype = BIND_CURRENT;
        ioevent_t* cur = nullptr;
        worker_t* wk = worker_thread_self(core);
        if (wk) {
            cur = wk->curioe;
        } else {
            evpump_t* self = evpump_thread_self(core);
            if (self) cur = self->curioe;
        }
        if (cur && cur->evpumpid) {
            evpump_t* producer = evpump_thread_find(core, cur->evpumpid);
            return producer ? bind_to(dev, producer) : bind_select(dev);
        }
        return pump ? bind_to(dev, pump) : bind_select(dev);
    }
    case BIND_GIVEN:
    default:
        if (pump) {
            dev->bindtype = BIND_GIVEN;
            return bind_to(dev, pump);
        }
        dev->bindtype = BIND_SELECT;
        return bind_select(dev);
    }
}

int iodev_unbind_evpump(iodev_t* dev)
{
    if (!dev) return -1;
    epcore_t* core = dev->epcore;
    if (!core) return -2;
    epcore_global_iodev_del(core, dev);
    if (on_every_pump(dev)) {
        evpump_thread_delpoll(core, dev);
    } else if (dev->evpump) {
        iodev_tree_leave(dev->evpump, dev, true);
    }
    dev->evpump   = nullptr;
    dev->bindtype = 0;
    return 0;
}

/* ------------------------------------------------------------------ */
/* Accessors                                                           */

uint64_t iodev_id(iodev_t* dev) { return dev ? dev->id : 0; }
void* iodev_para(iodev_t* dev) { return dev ? dev->para : nullptr; }
void iodev_para_set(iodev_t* dev, void* para)
{
    if (dev) dev->para = para;
}
epcore_t* iodev_epcore(iodev_t* dev) { return dev ? dev->epcore : nullptr; }
evpump_t* iodev_evpump(iodev_t* dev) { return dev ? dev->evpump : nullptr; }
int iodev_fd(iodev_t* dev) { return dev ? dev->fd : -1; }
int iodev_fdtype(iodev_t* dev) { return dev ? dev->fdtype : 0; }
int iodev_rwflag(iodev_t* dev) { return dev ? load_flags(&dev->rwflag) : 0; }
char* iodev_rip(iodev_t* dev) { return dev ? dev->remote_ip : const_cast<char*>("0.0.0.0"); }
char* iodev_lip(iodev_t* dev) { return dev ? dev->local_ip : const_cast<char*>("0.0.0.0"); }
int iodev_rport(iodev_t* dev) { return dev ? dev->remote_port : 0; }
int iodev_lport(iodev_t* dev) { return dev ? dev->local_port : 0; }
uint64_t iodev_workerid(iodev_t* dev) { return dev ? dev->threadid : 0; }

uint64_t iodev_workerid_set(iodev_t* dev, uint64_t v)
{
    if (!dev) return 0;
    dev->threadid = v == 1 ? (uint64_t)get_threadid() : v;
    return dev->threadid;
}

int iodev_tcp_nodelay(iodev_t* dev) { return dev ? (int)dev->tcp_nodelay : 2; }
int iodev_tcp_nopush(iodev_t* dev) { return dev ? (int)dev->tcp_nopush : 2; }

int iodev_tcp_nodelay_set(iodev_t* dev, int value)
{
    if (!dev) return 2;
    if ((value != 0 && value != 1) || (int)dev->tcp_nodelay == value) return dev->tcp_nodelay;
    int r = value ? sock_nodelay_set(dev->fd) : sock_nodelay_unset(dev->fd);
    if (r == 0) dev->tcp_nodelay = (unsigned)value;
    return dev->tcp_nodelay;
}

int iodev_tcp_nopush_set(iodev_t* dev, int value)
{
    if (!dev) return 2;
    if ((value != 0 && value != 1) || (int)dev->tcp_nopush == value) return dev->tcp_nopush;
    int r = value ? sock_nopush_set(dev->fd) : sock_nopush_unset(dev->fd);
    if (r == 0) dev->tcp_nopush = (unsigned)value;
    return dev->tcp_nopush;
}

/* ------------------------------------------------------------------ */
/* Comparators and hashes                                              */

int iodev_cmp_id(void* a, void* key)
{
    iodev_t* dev = static_cast<iodev_t*>(a);
    if (!dev || !key) return -1;
    uint64_t k = *static_cast<uint64_t*>(key);
    return dev->id == k ? 0 : (dev->id > k ? 1 : -1);
}

int iodev_cmp_fd(void* a, void* key)
{
    iodev_t* dev = static_cast<iodev_t*>(a);
    if (!dev || !key) return -1;
    int k = *static_cast<int*>(key);
    return dev->fd == k ? 0 : (dev->fd > k ? 1 : -1);
}

int iodev_cmp_iodev(void* a, void* b)
{
    iodev_t* x = static_cast<iodev_t*>(a);
    iodev_t* y = static_cast<iodev_t*>(b);
    if (!x || !y) return x ? 1 : (y ? -1 : 0);
    return x->fd == y->fd ? 0 : (x->fd > y->fd ? 1 : -1);
}

unsigned long iodev_hash_func(void* key)
{
    return key ? (unsigned long)*static_cast<uint64_t*>(key) : 0;
}

unsigned long iodev_hash_fd_func(void* key)
{
    return key ? (unsigned long)(unsigned)*static_cast<int*>(key) : 0;
}

void iodev_print(epcore_t* core)
{
    if (!core) return;
    EnterCriticalSection(&core->devicetableCS);
    ht_traverse(core->device_table, nullptr, print_device);
    LeaveCriticalSection(&core->devicetableCS);
    fflush(stdout);
}
