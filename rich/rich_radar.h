// Lidar packet relay: the receiver of the lidar's packets (worker 540) and
// the device that forwards converted packets to the GigE Vision host.
#ifndef KORVID_RICH_RICH_RADAR_H
#define KORVID_RICH_RICH_RADAR_H

#include "common/common.h"
#include "server/udp_server.h"

#define E_DEVICE_RICH_SEND 10027
#define E_DEVICE_RICH_RECV 10028

// Private data of both relay devices.
typedef struct tagRichUDPPrivData {
    RegReadFunc  read_reg;
    RegWriteFunc write_reg;
    UdpSendFunc  send_to;
    UdpRecvFunc  recv_from;
    uint32       curGvcpPort;  // GVCP port of the host the relay serves
} richUDPPrivData;

// Worker bodies of the receiver (540) and the sender (539); `arg` is the
// worker_t.
void* rich_recv_task(void* arg);
void* rich_send_task(void* arg);

#endif
