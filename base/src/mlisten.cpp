/* Multi-pump listeners. A record is registered once on the core; every
 * running pump, and every pump that starts later, watches all of its
 * listening sockets. When the sockets take SO_REUSEPORT each pump adds one
 * of its own, so the kernel spreads connections over the pumps.
 *
 * Lock order: glbmlistenlistCS, then evpumplistCS, then a pump's device
 * tree. */
#include "mlisten.h"

#include <string.h>
#include <strings.h>

#include "epcore.h"
#include "eptcp.h"
#include "epudp.h"
#include "evpump.h"
#include "iodev.h"
#include "memory.h"

namespace {

constexpr int MAX_LISTEN_DEVS = 16;

bool same_lip(const char* a, const char* b)
{
    return strcasecmp(a ? a : "", b ? b : "") == 0;
}

/* 0 lets the kernel choose; the record keeps the port it chose. */
bool valid_port(int port) { return port >= 0 && port <= 65535; }

/* New listening sockets for the record; caller holds glbmlistenlistCS. */
void make_devices(mlisten_t* ml)
{
    iodev_t* devs[MAX_LISTEN_DEVS];
    int num = MAX_LISTEN_DEVS;
    int ret = 0;
    if (ml->fdtype == IODEV_TCP_LISTEN)
        eptcp_listen_create(ml->pcore, ml->localip, ml->port, ml->para, &ret, ml->cb, ml->cbpara, devs, &num);
    else
        epudp_listen_create(ml->pcore, ml->localip, ml->port, ml->para, &ret, ml->cb, ml->cbpara, devs, &num);
    for (int i = 0; i < num; i++) {
        if (mlisten_iodev_add(ml, devs[i]) < 0) {
            iodev_close(devs[i]);
            continue;
        }
        if (devs[i]->reuseport) ml->reuseport = 1;
        if (ml->port == 0) ml->port = iodev_lport(devs[i]);
    }
}

/* Every running pump watches every socket of the record; caller holds
 * glbmlistenlistCS and evpumplistCS. A stale device displaced from a pump's
 * tree goes to *stale, to be closed once those locks are released. */
void bind_all_locked(mlisten_t* ml, arr_t* pumps, arr_t** stale)
{
    for (int p = 0; p < arr_num(pumps); p++) {
        auto* pump = static_cast<evpump_t*>(arr_value(pumps, p));
        for (int i = 0; i < arr_num(ml->devlist); i++) {
            auto* dev = static_cast<iodev_t*>(arr_value(ml->devlist, i));
            if (iodev_tree_has(pump, dev)) continue;
            dev->evpump = pump;
            dev->bindtype = BIND_MLISTEN;
            iodev_tree_join(pump, dev, stale);
        }
    }
}

/* A pump that has not opened the record yet gets sockets of its own when
 * the record's sockets share the port, or the first ones when it has none. */
void open_for_pump_locked(mlisten_t* ml, evpump_t* pump)
{
    if (arr_search(ml->openedby, pump, nullptr)) return;
    if (ml->reuseport || arr_num(ml->devlist) == 0) make_devices(ml);
    arr_push(ml->openedby, pump);
}

mlisten_t* find_locked(epcore_t* core, const char* localip, int port)
{
    for (int i = 0; i < arr_num(core->glbmlisten_list); i++) {
        auto* ml = static_cast<mlisten_t*>(arr_value(core->glbmlisten_list, i));
        if (ml->port == port && same_lip(ml->localip, localip)) return ml;
    }
    return nullptr;
}

/* Out of every pump, then closed. */
void close_devices(mlisten_t* ml)
{
    if (!ml->devlist) return;
    while (auto* dev = static_cast<iodev_t*>(arr_pop(ml->devlist))) {
        evpump_thread_delpoll(ml->pcore, dev);
        iodev_close(dev);
    }
}

} // namespace

mlisten_t* mlisten_alloc(const char* localip, int port, int fdtype, void* para, IOHandler* cb, void* cbpara)
{
    auto* ml = static_cast<mlisten_t*>(kzalloc(sizeof(mlisten_t)));
    if (!ml) return nullptr;
    ml->devlist = arr_new(4);
    ml->openedby = arr_new(4);
    if (!ml->devlist || !ml->openedby) {
        arr_free(ml->devlist);
        arr_free(ml->openedby);
        kfree(ml);
        return nullptr;
    }
    if (localip) strncpy(ml->localip, localip, 40);
    ml->localip[40] = '\0';
    ml->port = port;
    ml->fdtype = fdtype;
    ml->para = para;
    ml->cb = cb;
    ml->cbpara = cbpara;
    return ml;
}

void mlisten_free(void* p)
{
    auto* ml = static_cast<mlisten_t*>(p);
    if (!ml) return;
    close_devices(ml);
    arr_free(ml->devlist);
    arr_free(ml->openedby);
    kfree(ml);
}

int mlisten_iodev_add(mlisten_t* ml, iodev_t* dev)
{
    if (!ml || !dev) return -1;
    if (arr_search(ml->devlist, dev, nullptr)) return 0;
    return arr_push(ml->devlist, dev) > 0 ? 0 : -100;
}

mlisten_t* mlisten_open(epcore_t* core, const char* localip, int port, int fdtype, void* para,
                        IOHandler* cb, void* cbpara)
{
    if (!core || !valid_port(port)) return nullptr;
    if (fdtype != IODEV_TCP_LISTEN && fdtype != IODEV_UDP_LISTEN) return nullptr;

    /* Both locks are held throughout, so a pump starting meanwhile either
     * is in the list here or opens the record itself afterwards. */
    EnterCriticalSection(&core->glbmlistenlistCS);
    /* Each record asking for port 0 gets a port of its own. */
    mlisten_t* ml = port ? find_locked(core, localip, port) : nullptr;
    if (!ml) {
        ml = mlisten_alloc(localip, port, fdtype, para, cb, cbpara);
        if (!ml) {
            LeaveCriticalSection(&core->glbmlistenlistCS);
            return nullptr;
        }
        ml->pcore = core;
        if (arr_push(core->glbmlisten_list, ml) == 0) {
            mlisten_free(ml);
            LeaveCriticalSection(&core->glbmlistenlistCS);
            return nullptr;
        }
    }
    EnterCriticalSection(&core->evpumplistCS);
    for (int p = 0; p < arr_num(core->evpump_list); p++)
        open_for_pump_locked(ml, static_cast<evpump_t*>(arr_value(core->evpump_list, p)));
    arr_t* stale = nullptr;
    bind_all_locked(ml, core->evpump_list, &stale);
    LeaveCriticalSection(&core->evpumplistCS);
    LeaveCriticalSection(&core->glbmlistenlistCS);
    iodev_stale_close(stale);
    return ml;
}

int mlisten_close(mlisten_t* ml)
{
    if (!ml) return -1;
    epcore_t* core = ml->pcore;
    if (!core) return -2;
    if (epcore_mlisten_del(core, ml) != ml) return 0;
    mlisten_free(ml);
    return 1;
}

int mlisten_port(mlisten_t* ml)
{
    if (!ml) return 0;
    if (!ml->pcore) return ml->port;
    /* A pump starting meanwhile may be choosing it. */
    EnterCriticalSection(&ml->pcore->glbmlistenlistCS);
    int port = ml->port;
    LeaveCriticalSection(&ml->pcore->glbmlistenlistCS);
    return port;
}

const char* mlisten_lip(mlisten_t* ml) { return ml ? ml->localip : ""; }

int epcore_mlisten_init(epcore_t* core)
{
    if (!core) return -1;
    if (!core->glbmlisten_list) core->glbmlisten_list = arr_new(4);
    return core->glbmlisten_list ? 0 : -100;
}

int epcore_mlisten_clean(epcore_t* core)
{
    if (!core) return -1;
    /* Take the records out first: closing reaches into every pump. */
    EnterCriticalSection(&core->glbmlistenlistCS);
    arr_t* list = core->glbmlisten_list ? arr_dup(core->glbmlisten_list) : nullptr;
    if (list) arr_zero(core->glbmlisten_list);
    LeaveCriticalSection(&core->glbmlistenlistCS);
    if (!list) return 0;
    for (int i = 0; i < arr_num(list); i++) mlisten_free(arr_value(list, i));
    arr_free(list);
    return 0;
}

int epcore_mlisten_add(epcore_t* core, mlisten_t* ml)
{
    if (!core) return -1;
    if (!ml) return -2;
    int r = 0;
    EnterCriticalSection(&core->glbmlistenlistCS);
    if (!arr_search(core->glbmlisten_list, ml, nullptr) && arr_push(core->glbmlisten_list, ml) == 0) r = -100;
    LeaveCriticalSection(&core->glbmlistenlistCS);
    return r;
}

mlisten_t* epcore_mlisten_get(epcore_t* core, const char* localip, int port)
{
    if (!core) return nullptr;
    EnterCriticalSection(&core->glbmlistenlistCS);
    mlisten_t* ml = find_locked(core, localip, port);
    LeaveCriticalSection(&core->glbmlistenlistCS);
    return ml;
}

mlisten_t* epcore_mlisten_del(epcore_t* core, mlisten_t* ml)
{
    if (!core || !ml) return nullptr;
    EnterCriticalSection(&core->glbmlistenlistCS);
    mlisten_t* r = static_cast<mlisten_t*>(arr_delete_ptr(core->glbmlisten_list, ml));
    LeaveCriticalSection(&core->glbmlistenlistCS);
    return r;
}

int epcore_mlisten_create(epcore_t* core, evpump_t* pump)
{
    if (!core) return -1;
    if (!pump) return -2;
    arr_t* stale = nullptr;
    EnterCriticalSection(&core->glbmlistenlistCS);
    EnterCriticalSection(&core->evpumplistCS);
    for (int i = 0; i < arr_num(core->glbmlisten_list); i++) {
        auto* ml = static_cast<mlisten_t*>(arr_value(core->glbmlisten_list, i));
        if (!valid_port(ml->port)) continue;
        if (ml->fdtype != IODEV_TCP_LISTEN && ml->fdtype != IODEV_UDP_LISTEN) continue;
        open_for_pump_locked(ml, pump);
        bind_all_locked(ml, core->evpump_list, &stale);
    }
    LeaveCriticalSection(&core->evpumplistCS);
    LeaveCriticalSection(&core->glbmlistenlistCS);
    iodev_stale_close(stale);
    return 0;
}
