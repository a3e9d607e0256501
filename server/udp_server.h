// UDP command port (6688) and the devices that share its private data: the
// register-access callbacks a UDP device carries, its datagram send and
// receive, and the raw register write of the IMU device.
#ifndef KORVID_SERVER_UDP_SERVER_H
#define KORVID_SERVER_UDP_SERVER_H

#include "common/common.h"
#include "eptype.h"

#define E_DEVICE_UDP_SERVER 10021

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

#endif
