// UDP command port (6688): zone selection and saving for a vehicle
// controller or PLC, the avoidance results sent back to it, and the loopback
// query to the local result service.
//
// The receiver (worker 524) learns the peer from every datagram; the sender
// (worker 525) sends to it. The peer travels between the two threads as one
// atomic word, so a send never mixes the address of one datagram with the
// port of another.
#include "server/udp_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "algo/algo_app.h"
#include "bpool.h"
#include "common/custom.h"
#include "epcore.h"
#include "epudp.h"
#include "hashtab.h"
#include "iodev.h"
#include "log/logger.h"
#include "memory.h"
#include "worker.h"

namespace {

constexpr uint8 kHeader0 = 0xAC;
constexpr uint8 kHeader1 = 0xED;
constexpr uint8 kResultLength = 4;
constexpr int kRecvBufSize = 1024;
constexpr int kRecvMax = kRecvBufSize - 1;
// The receive waits this long at most before looking at the quit flags.
constexpr int kRecvPollMs = 50;
constexpr int kSendIdleMs = 10;
constexpr int kWaitPollMs = 1;
// How long the receiver waits for the sender to leave before it closes the
// device they share.
constexpr int kSenderLeaveMs = 5000;

constexpr uint32 kRegTofSensorType = 0x10002000;
constexpr uint32 kRegSaveCfg = 0x10000014;
constexpr uint32 kRegEnableApplicationAlgo = 0x1000005C;
constexpr uint32 kRegAvoidSetMode = 0x10000070;
constexpr uint32 kRegAvoidTmpParam = 0x1000700C;
constexpr uint32 kRegCpuId = 0x10007024;

constexpr uint8 kSaveAck[sizeof(SocketInfo)] = {kHeader0, kHeader1, kResultLength, UDP_CMD_SAVE_ZONE, 0, 0, 0, 1};

// The last peer as one word: bit 48 set once a datagram has arrived, the
// IPv4 address (network order) in bits 16..47, the port in bits 0..15.
constexpr uint64 kPeerValid = 1ull << 48;

// Private data of device 10021: what other modules see first, then the
// peer handed from the receiver to the sender.
struct UdpServerDevice {
    UDPServerPrivData priv;
    std::atomic<uint64> peer{0};
};
static_assert(offsetof(UdpServerDevice, priv) == 0, "the shared private data leads");

uint32 system_now() { return get_tickcount(); }
std::atomic<uint32 (*)(void)> s_now{system_now};

// Whether the loopback query may be made; module-wide.
std::atomic<int> s_algoReady{1};

UdpServerDevice* server_of(iodev_t* dev) { return dev ? static_cast<UdpServerDevice*>(dev->priv_data) : nullptr; }

bool stopping(worker_t* wk) { return wk->quit.load() || wk->epcore->quit.load(); }

uint32 reg_read(uint32 address)
{
    uint32 v = 0;
    Custom_RegRead(address, &v);
    return v;
}

// Zone commands are held and saved on the device itself only on the RK3568
// board with the IMX570 ToF sensor; elsewhere the avoidance application
// keeps the zone.
bool zone_on_device()
{
    return reg_read(kRegCpuId) == E_CPU_RK3568 && reg_read(kRegTofSensorType) == E_IMX570;
}

void set_zone(uint32 value)
{
    if (!zone_on_device()) {
        int ret = algo_avoid_set_zone_index2((int)value);
        log_info(g_logger, __FUNCTION__, __LINE__, "algo_avoid_set_zone_index ret:%d", ret);
        return;
    }
    // Unsigned: a "negative" index is out of range too.
    if (value > UDP_ZONE_MAX) {
        log_error(g_logger, __FUNCTION__, __LINE__, "AVOID UDP setting error:%d > %d", (int)value, UDP_ZONE_MAX);
        return;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "AVOID UDP setting:%d", (int)value);
    Custom_RegWrite(kRegAvoidTmpParam, &value);
}

// Queues the save acknowledgement for the sender, one deep; dropped when
// there is no sender or no pool unit.
void post_save_ack(epcore_t* core)
{
    if (!epcore_worker_find(core, E_WORKER_ID_UDP_SEND) || !core->applation_algo_result) return;
    auto* img = static_cast<ImageInfo*>(bpool_fetch(core->applation_algo_result));
    if (!img) return;
    memset(img, 0, sizeof(ImageInfo));
    img->memType = E_MEMTYPE_APPLATION_RESULT;
    img->imageType = E_IMAGE_TYPE_AVOID2;
    img->imageSize = sizeof(kSaveAck);
    memcpy(img->imageData, kSaveAck, sizeof(kSaveAck));
    frame_post_latest_to(core, E_WORKER_ID_UDP_SEND, img);
}

void save_zone(epcore_t* core, UdpCmdState* state)
{
    if (!zone_on_device()) return;
    uint32 now = s_now.load()();
    // Unsigned difference: right across the clock's wrap.
    if (state->saved && now - state->lastSave < UDP_SAVE_GAP_MS) {
        log_info(g_logger, __FUNCTION__, __LINE__, "need wait 250ms");
        return;
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "save setting");
    uint32 value = reg_read(kRegAvoidTmpParam);
    Custom_RegWrite(kRegAvoidSetMode, &value);
    // The record has no failure answer: a save that did not write gets none.
    if (Custom_RegWrite(kRegSaveCfg, &value) == REG_OK) post_save_ack(core);
    else log_error(g_logger, __FUNCTION__, __LINE__, "save setting failed, not acknowledged");
    state->saved = 1;
    state->lastSave = now;
}

uint64 pack_peer(const iodev_t* dev)
{
    in_addr addr{};
    if (inet_pton(AF_INET, dev->remote_ip, &addr) != 1) return 0;
    return kPeerValid | (uint64)addr.s_addr << 16 | dev->remote_port;
}

// Sends one record to the last peer; false when no datagram has arrived yet.
bool send_to_peer(iodev_t* dev, const void* data, size_t len)
{
    uint64 peer = server_of(dev)->peer.load(std::memory_order_acquire);
    if (!(peer & kPeerValid)) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = (uint32)(peer >> 16);
    to.sin_port = htons((uint16)peer);
    ssize_t n;
    do {
        n = sendto(dev->fd, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    } while (n < 0 && errno == EINTR);
    return n == (ssize_t)len;
}

void close_server_device(iodev_t* dev)
{
    UdpServerDevice* server = server_of(dev);
    iodev_close(dev);
    delete server;
}

// Stops worker 525 and waits for it to leave, so it no longer uses the
// device. False when it is still there after the wait.
bool stop_sender(epcore_t* core)
{
    uint64_t key = E_WORKER_ID_UDP_SEND;
    epcore_worker_stop(core, key);
    for (int waited = 0; waited < kSenderLeaveMs; waited += kWaitPollMs) {
        if (!epcore_worker_find(core, E_WORKER_ID_UDP_SEND)) return true;
        wait_ms(kWaitPollMs);
    }
    return !epcore_worker_find(core, E_WORKER_ID_UDP_SEND);
}

// Waits for one datagram (or the quit flags) and handles it.
void serve_one(worker_t* wk, iodev_t* dev, UdpCmdState* state, uint8* buf)
{
    pollfd p{dev->fd, POLLIN, 0};
    int r = poll(&p, 1, kRecvPollMs);
    if (r == 0 || (r < 0 && errno == EINTR)) return;
    memset(buf, 0, kRecvBufSize);
    int n = r > 0 ? server_of(dev)->priv.recv_from(dev, buf, kRecvMax) : -1;
    if (n < 0) {
        perror("recvfrom");
        // A socket that keeps failing must not spin the thread.
        event_wait(wk->ioevent, kSendIdleMs);
        return;
    }
    if (n == 0) {
        log_info(g_logger, __FUNCTION__, __LINE__, "server disconnect");
        return;
    }
    // Written here, read by the sender: one word, so never half old, half new.
    server_of(dev)->peer.store(pack_peer(dev), std::memory_order_release);
    udp_server_handle(wk->epcore, state, buf, n);
}

} // namespace

void udp_server_set_clock(uint32 (*now_ms)(void)) { s_now.store(now_ms ? now_ms : system_now); }

int udp_server_init(epcore_t* core, uint64 id, iodev_t** dev)
{
    if (!core || !dev) return -1;
    *dev = nullptr;
    int fd = epudp_socket_create("0.0.0.0", UDP_SERVER_PORT);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "gvcp socket create fail.");
        return -1;
    }
    iodev_t* d = iodev_new(core);
    if (!d) {
        log_error(g_logger, __FUNCTION__, __LINE__, "gvcp iodev new fail.");
        close(fd);
        return -1;
    }
    auto* server = new (std::nothrow) UdpServerDevice;
    if (!server) {
        close(fd);
        iodev_discard(d);
        return -1;
    }
    server->priv.read_reg = Custom_RegRead;
    server->priv.write_reg = Custom_RegWrite;
    server->priv.read_mem = Custom_MemRead;
    server->priv.write_mem = Custom_MemWrite;
    server->priv.send_to = epudp_send_to;
    server->priv.recv_from = epudp_recv;
    server->priv.write_dev_reg = nullptr;
    d->fd = fd;
    d->id = id;
    d->subdevFd = -1;
    d->fdtype = IODEV_FILE;
    d->iostate = IOSTATE_READY;
    d->priv_data = server;
    if (epcore_iodev_add(core, d) != 0) {
        d->priv_data = nullptr;
        iodev_discard(d);
        delete server;
        close(fd);
        return -1;
    }
    *dev = d;
    return 0;
}

void udp_server_handle(epcore_t* core, UdpCmdState* state, const uint8* data, int len)
{
    if (!core || !state || !data || len < 1 || data[0] != kHeader0) return;
    // A short datagram leaves the rest of the record zero.
    SocketInfo info{};
    memcpy(&info, data, len < (int)sizeof(info) ? (size_t)len : sizeof(info));
    log_info(g_logger, __FUNCTION__, __LINE__, "socketInfo->cmd:%d", info.cmd);
    switch (info.cmd) {
    case UDP_CMD_SET_ZONE: set_zone(ntohl(info.result)); break;
    case UDP_CMD_SAVE_ZONE: save_zone(core, state); break;
    default: break;
    }
}

void* udp_server_recv_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    set_task_name("udp recv");
    iodev_t* dev = nullptr;
    if (udp_server_init(core, E_DEVICE_UDP_SERVER, &dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "The udp device cannot be created.");
        worker_destory(wk);
        return nullptr;
    }
    // A sender that cannot be made only costs the answers.
    if (worker_create(core, E_WORKER_ID_UDP_SEND, udp_server_send_task) != 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "create udp send worker fail.");
    else
        while (!stopping(wk) && !epcore_worker_find(core, E_WORKER_ID_UDP_SEND)) wait_ms(kWaitPollMs);

    UdpCmdState state{};
    uint8 buf[kRecvBufSize];
    while (!stopping(wk)) serve_one(wk, dev, &state, buf);

    log_info(g_logger, __FUNCTION__, __LINE__, "end udp recv task");
    // The device goes only once the sender no longer uses it, and before
    // this worker leaves the core.
    if (stop_sender(core)) close_server_device(dev);
    else log_error(g_logger, __FUNCTION__, __LINE__, "udp send task still running, device kept");
    worker_destory(wk);
    return nullptr;
}

void* udp_server_send_task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    worker_set_datafree(wk, frame_datafree);
    set_task_name("udp send");
    iodev_t* dev = epcore_iodev_find(core, E_DEVICE_UDP_SERVER);
    if (!dev || !dev->priv_data) {
        log_error(g_logger, __FUNCTION__, __LINE__, "not find avoid dev");
        worker_destory(wk);
        return nullptr;
    }
    while (!stopping(wk)) {
        ImageInfo* img = frame_take(wk);
        if (!img) {
            event_wait(wk->ioevent, kSendIdleMs);
            continue;
        }
        uint32 app = reg_read(kRegEnableApplicationAlgo);
        if (core->streamon.load() && (app == 1 || app == 4)) send_to_peer(dev, img->imageData, sizeof(SocketInfo));
        free_image(core, img);
    }
    // Logged while still registered: once gone, the process may end under us.
    log_info(g_logger, __FUNCTION__, __LINE__, "end udp send task");
    worker_destory(wk);
    return nullptr;
}

int recvForAlgo(worker_t* worker, uint8* buffer, int mode)
{
    if (!worker) return -1;
    epcore_t* core = worker->epcore;
    auto* dev = static_cast<iodev_t*>(worker->pdev);
    if (mode == 0) {
        // Opened once: a second socket on the port would share its answers.
        if (dev && dev->id == E_DEVICE_UDP_ALGO_SERVER) return 0;
        int fd = epudp_socket_create("0.0.0.0", UDP_ALGO_LOCAL_PORT);
        timeval tv{0, 50000};
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(UDP_ALGO_SERVICE_PORT);
        inet_pton(AF_INET, UDP_ALGO_SERVICE_IP, &to.sin_addr);
        // Connected, so only the result service's answers are taken.
        bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 &&
                  connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
        iodev_t* d = ok ? iodev_new(core) : nullptr;
        if (d) {
            d->fd = fd;
            d->id = E_DEVICE_UDP_ALGO_SERVER;
            d->subdevFd = -1;
            d->fdtype = IODEV_FILE;
            d->iostate = IOSTATE_READY;
            snprintf(d->remote_ip, sizeof(d->remote_ip), "%s", UDP_ALGO_SERVICE_IP);
            d->remote_port = UDP_ALGO_SERVICE_PORT;
            if (epcore_iodev_add(core, d) != 0) {
                iodev_discard(d);
                d = nullptr;
            }
        }
        if (!d) {
            if (fd >= 0) close(fd);
            s_algoReady.store(0);
            return -1;
        }
        worker->pdev = d;
        s_algoReady.store(1);
        return 0;
    }
    if (mode == 1) {
        if (!s_algoReady.load() || !dev || dev->id != E_DEVICE_UDP_ALGO_SERVER || !buffer) return -1;
        // An answer that came after an earlier query gave up is not this one's.
        uint8 stale[UDP_ALGO_RESULT_SIZE];
        for (int i = 0; i < 64 && recv(dev->fd, stale, sizeof(stale), MSG_DONTWAIT) >= 0; i++) {}
        static const char kQuery[] = "RESULT_UPDATE";
        epudp_send_to(dev, kQuery, sizeof(kQuery));
        ssize_t n;
        do {
            // MSG_TRUNC: the datagram's whole length, so a longer one is refused.
            n = recv(dev->fd, buffer, UDP_ALGO_RESULT_SIZE, MSG_TRUNC);
        } while (n < 0 && errno == EINTR);
        if (n == UDP_ALGO_RESULT_SIZE) return 0;
        if (n == 0) log_error(g_logger, __FUNCTION__, __LINE__, "server disconnect");
        else if (n > 0) log_error(g_logger, __FUNCTION__, __LINE__, "recv data eror:%d", (int)n);
        else perror("recvForAlgo");
        return -1;
    }
    if (dev && dev->id == E_DEVICE_UDP_ALGO_SERVER) {
        worker->pdev = nullptr;
        iodev_close(dev);
    }
    return 0;
}
