// GigE Vision control channel (worker 510): the GVCP socket, the request
// handlers for discovery, force-IP, register and memory access and packet
// resends, the connected hosts with their heartbeat timers, the control
// privilege, and the save of the register block after host writes.
#include "GigE/gvcp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "GigE/bootstrap.h"
#include "GigE/gvsp.h"
#include "common/custom.h"
#include "common/network.h"
#include "common/persist.h"
#include "common/stream_ctrl.h"
#include "eptimerfd.h"
#include "epcore.h"
#include "epudp.h"
#include "iodev.h"
#include "log/logger.h"
#include "memory.h"
#include "platform.h"
#include "rich/rich_radar.h"
#include "worker.h"

std::atomic<uint32> g_permit_conn_user_count{1};
std::atomic<uint32> g_discover{0};
std::atomic<uint32> g_flags{0};


namespace {

constexpr uint32 kBootstrapTop = 0x10000000u;      // addresses below are the bootstrap block
constexpr uint32 kMemoryWindow = MEM_ADDR_ALGO_VERSION;  // register pages end here
constexpr uint32 kAdministratorMode = 0x10007048u;
constexpr uint32 kAcquisitionStartStop = 0x10000000u;
constexpr uint32 kWorkMode = 0x10000068u;
constexpr uint32 kEnableGray = 0x1000001Cu;
constexpr uint32 kEnableResendPacket = 0x10000044u;
constexpr uint32 kCameraType = 0x10007000u;
constexpr uint32 kSaveSpan = DEV_CFG_AREA_SIZE;     // a save follows writes up to page start + 1024
constexpr uint64 kSaveFreeMiB = 100;                 // saves need more than this free
constexpr uint32 kReadLogGapMs = 2999;
constexpr int kRecvTimeoutMs = 200;                  // the task sees its stop flags this often
constexpr int kTimerIdSpan = 10000;                  // heartbeat ids 10006 .. 10005 + span
constexpr size_t kPeerCacheSize = 8;

std::mutex g_endpointLock;
std::string g_bindIp = "0.0.0.0";
uint16 g_bindPort = GVCP_PORT;
std::string g_broadcastIp = "255.255.255.255";

std::string broadcast_ip()
{
    std::lock_guard<std::mutex> hold(g_endpointLock);
    return g_broadcastIp;
}

// The last acknowledgement sent to one host, for its repeated requests.
struct PeerAck {
    bool   used = false;
    char   ip[41] = {};
    uint16 port = 0;
    uint16 command = 0;
    uint16 reqId = 0;
    uint64 stamp = 0;  // last use, for eviction
    uint32 len = 0;
    uint8  buf[GVCP_BUF_SIZE] = {};
};

// State of the handler, used by the GVCP thread alone.
struct Channel {
    PeerAck cache[kPeerCacheSize];
    std::atomic<int> requestIf{0};  // interface the last request came in on, 0 unknown
    uint64  clock = 0;
    bool    readStamped = false;
    uint32  lastReadTime = 0;
};

// The sender of the datagram being handled.
struct Peer {
    char   ip[41];
    uint16 port;
    uint32 addr;  // host order
};

GVCPPrivData* priv_of(iodev_t* dev) { return dev ? static_cast<GVCPPrivData*>(dev->priv_data) : nullptr; }
Channel* channel_of(GVCPPrivData* p) { return p ? static_cast<Channel*>(p->channel) : nullptr; }
epcore_t* core_of(iodev_t* dev) { return dev ? dev->epcore : nullptr; }

std::string dotted(uint32 ip)
{
    char text[INET_ADDRSTRLEN] = "";
    struct in_addr a {};
    a.s_addr = htonl(ip);
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

uint32 parse_ip(const char* text)
{
    struct in_addr a {};
    if (!text || inet_pton(AF_INET, text, &a) != 1) return 0;
    return ntohl(a.s_addr);
}

void copy_ip(char (&dst)[41], const char* src)
{
    snprintf(dst, sizeof(dst), "%s", src ? src : "");
}

uint32 boot_word(uint32 address)
{
    uint32 v = 0;
    Bootstrap_ReadReg(address, &v, sizeof(v));
    return v;
}

int boot_put(uint32 address, uint32 value) { return Bootstrap_WriteReg(address, &value, sizeof(value)); }

bool boot_fits(uint32 address, uint32 length)
{
    return address <= BOOTSTRAP_REG_SIZE && length <= BOOTSTRAP_REG_SIZE - address;
}

// Text registers of the bootstrap block are byte strings; every other word
// is a number held in host order and big-endian on the wire.
bool boot_text(uint32 address)
{
    return (address >= REG_MANUFACTURER_NAME && address < REG_USER_DEFINED + 16) ||
           (address >= REG_FIRST_URL && address < REG_SENCOND_URL + 512);
}

bool register_page(uint32 address) { return address >= kBootstrapTop && address < kMemoryWindow; }

bool same_host(const UserInfo* u, const Peer& p) { return strcmp(u->user_ip, p.ip) == 0 && u->user_port == p.port; }

UserInfo* find_user(epcore_t* core, const Peer& p)
{
    for (auto* u = static_cast<UserInfo*>(lt_first(core->user_info)); u; u = static_cast<UserInfo*>(lt_get_next(u)))
        if (same_host(u, p)) return u;
    return nullptr;
}

void arm(UserInfo* u)
{
    u->timeoutMs = Bootstrap_HeartbeatTimeout();
    u->armedAt = get_tickcount();
    startTimer(u->fd, (int)u->timeoutMs);
}

// Stops the lidar relay when it serves the host that left (the relay logs
// what it did).
void relay_check(epcore_t* core, const char* ip, uint16 port)
{
    rich_host_gone(core, ip, port);
}

// Unlinks a host and releases its timer and record; under userCS.
void drop_user(epcore_t* core, UserInfo* u)
{
    lt_delete_ptr(core->user_info, u);
    if (u->timer) {
        stopTimer(u->fd);
        iodev_close(u->timer);  // closes the timerfd too
    }
    kfree(u);
}

// The GVCP device's private data while the device is registered; under userCS.
GVCPPrivData* live_priv(epcore_t* core)
{
    iodev_t* dev = epcore_iodev_find(core, E_DEVICE_GVCP);
    return dev ? priv_of(dev) : nullptr;
}

// ---- saving ----

bool save_address(uint32 address)
{
    for (uint32 page : {REG_PAGE_COMMON, REG_PAGE_RGB, REG_PAGE_TOF})
        if (address >= page && address <= page + kSaveSpan) return true;
    return false;
}

int save_config()
{
    uint64 freeMiB = 0;
    get_deviceFreeSpace("/userdata", &freeMiB);
    if (freeMiB <= kSaveFreeMiB) {
        log_error(g_logger, __FUNCTION__, __LINE__, "no space in device, can not write file.");
        return 0;
    }
    if (!get_device_cfg()) return -1;
    deviceCFG copy;
    {
        RegBlockLock hold;
        reg_block_copy_out(&copy);
    }
    if (Custom_KeepUnreadConfig() != 0) return -1;
    return put_fileAtomic(CONFIG_FILE, &copy, sizeof(copy)) == 0 ? 0 : -1;
}

// ---- host records ----

// Makes the host a user with its own heartbeat timer, or re-arms the one it
// has: 0, 0x8006 when the permitted hosts are all taken, 0xFFFF when no
// timer can be had. Under userCS.
int join(epcore_t* core, GVCPPrivData* priv, const Peer& p)
{
    uint32 permit = g_permit_conn_user_count.load();
    log_info(g_logger, __FUNCTION__, __LINE__, "g_permit_conn_user_count:%d priv_data->heartbeatCreate:%d", permit,
             priv->heartbeatCreate);
    if (UserInfo* u = find_user(core, p)) {
        if (u->timer) arm(u);
        return GEV_STATUS_SUCCESS;
    }
    int users = lt_num(core->user_info);
    if ((uint32)users >= permit) return GEV_STATUS_ACCESS_DENIED;

    auto* u = static_cast<UserInfo*>(kzalloc(sizeof(UserInfo)));
    if (!u) return GEV_STATUS_ERROR;
    u->fd = timerCreate();
    log_info(g_logger, __FUNCTION__, __LINE__, "timerfd:%d", u->fd);
    if (u->fd < 0) {
        kfree(u);
        return GEV_STATUS_ERROR;
    }
    arm(u);
    // The lowest id no host holds; an id another device holds is skipped.
    for (int k = 1; k <= kTimerIdSpan && !u->timer; k++) {
        int id = E_DEVICE_HEARTBEAT + k;
        bool taken = false;
        for (auto* o = static_cast<UserInfo*>(lt_first(core->user_info)); o && !taken;
             o = static_cast<UserInfo*>(lt_get_next(o)))
            taken = o->id == id;
        if (taken) continue;
        u->timer = eptimerfd_bind(core, u->fd, id, nullptr, GVCP_HeartBeat, core);
        if (u->timer) u->id = id;
        else if (!epcore_iodev_find(core, (uint64)id)) break;  // not an id clash: no device to be had
    }
    if (!u->timer) {
        close(u->fd);
        kfree(u);
        return GEV_STATUS_ERROR;
    }
    copy_ip(u->user_ip, p.ip);
    u->user_port = p.port;
    u->primary = users == 0 ? 1 : 0;
    lt_append(core->user_info, u);
    priv->heartbeatCreate++;
    return GEV_STATUS_SUCCESS;
}

// Removes the host's record; true when no user is left. Under userCS.
bool leave(epcore_t* core, GVCPPrivData* priv, const Peer& p)
{
    while (UserInfo* u = find_user(core, p)) {
        relay_check(core, u->user_ip, u->user_port);
        drop_user(core, u);
        if (priv->heartbeatCreate) priv->heartbeatCreate--;
        log_info(g_logger, __FUNCTION__, __LINE__, "priv_data->heartbeatCreate:%d,%s,%d", priv->heartbeatCreate, p.ip,
                 p.port);
    }
    return lt_num(core->user_info) == 0;
}

// Whose start or stop a host's write is: the host's own while it holds
// control, else the board's, as no host could take it back by leaving.
StreamRequester requester(epcore_t* core, const Peer& p)
{
    EnterCriticalSection(&core->userCS);
    bool user = find_user(core, p) != nullptr;
    LeaveCriticalSection(&core->userCS);
    return user ? stream_ctrl_host(p.addr, p.port) : STREAM_BOARD;
}

// While some host holds control, only its users may write.
bool may_write(epcore_t* core, const Peer& p)
{
    EnterCriticalSection(&core->userCS);
    bool ok = lt_num(core->user_info) == 0 || find_user(core, p) != nullptr;
    LeaveCriticalSection(&core->userCS);
    return ok;
}

// ---- one register write ----

// A CCP write: privilege, joining or leaving, and the stored word.
int write_ccp(iodev_t* dev, GVCPPrivData* priv, const Peer& p, uint32 value)
{
    epcore_t* core = core_of(dev);
    bool wasPrimary = boot_word(REG_PRIMARY_APPLICATION_PORT) != 0 && boot_word(REG_PRIMARY_APPLICATION_IP_ADDRESS) != 0;
    int st = GVCP_Access(dev, REG_CONTROL_CHANNEL_PRIVILEGE, value, p.port, p.addr);
    if (st != 0) return st;
    bool left = false, last = false;
    EnterCriticalSection(&core->userCS);
    if (value != 0) {
        st = join(core, priv, p);
        if (st == 0) {
            boot_put(REG_CONTROL_CHANNEL_PRIVILEGE, value);
        } else if (!wasPrimary && boot_word(REG_PRIMARY_APPLICATION_PORT) == p.port &&
                   boot_word(REG_PRIMARY_APPLICATION_IP_ADDRESS) == p.addr) {
            // Refused hosts do not stay registered as the primary.
            boot_put(REG_PRIMARY_APPLICATION_PORT, 0);
            boot_put(REG_PRIMARY_APPLICATION_IP_ADDRESS, 0);
        }
    } else {
        left = find_user(core, p) != nullptr;
        bool none = leave(core, priv, p);
        last = priv->heartbeatCreate == 0;
        if (none) boot_put(REG_CONTROL_CHANNEL_PRIVILEGE, 0);
    }
    LeaveCriticalSection(&core->userCS);
    // The host's start goes with it. A close waits for the capture workers:
    // not on this thread, which keeps every other host's requests and
    // heartbeats going.
    if (left || last) stream_ctrl_host_left(priv->write_reg, stream_ctrl_host(p.addr, p.port), last, 1);
    return st;
}

// One address/value pair of a register write, or one word of a memory
// write into the bootstrap block or the register pages; the status of the
// pair. Every host write goes through here.
int write_pair(iodev_t* dev, GVCPPrivData* priv, const Peer& p, uint32 address, uint32 value)
{
    epcore_t* core = core_of(dev);
    log_info(g_logger, __FUNCTION__, __LINE__, "regAddress:0x%08x regValue:0x%08x ipaddress:0x%08x port:%d", address,
             value, p.addr, p.port);
    // Registers are whole words, the bootstrap block's as the device's.
    if (address & 3u) return GEV_STATUS_BAD_ALIGNMENT;
    if (address == REG_CONTROL_CHANNEL_PRIVILEGE) return write_ccp(dev, priv, p, value);
    if (!may_write(core, p)) {
        log_error(g_logger, __FUNCTION__, __LINE__, "write refused, %s:%d has no control", p.ip, p.port);
        return GEV_STATUS_ACCESS_DENIED;
    }
    // A close waits for the capture workers, which on a loaded board takes
    // longer than a host waits for the ack: it runs on the closer thread.
    if (address == kAcquisitionStartStop || address == kWorkMode) {
        StreamRequester who = requester(core, p);
        int st = stream_ctrl_host_write(priv->write_reg, who, address, value);
        // A heartbeat expiry that overtook the write found no start to take:
        // the start goes now, as it would have then.
        if (who != STREAM_BOARD) {
            EnterCriticalSection(&core->userCS);
            bool gone = find_user(core, p) == nullptr;
            bool last = lt_num(core->user_info) == 0;
            LeaveCriticalSection(&core->userCS);
            if (gone) stream_ctrl_host_left(priv->write_reg, who, last, 1);
        }
        return st;
    }
    if (address >= kBootstrapTop) {
        if (address == kAdministratorMode) g_permit_conn_user_count.store(value == 0 ? 1 : value);
        uint32 v = value;
        return priv->write_reg(address, &v);
    }
    if (!boot_fits(address, sizeof(uint32))) return GEV_STATUS_INVALID_ADDRESS;
    switch (address) {
    case REG_STREAM_CHANNEL_DEST_ADDRESS:
        EnterCriticalSection(&core->userCS);
        if (UserInfo* u = find_user(core, p)) {
            copy_ip(u->dest_ip, dotted(value).c_str());
            log_info(g_logger, __FUNCTION__, __LINE__, "userInfo->dest_ip:%s to %s", u->dest_ip, p.ip);
            // The stream goes where the host sends from.
            copy_ip(u->dest_ip, p.ip);
        }
        LeaveCriticalSection(&core->userCS);
        return boot_put(address, value);
    case REG_STREAM_CHANNEL_PORT:
        EnterCriticalSection(&core->userCS);
        if (UserInfo* u = find_user(core, p)) {
            u->dest_port = (uint16)value;
            log_info(g_logger, __FUNCTION__, __LINE__, "userInfo->dest_port:%d", u->dest_port);
        }
        LeaveCriticalSection(&core->userCS);
        return boot_put(address, value);
    case REG_PERSISTENT_IP_ADDRESS: {
        // A refused address must not stay behind in the block.
        uint32 before = boot_word(address);
        int st = boot_put(address, value);
        if (st == BOOTSTRAP_REFUSED) boot_put(address, before);
        return st;
    }
    default:
        return boot_put(address, value);
    }
}

// One register read for a host; the status.
int read_word(GVCPPrivData* priv, uint32 address, uint32* value)
{
    *value = 0;
    if (address & 3u) return GEV_STATUS_BAD_ALIGNMENT;
    if (address >= kBootstrapTop) return priv->read_reg(address, value);
    if (!boot_fits(address, sizeof(uint32))) return GEV_STATUS_INVALID_ADDRESS;
    return Bootstrap_ReadReg(address, value, sizeof(uint32));
}

// A bootstrap range as hosts see it through memory reads: text bytes as
// stored, numbers big-endian.
int read_boot_bytes(uint32 address, uint8* out, uint32 count)
{
    if (!boot_fits(address, count)) return GEV_STATUS_INVALID_ADDRESS;
    if (count == 0) return 0;
    uint32 first = address & ~3u, end = (address + count + 3u) & ~3u;
    uint8 raw[GVCP_MEM_MAX + 8];
    int st = Bootstrap_ReadReg(first, raw, end - first);
    if (st != 0) return st;
    for (uint32 i = 0; i < count; i++) {
        uint32 a = address + i;
        uint32 w = a & ~3u;
        if (boot_text(a)) {
            out[i] = raw[a - first];
        } else {
            uint32 word;
            memcpy(&word, raw + (w - first), sizeof(word));
            out[i] = (uint8)(word >> (8 * (3 - (a - w))));
        }
    }
    return 0;
}

void set_peer(iodev_t* dev, Peer* p)
{
    copy_ip(p->ip, dev->remote_ip);
    p->port = dev->remote_port;
    p->addr = parse_ip(p->ip);
}

void put_write_ack(uint8* ack, int* len, uint16 command, uint16 status, uint16 reqId, uint16 index)
{
    GVCPWriteAck a{};
    a.header = {status, command, 4, reqId};
    a.index = index;
    gv::encode(ack, a);
    *len = (int)sizeof(a);
}

void log_read(Channel* ch, uint32 address, uint32 value, const Peer& p)
{
    if (!ch) return;
    uint32 now = get_tickcount();
    if (!ch->readStamped) {
        ch->readStamped = true;
        ch->lastReadTime = now;
        return;
    }
    if (now - ch->lastReadTime > kReadLogGapMs) {
        ch->lastReadTime = now;
        log_info(g_logger, __FUNCTION__, __LINE__, "read address:0x%08x value:0x%08x ipaddress:%s port:%d", address,
                 value, p.ip, p.port);
    }
}

PeerAck* cache_find(Channel* ch, const Peer& p)
{
    for (auto& e : ch->cache)
        if (e.used && e.port == p.port && strcmp(e.ip, p.ip) == 0) return &e;
    return nullptr;
}

PeerAck* cache_slot(Channel* ch, const Peer& p)
{
    if (PeerAck* e = cache_find(ch, p)) return e;
    PeerAck* oldest = &ch->cache[0];
    for (auto& e : ch->cache) {
        if (!e.used) {
            oldest = &e;
            break;
        }
        if (e.stamp < oldest->stamp) oldest = &e;
    }
    oldest->used = true;
    copy_ip(oldest->ip, p.ip);
    oldest->port = p.port;
    oldest->len = 0;
    return oldest;
}

// Sends one datagram to ip:port. With an interface index it leaves by that
// interface whatever the routes say: a broadcast answer must reach the
// requester's link even where no route covers 255.255.255.255.
int send_via(int fd, const char* ip, uint16 port, int ifindex, const void* buf, int len)
{
    struct sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, ip, &to.sin_addr) != 1) {
        errno = EINVAL;
        return -1;
    }
    struct iovec iov {const_cast<void*>(buf), (size_t)len};
    struct msghdr msg {};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof(to);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct in_pktinfo))] = {};
    if (ifindex > 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
        struct in_pktinfo info {};
        info.ipi_ifindex = ifindex;
        memcpy(CMSG_DATA(c), &info, sizeof(info));
    }
    ssize_t n;
    do {
        n = sendmsg(fd, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return (int)n;
}

int channel_request_if(iodev_t* dev)
{
    Channel* ch = channel_of(priv_of(dev));
    return ch ? ch->requestIf.load() : 0;
}

// The device's send: answers go to remote_ip:remote_port, a broadcast
// answer out of the interface its request came in on.
int channel_send(iodev_t* dev, const void* buf, int len)
{
    if (!dev || !buf || len < 0) return -1;
    int ifindex = strcmp(dev->remote_ip, broadcast_ip().c_str()) == 0 ? channel_request_if(dev) : 0;
    return send_via(dev->fd, dev->remote_ip, dev->remote_port, ifindex, buf, len);
}

// The device's receive, as epudp_recv, also noting the interface the
// datagram came in on.
int channel_recv(iodev_t* dev, void* buf, int len)
{
    if (!dev || !buf || len < 0) return -1;
    struct sockaddr_in from {};
    struct iovec iov {buf, (size_t)len};
    struct msghdr msg {};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct in_pktinfo))];
    msg.msg_name = &from;
    msg.msg_namelen = sizeof(from);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = recvmsg(dev->fd, &msg, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return (int)n;
    if (from.sin_family == AF_INET) {
        char text[INET_ADDRSTRLEN] = "";
        if (inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text))) {
            copy_ip(dev->remote_ip, text);
            dev->remote_port = ntohs(from.sin_port);
        }
    }
    int ifindex = 0;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        struct in_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof(info));
        ifindex = info.ipi_ifindex;
    }
    if (Channel* ch = channel_of(priv_of(dev))) ch->requestIf.store(ifindex);
    return (int)n;
}

int send_reply(iodev_t* dev, GVCPPrivData* priv, const char* ip, const uint8* buf, uint32 len)
{
    if (ip) copy_ip(dev->remote_ip, ip);
    int sent = priv->send_to(dev, buf, (int)len);
    if (sent < 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "gvcp send to %s:%d fail:%s", dev->remote_ip, dev->remote_port,
                  strerror(errno));
    return sent;
}

void log_duplicate(const GVCPHeader& h, const uint8* d, int len)
{
    log_info(g_logger, __FUNCTION__, __LINE__, "same id, do not parse, command:0x%04x ackId:%d", h.command, h.reqId);
    if (h.command == WRITEREG_CMD) {
        uint32 n = gv::item_count(h, (size_t)len, sizeof(RegInfo), GVCP_WRITEREG_MAX, nullptr, nullptr);
        for (uint32 i = 0; i < n; i++) {
            RegInfo r{};
            gv::decode(d + GVCP_HEADER_SIZE + i * sizeof(RegInfo), sizeof(RegInfo), &r);
            log_info(g_logger, __FUNCTION__, __LINE__, "same id write regAddress:0x%08x regValue:0x%08x",
                     r.regAddress, r.regValue);
        }
    } else if (h.command == READREG_CMD) {
        uint32 n = gv::item_count(h, (size_t)len, 4, GVCP_READREG_MAX, nullptr, nullptr);
        for (uint32 i = 0; i < n; i++)
            log_info(g_logger, __FUNCTION__, __LINE__, "same id read address:0x%08x",
                     gv::get32(d + GVCP_HEADER_SIZE + 4 * i));
    }
}

// Status for a request whose items were cut: the declared length ran past
// the datagram, or more items came than the records hold.
int cut_status(bool short_, bool over)
{
    if (short_) return GEV_STATUS_INVALID_HEADER;
    if (over) return GEV_STATUS_INVALID_PARAMETER;
    return GEV_STATUS_SUCCESS;
}

// The memory-write handling; *saveAt receives the last register-page
// address written (0 for none).
int write_mem(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len, uint32* saveAt)
{
    GVCPPrivData* priv = priv_of(dev);
    *saveAt = 0;
    GVCPHeader h{};
    gv::decode(cmd, (size_t)cmdLen, &h);
    GVCPWriteMemCmd w{};
    if (!gv::decode(cmd, (size_t)cmdLen, &w) || h.length < 4) {
        put_write_ack(ack, len, WRITEMEM_ACK, GEV_STATUS_INVALID_HEADER, h.reqId, 0);
        return 0;
    }
    uint32 declared = h.length - 4u, arrived = (uint32)cmdLen - (uint32)sizeof(w);
    bool short_ = declared > arrived;
    uint32 n = short_ ? arrived : declared;
    bool over = n > GVCP_MEM_MAX;
    if (over) n = GVCP_MEM_MAX;
    const uint8* data = cmd + sizeof(w);
    uint32 address = w.memAddress;

    Peer p;
    set_peer(dev, &p);
    int st = GEV_STATUS_SUCCESS;
    uint32 done = 0;
    if (address >= kMemoryWindow) {
        if (!may_write(core_of(dev), p)) {
            st = GEV_STATUS_ACCESS_DENIED;
        } else {
            st = priv->write_mem(address, const_cast<uint8*>(data), n);
            // Only a write that landed counts its bytes.
            if (st == GEV_STATUS_SUCCESS) done = n;
        }
    } else if ((address | n) & 3u) {
        st = GEV_STATUS_BAD_ALIGNMENT;
    } else if (address < kBootstrapTop && !boot_fits(address, n)) {
        st = GEV_STATUS_INVALID_ADDRESS;
    } else {
        // Word by word through the register-write handling, so memory
        // access obeys the same rules as WRITEREG.
        for (; done < n; done += 4) {
            uint32 a = address + done, v;
            if (a < kBootstrapTop && boot_text(a)) memcpy(&v, data + done, 4);
            else v = gv::get32(data + done);
            st = write_pair(dev, priv, p, a, v);
            if (register_page(a)) *saveAt = a;
            if (st != 0) break;
        }
        if (st == GEV_STATUS_ACCESS_DENIED) *saveAt = 0;
    }
    if (st == 0) st = cut_status(short_, over);
    put_write_ack(ack, len, WRITEMEM_ACK, (uint16)st, h.reqId, (uint16)done);
    return 0;
}

int read_mem_into(GVCPPrivData* priv, uint32 address, uint8* out, uint32 count)
{
    if (address < kBootstrapTop) return read_boot_bytes(address, out, count);
    if (address >= kMemoryWindow) return priv->read_mem(address, out, count);
    if ((address | count) & 3u) return GEV_STATUS_BAD_ALIGNMENT;
    for (uint32 i = 0; i < count; i += 4) {
        uint32 v = 0;
        int st = priv->read_reg(address + i, &v);
        if (st != 0) return st;
        gv::put32(out + i, v);
    }
    return 0;
}

void remove_all_users(epcore_t* core)
{
    EnterCriticalSection(&core->userCS);
    while (auto* u = static_cast<UserInfo*>(lt_first(core->user_info))) drop_user(core, u);
    LeaveCriticalSection(&core->userCS);
}

int open_socket()
{
    std::string ip;
    uint16 port;
    {
        std::lock_guard<std::mutex> hold(g_endpointLock);
        ip = g_bindIp;
        port = g_bindPort;
    }
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, ip.c_str(), &sa.sin_addr) != 1) return -1;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    // Address reuse only: a second process must not share the port.
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    struct timeval tv {};
    tv.tv_usec = kRecvTimeoutMs * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    return fd;
}

}  // namespace

// ---------------------------------------------------------------------------

void GVCP_SetEndpoints(const char* bindIp, uint16 port, const char* broadcastIp)
{
    std::lock_guard<std::mutex> hold(g_endpointLock);
    if (bindIp) g_bindIp = bindIp;
    g_bindPort = port;
    if (broadcastIp) g_broadcastIp = broadcastIp;
}

GVCPPrivData* GVCP_PrivNew(void)
{
    auto* priv = static_cast<GVCPPrivData*>(kzalloc(sizeof(GVCPPrivData)));
    if (!priv) return nullptr;
    priv->channel = new (std::nothrow) Channel();
    if (!priv->channel) {
        kfree(priv);
        return nullptr;
    }
    priv->read_reg = Custom_RegRead;
    priv->write_reg = Custom_RegWrite;
    priv->read_mem = Custom_MemRead;
    priv->write_mem = Custom_MemWrite;
    priv->send_to = channel_send;
    priv->recv_from = channel_recv;
    return priv;
}

void GVCP_PrivFree(GVCPPrivData* priv)
{
    if (!priv) return;
    delete static_cast<Channel*>(priv->channel);
    kfree(priv);
}

int GVCP_IodevCreate(epcore_t* core, uint64 id, iodev_t** out)
{
    if (!core || !out) return -1;
    *out = nullptr;
    int fd = open_socket();
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "gvcp socket create fail.");
        return -1;
    }
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "setsockopt SO_BROADCAST fail.");
        close(fd);
        return -1;
    }
    // Without it broadcast answers follow the routes, as any other datagram.
    if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) != 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "setsockopt IP_PKTINFO fail:%s", strerror(errno));
    GVCPPrivData* priv = GVCP_PrivNew();
    iodev_t* dev = priv ? iodev_new(core) : nullptr;
    if (!dev) {
        log_error(g_logger, __FUNCTION__, __LINE__, "gvcp iodev new fail.");
        GVCP_PrivFree(priv);
        close(fd);
        return -1;
    }
    dev->id = id;
    dev->fd = fd;
    dev->subdevFd = -1;
    dev->fdtype = IODEV_FILE;
    dev->iostate = IOSTATE_READY;
    dev->cbpara = core;
    dev->family = AF_INET;
    dev->socktype = SOCK_DGRAM;
    dev->priv_data = priv;
    if (epcore_iodev_add(core, dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "gvcp iodev new fail.");
        dev->fd = -1;
        dev->priv_data = nullptr;
        iodev_discard(dev);
        GVCP_PrivFree(priv);
        close(fd);
        return -1;
    }
    *out = dev;
    return 0;
}

void GVCP_IodevClose(iodev_t* dev)
{
    epcore_t* core = core_of(dev);
    if (!core) return;
    GVCPPrivData* priv = priv_of(dev);
    // The heartbeat handler reaches the private data only through the
    // device table under userCS: once the device is out, nothing does.
    EnterCriticalSection(&core->userCS);
    dev->priv_data = nullptr;
    iodev_close(dev);
    LeaveCriticalSection(&core->userCS);
    remove_all_users(core);
    GVCP_PrivFree(priv);
}

void* GVCP_Task(void* arg)
{
    worker_t* wk = static_cast<worker_t*>(arg);
    epcore_t* core = wk->epcore;
    set_task_name("gvcp");
    iodev_t* dev = nullptr;
    if (GVCP_IodevCreate(core, E_DEVICE_GVCP, &dev) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "GVCP_iodevCreate fail.");
        worker_destory(wk);
        return nullptr;
    }
    wk->pdev = dev;
    log_info(g_logger, __FUNCTION__, __LINE__, "gvcp fd:%d", dev->fd);
    GVCPPrivData* priv = priv_of(dev);
    uint8 buf[GVCP_BUF_SIZE];
    while (!core->quit.load() && !wk->quit.load()) {
        memset(buf, 0, sizeof(buf));
        int n = priv->recv_from(dev, buf, (int)sizeof(buf) - 1);
        if (n == 0) {
            log_info(g_logger, __FUNCTION__, __LINE__, "server disconnect");
        } else if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) perror("recvfrom");
        } else if (buf[0] == GVCP_KEY) {
            GVCP_Decode(dev, buf, n);
        }
    }
    log_info(g_logger, __FUNCTION__, __LINE__, "end gvcp task");
    wk->pdev = nullptr;
    // The device goes first: worker_destory is the task's last use of the core.
    GVCP_IodevClose(dev);
    worker_destory(wk);
    return nullptr;
}

int GVCP_Decode(iodev_t* dev, const uint8* d, int len)
{
    GVCPPrivData* priv = priv_of(dev);
    Channel* ch = channel_of(priv);
    epcore_t* core = core_of(dev);
    GVCPHeader h{};
    // Shorter than a header, or not GVCP: dropped.
    if (!ch || !core || !d || len < (int)GVCP_HEADER_SIZE || !gv::decode(d, (size_t)len, &h)) return 0;
    Peer p;
    set_peer(dev, &p);

    EnterCriticalSection(&core->userCS);
    log_debug(g_logger, __FUNCTION__, __LINE__, "lt->num:%d", lt_num(core->user_info));
    for (auto* u = static_cast<UserInfo*>(lt_first(core->user_info)); u; u = static_cast<UserInfo*>(lt_get_next(u))) {
        log_debug(g_logger, __FUNCTION__, __LINE__, "userAddress:%x userPort:%d ipaddress:%x port:%d",
                  parse_ip(u->user_ip), u->user_port, p.addr, p.port);
        if (same_host(u, p) && u->timer) {
            arm(u);
            log_debug(g_logger, __FUNCTION__, __LINE__, "timeout:%d", u->timeoutMs);
        }
    }
    LeaveCriticalSection(&core->userCS);

    ch->clock++;
    if (PeerAck* e = cache_find(ch, p); e && e->command == h.command && e->reqId == h.reqId) {
        e->stamp = ch->clock;
        log_duplicate(h, d, len);
        if (e->len == 0) return 0;
        bool bcast = h.command == DISCOVERY_CMD && h.flag == GVCP_FLAG_BROADCAST;
        return send_reply(dev, priv, bcast ? broadcast_ip().c_str() : nullptr, e->buf, e->len);
    }

    uint8 ack[GVCP_BUF_SIZE] = {};
    int ackLen = 0;
    int ret = 0;
    const char* to = nullptr;
    std::string bcast;
    switch (h.command) {
    case READREG_CMD: ret = GVCP_ReadReg(dev, d, len, ack, &ackLen); break;
    case READMEM_CMD: ret = GVCP_ReadMem(dev, d, len, ack, &ackLen); break;
    case WRITEREG_CMD: ret = GVCP_WriteReg(dev, d, len, ack, &ackLen); break;
    case WRITEMEM_CMD: ret = GVCP_WriteMem(dev, d, len, ack, &ackLen); break;
    case FORCEIP_CMD:
        log_info(g_logger, __FUNCTION__, __LINE__, "forceIp");
        return GVCP_ForceIp(dev, d, len, ack, &ackLen);
    case PACKETRESEND_CMD: {
        uint32 gray = 1, resend = 0;
        priv->read_reg(kEnableGray, &gray);
        priv->read_reg(kEnableResendPacket, &resend);
        if (gray == 0 && resend == 1) GVCP_PacketResend(dev, d, len);
        break;
    }
    case DISCOVERY_CMD:
        GVCP_DiscoverAck(d, len, ack, &ackLen);
        if (h.flag == GVCP_FLAG_BROADCAST) {
            bcast = broadcast_ip();
            to = bcast.c_str();
        }
        break;
    default: return 0;
    }

    PeerAck* e = cache_slot(ch, p);
    e->command = h.command;
    e->reqId = h.reqId;
    e->stamp = ch->clock;
    e->len = ackLen > 0 ? (uint32)ackLen : 0;
    if (e->len == 0) return ret;
    memcpy(e->buf, ack, e->len);
    int sent = send_reply(dev, priv, to, ack, e->len);
    return ret < 0 ? ret : sent;
}

int GVCP_DiscoverAck(const uint8* cmd, int cmdLen, uint8* ack, int* len)
{
    *len = 0;
    GVCPHeader h{};
    if (!gv::decode(cmd, (size_t)cmdLen, &h)) return 0;
    if (g_discover.load() != 0) return 0;
    if (g_flags.load() == 0) {
        uint32 ip = 0, mask = 0, macH = 0, macL = 0, gw = 0;
        GetLocalInfo(&ip, &mask, &macH, &macL);
        if (ip == 0) return 0;
        GetDefaultGateway(&gw);
        boot_put(REG_CURRENT_IP_ADDRESS, ip);
        boot_put(REG_CURRENT_NETMASK, mask);
        boot_put(REG_CURRENT_GATEWAY, gw);
        boot_put(REG_MAC_ADDRESS_HIGH, macH);
        boot_put(REG_MAC_ADDRESS_LOW, macL);
        g_flags.store(1);
    }
    GVCPDiscoverAck a{};
    a.header = {GEV_STATUS_SUCCESS, DISCOVERY_ACK, (uint16)(sizeof(a) - sizeof(a.header)), h.reqId};
    a.version = boot_word(REG_GIGE_VERSION);
    a.deviceMode = boot_word(REG_DEVICE_MODE);
    a.macAddressH = (uint16)boot_word(REG_MAC_ADDRESS_HIGH);
    a.macAddressL = boot_word(REG_MAC_ADDRESS_LOW);
    a.ipConfigOption = boot_word(REG_NETWORK_INTERFACE_CAPABILITY);
    a.ipConfigCurrent = boot_word(REG_NETWORK_INTERFACE_CONFIG);
    Custom_RegRead(kCameraType, &a.cameraType);
    a.cameraRGBEncType = E_CAMERA_RGB_ENC_JPEG;
    a.currentIp = boot_word(REG_CURRENT_IP_ADDRESS);
    a.currentMask = boot_word(REG_CURRENT_NETMASK);
    a.currentGateway = boot_word(REG_CURRENT_GATEWAY);
    Bootstrap_ReadReg(REG_MANUFACTURER_NAME, a.manufacturerName, sizeof(a.manufacturerName));
    Bootstrap_ReadReg(REG_MODEL_NAME, a.moduleName, sizeof(a.moduleName));
    Bootstrap_ReadReg(REG_DEVICE_VERSION, a.deviceVersion, sizeof(a.deviceVersion));
    Bootstrap_ReadReg(REG_MANUFACTURER_INFO, a.manufacturerSpecificInformation,
                      sizeof(a.manufacturerSpecificInformation));
    Bootstrap_ReadReg(REG_SERIAL_NUMBER, a.serialNumber, sizeof(a.serialNumber));
    Bootstrap_ReadReg(REG_USER_DEFINED, a.userDefinedName, sizeof(a.userDefinedName));
    gv::encode(ack, a);
    *len = (int)sizeof(a);
    return 0;
}

int GVCP_ForceIpAck(iodev_t* dev, const char* ip, const uint8* buf, int len)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "socket fail.");
        return -1;
    }
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
        log_error(g_logger, __FUNCTION__, __LINE__, "setsockopt fail.");
        close(fd);
        return -1;
    }
    int n = send_via(fd, ip, dev->remote_port, channel_request_if(dev), buf, len);
    if (n < 0)
        log_error(g_logger, __FUNCTION__, __LINE__, "forceip ack to %s:%d fail:%s", ip, dev->remote_port,
                  strerror(errno));
    close(fd);
    return n;
}

int GVCP_ForceIp(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len)
{
    *len = 0;
    ForceIpCmd f{};
    if (!gv::decode(cmd, (size_t)cmdLen, &f)) return 0;
    uint16 status = GEV_STATUS_SUCCESS;
    uint32 ip = f.staticIp, mask = f.staticMask, gw = f.staticGateway;
    uint32 first = ip >> 24, last = ip & 0xFFu;
    if (f.macAddressHigh != (uint16)boot_word(REG_MAC_ADDRESS_HIGH) || f.macAddressLow != boot_word(REG_MAC_ADDRESS_LOW)) {
        status = GEV_STATUS_ERROR;
    } else if (ip == 0 || first == 127 || first >= 224 || last == 0 || last == 255) {
        log_error(g_logger, __FUNCTION__, __LINE__, "staticIp:0x%x staticMask:0x%x", ip, mask);
        status = GEV_STATUS_INVALID_ADDRESS;
    } else {
        if (gw == 0) {
            log_info(g_logger, __FUNCTION__, __LINE__, "staticGateway is 0");
            gw = (ip & 0xFFFFFF00u) | 1u;
        }
        boot_put(REG_PERSISTENT_IP_ADDRESS, ip);
        boot_put(REG_PERSISTENT_NETMASK, mask);
        boot_put(REG_PERSISTENT_GATEWAY, gw);
        char line[128];
        snprintf(line, sizeof(line), "ifconfig eth0 %s netmask %s", dotted(ip).c_str(), dotted(mask).c_str());
        plat_shell(line);
        g_flags.store(0);
        snprintf(line, sizeof(line), "route add default gw %s", dotted(gw).c_str());
        plat_shell(line);
    }
    GVCPHeaderAck a{status, FORCEIP_ACK, 0, f.header.reqId};
    gv::encode(ack, a);
    return GVCP_ForceIpAck(dev, broadcast_ip().c_str(), ack, (int)sizeof(a));
}

int GVCP_ReadReg(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len)
{
    GVCPPrivData* priv = priv_of(dev);
    GVCPHeader h{};
    *len = 0;
    if (!priv || !gv::decode(cmd, (size_t)cmdLen, &h)) return 0;
    bool short_ = false, over = false;
    uint32 n = gv::item_count(h, (size_t)cmdLen, 4, GVCP_READREG_MAX, &short_, &over);
    Peer p;
    set_peer(dev, &p);
    int st = GEV_STATUS_SUCCESS;
    uint32 done = 0;
    for (; done < n; done++) {
        uint32 address = gv::get32(cmd + GVCP_HEADER_SIZE + 4 * done), v = 0;
        st = read_word(priv, address, &v);
        if (st != 0) break;  // the values read so far go back with the failure
        gv::put32(ack + GVCP_HEADER_SIZE + 4 * done, v);
        if (done == 0) log_read(channel_of(priv), address, v, p);
    }
    if (st == 0) st = cut_status(short_, over);
    GVCPHeaderAck a{(uint16)st, READREG_ACK, (uint16)(4 * done), h.reqId};
    gv::encode(ack, a);
    *len = (int)(GVCP_HEADER_SIZE + 4 * done);
    return 0;
}

int GVCP_WriteReg(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len)
{
    GVCPPrivData* priv = priv_of(dev);
    GVCPHeader h{};
    *len = 0;
    if (!priv || !gv::decode(cmd, (size_t)cmdLen, &h)) return 0;
    bool short_ = false, over = false;
    uint32 n = gv::item_count(h, (size_t)cmdLen, sizeof(RegInfo), GVCP_WRITEREG_MAX, &short_, &over);
    Peer p;
    set_peer(dev, &p);
    int st = GEV_STATUS_SUCCESS;
    uint32 done = 0, last = 0;
    for (; done < n; done++) {
        RegInfo r{};
        gv::decode(cmd + GVCP_HEADER_SIZE + done * sizeof(RegInfo), sizeof(RegInfo), &r);
        last = r.regAddress;
        st = write_pair(dev, priv, p, r.regAddress, r.regValue);
        if (st != 0) break;  // as GigE Vision: the index tells how far it went
    }
    bool save = n > 0 && st != GEV_STATUS_ACCESS_DENIED && save_address(last);
    if (st == 0) st = cut_status(short_, over);
    put_write_ack(ack, len, WRITEREG_ACK, (uint16)st, h.reqId, (uint16)done);
    return save ? save_config() : 0;
}

int GVCP_ReadMem(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len)
{
    GVCPPrivData* priv = priv_of(dev);
    *len = 0;
    GVCPHeader h{};
    if (!priv || !gv::decode(cmd, (size_t)cmdLen, &h)) return 0;
    GVCPReadMemCmd r{};
    GVCPReadMemAck a{};
    uint32 count = 0;
    int st;
    if (!gv::decode(cmd, (size_t)cmdLen, &r)) {
        st = GEV_STATUS_INVALID_HEADER;
        if ((size_t)cmdLen >= sizeof(GVCPWriteMemCmd)) a.memAddress = gv::get32(cmd + GVCP_HEADER_SIZE);
    } else {
        a.memAddress = r.memAddress;
        count = r.count;
        bool over = count > GVCP_MEM_MAX;
        if (over) count = GVCP_MEM_MAX;
        uint8* out = ack + sizeof(a);
        memset(out, 0, count);
        st = read_mem_into(priv, r.memAddress, out, count);
        if (st != 0) memset(out, 0, count);
        else if (over) st = GEV_STATUS_INVALID_PARAMETER;
    }
    a.header = {(uint16)st, READMEM_ACK, (uint16)(count + 4), h.reqId};
    gv::encode(ack, a);
    *len = (int)(sizeof(a) + count);
    return 0;
}

int GVCP_WriteMem(iodev_t* dev, const uint8* cmd, int cmdLen, uint8* ack, int* len)
{
    *len = 0;
    GVCPHeader h{};
    if (!priv_of(dev) || !gv::decode(cmd, (size_t)cmdLen, &h)) return 0;
    uint32 saveAt = 0;
    write_mem(dev, cmd, cmdLen, ack, len, &saveAt);
    return saveAt && save_address(saveAt) ? save_config() : 0;
}

int GVCP_PacketResend(iodev_t* dev, const uint8* cmd, int cmdLen)
{
    epcore_t* core = core_of(dev);
    if (!core) return 0;
    // The sender resolves the requester to its host record and answers at
    // that host's stream address.
    int rc = GVSP_ResendRequest(core, cmd, cmdLen, dev->remote_ip, dev->remote_port);
    if (rc != 0)
        log_info(g_logger, __FUNCTION__, __LINE__, "resend request from %s:%u not queued (%d)", dev->remote_ip,
                 (unsigned)dev->remote_port, rc);
    return 0;
}

int GVCP_Access(iodev_t* dev, uint32 address, uint32 value, uint16 port, uint32 ip)
{
    (void)address;
    epcore_t* core = core_of(dev);
    if (!core) return GEV_STATUS_ACCESS_DENIED;
    uint32 primaryPort = boot_word(REG_PRIMARY_APPLICATION_PORT);
    uint32 primaryIp = boot_word(REG_PRIMARY_APPLICATION_IP_ADDRESS);
    if (primaryPort != 0 && primaryIp != 0) {
        if (primaryPort == port && primaryIp == ip) {
            boot_put(REG_PRIMARY_APPLICATION_PORT, value != 0 ? primaryPort : 0);
            boot_put(REG_PRIMARY_APPLICATION_IP_ADDRESS, value != 0 ? primaryIp : 0);
            return 0;
        }
        log_info(g_logger, __FUNCTION__, __LINE__, "primaryPort:%d primaryAddress:0x%x Port:%d ipaddress:%x",
                 primaryPort, primaryIp, port, ip);
        EnterCriticalSection(&core->userCS);
        uint32 users = (uint32)lt_num(core->user_info);
        LeaveCriticalSection(&core->userCS);
        if ((value == 0 && users > 0) || users < g_permit_conn_user_count.load()) return 0;
        return GEV_STATUS_ACCESS_DENIED;
    }
    if (value == 2) {
        boot_put(REG_PRIMARY_APPLICATION_PORT, port);
        boot_put(REG_PRIMARY_APPLICATION_IP_ADDRESS, ip);
    }
    return 0;
}

int GVCP_HeartBeat(void* vcore, void* timerdev, int event, int fdtype)
{
    (void)event;
    (void)fdtype;
    auto* core = static_cast<epcore_t*>(vcore);
    if (!core) return 0;
    log_info(g_logger, __FUNCTION__, __LINE__, "heartbeat timeout");
    bool last = false;
    StreamRequester who = STREAM_BOARD;
    RegWriteFunc write_reg = Custom_RegWrite;
    EnterCriticalSection(&core->userCS);
    // The device is used only once a record shows it is still this host's
    // timer; an expiry a later datagram overtook is not a timeout.
    UserInfo* gone = nullptr;
    for (auto* u = static_cast<UserInfo*>(lt_first(core->user_info)); u; u = static_cast<UserInfo*>(lt_get_next(u)))
        if (u->timer == timerdev) gone = u;
    if (gone && get_tickcount() - gone->armedAt >= gone->timeoutMs) {
        relay_check(core, gone->user_ip, gone->user_port);
        log_info(g_logger, __FUNCTION__, __LINE__, "pdev->id:%ld, pdev->fd:%d", (long)gone->id, gone->fd);
        who = stream_ctrl_host(parse_ip(gone->user_ip), gone->user_port);
        drop_user(core, gone);
        GVCPPrivData* priv = live_priv(core);
        if (priv) {
            if (priv->heartbeatCreate) priv->heartbeatCreate--;
            write_reg = priv->write_reg;
        }
        last = lt_num(core->user_info) == 0;
        if (last) {
            boot_put(REG_PRIMARY_APPLICATION_PORT, 0);
            boot_put(REG_PRIMARY_APPLICATION_IP_ADDRESS, 0);
            boot_put(REG_CONTROL_CHANNEL_PRIVILEGE, 0);
        }
    } else {
        gone = nullptr;
    }
    LeaveCriticalSection(&core->userCS);
    if (!gone) return 0;
    if (last) log_info(g_logger, __FUNCTION__, __LINE__, "stop stream");
    // The host's start goes with it; a close is handed over, as a pump
    // never waits for the capture workers to end.
    stream_ctrl_host_left(write_reg, who, last, 0);
    log_info(g_logger, __FUNCTION__, __LINE__, "end");
    return 0;
}
