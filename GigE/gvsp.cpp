// GigE Vision stream sender (worker 511): one UDP socket, one block per
// queued frame, packet resends from the current frame or the last few sent.
// Only this thread sends on the device and changes its destination, its
// block id and its cached frame; other threads reach it through the data
// list, the resend list (resendCS) and the flush request of a stream close.
#include "GigE/gvsp.h"

#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "GigE/bootstrap.h"
#include "GigE/gv_codec.h"
#include "GigE/gvcp.h"
#include "GigE/gvsp_codec.h"
#include "btime.h"
#include "epcore.h"
#include "epudp.h"
#include "hashtab.h"
#include "iodev.h"
#include "log/logger.h"
#include "memory.h"
#include "udpbatch.h"
#include "worker.h"

using namespace gvsp;

// Stream closes asked of the sender. Each close raises the generation
// under the worker's data-list lock while it takes the queued frames, and
// the sender reads it under the same lock as it takes a frame: a close is
// therefore served before the first frame queued after it and after every
// frame taken before it, however late the sender gets to it, so a new
// stream's frames are never dropped nor numbered on from the old one.
// Shared by the sender and the closers waiting on it; the last one to let
// go frees it.
struct GvspFlush {
    std::mutex m;
    std::condition_variable cv;
    std::atomic<uint64> requested{0};  // raised under the data-list lock
    std::atomic<uint64> done{0};       // written under m
    // A close has begun and no stream has opened since: every frame taken
    // is the closed stream's (one a processing worker finishes after the
    // close is just as stale) and is dropped, unnumbered. Test frames are
    // no stream's and pass. Written under the data-list lock.
    std::atomic<bool> closing{false};
    bool closed = false;               // the sender has ended; under m
    std::atomic<int> refs{1};
};

namespace {

// IP and UDP headers: a datagram carries at most the packet size less these.
constexpr uint32 kIpUdp = 28;
// Largest datagrams (the packets' buffer sizes): image and
// application-result, JPEG, video.
constexpr uint32 kImageBuf = 8984;
constexpr uint32 kJpegBuf = 8972;
constexpr uint32 kVideoBuf = 8992;
static_assert(GVSP_MAX_PACKET_SIZE - kIpUdp <= std::min({kImageBuf, kJpegBuf, kVideoBuf}));
static_assert(GVSP_DEFAULT_PACKET_SIZE <= GVSP_MAX_PACKET_SIZE);

constexpr uint32 kHeader = sizeof(GVSPHeader);              // 20
constexpr uint32 kVideoHeader = sizeof(H264PayloadHeader);  // 28
constexpr uint32 kAllPackets = 0xFFFFFFFFu;
constexpr int kIdleUs = 100;
// Longest idle wait for a frame or a resend request.
constexpr int kIdleWaitMs = 10;
// Resend requests served per idle pass, so a queued frame is not held up.
constexpr int kIdleResends = 16;

void unref(GvspFlush* f)
{
    if (f && f->refs.fetch_sub(1) == 1) delete f;
}

GVSPPrivData* priv_of(iodev_t* dev) { return dev ? static_cast<GVSPPrivData*>(dev->priv_data) : nullptr; }

uint32 boot_word(uint32 address)
{
    uint32 v = 0;
    Bootstrap_ReadReg(address, &v, sizeof(v));
    return v;
}

void set_dest(iodev_t* dev, const char* ip, uint16 port)
{
    size_t n = strnlen(ip, sizeof(dev->remote_ip) - 1);
    memcpy(dev->remote_ip, ip, n);
    dev->remote_ip[n] = '\0';
    dev->remote_port = port;
}

void dotted(uint32 ip, char* out, size_t room)
{
    snprintf(out, room, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255u, (ip >> 8) & 255u, ip & 255u);
}

// A packet size above the bound is lowered in the register itself, so that
// hosts read back the size in force. The write queues a test frame, as every
// write of the register does. True when it was lowered.
bool lower_packet_size_register()
{
    uint32 v = boot_word(REG_STREAM_CHANNEL_PACKET_SIZE);
    if ((v & 0xFFFFu) <= GVSP_MAX_PACKET_SIZE) return false;
    uint32 lowered = (v & 0xFFFF0000u) | GVSP_MAX_PACKET_SIZE;
    log_info(g_logger, __FUNCTION__, __LINE__, "packet size:%u above %u, lowered", v & 0xFFFFu, GVSP_MAX_PACKET_SIZE);
    Bootstrap_WriteReg(REG_STREAM_CHANNEL_PACKET_SIZE, &lowered, sizeof(lowered));
    return true;
}

// ---- Delivery ----

// The hosts a block goes to, each at its own stream destination, read once
// at the block's start: GVCP adds or removes hosts between blocks. The
// device keeps the last host's destination (the host served last). The
// table only grows, so a steady stream allocates nothing here.
int resolve_hosts(iodev_t* dev, GVSPPrivData* p)
{
    epcore_t* core = dev->epcore;
    if (!core || !core->user_info) return 0;
    int n = 0;
    EnterCriticalSection(&core->userCS);
    int count = lt_num(core->user_info);
    if (count > p->hostRoom) {
        if (auto* grown = static_cast<sockaddr_in*>(krealloc(p->hosts, sizeof(sockaddr_in) * (size_t)count))) {
            p->hosts = grown;
            p->hostRoom = count;
        } else {
            p->hosts = nullptr;  // krealloc released it
            p->hostRoom = 0;
        }
    }
    const UserInfo* last = nullptr;
    auto* u = static_cast<UserInfo*>(lt_first(core->user_info));
    for (int i = 0; i < count && u; i++, u = static_cast<UserInfo*>(lt_get_next(u))) {
        if (u->dest_port == 0 || !u->dest_ip[0]) continue;  // no stream channel yet
        last = u;
        if (n < p->hostRoom && udpbatch_addr(u->dest_ip, u->dest_port, &p->hosts[n]) == 0) n++;
    }
    if (last) set_dest(dev, last->dest_ip, last->dest_port);
    LeaveCriticalSection(&core->userCS);
    return n;
}

// Where a block goes: the hosts resolved at its start, or one destination.
struct Out {
    iodev_t* dev;
    GVSPPrivData* p;
    const sockaddr_in* to;
    int n;
    void send(const void* buf, int len) const
    {
        for (int i = 0; i < n; i++) udpbatch_send_one(&p->batch, &to[i], buf, (size_t)len);
    }
};

// Every host, resolved now (the table may move while it is resolved).
Out hosts_out(iodev_t* dev, GVSPPrivData* p)
{
    int n = resolve_hosts(dev, p);
    return Out{dev, p, p->hosts, n};
}

template <typename T>
void send_struct(const Out& out, const T& pkt)
{
    out.send(&pkt, (int)sizeof(T));
}

// The way is said with the first run (the logger is set up by then), and
// again when a refused segmented send changes it, which happens once.
void note_way(GVSPPrivData* p)
{
    if (p->batch.way == p->wayLogged) return;
    if (p->wayLogged < 0) {  // -1 - the way decided for the socket, not said yet
        p->wayLogged = -1 - p->wayLogged;
        log_info(g_logger, __FUNCTION__, __LINE__, "gvsp packets go by %s", udpbatch_way_name(p->wayLogged));
        if (p->batch.way == p->wayLogged) return;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "gvsp segmented send refused (%s), packets go by %s",
             strerror(p->batch.refusedErr), udpbatch_way_name(p->batch.way));
    p->wayLogged = p->batch.way;
}

// Packets firstId..lastId of a frame cut `cut` bytes each (the last one
// what remains) behind an `hlen`-byte header that head(buf, id) writes.
// They go a run at a time, each run to every destination in turn, so each
// host sees them in order; between() runs after every run.
template <typename Head, typename Between>
void send_packets(const Out& out, const ImageInfo* f, uint32 cut, uint32 hlen, uint64 firstId, uint64 lastId,
                  Head&& head, Between&& between)
{
    GVSPPrivData* p = out.p;
    uint8 hdr[UDPB_MAX_RUN][sizeof(H264PayloadHeader)];
    iovec iov[2 * UDPB_MAX_RUN];
    const size_t seg = (size_t)hlen + cut;
    for (uint64 id = firstId; id <= lastId;) {
        const int room = udpbatch_run_max(&p->batch, seg);
        int k = 0;
        for (; k < room && id <= lastId; k++, id++) {
            const uint64 off = (id - 1) * cut;
            head(hdr[k], (uint32)id);
            iov[2 * k] = {hdr[k], hlen};
            iov[2 * k + 1] = {const_cast<uint8*>(f->imageData) + off,
                              (size_t)std::min<uint64>(cut, f->imageSize - off)};
        }
        for (int i = 0; i < out.n; i++) udpbatch_send(&p->batch, &out.to[i], iov, 2, k, seg);
        note_way(p);
        between();
    }
}

uint64 packet_count(uint32 bytes, uint32 cut) { return ((uint64)bytes + cut - 1) / cut; }

// ---- Resend list ----

// Under resendCS, after every change of the list.
void note_queued(GVSPPrivData* p)
{
    std::atomic_ref<uint32>(p->resendQueued).store((uint32)lt_num(p->resend_list), std::memory_order_relaxed);
}

bool resends_queued(GVSPPrivData* p)
{
    return std::atomic_ref<uint32>(p->resendQueued).load(std::memory_order_relaxed) != 0;
}

void drop_all_resends(GVSPPrivData* p)
{
    dlist_t gone{};
    EnterCriticalSection(&p->resendCS);
    lt_tail_combine_nodel(&gone, p->resend_list);
    note_queued(p);
    LeaveCriticalSection(&p->resendCS);
    while (void* r = lt_rm_head(&gone)) kfree(r);
}

// The first request still worth serving; older ones are dropped on the way.
ResendInfo* take_resend(GVSPPrivData* p)
{
    if (!resends_queued(p)) return nullptr;  // the common case: no lock, no clock
    uint32 now = get_tickcount();
    for (;;) {
        EnterCriticalSection(&p->resendCS);
        auto* r = static_cast<ResendInfo*>(lt_rm_head(p->resend_list));
        note_queued(p);
        LeaveCriticalSection(&p->resendCS);
        if (!r || now - r->queuedMs <= GVSP_RESEND_MAX_AGE_MS) return r;
        log_debug(g_logger, __FUNCTION__, __LINE__, "stale resend blockId:%lu", (unsigned long)r->blockId);
        kfree(r);
    }
}

void put_back_resend(GVSPPrivData* p, ResendInfo* r)
{
    EnterCriticalSection(&p->resendCS);
    lt_append(p->resend_list, r);
    note_queued(p);
    LeaveCriticalSection(&p->resendCS);
}

// Points the device at the requester's stream destination. A request that
// names no requester goes to the host served last; one whose host has left
// (or has no stream channel) goes nowhere.
bool aim_at_requester(iodev_t* dev, const ResendInfo* r)
{
    if (!r->user_ip[0]) return true;
    epcore_t* core = dev->epcore;
    if (!core || !core->user_info) return false;
    bool found = false;
    EnterCriticalSection(&core->userCS);
    int n = lt_num(core->user_info);
    auto* u = static_cast<UserInfo*>(lt_first(core->user_info));
    for (int i = 0; i < n && u && !found; i++, u = static_cast<UserInfo*>(lt_get_next(u))) {
        if (u->user_port != r->user_port || strncmp(u->user_ip, r->user_ip, sizeof(u->user_ip)) != 0) continue;
        if (u->dest_port == 0 || !u->dest_ip[0]) break;
        set_dest(dev, u->dest_ip, u->dest_port);
        found = true;
    }
    LeaveCriticalSection(&core->userCS);
    return found;
}

// One queued request against the cached frame of its block, or against
// `current` (the frame going out) when it names that one: a request for the
// block in progress, queued behind one for an older block, must not be
// refused here. A block neither current nor cached is refused by the newest
// cached frame, with its log line. 1 when a request was taken.
int serve_cached(iodev_t* dev, ImageInfo* current)
{
    GVSPPrivData* p = priv_of(dev);
    auto* newest = p ? static_cast<ImageInfo*>(lt_last(p->cache_list)) : nullptr;
    if (!newest) return 0;
    ResendInfo* r = take_resend(p);
    if (!r) return 0;
    if (r->blockId == 0) {
        kfree(r);
        return 1;
    }
    ImageInfo* from = current && current->blkId == r->blockId ? current : nullptr;
    for (void* it = lt_first(p->cache_list); it && !from; it = lt_get_next(it))
        if (static_cast<ImageInfo*>(it)->blkId == r->blockId) from = static_cast<ImageInfo*>(it);
    GVSP_ResendImage(dev, from ? from : newest, r);
    return 1;
}

// ---- Blocks ----

// Requests queued while a block streams, served between its runs: each
// pass as the idle loop does, one against the block in progress, then one
// against the cached frames; at most as many passes as were queued.
void serve_resends(iodev_t* dev, GVSPPrivData* p, ImageInfo* f)
{
    if (!resends_queued(p)) return;
    uint32 queued = std::atomic_ref<uint32>(p->resendQueued).load(std::memory_order_relaxed);
    for (uint32 i = 0; i < queued && resends_queued(p); i++) {
        GVSP_ResendImageCurrent(dev, f);
        serve_cached(dev, f);
    }
}

// Cuts the frame's data into payload packets behind a 20-byte header, ids
// 1, 2, ...; between the runs of an image frame the resend requests get
// their turn. Returns the last payload id (0 when there is no data).
uint32 send_payload(const Out& out, ImageInfo* f, uint32 size, uint64 blockId, bool serveResends)
{
    const uint32 cut = size - kIpUdp - kHeader;
    const uint64 count = packet_count(f->imageSize, cut);
    GVSPHeader h{};
    put_header(h, DATA_PAYLOAD_FORMAT, blockId, 0);
    send_packets(
        out, f, cut, kHeader, 1, count,
        [&](uint8* buf, uint32 id) {
            h.packId32.set(id);
            memcpy(buf, &h, sizeof(h));
        },
        [&] {
            if (serveResends) serve_resends(out.dev, out.p, f);
        });
    return (uint32)count;
}

uint16 app_payload_type(uint32 imageType)
{
    switch (imageType) {
    case E_IMAGE_TYPE_PALLET: return GVSP_PAYLOAD_TYPE_PALLET;
    case E_IMAGE_TYPE_AVOID2: return GVSP_PAYLOAD_TYPE_AVOID2;
    default:                  return GVSP_PAYLOAD_TYPE_AVOID;
    }
}

uint16 video_payload_type(uint32 imageType)
{
    switch (imageType) {
    case E_IMAGE_TYPE_H265:  return GVSP_PAYLOAD_TYPE_H265;
    case E_IMAGE_TYPE_MJPEG: return GVSP_PAYLOAD_TYPE_MJPEG;
    default:                 return GVSP_PAYLOAD_TYPE_H264;
    }
}

// The test packet: imageSize - 28 bytes of the frame to the destination.
// False when the frame is not sent (it is then freed, not cached).
bool send_test(iodev_t* dev, GVSPPrivData* p, ImageInfo* f)
{
    if (f->imageSize < kIpUdp) {
        log_error(g_logger, __FUNCTION__, __LINE__, "test packet size:%u below %u, not sent", f->imageSize, kIpUdp);
        return false;
    }
    // The lowered register queues its own test frame, which goes out instead.
    if (lower_packet_size_register()) return false;
    p->send_to(dev, f->imageData, (int)(f->imageSize - kIpUdp));
    return true;
}

// ---- Stream close ----

// The next queued frame and the latest close generation, read together; a
// frame of a stream being closed is released, not sent.
ImageInfo* take_frame(worker_t* wk, GvspFlush* fl, uint64* closeGen)
{
    EnterCriticalSection(&wk->datalistCS);
    *closeGen = fl->requested.load();
    void* item = lt_rm_head(wk->data_list);
    bool closing = fl->closing.load();
    LeaveCriticalSection(&wk->datalistCS);
    if (item && closing && static_cast<ImageInfo*>(item)->imageType != E_IMAGE_TYPE_TEST_PACKET) {
        free_image(wk->epcore, static_cast<ImageInfo*>(item));
        item = nullptr;
    }
    return static_cast<ImageInfo*>(item);
}

// Serves the closes up to generation `gen` on this thread, before the next
// frame: the cached frames and the resend requests go and the next block is
// number 1 (the closer took the queued frames itself).
void serve_flush(worker_t* wk, GVSPPrivData* p, uint64 gen)
{
    GvspFlush* fl = p->flush;
    if (gen <= fl->done.load()) return;
    dlist_t frames{};
    lt_tail_combine_nodel(&frames, p->cache_list);
    p->blockId = 1;
    drop_all_resends(p);
    int n = frames_release(wk->epcore, &frames);
    log_info(g_logger, __FUNCTION__, __LINE__, "gvsp flushed, %d frames released", n);
    {
        std::lock_guard<std::mutex> hold(fl->m);
        fl->done.store(gen);
    }
    fl->cv.notify_all();
}

void count_frame(uint32* count, uint32* lastMs)
{
    (*count)++;
    uint32 now = get_tickcount();
    if (now - *lastMs > 999) {
        log_trace(g_runtime_logger, __FUNCTION__, __LINE__, "gvsp send fps:%d", (int)*count);
        *count = 0;
        *lastMs = now;
    }
}

// Sends one frame; false when it is to be freed rather than cached.
bool dispatch(iodev_t* dev, GVSPPrivData* p, ImageInfo* f)
{
    switch (f->imageType) {
    case E_IMAGE_TYPE_TEST_PACKET: return send_test(dev, p, f);
    case E_IMAGE_TYPE_DEPTH:
    case E_IMAGE_TYPE_AMP:
    case E_IMAGE_TYPE_RAW:
    case E_IMAGE_TYPE_RGB: {
        btime_t t0, t1;
        btime(&t0);
        GVSP_ImagePacket(dev, f);
        btime(&t1);
        log_debug(g_logger, __FUNCTION__, __LINE__, "send image cost time:%ld imageInfo->imageSize:%d",
                  (long)btime_diff_ms(&t0, &t1), (int)f->imageSize);
        // Grey pictures are released at once and never resent.
        return f->imageType != E_IMAGE_TYPE_RAW;
    }
    case E_IMAGE_TYPE_JPEG: GVSP_JPEGPacket(dev, f); return true;
    case E_IMAGE_TYPE_H264:
    case E_IMAGE_TYPE_H265:
    case E_IMAGE_TYPE_MJPEG: GVSP_H264Packet(dev, f); return true;
    case E_IMAGE_TYPE_AVOID:
    case E_IMAGE_TYPE_PALLET:
    case E_IMAGE_TYPE_AVOID2: GVSP_ApplationAlgo(dev, f); return true;
    default:
        log_error(g_logger, __FUNCTION__, __LINE__, "unknow image type:%d", (int)f->imageType);
        return true;
    }
}

// One frame off the data list through to the cache; see the task.
void send_frame(iodev_t* dev, GVSPPrivData* p, epcore_t* core, ImageInfo* f)
{
    if (boot_word(REG_CONTROL_CHANNEL_PRIVILEGE) == 0) {
        usleep(kIdleUs);
        free_image(core, f);
        return;
    }
    uint32 destAddress = boot_word(REG_STREAM_CHANNEL_DEST_ADDRESS);
    uint32 destPort = boot_word(REG_STREAM_CHANNEL_PORT);
    log_debug(g_logger, __FUNCTION__, __LINE__, "destAddress:%x destPort:%d", destAddress, (int)destPort);
    if (destAddress == 0 || destPort == 0) {
        usleep(kIdleUs);
        free_image(core, f);
        return;
    }
    char ip[16];
    dotted(destAddress, ip, sizeof(ip));
    set_dest(dev, ip, (uint16)destPort);

    uint32 sec = 0, nsec = 0;
    get_local_time(&sec, &nsec);
    int64 age = ((int64)sec * 1000000000 + nsec - ((int64)f->timeStampH * 1000000000 + f->timeStampL)) / 1000000;
    log_debug(g_logger, __FUNCTION__, __LINE__, "imageInfo->imageType:%d", (int)f->imageType);
    log_debug(g_logger, __FUNCTION__, __LINE__, "======================%d cur_timeStamp-image_timeStamp:%ld",
              (int)f->imageType, (long)age);

    if (dispatch(dev, p, f)) GVSP_AddCache(dev, f);
    else free_image(core, f);
}

}  // namespace

// ---- Packet size ----

uint32 GVSP_PacketSize(void)
{
    uint32 size = boot_word(REG_STREAM_CHANNEL_PACKET_SIZE) & 0xFFFFu;
    if (size <= 100) return GVSP_DEFAULT_PACKET_SIZE;
    return std::min(size, GVSP_MAX_PACKET_SIZE);
}

// ---- Block senders ----

int GVSP_ImagePacket(iodev_t* dev, ImageInfo* f)
{
    GVSPPrivData* p = priv_of(dev);
    if (!p || !f) return 0;
    const Out out = hosts_out(dev, p);
    const uint64 blockId = p->blockId;

    ImageLeaderPacket leader{};
    put_header(leader.header, DATA_LEADER_FORMAT, blockId, 0);
    leader.reserved1 = (uint8)f->imageType;
    leader.payloadType.set(GVSP_PAYLOAD_TYPE_IMAGE);
    leader.timestampH.set(f->timeStampH);
    leader.timestampL.set(f->timeStampL);
    leader.pixelFormat.set(f->pixelFormat);
    leader.sizeX.set(f->width);
    leader.sizeY.set(f->height);
    leader.offsetX.set((uint32)f->frameIndex);
    leader.offsetY.set(f->imageType == E_IMAGE_TYPE_DEPTH ? f->PDFlags : 0);
    send_struct(out, leader);

    const uint32 size = GVSP_PacketSize();
    f->blkId = blockId;
    uint32 last = send_payload(out, f, size, blockId, true);

    ImageTrailPacket trail{};
    put_header(trail.header, DATA_TRAILER_FORMAT, blockId, last + 1);
    trail.payloadType.set(GVSP_PAYLOAD_TYPE_IMAGE);
    trail.sizeY.set(f->height);
    send_struct(out, trail);
    p->blockId = blockId + 1;
    return 0;
}

int GVSP_JPEGPacket(iodev_t* dev, ImageInfo* f)
{
    GVSPPrivData* p = priv_of(dev);
    if (!p || !f) return 0;
    const Out out = hosts_out(dev, p);
    const uint64 blockId = p->blockId;

    JPEGLeaderPacket leader{};
    put_header(leader.header, DATA_LEADER_FORMAT, blockId, 0);
    leader.payloadType.set(GVSP_PAYLOAD_TYPE_JPEG2000);
    leader.timestampH.set(f->timeStampH);
    leader.timestampL.set(f->timeStampL);
    leader.payloadSizeL.set(f->imageSize);
    leader.timestampTickRrequencyH.set((uint32)f->frameIndex);
    leader.timestampTickRrequencyL.set(1000000);
    leader.dataFormat.set(0x0108000Au);
    send_struct(out, leader);

    const uint32 size = GVSP_PacketSize();
    f->blkId = blockId;
    uint32 last = send_payload(out, f, size, blockId, false);

    JPEGTrailerPacket trail{};
    put_header(trail.header, DATA_TRAILER_FORMAT, blockId, last + 1);
    trail.payloadType.set(GVSP_PAYLOAD_TYPE_JPEG2000);
    send_struct(out, trail);
    p->blockId = blockId + 1;
    return 0;
}

int GVSP_ApplationAlgo(iodev_t* dev, ImageInfo* f)
{
    GVSPPrivData* p = priv_of(dev);
    if (!p || !f) return 0;
    const Out out = hosts_out(dev, p);
    const uint64 blockId = p->blockId;
    const uint16 type = app_payload_type(f->imageType);

    AvoidLeaderPacket leader{};
    put_header(leader.header, DATA_LEADER_FORMAT, blockId, 0);
    leader.payloadType.set(type);
    leader.timestampH.set(f->timeStampH);
    leader.timestampL.set(f->timeStampL);
    leader.payloadSize.set(f->imageSize);
    send_struct(out, leader);

    const uint32 size = GVSP_PacketSize();
    f->blkId = blockId;
    uint32 last = send_payload(out, f, size, blockId, false);

    AvoidTrailPacket trail{};
    put_header(trail.header, DATA_TRAILER_FORMAT, blockId, last + 1);
    trail.payloadType.set(type);
    send_struct(out, trail);
    p->blockId = blockId + 1;
    return 0;
}

int GVSP_H264Packet(iodev_t* dev, ImageInfo* f)
{
    GVSPPrivData* p = priv_of(dev);
    if (!p || !f) return 0;
    sockaddr_in dest;
    const Out out{dev, p, &dest, udpbatch_addr(dev->remote_ip, dev->remote_port, &dest) == 0 ? 1 : 0};
    const uint64 blockId = p->blockId;
    const uint16 type = video_payload_type(f->imageType);

    H264LeaderPacket leader{};
    put_header(leader.header, DATA_LEADER_FORMAT, blockId, 0);
    leader.payloadType.set(type);
    leader.payloadSizeL.set(f->imageSize);
    leader.packetSize.set((uint16)f->imageSize);
    send_struct(out, leader);

    const uint32 size = GVSP_PacketSize();
    f->blkId = blockId;
    const uint32 cut = size - kIpUdp - kVideoHeader;
    const uint32 id = (uint32)packet_count(f->imageSize, cut);
    H264PayloadHeader h{};
    put_header(h.header, DATA_PAYLOAD_FORMAT, blockId, 0);
    h.timeStampH.set(f->timeStampH);
    h.timeStampL.set(f->timeStampL);
    send_packets(
        out, f, cut, kVideoHeader, 1, id,
        [&](uint8* buf, uint32 packId) {
            h.header.packId32.set(packId);
            memcpy(buf, &h, sizeof(h));
        },
        [] {});

    H264TrailPacket trail{};
    put_header(trail.header, DATA_TRAILER_FORMAT, blockId, id + 1);
    trail.payloadType.set(type);
    send_struct(out, trail);
    p->blockId = blockId + 1;
    return 0;
}

// ---- Resend ----

int GVSP_ResendImage(iodev_t* dev, ImageInfo* f, ResendInfo* info)
{
    if (!info) return 0;
    GVSPPrivData* p = priv_of(dev);
    if (!p || !f || info->blockId != f->blkId) {
        log_info(g_logger, __FUNCTION__, __LINE__, "resendInfo->blockId:%ld imageInfo->blkId:%ld", (long)info->blockId,
                 f ? (long)f->blkId : -1L);
        kfree(info);
        return 0;
    }
    if (!aim_at_requester(dev, info)) {
        log_debug(g_logger, __FUNCTION__, __LINE__, "resend host %s:%d not connected", info->user_ip,
                  (int)info->user_port);
        kfree(info);
        return 0;
    }
    const uint32 cut = GVSP_PacketSize() - kIpUdp - kHeader;
    const uint64 count = packet_count(f->imageSize, cut);
    const uint64 trailerId = count + 1;
    const uint64 first = std::max<uint32>(info->firstPacketId, 1);  // the leader is never resent
    const uint64 last = info->lastPacketId == kAllPackets ? count : std::min<uint64>(info->lastPacketId, count);

    // To the device's destination as it now stands, resolved once.
    sockaddr_in dest;
    const Out out{dev, p, &dest, udpbatch_addr(dev->remote_ip, dev->remote_port, &dest) == 0 ? 1 : 0};
    GVSPHeader h{};
    put_header(h, DATA_PAYLOAD_FORMAT, f->blkId, 0, true);
    send_packets(
        out, f, cut, kHeader, first, last,
        [&](uint8* buf, uint32 id) {
            h.packId32.set(id);
            memcpy(buf, &h, sizeof(h));
        },
        [] {});
    if (info->lastPacketId == kAllPackets || info->lastPacketId == trailerId) {
        ImageTrailPacket trail{};
        put_header(trail.header, DATA_TRAILER_FORMAT, f->blkId, (uint32)trailerId, true);
        trail.payloadType.set(GVSP_PAYLOAD_TYPE_IMAGE);
        trail.sizeY.set(f->height);
        send_struct(out, trail);
    }
    kfree(info);
    return 0;
}

int GVSP_ResendImageCurrent(iodev_t* dev, ImageInfo* f)
{
    GVSPPrivData* p = priv_of(dev);
    if (!p || !f) return 0;
    ResendInfo* r = take_resend(p);
    if (!r) return 0;
    if (r->blockId == f->blkId) GVSP_ResendImage(dev, f, r);
    else put_back_resend(p, r);
    return 0;
}

int GVSP_ResendImageCache(iodev_t* dev) { return serve_cached(dev, nullptr); }

int GVSP_AddCache(iodev_t* dev, ImageInfo* f)
{
    GVSPPrivData* p = priv_of(dev);
    if (!p || !f) return 0;
    while (lt_num(p->cache_list) >= GVSP_CACHE_FRAMES)
        free_image(dev->epcore, static_cast<ImageInfo*>(lt_rm_head(p->cache_list)));
    lt_append(p->cache_list, f);
    return 0;
}

int GVSP_ParseResend(const void* datagram, int len, ResendInfo* info)
{
    ::GVCPPacketResendCmd cmd{};
    if (!datagram || !info || len < 0) return -1;
    if (!gv::decode(static_cast<const uint8*>(datagram), (size_t)len, &cmd)) return -1;
    if (cmd.header.command != ::PACKETRESEND_CMD) return -1;
    if (cmd.header.length < sizeof(cmd) - GVCP_HEADER_SIZE) return -1;  // not the extended-id form
    if (cmd.firstPacketId == 0) return -1;                             // the leader is never resent
    info->streamChannelIndex = cmd.streamChannelIndex;
    info->blockId = ((uint64)cmd.blockId64H << 32) | cmd.blockId64L;
    info->firstPacketId = cmd.firstPacketId;
    info->lastPacketId = cmd.lastPacketId;
    return 0;
}

// Runs fn(worker, private data or null) on the running sender under its
// data-list lock, which its private data lives under (the sender withdraws
// it under that lock before freeing it); nothing when no sender runs.
template <typename Fn>
static void with_sender(epcore_t* core, Fn fn)
{
    epcore_with_worker(core, E_WORKER_ID_GVSP, [&](worker_t* wk) {
        EnterCriticalSection(&wk->datalistCS);
        fn(wk, priv_of(static_cast<iodev_t*>(wk->pdev)));
        LeaveCriticalSection(&wk->datalistCS);
    });
}

int GVSP_ResendRequest(epcore_t* core, const void* datagram, int len, const char* requesterIp, uint16 requesterPort)
{
    ResendInfo req{};
    if (GVSP_ParseResend(datagram, len, &req) != 0) return -1;
    if (!core || !requesterIp || !requesterIp[0]) return -2;

    // Only a connected host gets packets resent, and only to itself. Hosts
    // ask from their control socket or (Aravis does) from the stream socket
    // the packets come to; either names the host's record, which the
    // request keeps by its control address.
    auto* r = static_cast<ResendInfo*>(kzalloc(sizeof(ResendInfo)));
    if (!r) return -3;
    *r = req;
    r->res[0] = r->res[1] = nullptr;
    bool user = false;
    EnterCriticalSection(&core->userCS);
    int n = lt_num(core->user_info);
    auto* u = static_cast<UserInfo*>(lt_first(core->user_info));
    for (int i = 0; i < n && u && !user; i++, u = static_cast<UserInfo*>(lt_get_next(u))) {
        if (strncmp(u->user_ip, requesterIp, sizeof(u->user_ip)) != 0) continue;
        user = u->user_port == requesterPort ||
               (u->dest_port == requesterPort && strncmp(u->dest_ip, requesterIp, sizeof(u->dest_ip)) == 0);
        if (user) {
            memcpy(r->user_ip, u->user_ip, strnlen(u->user_ip, sizeof(r->user_ip) - 1));
            r->user_port = u->user_port;
        }
    }
    LeaveCriticalSection(&core->userCS);
    if (!user) {
        kfree(r);
        return -2;
    }
    r->queuedMs = get_tickcount();

    ResendInfo* dropped = nullptr;
    int rc = -3;
    with_sender(core, [&](worker_t* wk, GVSPPrivData* p) {
        if (!p) return;
        EnterCriticalSection(&p->resendCS);
        if (lt_num(p->resend_list) >= GVSP_RESEND_LIST_MAX)
            dropped = static_cast<ResendInfo*>(lt_rm_head(p->resend_list));
        lt_append(p->resend_list, r);
        note_queued(p);
        LeaveCriticalSection(&p->resendCS);
        event_signal(wk->ioevent, 1);
        rc = 0;
    });
    if (rc != 0) {
        kfree(r);
        return rc;
    }
    if (dropped) {
        log_debug(g_logger, __FUNCTION__, __LINE__, "resend list full, blockId:%lu dropped",
                  (unsigned long)dropped->blockId);
        kfree(dropped);
    }
    log_debug(g_logger, __FUNCTION__, __LINE__,
              "gvspPrivData->blockId:%ld gvspPrivData->firstPacketId:%d resendInfo->lastPacketId:%d", (long)req.blockId,
              (int)req.firstPacketId, (int)req.lastPacketId);
    return 0;
}

// ---- Stream close ----

// Waits up to timeoutMs (0: not at all) until the sender has served the
// closes up to `gen` or has ended, then lets go of `fl`.
static bool wait_served(GvspFlush* fl, uint64 gen, int timeoutMs)
{
    bool done;
    {
        std::unique_lock<std::mutex> hold(fl->m);
        done = fl->cv.wait_for(hold, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                               [&] { return fl->closed || fl->done.load() >= gen; });
    }
    unref(fl);
    return done;
}

int GVSP_StreamFlush(epcore_t* core, int timeoutMs)
{
    if (!core) return 0;
    GvspFlush* fl = nullptr;
    uint64 mine = 0;
    dlist_t frames{};
    with_sender(core, [&](worker_t* wk, GVSPPrivData* p) {
        // Every frame queued so far belongs to the stream being closed.
        lt_tail_combine_nodel(&frames, wk->data_list);
        if (!p || !p->flush) return;
        fl = p->flush;
        fl->refs.fetch_add(1);
        mine = fl->requested.load() + 1;
        fl->requested.store(mine);
        event_signal(wk->ioevent, 1);
    });
    int n = frames_release(core, &frames);
    if (n) log_info(g_logger, __FUNCTION__, __LINE__, "gvsp queue emptied, %d frames released", n);
    if (!fl) return 0;
    bool done = wait_served(fl, mine, timeoutMs);
    if (!done && timeoutMs > 0) log_error(g_logger, __FUNCTION__, __LINE__, "gvsp flush not done in %d ms", timeoutMs);
    return done ? 0 : -1;
}

void GVSP_StreamCloseBegin(epcore_t* core)
{
    if (!core) return;
    dlist_t frames{};
    with_sender(core, [&](worker_t* wk, GVSPPrivData* p) {
        lt_tail_combine_nodel(&frames, wk->data_list);
        if (p && p->flush) p->flush->closing.store(true);
    });
    frames_release(core, &frames);
}

void GVSP_StreamCloseCancel(epcore_t* core)
{
    if (!core) return;
    dlist_t frames{};
    with_sender(core, [&](worker_t* wk, GVSPPrivData* p) {
        if (!p || !p->flush || !p->flush->closing.load()) return;
        // Frames queued while the sender was silent are the closed stream's,
        // handed over late by a worker that was still processing them: they
        // go, test frames excepted, before the silence ends.
        dlist_t keep{};
        while (void* item = lt_rm_head(wk->data_list)) {
            if (static_cast<ImageInfo*>(item)->imageType == E_IMAGE_TYPE_TEST_PACKET) lt_append(&keep, item);
            else lt_append(&frames, item);
        }
        lt_tail_combine_nodel(wk->data_list, &keep);
        p->flush->closing.store(false);
    });
    int n = frames_release(core, &frames);
    if (n) log_info(g_logger, __FUNCTION__, __LINE__, "%d frames of the closed stream released", n);
}

int GVSP_StreamFlushWait(epcore_t* core, int timeoutMs)
{
    if (!core) return 0;
    GvspFlush* fl = nullptr;
    uint64 want = 0;
    with_sender(core, [&](worker_t*, GVSPPrivData* p) {
        if (!p || !p->flush) return;
        fl = p->flush;
        fl->refs.fetch_add(1);
        want = fl->requested.load();
    });
    if (!fl) return 0;
    return wait_served(fl, want, timeoutMs) ? 0 : -1;
}

// ---- Device and task ----

int GVSP_IodevCreate(epcore_t* core, uint64 id, iodev_t** dev)
{
    if (!core || !dev) return -1;
    int fd = epudp_socket_create(nullptr, (int)(boot_word(REG_STREAM_CHANNEL_SRC_PORT) & 0xFFFFu));
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "gvsp socker fail.");
        return -1;
    }
    iodev_t* d = iodev_new(core);
    auto* p = static_cast<GVSPPrivData*>(kzalloc(sizeof(GVSPPrivData)));
    if (!d || !p) {
        log_error(g_logger, __FUNCTION__, __LINE__, "gvsp iodev new fail.");
        if (d) iodev_discard(d);
        kfree(p);
        close(fd);
        return -1;
    }
    d->id = id;
    d->fd = fd;
    d->subdevFd = -1;
    d->fdtype = IODEV_FILE;
    d->family = AF_INET;
    d->socktype = SOCK_DGRAM;
    d->iostate = IOSTATE_READY;
    d->callback = nullptr;
    d->cbpara = core;
    d->reuseaddr = d->reuseport = 1;

    p->blockId = 1;
    InitializeCriticalSection(&p->resendCS);
    p->resend_list = lt_new();
    p->cache_list = lt_new();
    p->send_to = epudp_send_to;
    p->flush = new GvspFlush();
    int best = UDPB_SEGMENT;
    if (const char* want = getenv("KORVID_GVSP_SEND")) {
        best = udpbatch_way_named(want);
        if (best < 0) {
            log_error(g_logger, __FUNCTION__, __LINE__, "KORVID_GVSP_SEND:%s unknown, segment used", want);
            best = UDPB_SEGMENT;
        }
    }
    p->wayLogged = -1 - udpbatch_init(&p->batch, fd, best);
    d->priv_data = p;
    if (!p->resend_list || !p->cache_list || epcore_iodev_add(core, d) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "gvsp iodev new fail.");
        lt_free(p->resend_list);
        lt_free(p->cache_list);
        DeleteCriticalSection(&p->resendCS);
        unref(p->flush);
        kfree(p);
        d->priv_data = nullptr;
        iodev_discard(d);
        close(fd);
        return -1;
    }
    *dev = d;
    return 0;
}

void GVSP_IodevDestroy(iodev_t* dev)
{
    GVSPPrivData* p = priv_of(dev);
    if (!p) return;
    epcore_t* core = dev->epcore;
    frames_release(core, p->cache_list);
    drop_all_resends(p);
    {
        std::lock_guard<std::mutex> hold(p->flush->m);
        p->flush->closed = true;
    }
    p->flush->cv.notify_all();
    unref(p->flush);

    // Unregistered before the private data goes, so a lookup by id cannot
    // reach freed data.
    dev->priv_data = nullptr;
    iodev_close(dev);
    lt_free(p->cache_list);
    lt_free(p->resend_list);
    DeleteCriticalSection(&p->resendCS);
    kfree(p->hosts);
    kfree(p);
}

void* GVSP_Task(void* arg)
{
    auto* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    set_task_name("gvsp");
    worker_set_datafree(wk, frame_datafree);

    iodev_t* dev = nullptr;
    if (GVSP_IodevCreate(core, E_DEVICE_GVSP, &dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "GVSP_iodevCreate fail.");
        worker_destory(wk);
        return nullptr;
    }
    GVSPPrivData* p = priv_of(dev);
    EnterCriticalSection(&wk->datalistCS);
    wk->pdev = dev;
    LeaveCriticalSection(&wk->datalistCS);
    lower_packet_size_register();

    uint32 count = 0, lastMs = get_tickcount();
    while (!wk->quit.load() && !core->quit.load()) {
        uint64 closeGen = 0;
        ImageInfo* f = take_frame(wk, p->flush, &closeGen);
        serve_flush(wk, p, closeGen);
        if (!f) {
            // Requests for the last frames are answered while nothing streams.
            int served = 0;
            if (lt_first(p->cache_list)) {
                while (served < kIdleResends && GVSP_ResendImageCache(dev)) served++;
            } else {
                drop_all_resends(p);
            }
            // Producers and resend requests signal; the bound keeps a flush,
            // or a signal given just before the wait, from waiting long.
            if (served < kIdleResends) event_wait(wk->ioevent, kIdleWaitMs);
            continue;
        }
        send_frame(dev, p, core, f);
        count_frame(&count, &lastMs);
        log_debug(g_logger, __FUNCTION__, __LINE__, "gvsp send one packet end");
    }

    log_info(g_logger, __FUNCTION__, __LINE__, "end gvsp task");
    // Withdrawn under the list lock: no other thread reaches the private
    // data after this.
    dlist_t frames{};
    EnterCriticalSection(&wk->datalistCS);
    lt_tail_combine_nodel(&frames, wk->data_list);
    wk->pdev = nullptr;
    LeaveCriticalSection(&wk->datalistCS);
    frames_release(core, &frames);
    GVSP_IodevDestroy(dev);
    // Last: the core may be torn down once the worker is gone.
    worker_destory(wk);
    return nullptr;
}
