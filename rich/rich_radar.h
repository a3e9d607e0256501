// Lidar packet relay: an attached spinning lidar sends its measurement
// packets over a dedicated Ethernet link; worker 540 receives them into a
// 256-slot ring and worker 539 converts each into a compact point packet
// (angle, distance, strength per point) sent to the GigE Vision host.
#ifndef KORVID_RICH_RICH_RADAR_H
#define KORVID_RICH_RICH_RADAR_H

#include <bit>

#include "common/common.h"
#include "server/udp_server.h"

#define E_DEVICE_RICH_SEND 10027
#define E_DEVICE_RICH_RECV 10028

#define RICH_RECV_IP    "192.168.8.1"  // the device's end of the lidar link
#define RICH_RECV_PORT  2368
#define RICH_SEND_PORT  21001

#define RICH_PACK_SIZE  1206    // one lidar packet
#define RICH_BLOCKS     12
#define RICH_CHANNELS   16
#define RICH_POINTS     (RICH_BLOCKS * RICH_CHANNELS)
#define RICH_FACTORY    0x4037
#define RICH_HEAD_VALID 0xEEFF  // a block carrying measurements
#define RICH_HEAD_FRAME 0xFFFF  // block 11 of a packet that ends a frame
#define RICH_RING_SLOTS 256

// Private data of both relay devices.
typedef struct tagRichUDPPrivData {
    RegReadFunc  read_reg;
    RegWriteFunc write_reg;
    UdpSendFunc  send_to;
    UdpRecvFunc  recv_from;
    uint32       curGvcpPort;  // GVCP port of the host the relay serves
} richUDPPrivData;

// Wire records, little-endian, packed.
#pragma pack(push, 1)
typedef struct {
    uint16 distance0;  // first return
    uint8  rssi0;
    uint16 distance1;  // second return (not relayed)
    uint8  rssi1;
} depth_t;

typedef struct {
    uint16  head;     // RICH_HEAD_VALID for a valid block
    uint16  azimuth;  // hundredths of a degree, 0 to 35999
    depth_t depth[RICH_CHANNELS];
} little_pack_t;

typedef struct {
    little_pack_t depths[RICH_BLOCKS];
    uint32        timestamp;
    uint16        factory;  // RICH_FACTORY
} udp_pack_t;

typedef struct {
    uint16 angle;  // hundredths of a degree
    uint16 distance;
    uint8  rssi;
} CiclePack;

typedef struct {
    uint16    vendor_id;
    uint16    frame_id;
    uint32    pack_id;     // input packets consumed since the receiver started
    uint32    time_stamp;
    uint16    dot_num;     // points filled
    uint16    padding;
    CiclePack dot_cloud[RICH_POINTS];
} MsopData;
#pragma pack(pop)

static_assert(std::endian::native == std::endian::little, "the relay's packets are copied in host order");
static_assert(sizeof(depth_t) == 6 && sizeof(little_pack_t) == 100 && sizeof(udp_pack_t) == RICH_PACK_SIZE);
static_assert(offsetof(depth_t, rssi0) == 2 && offsetof(depth_t, distance1) == 3 && offsetof(depth_t, rssi1) == 5);
static_assert(offsetof(little_pack_t, azimuth) == 2 && offsetof(little_pack_t, depth) == 4);
static_assert(offsetof(udp_pack_t, timestamp) == 1200 && offsetof(udp_pack_t, factory) == 1204);
static_assert(sizeof(CiclePack) == 5 && offsetof(CiclePack, distance) == 2 && offsetof(CiclePack, rssi) == 4);
static_assert(offsetof(MsopData, frame_id) == 2 && offsetof(MsopData, pack_id) == 4 &&
              offsetof(MsopData, time_stamp) == 8 && offsetof(MsopData, dot_num) == 12 &&
              offsetof(MsopData, padding) == 14 && offsetof(MsopData, dot_cloud) == 16 && sizeof(MsopData) == 976);

// Device 10028 (receiver, RICH_RECV_IP:RICH_RECV_PORT) and device 10027
// (sender, all addresses at RICH_SEND_PORT): UDP sockets carrying
// richUDPPrivData, registered in the core. 0 with *dev set, or -1.
int rich_recv_init(epcore_t* core, uint64 id, iodev_t** dev);
int rich_send_init(epcore_t* core, uint64 id, iodev_t** dev);

// Worker bodies; `arg` is the worker_t. The receiver (540) runs while the
// relay is switched on, the sender (539) from start-up to the end.
void* rich_recv_task(void* arg);
void* rich_send_task(void* arg);

// Convert the first of two consecutive packets (pair[0], pair[1]) into
// `out`: fill_havestart all 12 blocks, fill_nostart only the valid ones.
// Points past dot_num are zero.
void fill_havestart(const udp_pack_t* pair, int start, MsopData* out);
void fill_nostart(const udp_pack_t* pair, MsopData* out);

// Everything the sender does with one pair but numbering and sending:
// frame_id steps on a frame's last packet, the factory values are checked
// and the fill chosen by the blocks' azimuths. 0 when `out` is to be sent,
// -1 when the pair is skipped.
int rich_convert(const udp_pack_t* pair, MsopData* out);

// What the receiver does with one datagram of `len` bytes: only a whole
// packet enters the ring. 0 stored, -1 dropped (logged).
int rich_ring_put(const void* data, int len);
// Empties the ring and restarts its counters, as every receiver start does.
void rich_ring_restart(void);
// Converts and sends every pair in the ring (at most one ring's worth per
// call) through `dev`, numbering them in `out`; nothing is sent before a
// destination has been set. The number of packets consumed.
int rich_send_pending(iodev_t* dev, MsopData* out);

typedef struct {
    uint32 dbmain;       // packets written since the receiver started
    uint32 dbmain_used;  // packets consumed
    uint64 dropped;      // overwritten before they could be converted
    uint64 sent;         // point packets sent whole
} RichRingStats;
void rich_ring_stats(RichRingStats* st);

// Sets where the relay sends: the host at `ip`, port `port`, whose GVCP
// port is `gvcpPort`. 0, or -1 when the sender's device is missing.
int rich_set_destination(epcore_t* core, const char* ip, uint16 port, uint32 gvcpPort);

// A GigE Vision host at ip:gvcpPort released control or timed out: when it
// is the host the relay serves, the receiver (540) is stopped. 1 stopped,
// 0 another host, -1 no relay device.
int rich_host_gone(epcore_t* core, const char* ip, uint32 gvcpPort);

// Local ends of the relay's sockets (tests): receiver address and port, and
// the sender's port; port 0 takes a free one. A null address restores
// RICH_RECV_IP:RICH_RECV_PORT and RICH_SEND_PORT.
void rich_set_bind(const char* recvIp, int recvPort, int sendPort);

#endif
