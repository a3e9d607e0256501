/* Event pump: one thread that owns an epoll set, a tree of the devices it
 * watches (by descriptor), a tree of its timers (by expiry), a queue of
 * events and a list of hooks, and runs the loop: expired timers, queued
 * events, epoll wait. Every event a pump produces is handled on that pump. */
#ifndef KORVID_EVPUMP_H
#define KORVID_EVPUMP_H

#include <stdint.h>
#include <sys/epoll.h>

#include <atomic>

#include "btime.h"
#include "dlist.h"
#include "dynarr.h"
#include "eptype.h"
#include "mthread.h"
#include "rbtree.h"

/* Set-poll and clear-poll: apply or remove a device's epoll interest. */
typedef int EvPumpPoll(evpump_t* pump, iodev_t* dev);
/* Wait and dispatch; remaining is the time until the next timer, or null
 * to wait without limit. */
typedef int EvPumpDispatch(evpump_t* pump, btime_t* remaining);

/* Hooks: a pump with an empty queue asks each hook's ignitor(igpara, type);
 * the first answering 0 or more has callback(cbpara, result) run. */
typedef int IOIgnitor(void* igpara, int type);
typedef int IOHookHandler(void* cbpara, int result);

struct EvPump_ {
    void*               res[2];
    int                 epoll_size;
    int                 epoll_fd;        /* -1 for none */
    struct epoll_event* epoll_events;    /* epoll_size entries */

    EvPumpPoll*         setpoll;
    EvPumpPoll*         delpoll;
    EvPumpDispatch*     fddispatch;

    int                 wakeupfd;        /* this pump's own eventfd */
    iodev_t*            wakeupdev;

    CRITICAL_SECTION    devicetreeCS;
    rbtree_t*           device_tree;     /* devices by descriptor, tree-allocated nodes */

    CRITICAL_SECTION    timertreeCS;
    rbtree_t*           timer_tree;      /* timers by expiry, the timer is the node */

    CRITICAL_SECTION    ioeventlistCS;
    dlist_t*            ioevent_list;    /* queued events */

    ioevent_t*          curioe;          /* event being handled */

    CRITICAL_SECTION    exteventlistCS;
    arr_t*              exteventlist;    /* hooks */
    int                 exteventindex;   /* next hook to try */

    uint64_t            threadid;        /* pump thread; 0 while recycled */
    std::atomic<uint8_t> quit;
    uint8_t             blocking;
    int                 deblock_times;

    epcore_t*           epcore;
};

/* forkone 1: loop in a new detached thread; 0: loop in the caller, which
 * returns only when the loop ends. 0; -1 null core; -100 no pump made; -2
 * no thread could be made. */
int       evpump_main_start(epcore_t* core, int forkone);
/* Runs the pump loop in the calling thread, then recycles the pump. */
int       evpump_main_proc(evpump_t* pump);
/* quit := 1 and wake the pump. */
int       evpump_main_stop(evpump_t* pump);

evpump_t* evpump_new(epcore_t* core);
int       evpump_init(evpump_t* pump);
int       evpump_recycle(evpump_t* pump);
/* Pump-pool destructor: releases everything the record still holds. */
int       evpump_free(void* pump);

/* Device tree. add: 0; -1 null; -2 descriptor -1. An older device with the
 * same descriptor is replaced and closed. */
int       evpump_iodev_add(evpump_t* pump, iodev_t* dev);
iodev_t*  evpump_iodev_del(evpump_t* pump, int fd);
iodev_t*  evpump_iodev_find(evpump_t* pump, int fd);
int       evpump_iodev_tcpnum(evpump_t* pump);
int       evpump_iodev_maxfd(evpump_t* pump);
/* which: 1 devices, 2 timers, other both. */
int       evpump_objnum(evpump_t* pump, int which);
uint64_t  evpumpid(evpump_t* pump);

/* key points to a uint64_t thread id: 1, -1 or 0; -1 for a null pump. */
int       evpump_cmp_threadid(void* pump, void* key);
/* Sort comparators for arr_sort_by: a and b point to two evpump_t* slots. */
int       evpump_cmp_evpump_by_objnum(void* a, void* b);
int       evpump_cmp_evpump_by_devnum(void* a, void* b);
int       evpump_cmp_evpump_by_timernum(void* a, void* b);

/* 0 registered (or already there); -1 null; -10 no event record; -100 no
 * free hook number. */
int       evpump_hook_register(evpump_t* pump, IOIgnitor* ignitor, void* igpara,
                               IOHookHandler* callback, void* cbpara);
/* 1 removed, 0 none matched. */
int       evpump_hook_remove(evpump_t* pump, IOIgnitor* ignitor, void* igpara,
                             IOHookHandler* callback, void* cbpara);
/* Hook event against a uint16_t number: 0 equal. */
int       extevent_cmp_type(void* ev, void* key);

/* Re-checks every watched descriptor; rejected directions are dropped and
 * reported as EVT_INVALID. Returns the number of devices checked. */
int       evpump_device_scan(evpump_t* pump);

#endif
