// Lidar packet relay: the receiver fills a ring with the lidar's packets, the
// sender converts each packet (with the first block of the next one, for the
// last block's angle step) into a point packet for the GigE Vision host.
//
// The ring is shared by the two workers without a lock. Slots are read and
// written word by word through atomics, and the sender checks after copying
// a pair that the receiver has not begun to overwrite it (the pattern of a
// sequence lock, with the write counter as the sequence). The write counter
// carries the receiver's run number beside the count, so a receiver restart
// reaches the sender as one change it cannot mistake for an overrun.
#include "rich/rich_radar.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "common/custom.h"
#include "epcore.h"
#include "epudp.h"
#include "iodev.h"
#include "log/logger.h"
#include "worker.h"

namespace {

constexpr int kSlotWords = (RICH_PACK_SIZE + 7) / 8;
// A receive buffer larger than a packet, so a longer datagram shows its
// length instead of being cut to a packet's.
constexpr int kRecvBuf = 2048;
// The receive waits this long at most before looking at the quit flags.
constexpr int kRecvPollMs = 50;
constexpr int kRecvErrorPauseMs = 10;
constexpr int kSendIdleMs = 2;
constexpr uint16 kAngleTurn = 36000;
// The sender may trail the receiver by this many packets; the next write
// goes to the slot of the oldest one.
constexpr uint32 kMaxAhead = RICH_RING_SLOTS - 1;

struct Slot {
    std::atomic<uint64> w[kSlotWords];
};

struct Ring {
    Slot slot[RICH_RING_SLOTS];
    // Receiver's run number (high half) and packets written in the run (low
    // half); only the receiver writes it.
    std::atomic<uint64> dbmain{0};
    // Packets consumed and the run they belong to; only the sender writes them.
    std::atomic<uint32> dbmain_used{0};
    std::atomic<uint32> usedRun{0};
    std::atomic<uint64> dropped{0};
    std::atomic<uint64> sent{0};
};
Ring s_ring;

uint32 run_of(uint64 w) { return (uint32)(w >> 32); }
uint32 count_of(uint64 w) { return (uint32)w; }
uint64 make_word(uint32 run, uint32 count) { return (uint64)run << 32 | count; }

// Guards the sender device's destination and its existence: the register
// write, the GVCP release test and the sender's sends and close.
std::mutex s_destLock;

struct Bind {
    std::string recvIp = RICH_RECV_IP;
    int recvPort = RICH_RECV_PORT;
    int sendPort = RICH_SEND_PORT;
};
std::mutex s_bindLock;
Bind s_bind;

Bind bind_now()
{
    std::lock_guard<std::mutex> l(s_bindLock);
    return s_bind;
}

bool stopping(worker_t* wk) { return wk->quit.load() || wk->epcore->quit.load(); }

richUDPPrivData* priv_of(iodev_t* dev) { return dev ? static_cast<richUDPPrivData*>(dev->priv_data) : nullptr; }

int relay_device(epcore_t* core, uint64 id, const char* ip, int port, iodev_t** dev)
{
    if (!core || !dev) return -1;
    *dev = nullptr;
    int fd = epudp_socket_create(ip, port);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "rich radar socket create fail.");
        return -1;
    }
    iodev_t* d = iodev_new(core);
    if (!d) {
        log_error(g_logger, __FUNCTION__, __LINE__, "rich radar iodev new fail.");
        close(fd);
        return -1;
    }
    auto* priv = new (std::nothrow) richUDPPrivData{};
    if (!priv) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no memory");
        close(fd);
        iodev_discard(d);
        return -1;
    }
    priv->read_reg = Custom_RegRead;
    priv->write_reg = Custom_RegWrite;
    priv->send_to = epudp_send_to;
    priv->recv_from = epudp_recv;
    d->fd = fd;
    d->id = id;
    d->subdevFd = -1;
    d->fdtype = IODEV_FILE;
    d->iostate = IOSTATE_READY;
    d->remote_ip[0] = '\0';
    d->remote_port = 0;
    d->priv_data = priv;
    if (epcore_iodev_add(core, d) != 0) {
        d->priv_data = nullptr;
        iodev_discard(d);
        delete priv;
        close(fd);
        return -1;
    }
    *dev = d;
    return 0;
}

// The device leaves the core before its private data goes.
void close_device(iodev_t* dev)
{
    richUDPPrivData* priv = priv_of(dev);
    iodev_close(dev);
    delete priv;
}

void store_slot(Slot& s, const void* data)
{
    uint64 words[kSlotWords] = {};
    memcpy(words, data, RICH_PACK_SIZE);
    // Release: a sender that reads any of the new bytes also sees the count
    // that marked this slot as being rewritten.
    for (int i = 0; i < kSlotWords; i++) s.w[i].store(words[i], std::memory_order_release);
}

void load_slot(const Slot& s, udp_pack_t* pkt)
{
    uint64 words[kSlotWords];
    for (int i = 0; i < kSlotWords; i++) words[i] = s.w[i].load(std::memory_order_acquire);
    memcpy(pkt, words, RICH_PACK_SIZE);
}

// The 16 points of one block: angles from the block's own towards the next
// block's in equal steps, wrapping at a full turn.
void convert_block(const little_pack_t& b, uint16 next, CiclePack* pts)
{
    int a = b.azimuth;
    int diff = next < a ? (int)next - a + kAngleTurn : (int)next - a;
    int step = diff / RICH_CHANNELS;
    int angle = a;
    for (int j = 0; j < RICH_CHANNELS; j++) {
        pts[j].angle = (uint16)angle;
        pts[j].distance = b.depth[j].distance0;
        pts[j].rssi = b.depth[j].rssi0;
        angle += step;
        if (angle >= kAngleTurn) angle -= kAngleTurn;
    }
}

uint16 next_azimuth(const udp_pack_t* pair, int b)
{
    return b + 1 < RICH_BLOCKS ? pair[0].depths[b + 1].azimuth : pair[1].depths[0].azimuth;
}

void clear_tail(MsopData* out)
{
    memset(&out->dot_cloud[out->dot_num], 0, sizeof(CiclePack) * (RICH_POINTS - out->dot_num));
}

// Sends `out` to the destination set last; false when none is set yet.
bool send_out(iodev_t* dev, const MsopData* out)
{
    std::lock_guard<std::mutex> l(s_destLock);
    richUDPPrivData* priv = priv_of(dev);
    if (!priv || dev->remote_port == 0 || dev->remote_ip[0] == '\0') return false;
    int n = priv->send_to(dev, out, (int)sizeof(MsopData));
    if (n != (int)sizeof(MsopData)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "rich radar data send failed");
        return false;
    }
    s_ring.sent.fetch_add(1, std::memory_order_relaxed);
    return true;
}

} // namespace

int rich_recv_init(epcore_t* core, uint64 id, iodev_t** dev)
{
    Bind b = bind_now();
    return relay_device(core, id, b.recvIp.c_str(), b.recvPort, dev);
}

int rich_send_init(epcore_t* core, uint64 id, iodev_t** dev)
{
    Bind b = bind_now();
    return relay_device(core, id, "0.0.0.0", b.sendPort, dev);
}

void rich_set_bind(const char* recvIp, int recvPort, int sendPort)
{
    std::lock_guard<std::mutex> l(s_bindLock);
    s_bind = recvIp ? Bind{recvIp, recvPort, sendPort} : Bind{};
}

void fill_havestart(const udp_pack_t* pair, int start, MsopData* out)
{
    (void)start;  // only chose this fill
    for (int b = 0; b < RICH_BLOCKS; b++)
        convert_block(pair[0].depths[b], next_azimuth(pair, b), &out->dot_cloud[b * RICH_CHANNELS]);
    out->dot_num = RICH_POINTS;
    out->time_stamp = pair[0].timestamp;
}

void fill_nostart(const udp_pack_t* pair, MsopData* out)
{
    int n = 0;
    for (int b = 0; b < RICH_BLOCKS; b++) {
        if (pair[0].depths[b].head != RICH_HEAD_VALID) continue;
        convert_block(pair[0].depths[b], next_azimuth(pair, b), &out->dot_cloud[n]);
        n += RICH_CHANNELS;
    }
    out->dot_num = (uint16)n;
    // Points of an earlier packet never linger past the count.
    clear_tail(out);
    out->time_stamp = pair[0].timestamp;
}

int rich_convert(const udp_pack_t* pair, MsopData* out)
{
    if (pair[0].depths[RICH_BLOCKS - 1].head == RICH_HEAD_FRAME) out->frame_id++;
    if (pair[0].factory != RICH_FACTORY || pair[1].factory != pair[0].factory) {
        log_error(g_logger, __FUNCTION__, __LINE__, "doublebuffertemp[0].factory:%#X", pair[0].factory);
        log_error(g_logger, __FUNCTION__, __LINE__, "doublebuffertemp[1].factory:%#X", pair[1].factory);
        return -1;
    }
    out->vendor_id = pair[0].factory;
    out->dot_num = 0;
    int start = -1;
    for (int i = 0; i < RICH_BLOCKS; i++)
        if (pair[0].depths[i].azimuth == 0) start = i;
    if (start >= 0) fill_havestart(pair, start, out);
    else fill_nostart(pair, out);
    return 0;
}

int rich_ring_put(const void* data, int len)
{
    if (len == 0) {
        log_info(g_logger, __FUNCTION__, __LINE__, "server disconnect");
        return -1;
    }
    if (len != RICH_PACK_SIZE || !data) {
        log_error(g_logger, __FUNCTION__, __LINE__, "recved data error");
        return -1;
    }
    uint64 w = s_ring.dbmain.load(std::memory_order_relaxed);
    uint32 count = count_of(w);
    store_slot(s_ring.slot[count % RICH_RING_SLOTS], data);
    s_ring.dbmain.store(make_word(run_of(w), count + 1), std::memory_order_release);
    return 0;
}

void rich_ring_restart(void)
{
    uint64 w = s_ring.dbmain.load(std::memory_order_relaxed);
    s_ring.dbmain.store(make_word(run_of(w) + 1, 0), std::memory_order_release);
}

int rich_send_pending(iodev_t* dev, MsopData* out)
{
    if (!out) return 0;
    udp_pack_t pair[2];
    int consumed = 0;
    for (int rounds = 0; rounds < RICH_RING_SLOTS; rounds++) {
        uint64 w = s_ring.dbmain.load(std::memory_order_acquire);
        uint32 run = run_of(w), written = count_of(w);
        if (run != s_ring.usedRun.load(std::memory_order_relaxed)) {
            // A new receiver: its packets count from 0.
            s_ring.usedRun.store(run, std::memory_order_relaxed);
            s_ring.dbmain_used.store(0, std::memory_order_release);
        }
        uint32 used = s_ring.dbmain_used.load(std::memory_order_relaxed);
        if (written - used > kMaxAhead) {
            // The oldest unconverted packets are overwritten or about to be:
            // go on from the oldest one that is safely in the ring.
            uint32 oldest = written - kMaxAhead;
            s_ring.dropped.fetch_add(oldest - used, std::memory_order_relaxed);
            log_error(g_logger, __FUNCTION__, __LINE__, "rich radar ring overrun, %u packets dropped",
                      (unsigned)(oldest - used));
            used = oldest;
            s_ring.dbmain_used.store(used, std::memory_order_release);
        }
        if (written - used < 2) break;
        load_slot(s_ring.slot[used % RICH_RING_SLOTS], &pair[0]);
        load_slot(s_ring.slot[(used + 1) % RICH_RING_SLOTS], &pair[1]);
        uint64 after = s_ring.dbmain.load(std::memory_order_acquire);
        // Rewritten while being copied: look again.
        if (run_of(after) != run || count_of(after) - used > kMaxAhead) continue;
        used += 1;
        s_ring.dbmain_used.store(used, std::memory_order_release);
        consumed++;
        out->pack_id = used;
        if (rich_convert(pair, out) == 0) send_out(dev, out);
    }
    return consumed;
}

void rich_ring_stats(RichRingStats* st)
{
    if (!st) return;
    st->dbmain = count_of(s_ring.dbmain.load(std::memory_order_acquire));
    st->dbmain_used = s_ring.dbmain_used.load(std::memory_order_acquire);
    st->dropped = s_ring.dropped.load(std::memory_order_relaxed);
    st->sent = s_ring.sent.load(std::memory_order_relaxed);
}

int rich_set_destination(epcore_t* core, const char* ip, uint16 port, uint32 gvcpPort)
{
    if (!core || !ip) return -1;
    std::lock_guard<std::mutex> l(s_destLock);
    iodev_t* relay = epcore_iodev_find(core, E_DEVICE_RICH_SEND);
    richUDPPrivData* priv = priv_of(relay);
    if (!priv) return -1;
    priv->curGvcpPort = gvcpPort;
    relay->remote_port = port;
    snprintf(relay->remote_ip, sizeof(relay->remote_ip), "%s", ip);
    return 0;
}

int rich_host_gone(epcore_t* core, const char* ip, uint32 gvcpPort)
{
    if (!core || !ip) return -1;
    std::lock_guard<std::mutex> l(s_destLock);
    iodev_t* relay = epcore_iodev_find(core, E_DEVICE_RICH_SEND);
    richUDPPrivData* priv = priv_of(relay);
    if (!priv) {
        log_error(g_logger, __FUNCTION__, __LINE__, "can't find E_DEVICE_RICH_SEND");
        return -1;
    }
    if (strcmp(relay->remote_ip, ip) == 0 && priv->curGvcpPort == gvcpPort) {
        epcore_worker_stop(core, E_WORKER_ID_RICH_RECV_TASK);
        log_info(g_logger, __FUNCTION__, __LINE__, "close rich radar,%s:%d", ip, (int)gvcpPort);
        return 1;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "rich radar host not this one,%s:%d,%s:%d", relay->remote_ip,
             (int)priv->curGvcpPort, ip, (int)gvcpPort);
    return 0;
}

void* rich_recv_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("rich radar recv");
    iodev_t* dev = nullptr;
    if (rich_recv_init(wk->epcore, E_DEVICE_RICH_RECV, &dev) != 0) {
        worker_destory(wk);
        return nullptr;
    }
    rich_ring_restart();
    log_info(g_logger, __FUNCTION__, __LINE__, "start rich radar recv task");
    richUDPPrivData* priv = priv_of(dev);
    uint8 buf[kRecvBuf];
    while (!stopping(wk)) {
        // Bounded waits, so a stop is honoured while the lidar is silent.
        pollfd p{dev->fd, POLLIN, 0};
        int r = poll(&p, 1, kRecvPollMs);
        if (r == 0 || (r < 0 && errno == EINTR)) continue;
        int n = r > 0 ? priv->recv_from(dev, buf, kRecvBuf) : -1;
        if (n < 0) {
            perror("recvfrom");
            event_wait(wk->ioevent, kRecvErrorPauseMs);
            continue;
        }
        rich_ring_put(buf, n);
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "end rich radar recv task");
    // The socket goes before the worker leaves the registry: a receiver
    // created as soon as this one is gone binds the same address.
    close_device(dev);
    worker_destory(wk);
    return nullptr;
}

void* rich_send_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    set_task_name("rich radar send");
    iodev_t* dev = nullptr;
    if (rich_send_init(wk->epcore, E_DEVICE_RICH_SEND, &dev) != 0) {
        worker_destory(wk);
        return nullptr;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "start rich radar send task");
    MsopData out;
    memset(&out, 0, sizeof(out));
    out.vendor_id = RICH_FACTORY;
    while (!stopping(wk)) {
        if (rich_send_pending(dev, &out) == 0) event_wait(wk->ioevent, kSendIdleMs);
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "end rich radar send task");
    {
        std::lock_guard<std::mutex> l(s_destLock);
        close_device(dev);
    }
    worker_destory(wk);
    return nullptr;
}
