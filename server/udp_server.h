// UDP command port (6688) and the devices that share its private data: the
// register-access callbacks a UDP device carries, its datagram send and
// receive, and the raw register write of the IMU device.
//
// The port serves a vehicle controller or PLC: it selects and saves the
// obstacle-avoidance zone and receives the avoidance results depth
// processing publishes. Worker 524 receives and handles commands; worker 525
// sends the records queued on its data list to whoever sent the last
// datagram. The module also offers the loopback query to the local result
// service used by the Modbus TCP task.
#ifndef KORVID_SERVER_UDP_SERVER_H
#define KORVID_SERVER_UDP_SERVER_H

#include "common/common.h"
#include "eptype.h"

#define E_DEVICE_UDP_SERVER      10021
#define E_DEVICE_UDP_ALGO_SERVER 10025

typedef int (*RegReadFunc)(uint32 address, uint32* value);
typedef int (*RegWriteFunc)(uint32 address, uint32* value);
typedef int (*MemReadFunc)(uint32 address, uint8* value, uint32 len);
typedef int (*MemWriteFunc)(uint32 address, uint8* value, uint32 len);
typedef int (*UdpSendFunc)(iodev_t* dev, const void* buf, int len);
typedef int (*UdpRecvFunc)(iodev_t* dev, void* buf, int len);
// Writes `length` bytes to consecutive device registers from `reg`.
typedef int (*DevRegWriteFunc)(uint8 reg, uint8* data, uint32 length);

// Private data of the UDP command device and of the IMU device.
typedef struct tagUDPServerPrivData {
    RegReadFunc     read_reg;
    RegWriteFunc    write_reg;
    MemReadFunc     read_mem;
    MemWriteFunc    write_mem;
    UdpSendFunc     send_to;
    UdpRecvFunc     recv_from;
    DevRegWriteFunc write_dev_reg;
} UDPServerPrivData;

#define UDP_SERVER_PORT        6688
#define UDP_ALGO_LOCAL_PORT    14997  // the query's own port
#define UDP_ALGO_SERVICE_IP    "127.0.0.1"
#define UDP_ALGO_SERVICE_PORT  14949
#define UDP_ALGO_RESULT_SIZE   34     // SSResult

// Commands of the port.
#define UDP_CMD_SET_ZONE  26  // result = zone index
#define UDP_CMD_SAVE_ZONE 27  // make the selected zone the saved setting

// Highest zone index the RK3568 / IMX570 camera accepts over the port.
#define UDP_ZONE_MAX 19
// Least time between two saves, in ms.
#define UDP_SAVE_GAP_MS 250

// Creates device `id`: a UDP socket on all local addresses at port 6688
// (address and port reuse) carrying UDPServerPrivData, registered in the
// core. 0 with *dev set, or -1.
int udp_server_init(epcore_t* core, uint64 id, iodev_t** dev);

// Body of worker 524 (E_WORKER_ID_UDP_RECV), created by start-up; `arg` is
// the worker_t. Creates device 10021 and worker 525 and handles commands
// until the worker or the core is stopped; on leaving it stops worker 525
// and closes the device.
void* udp_server_recv_task(void* arg);
// Body of worker 525 (E_WORKER_ID_UDP_SEND), created by the receiver.
// Releases every record taken off its data list; sends it first when the
// stream is on, a datagram has arrived and enableApplicationAlgo is 1 or 4.
void* udp_server_send_task(void* arg);

// Loopback query to the local result service (127.0.0.1:14949) from port
// 14997, on the device made the worker's own (worker->pdev):
//   mode 0  open it (50 ms receive time-out);
//   mode 1  ask "RESULT_UPDATE" and take the 34-byte answer into buffer;
//   other   close it.
// 0 or -1.
int recvForAlgo(worker_t* worker, uint8* buffer, int mode);

// What the receiver keeps between datagrams: whether a save was made and
// when (ms of the receiver's clock).
typedef struct _UdpCmdState {
    uint8  saved;
    uint32 lastSave;
} UdpCmdState;

// Handles one received datagram of `len` bytes as the receiver does; bytes
// of the record past the datagram read as zero.
void udp_server_handle(epcore_t* core, UdpCmdState* state, const uint8* data, int len);

// Replaces the receiver's monotonic millisecond clock (tests); null
// restores the system clock.
void udp_server_set_clock(uint32 (*now_ms)(void));

#endif
