/* Plain descriptors (pipes, sockets, character devices) and standard input
 * as devices of the event pumps, and a ready-made standard-input handler. */
#ifndef KORVID_EPFILE_H
#define KORVID_EPFILE_H

#include "eptype.h"

/* fd as a registered device of type IODEV_FILE watching reads, bound to a
 * selected pump; null for a null core or a negative descriptor. The device
 * owns fd from then on (closing the device closes it). */
iodev_t* epfile_bind_fd(epcore_t* core, int fd, void* para, IOHandler* cb, void* cbpara);
/* The same for descriptor 0 with type IODEV_STDIN. */
iodev_t* epfile_bind_stdin(epcore_t* core, void* para, IOHandler* cb, void* cbpara);

/* Standard-input handler: on EVT_READ of an IODEV_STDIN device it reads the
 * lines waiting (each at most 511 characters; never waits for more), and
 * for each that begins with "show" (any case) after trimming prints the
 * core's device list. EVT_INVALID gives -100, everything else 0. */
int      epstdin_callback(void* cbpara, void* obj, int event, int fdtype);

#endif
