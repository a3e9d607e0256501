/* The epoll side of a pump: the epoll set, interest masks from a device's
 * watched directions, and the wait that turns readiness into queued events. */
#ifndef KORVID_EPEPOLL_H
#define KORVID_EPEPOLL_H

#include "btime.h"
#include "eptype.h"

/* 0; -100 epoll_create failed; -200 no event array. */
int evpump_epoll_init(evpump_t* pump, int maxfd);
int evpump_epoll_clean(evpump_t* pump);

/* 0; -1 null or epoll failure; -2 negative descriptor. */
int evpump_epoll_setpoll(evpump_t* pump, iodev_t* dev);
int evpump_epoll_clearpoll(evpump_t* pump, iodev_t* dev);

/* Waits at most the remaining time (capped at 2100000 ms; null: no limit)
 * and queues one event per ready device. 0; -1 on a wait failure. */
int evpump_epoll_dispatch(evpump_t* pump, btime_t* remaining);

#endif
