// GigE Vision control channel: the worker that owns the GVCP socket on UDP
// 3956 and answers discovery, register and memory requests of the hosts,
// and the records of the connected hosts it keeps in the core's user list.
#ifndef KORVID_GIGE_GVCP_H
#define KORVID_GIGE_GVCP_H

#include <atomic>

#include "common/common.h"

#define E_DEVICE_GVCP      10003
#define E_DEVICE_HEARTBEAT 10005

// One connected host, listed in the core's user_info under userCS. The
// stream sender and the IMU sender walk the list under the same lock.
typedef struct _UserInfo {
    void*  res[2];        // list links
    int    fd;            // the host's heartbeat timerfd
    int    id;            // device id of that timer
    char   user_ip[41];   // the host's address, dotted
    uint16 user_port;     // the host's GVCP source port
    char   dest_ip[41];   // stream destination, dotted
    uint16 dest_port;     // stream destination port
    uint16 primary;       // 1 for the first host of the list
} UserInfo;

// Hosts allowed at once (administratorMode; a write of 0 becomes 1). It
// also caps the stream start count.
extern std::atomic<uint32> g_permit_conn_user_count;

// Body of worker 510 (E_WORKER_ID_GVCP); `arg` is the worker_t. Started by
// the depth-intake worker, never by start-up.
void* GVCP_Task(void* arg);

#endif
