// GigE Vision control channel: the worker that owns the GVCP socket on UDP
// 3956 and answers discovery, register and memory requests of the hosts,
// and the records of the connected hosts it keeps in the core's user list.
#ifndef KORVID_GIGE_GVCP_H
#define KORVID_GIGE_GVCP_H

#include <atomic>

#include "common/common.h"
#include "GigE/gv_codec.h"
#include "server/udp_server.h"

#define E_DEVICE_GVCP      10003
#define E_DEVICE_HEARTBEAT 10005

#define GVCP_PORT 3956

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
    // Kept by the control channel: the timer device itself, and when and
    // for how long it was last armed (monotonic ms), so an expiry that a
    // later datagram overtook is not taken for a timeout.
    iodev_t* timer;
    uint32   armedAt;
    uint32   timeoutMs;
} UserInfo;

// Hosts allowed at once (administratorMode; a write of 0 becomes 1). It
// also caps the stream start count.
extern std::atomic<uint32> g_permit_conn_user_count;

// While non-zero, discovery is not answered (network re-configuration,
// reboot and factory reset set it).
extern std::atomic<uint32> g_discover;
// 0: the interface data in the bootstrap block are refreshed before the
// next discovery answer (cleared by force-IP and after an address change).
extern std::atomic<uint32> g_flags;

// Packet-resend requests (ResendInfo) are the stream sender's: GigE/gvsp.h.

// Private data of the GVCP device.
typedef struct _GVCPPrivData {
    uint32       heartbeatCreate;  // heartbeat timers alive (one per host); under userCS
    RegReadFunc  read_reg;
    RegWriteFunc write_reg;
    MemReadFunc  read_mem;
    MemWriteFunc write_mem;
    UdpSendFunc  send_to;
    UdpRecvFunc  recv_from;
    void*        channel;          // the handler's own state (duplicate cache, log pacing)
} GVCPPrivData;

// Body of worker 510 (E_WORKER_ID_GVCP); `arg` is the worker_t. Started by
// the depth-intake worker, never by start-up.
void* GVCP_Task(void* arg);

// Creates the GVCP socket and device (id `id`) in `core`: 0, or -1.
int GVCP_IodevCreate(epcore_t* core, uint64 id, iodev_t** dev);
// Undoes GVCP_IodevCreate: the private data and the device go.
void GVCP_IodevClose(iodev_t* dev);
// Private data with the register-space callbacks and the UDP send and
// receive; null without memory. Released with GVCP_PrivFree.
GVCPPrivData* GVCP_PrivNew(void);
void GVCP_PrivFree(GVCPPrivData* priv);

// Handles one datagram of `len` bytes from the device's remote_ip and
// remote_port; answers through the private data's send_to. The result of
// the send, 0 when nothing was sent, -1 when a save could not be written.
int GVCP_Decode(iodev_t* dev, const uint8* datagram, int len);

// The handlers: each fills `ack` (GVCP_BUF_SIZE bytes) and *len. The
// command is the whole datagram of cmdLen bytes.
int GVCP_DiscoverAck(const uint8* cmd, int cmdLen, uint8* ack, int* len);
int GVCP_ForceIp(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len);
int GVCP_ForceIpAck(iodev_t* dev, const char* ip, const uint8* buf, int len);
int GVCP_ReadReg(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len);
int GVCP_WriteReg(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len);
int GVCP_ReadMem(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len);
int GVCP_WriteMem(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len);
int GVCP_PacketResend(iodev_t* dev, const uint8* cmd, int cmdLen);
// Control privilege for a CCP write of `value` by the host at ip (host
// order) and port: 0 granted, 0x8006 refused.
int GVCP_Access(iodev_t* dev, uint32 address, uint32 value, uint16 port, uint32 ip);
// Expiry of a host's heartbeat timer (an IOHandler run on a pump thread).
int GVCP_HeartBeat(void* core, void* timerdev, int event, int fdtype);

// Where the channel binds and where its broadcast answers go; the device
// binds 0.0.0.0:3956 and broadcasts to 255.255.255.255. Tests move both to
// loopback. Null keeps the present value.
void GVCP_SetEndpoints(const char* bindIp, uint16 port, const char* broadcastIp);

#endif
