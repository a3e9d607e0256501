/* Wraps a kernel timerfd in a device with a fixed id. Each expiry reaches
 * the handler as EVT_READ with fdtype IODEV_TIMER on a pump thread, after
 * the pump has read the expiry count. */
#ifndef KORVID_EPTIMERFD_H
#define KORVID_EPTIMERFD_H

#include "eptype.h"

/* Null when fd is -1, the core is null or no device can be had. */
iodev_t* eptimerfd_bind(epcore_t* core, int fd, int id, void* para,
                        IOHandler* ioh, void* iohpara);

#endif
