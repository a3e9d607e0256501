/* Wake-up eventfds: the process-wide one, in every pump's epoll set, and
 * each pump's own, so another thread can end a pump's wait. */
#ifndef KORVID_EPWAKEUP_H
#define KORVID_EPWAKEUP_H

#include "eptype.h"

/* Process-wide: an eventfd device bound to every pump. 0; -1 null core;
 * -100 no eventfd; -200 no device. */
int epcore_wakeup_init(epcore_t* core);
int epcore_wakeup_clean(epcore_t* core);
int epcore_wakeup_send(epcore_t* core);  /* writes 1 */
int epcore_wakeup_recv(epcore_t* core);  /* drains the counter */

/* A pump's own eventfd, bound to that pump only. */
int evpump_wakeup_init(evpump_t* pump);
int evpump_wakeup_clean(evpump_t* pump);
int evpump_wakeup_send(evpump_t* pump);
int evpump_wakeup_recv(evpump_t* pump);

#endif
