/* Types shared by the event core, workers, devices, pumps and timers:
 * forward declarations, the handler signature, event numbers, device kinds
 * and bind types. Kept apart so the modules can include each other's types
 * without include cycles. */
#ifndef KORVID_EPTYPE_H
#define KORVID_EPTYPE_H

#include <stdint.h>

typedef struct EPCore_   epcore_t;
typedef struct Worker_s  worker_t;
typedef struct IODevice_ iodev_t;
typedef struct IOEvent_  ioevent_t;
typedef struct EvPump_   evpump_t;
typedef struct IOTimer_  iotimer_t;

/* obj is the device (events 1..6), the timer (100, fdtype IODEV_TIMER) or the
 * command object (user commands, fdtype IODEV_USER_CMD). The result is unused. */
typedef int IOHandler(void* cbpara, void* obj, int event, int fdtype);

/* Event numbers */
enum {
    EVT_CONNECTED      = 1,
    EVT_CONNECT_FAILED = 2,
    EVT_ACCEPT         = 3,
    EVT_READ           = 4,
    EVT_WRITE          = 5,
    EVT_INVALID        = 6,
    EVT_TIMEOUT        = 100,
    EVT_DNS            = 200,
    EVT_USER           = 10000,
};

/* Device kinds (fdtype) */
enum {
    IODEV_TCP_LISTEN      = 0x1,
    IODEV_TCP_CONNECTED   = 0x2,
    IODEV_TCP_ACCEPTED    = 0x4,
    IODEV_UDP_LISTEN      = 0x8,
    IODEV_UDP_CLIENT      = 0x10,
    IODEV_USOCK_LISTEN    = 0x20,
    IODEV_USOCK_CONNECTED = 0x40,
    IODEV_USOCK_ACCEPTED  = 0x80,
    IODEV_RAW_SOCKET      = 0x100,
    IODEV_FILE            = 0x200,
    IODEV_TIMER           = 0x10000,
    IODEV_USER_CMD        = 0x20000,
    IODEV_TCP_LINGER      = 0x40000,
    IODEV_STDIN           = 0x100000,
    IODEV_STDOUT          = 0x200000,
};

/* How a device is bound to pumps */
enum {
    BIND_NONE          = 0,
    BIND_SELECT        = 1,
    BIND_GIVEN         = 2,
    BIND_ALL           = 3,
    BIND_MLISTEN       = 4,
    BIND_CURRENT       = 5,
    BIND_SELECT_SILENT = 6,
};

/* Watched directions (rwflag) */
enum {
    WATCH_READ  = 2,
    WATCH_WRITE = 4,
};

/* Device states (iostate) */
enum {
    IOSTATE_CONNECTING = 1,
    IOSTATE_LISTENING  = 2,
    IOSTATE_READY      = 4,
    IOSTATE_RESOLVING  = 8,
};

#endif
