/* I/O devices: one watched descriptor (socket, eventfd, timerfd, file) with
 * its handler, addresses and binding to event pumps, registered in the core
 * by id. Devices of the device code that only need to be found by id are
 * registered the same way and never bound. */
#ifndef KORVID_IODEV_H
#define KORVID_IODEV_H

#include <stdint.h>

#include <atomic>

#include "dynarr.h"
#include "eptype.h"
#include "mthread.h"

struct IODevice_ {
    void*            res[2];
    CRITICAL_SECTION fdCS;       /* rwflag, the timer link and closing */
    uint64_t         id;
    int              fd;         /* -1 for none */
    int              subdevFd;   /* sensor sub-device node */
    int              fdtype;
    int              family;
    int              socktype;
    int              protocol;
    void*            para;
    IOHandler*       callback;
    void*            cbpara;
    char             local_ip[41];
    uint16_t         local_port;
    char             remote_ip[41];
    uint16_t         remote_port;
    uint8_t          rwflag;     /* WATCH_READ | WATCH_WRITE */
    uint8_t          iostate;    /* IOSTATE_* */
    void*            priv_data;
    iotimer_t*       iot;        /* attached timer (linger close) */
    epcore_t*        epcore;
    evpump_t*        evpump;     /* null for none or all pumps */
    uint64_t         threadid;   /* thread it is tied to; 0 for none */
    unsigned         bindtype    : 8;
    unsigned         tcp_nodelay : 2; /* 0 off, 1 on, 2 not set */
    unsigned         tcp_nopush  : 2;
    unsigned         reuseaddr   : 1;
    unsigned         reuseport   : 1;
    unsigned         keepalive   : 1;

    uint8_t          heaprec;    /* 1: a heap record made when the pool was empty */
    uint8_t          csinit;     /* fdCS is initialised (once per record) */
    std::atomic<uint8_t> alive;  /* 1 from iodev_new until the close starts */
};

/* Creation and release */
iodev_t* iodev_new(epcore_t* core);
iodev_t* iodev_new_from_fd(epcore_t* core, int fd, int fdtype, void* para,
                           IOHandler* cb, void* cbpara);
/* Unregisters the device, drops its queued events, takes it out of its
 * pumps, closes its descriptor and releases the record - only when the core's
 * table holds this very device under its id. A device never registered (or
 * already closed, or whose id another device holds) is left alone and stays
 * its caller's. 0; -1 null; -2 no core; -3 not registered. */
int      iodev_close(iodev_t* dev);
/* Gives back the record of a device that was never registered (its
 * registration failed, or it was never tried) without touching its
 * descriptor, which stays with the caller. It must not be bound to a pump.
 * 0; -1 null; -2 no core; -3 registered or already released. */
int      iodev_discard(iodev_t* dev);
/* For a device whose descriptor number now belongs to a newer device: the
 * same as iodev_close, but the descriptor and its epoll interest are left to
 * the newer device. Must not be called while holding a pump's locks. */
int      iodev_close_stale(iodev_t* dev);
/* Devices displaced while pump or list locks are held: collected in *stale
 * (made on first use; reported to the trace log when memory runs out) and
 * closed with iodev_close_stale by iodev_stale_close once the locks are
 * released. */
void     iodev_stale_keep(arr_t** stale, iodev_t* dev);
void     iodev_stale_close(arr_t* stale);
int      iodev_linger_close(iodev_t* dev);

/* A pump's device tree, keyed by descriptor (lock taken inside).
 * iodev_tree_add: 0 added or already there; -1 null; -2 descriptor -1;
 * -100 no memory. A device it displaced (same descriptor) is handed back in
 * *stale for the caller to close with iodev_close_stale once it holds no
 * pump lock. iodev_tree_del removes the device only when the tree holds this
 * very device: 1 removed, else 0. */
int      iodev_tree_add(evpump_t* pump, iodev_t* dev, iodev_t** stale);
int      iodev_tree_del(evpump_t* pump, iodev_t* dev);
/* iodev_tree_add, then the pump's set-poll when added; a displaced device
 * goes to *stale (iodev_stale_keep). The result of iodev_tree_add. */
int      iodev_tree_join(evpump_t* pump, iodev_t* dev, arr_t** stale);
/* iodev_tree_del, then, when it removed the device and clearpoll is set, the
 * pump's clear-poll for its descriptor. Join and leave touch the poll set
 * under the tree's lock, under which a pump shutting down empties its tree
 * and closes its poll set: never after the close. */
int      iodev_tree_leave(evpump_t* pump, iodev_t* dev, int clearpoll);
int      iodev_tree_has(evpump_t* pump, iodev_t* dev);

/* Pool unit functions */
void*    iodev_alloc(void);
int      iodev_init(void* dev);
int      iodev_free(void* dev);

/* Watching */
int      iodev_rwflag_set(iodev_t* dev, uint8_t flags);
int      iodev_add_notify(iodev_t* dev, uint8_t flags);
int      iodev_del_notify(iodev_t* dev, uint8_t flags);
int      iodev_set_poll(iodev_t* dev);
int      iodev_clear_poll(iodev_t* dev);
/* 1 bound to a pump (BIND_ALL: to every pump, now and later); 0 put on the
 * waiting list, or bindtype 0, or BIND_SELECT_SILENT; -1 null; -2 no core. */
int      iodev_bind_evpump(iodev_t* dev, int bindtype, evpump_t* pump);
int      iodev_unbind_evpump(iodev_t* dev);

/* Accessors (null-safe) */
uint64_t   iodev_id(iodev_t* dev);
void*      iodev_para(iodev_t* dev);
void       iodev_para_set(iodev_t* dev, void* para);
epcore_t*  iodev_epcore(iodev_t* dev);
evpump_t*  iodev_evpump(iodev_t* dev);
int        iodev_fd(iodev_t* dev);
int        iodev_fdtype(iodev_t* dev);
int        iodev_rwflag(iodev_t* dev);
char*      iodev_rip(iodev_t* dev);
char*      iodev_lip(iodev_t* dev);
int        iodev_rport(iodev_t* dev);
int        iodev_lport(iodev_t* dev);
uint64_t   iodev_workerid(iodev_t* dev);
/* v == 1 means the calling thread. Returns the stored value. */
uint64_t   iodev_workerid_set(iodev_t* dev, uint64_t v);
int        iodev_tcp_nodelay(iodev_t* dev);
int        iodev_tcp_nopush(iodev_t* dev);
int        iodev_tcp_nodelay_set(iodev_t* dev, int value);
int        iodev_tcp_nopush_set(iodev_t* dev, int value);

/* Comparators: a device first; the key points to a uint64_t id or an int
 * descriptor. */
int           iodev_cmp_id(void* dev, void* key);
int           iodev_cmp_fd(void* dev, void* key);
int           iodev_cmp_iodev(void* a, void* b);
unsigned long iodev_hash_func(void* key);    /* key: uint64_t* */
unsigned long iodev_hash_fd_func(void* key); /* key: int* */

/* One line per registered device on standard output. */
void       iodev_print(epcore_t* core);

#endif
