// GigE Vision stream sender (worker 511): turns every frame queued on its
// data list into one stream block (leader, payload packets, trailer) sent
// from one UDP socket to every connected host, or for video and test packets
// to the stream destination of the bootstrap block. It numbers the blocks,
// keeps the last few frames sent for packet resends and serves the resend
// requests the control channel hands it.
#ifndef KORVID_GIGE_GVSP_H
#define KORVID_GIGE_GVSP_H

#include "common/common.h"
#include "dlist.h"
#include "mthread.h"
#include "udpbatch.h"

#define E_DEVICE_GVSP 10004

// Largest packet size (bootstrap 0x0D04) in force: every packet layout's
// buffer holds a datagram of this size less the IP and UDP headers. A larger
// size written by a host is lowered to it, in the register too.
#define GVSP_MAX_PACKET_SIZE 9000u
// Packet size used while the register holds 100 or less.
#define GVSP_DEFAULT_PACKET_SIZE 1500u
// Resend requests kept at once; the oldest goes when another arrives.
#define GVSP_RESEND_LIST_MAX 64
// A resend request not served within this many ms is dropped.
#define GVSP_RESEND_MAX_AGE_MS 1000u
// Frames kept for resends, newest last. Depth and amplitude blocks of one
// exposure leave back to back, and a host's request for a block commonly
// arrives after the next blocks have gone (Aravis asks for a lost last
// packet tens of ms late): with one frame kept, the first block of every
// pair could hardly ever be repaired.
#define GVSP_CACHE_FRAMES 8
// How long a stream close waits for the sender to empty its queue and cache.
#define GVSP_FLUSH_WAIT_MS 1000

// One packet-resend request, owned by the sender once queued.
typedef struct _ResendInfo {
    void*  res[2];  // list links
    uint16 streamChannelIndex;
    uint64 blockId;
    uint32 firstPacketId;
    uint32 lastPacketId;
    // The requesting host as the control channel saw it (GVCP source); the
    // packets go to that host's stream destination. Empty: to the host
    // served last.
    char   user_ip[41];
    uint16 user_port;
    uint32 queuedMs;  // get_tickcount() when queued
} ResendInfo;

struct GvspFlush;

// Private data of the sender device (priv_data of worker 511's pdev).
typedef struct _GVSPPrivData {
    uint64           blockId;      // id of the next block; 1 at creation and after a stream close
    CRITICAL_SECTION resendCS;     // guards resend_list
    dlist_t*         resend_list;  // resend requests queued by GVCP
    dlist_t*         cache_list;   // the last frames sent (at most GVSP_CACHE_FRAMES), kept for resends
    int            (*send_to)(iodev_t* dev, const void* buf, int len);
    // Stream-close requests, served on the sender's own thread.
    struct GvspFlush* flush;
    // How runs of payload packets reach the kernel, decided once per socket.
    udpbatch_t         batch;
    int                wayLogged;     // the way last logged; -1 - the way before the first run
    // The hosts' stream destinations, resolved at the start of each block.
    struct sockaddr_in* hosts;
    int                hostRoom;
    // Requests on resend_list, written under resendCS; read without it
    // (atomically) so that a block in progress looks for requests without
    // taking the lock while there are none.
    uint32             resendQueued;
} GVSPPrivData;

// Body of worker 511 (E_WORKER_ID_GVSP); `arg` is the worker_t.
void* GVSP_Task(void* arg);

// The sender's UDP device (socket on bootstrap 0x0D1C, all addresses, reuse)
// with its private data, registered in the core under `id`: 0, or -1.
// Payload packets go out in segmented sends where the kernel offers them;
// KORVID_GVSP_SEND in the environment ("segment", "sendmmsg", "sendto")
// names the best way the sender may use.
int GVSP_IodevCreate(epcore_t* core, uint64 id, iodev_t** dev);
// Releases that device: its cached frame, its resend requests, its private
// data and its socket. The task's end; no other thread may reach it by then.
void GVSP_IodevDestroy(iodev_t* dev);

// Block senders; each returns 0. Image, JPEG and application-result blocks
// go to every connected host, video blocks to the device's destination.
int GVSP_ImagePacket(iodev_t* dev, ImageInfo* imageInfo);
int GVSP_JPEGPacket(iodev_t* dev, ImageInfo* imageInfo);
int GVSP_H264Packet(iodev_t* dev, ImageInfo* imageInfo);
int GVSP_ApplationAlgo(iodev_t* dev, ImageInfo* imageInfo);

// Resend: the requested packets of one frame (disposes of `info`); one
// request served against the current frame, or against the cached frame of
// its block (1 when a request was taken); a frame added to the cache (the
// oldest freed when it is full).
int GVSP_ResendImage(iodev_t* dev, ImageInfo* imageInfo, ResendInfo* info);
int GVSP_ResendImageCurrent(iodev_t* dev, ImageInfo* imageInfo);
int GVSP_ResendImageCache(iodev_t* dev);
int GVSP_AddCache(iodev_t* dev, ImageInfo* imageInfo);

// The packet size in force: the low 16 bits of bootstrap 0x0D04, 1500 for
// 100 or less, at most GVSP_MAX_PACKET_SIZE.
uint32 GVSP_PacketSize(void);

// Reads one GVCP packet-resend command (the whole datagram, header
// included, extended-id form) into `info`'s request fields: 0, or -1 when it
// is not a usable request (short, another command, first packet id 0).
int GVSP_ParseResend(const void* datagram, int len, ResendInfo* info);

// Queues the resend request in `datagram`, sent by the host at
// requesterIp:requesterPort (its GVCP source), for the sender of `core`:
// 0 queued; -1 not a usable request; -2 the requester is not a connected
// host; -3 no sender running.
int GVSP_ResendRequest(epcore_t* core, const void* datagram, int len, const char* requesterIp,
                       uint16 requesterPort);

// Start of a stream close: the sender's queued frames are dropped, and so is
// every frame but a test frame queued until GVSP_StreamCloseCancel, so no
// host is sent the closed stream's last frames, however late a worker
// hands them over.
void GVSP_StreamCloseBegin(epcore_t* core);
// Ends the silence of GVSP_StreamCloseBegin: as a stream opens, or when the
// close did not happen after all (a stop that left the stream on). Frames
// queued during the silence are released (test frames stay); the sender
// sends what is queued from then on.
void GVSP_StreamCloseCancel(epcore_t* core);
// Stream close: drops the sender's queued frames at once and asks it to
// drop its cached frames and resend requests and to number the next block
// 1, then waits up to timeoutMs (0: not at all) for it. 0 done (or no
// sender), -1 not done yet: the sender does it before it sends any frame
// queued after this call, never later.
int GVSP_StreamFlush(epcore_t* core, int timeoutMs);
// Waits up to timeoutMs until the sender has served every close asked so
// far: 0 done (or no sender), -1 not yet.
int GVSP_StreamFlushWait(epcore_t* core, int timeoutMs);

#endif
