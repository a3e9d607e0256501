/* The simulated board's CAN bus ("can0") and the production-test fixture
 * that a factory plugs onto the bus and onto the output/input lines.
 *
 * A raw CAN socket is a node on the bus: frames written to it go on the
 * bus, where the fixture (when attached) answers each data frame at once,
 * and every bound socket queues what the bus carries for it to read. The
 * fixture also loops the output lines back inverted to the input lines. */
#include "siminternal.h"

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <string.h>
#include <sys/socket.h>

#include <array>
#include <deque>

namespace sim {

namespace {

constexpr size_t kRxQueue = 128;   /* frames a socket holds before dropping new ones */
constexpr size_t kSentKept = 1024; /* frames kept for sim_can_sent_frame */
constexpr uint32_t kLineOutputWord = 0x202u;
constexpr uint32_t kLineInputWord = 0x102u;

using Frame = std::array<uint8_t, CAN_MTU>;

struct CanSock {
    sim_node_t*       node = nullptr;
    int               ifindex = 0;
    bool              fd_frames = false;
    bool              loopback = true;
    bool              recv_own = false;
    bool              timestamping = false;
    std::deque<Frame> rx;
};

struct CanBus {
    std::mutex                   mu;
    std::vector<CanSock*>        socks;
    bool                         fixture = false;
    sim_can_fixture_t            fix{};
    std::vector<sim_can_frame_t> sent;
    unsigned long                sent_count = 0;
    unsigned long                answered = 0;
    sim_can_state_t              last{}; /* options of the last socket bound */
    uint32_t                     outputs = 0;
};

std::atomic<CanBus*> g_bus{nullptr}; /* set at install, lives as long as the board */

/* Caller holds bus->mu. */
void deliver(CanBus* bus, const CanSock* from, const Frame& f)
{
    for (CanSock* s : bus->socks) {
        if (!s->ifindex) continue;
        if (s == from ? !s->recv_own : (from && !from->loopback)) continue;
        if (s->rx.size() >= kRxQueue) continue;
        s->rx.push_back(f);
        sim_node_set_readable(s->node, 1);
    }
}

int can_open(void* model, sim_node_t* node)
{
    auto* bus = static_cast<CanBus*>(model);
    auto* s = new CanSock();
    s->node = node;
    sim_node_set_data(node, s);
    std::lock_guard<std::mutex> lk(bus->mu);
    bus->socks.push_back(s);
    return 0;
}

int can_close(void* model, sim_node_t* node)
{
    auto* bus = static_cast<CanBus*>(model);
    auto* s = static_cast<CanSock*>(sim_node_data(node));
    {
        std::lock_guard<std::mutex> lk(bus->mu);
        for (auto it = bus->socks.begin(); it != bus->socks.end(); ++it)
            if (*it == s) {
                bus->socks.erase(it);
                break;
            }
    }
    sim_node_set_data(node, nullptr);
    delete s;
    return 0;
}

int set_option(CanBus* bus, CanSock* s, const SockRequest* rq)
{
    if (!rq->value || rq->len < sizeof(int)) return -EINVAL;
    int v;
    memcpy(&v, rq->value, sizeof(v));
    std::lock_guard<std::mutex> lk(bus->mu);
    if (rq->level == SOL_CAN_RAW && rq->name == CAN_RAW_FD_FRAMES) s->fd_frames = v != 0;
    else if (rq->level == SOL_CAN_RAW && rq->name == CAN_RAW_LOOPBACK) s->loopback = v != 0;
    else if (rq->level == SOL_CAN_RAW && rq->name == CAN_RAW_RECV_OWN_MSGS) s->recv_own = v != 0;
    else if (rq->level == SOL_SOCKET && rq->name == SO_TIMESTAMPING) s->timestamping = v != 0;
    else return -ENOPROTOOPT;
    if (s->ifindex) {
        bus->last.fd_frames = s->fd_frames;
        bus->last.loopback = s->loopback;
        bus->last.recv_own = s->recv_own;
        bus->last.timestamping = s->timestamping;
    }
    return 0;
}

int can_ioctl(void* model, sim_node_t* node, unsigned long request, void* arg)
{
    auto* bus = static_cast<CanBus*>(model);
    auto* s = static_cast<CanSock*>(sim_node_data(node));
    if (!arg) return -EFAULT;
    switch (request) {
    case SIOCGIFINDEX: {
        auto* ifr = static_cast<struct ifreq*>(arg);
        if (strncmp(ifr->ifr_name, "can0", IFNAMSIZ) != 0) return -ENODEV;
        ifr->ifr_ifindex = SIM_CAN_IFINDEX;
        return 0;
    }
    case kSockBind: {
        auto* rq = static_cast<SockRequest*>(arg);
        struct sockaddr_can a;
        if (!rq->addr || rq->addrlen < sizeof(a)) return -EINVAL;
        memcpy(&a, rq->addr, sizeof(a));
        if (a.can_family != AF_CAN) return -EINVAL;
        if (a.can_ifindex != SIM_CAN_IFINDEX) return -ENODEV;
        std::lock_guard<std::mutex> lk(bus->mu);
        s->ifindex = a.can_ifindex;
        bus->last.bound = s->ifindex;
        bus->last.fd_frames = s->fd_frames;
        bus->last.loopback = s->loopback;
        bus->last.recv_own = s->recv_own;
        bus->last.timestamping = s->timestamping;
        return 0;
    }
    case kSockSetOpt: return set_option(bus, s, static_cast<SockRequest*>(arg));
    default: return -ENOTTY;
    }
}

ssize_t can_write(void* model, sim_node_t* node, const void* buf, size_t count)
{
    auto* bus = static_cast<CanBus*>(model);
    auto* s = static_cast<CanSock*>(sim_node_data(node));
    if (count != CAN_MTU) return -EINVAL; // no FD frame is ever sent on this bus
    struct can_frame cf;
    memcpy(&cf, buf, sizeof(cf));
    if (cf.len > CAN_MAX_DLEN) return -EINVAL;
    Frame f;
    memcpy(f.data(), buf, CAN_MTU);
    std::lock_guard<std::mutex> lk(bus->mu);
    if (!s->ifindex) return -ENXIO;
    if (bus->sent.size() < kSentKept) {
        sim_can_frame_t k{};
        k.id = cf.can_id;
        k.len = cf.len;
        memcpy(k.data, cf.data, sizeof(k.data));
        bus->sent.push_back(k);
    }
    bus->sent_count++;
    deliver(bus, s, f);
    bool data = !(cf.can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG));
    if (bus->fixture && bus->fix.answers && data) {
        struct can_frame ans = cf;
        ans.can_id = bus->fix.answer_id ? bus->fix.answer_id : cf.can_id + 0x80;
        ans.len = CAN_MAX_DLEN;
        ans.data[0] = bus->fix.first_byte;
        Frame a;
        memcpy(a.data(), &ans, CAN_MTU);
        bus->answered++;
        deliver(bus, nullptr, a);
    }
    return (ssize_t)count;
}

ssize_t can_read(void* model, sim_node_t* node, void* buf, size_t count)
{
    auto* bus = static_cast<CanBus*>(model);
    auto* s = static_cast<CanSock*>(sim_node_data(node));
    std::lock_guard<std::mutex> lk(bus->mu);
    if (s->rx.empty()) return -EAGAIN;
    if (count < CAN_MTU) return -EINVAL;
    memcpy(buf, s->rx.front().data(), CAN_MTU);
    s->rx.pop_front();
    if (s->rx.empty()) sim_node_set_readable(node, 0);
    return CAN_MTU;
}

void can_destroy(void* model)
{
    CanBus* mine = static_cast<CanBus*>(model);
    g_bus.compare_exchange_strong(mine, nullptr);
    delete static_cast<CanBus*>(model);
}

const sim_devops_t kCanOps = {can_open, can_close, can_ioctl, can_read, can_write, nullptr, can_destroy};

} // namespace

void install_can(Board* b)
{
    auto* bus = new CanBus();
    if (device_add(b, SIM_CAN_BUS, &kCanOps, bus) != 0) {
        delete bus;
        return;
    }
    g_bus = bus;
}

void can_fixture_lines(uint32_t* word)
{
    CanBus* bus = g_bus;
    if (!bus || !word) return;
    std::lock_guard<std::mutex> lk(bus->mu);
    if ((*word & 0xFFFFu) == kLineOutputWord) {
        bus->outputs = *word >> 16;
    } else if (*word == kLineInputWord) {
        *word = bus->fixture && bus->fix.loopback ? ~bus->outputs & 3u : 0u;
    }
}

} // namespace sim

int sim_can_set_fixture(const sim_can_fixture_t* fixture)
{
    sim::CanBus* bus = sim::g_bus;
    if (!bus) {
        errno = ENODEV;
        return -1;
    }
    std::lock_guard<std::mutex> lk(bus->mu);
    bus->fixture = fixture != nullptr;
    bus->fix = fixture ? *fixture : sim_can_fixture_t{};
    return 0;
}

int sim_can_state(sim_can_state_t* out)
{
    sim::CanBus* bus = sim::g_bus;
    if (!bus || !out) {
        errno = bus ? EINVAL : ENODEV;
        return -1;
    }
    std::lock_guard<std::mutex> lk(bus->mu);
    *out = bus->last;
    out->sockets = (int)bus->socks.size();
    out->sent = bus->sent_count;
    out->answered = bus->answered;
    out->outputs = bus->outputs;
    return 0;
}

int sim_can_sent_frame(size_t index, sim_can_frame_t* out)
{
    sim::CanBus* bus = sim::g_bus;
    if (!bus || !out) return -1;
    std::lock_guard<std::mutex> lk(bus->mu);
    if (index >= bus->sent.size()) return -1;
    *out = bus->sent[index];
    return 0;
}
