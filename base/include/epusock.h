/* Unix-domain stream sockets as devices: a listener at a file-system path,
 * the connections it accepts and outbound connections to a path. */
#ifndef KORVID_EPUSOCK_H
#define KORVID_EPUSOCK_H

#include "eptype.h"

/* Listening device at path, non-blocking, watching reads, bound to every
 * pump. retval: 0; -1 null core; -100 no device record; -200 the socket
 * could not be made (see usock_create). */
iodev_t* epusock_listen(epcore_t* core, const char* path, void* para, int* retval,
                        IOHandler* cb, void* cbpara);

/* One pending connection of listendev (taken under its fdCS) as a
 * non-blocking device watching reads, tied to the calling thread when the
 * core's dispmode is 1, bound with bindtype. Peers refused by the socket-file
 * check are closed and skipped. retval: 0; -1 null argument; -100 nothing
 * pending or accept failed; -200 no device record (the connection is
 * closed). */
iodev_t* epusock_accept(epcore_t* core, iodev_t* listendev, void* para, int* retval,
                        IOHandler* cb, void* cbpara, int bindtype);

/* Non-blocking connection to path, bound to the pump handling the current
 * event (or a selected one). retval: 0 connected at once (watching reads);
 * -100 under way (watching reads and writes; EVT_WRITE follows); -1 null
 * core or path; -20 no device record; -30 connect failed (nothing is
 * left). */
iodev_t* epusock_connect(epcore_t* core, const char* path, void* para, int* retval,
                         IOHandler* cb, void* cbpara);

#endif
