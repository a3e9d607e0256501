/* Raw IPv4 socket devices: the IP header is built here (IP_HDRINCL), so
 * UDP datagrams and ICMP messages can carry any source address and port. */
#include "eprawsock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "epcore.h"
#include "iodev.h"
#include "memory.h"
#include "mthread.h"
#include "tsock.h"

namespace {

constexpr int kIpHead   = 20;
constexpr int kUdpHead  = 8;
constexpr int kIcmpHead = 12; /* type, code, checksum, id, seq, time stamp */
constexpr int kMaxPacket = 65535;
constexpr uint8_t kTtlUdp  = 250;
constexpr uint8_t kTtlIcmp = 255;
static_assert(kIpHead + kUdpHead == RAWSOCK_UDP_HEAD);
static_assert(kIpHead + kIcmpHead == RAWSOCK_ICMP_HEAD);

void put16(uint8_t* p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

/* One's-complement sum of big-endian 16-bit words, an odd last byte padded
 * with zero; folded but not inverted. */
uint32_t sum16(const uint8_t* p, int len, uint32_t sum)
{
    for (; len > 1; p += 2, len -= 2) sum += (uint32_t)p[0] << 8 | p[1];
    if (len == 1) sum += (uint32_t)p[0] << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return sum;
}

/* IPv4 header without options: don't-fragment, id 0 and header checksum 0
 * (the kernel fills both in for IP_HDRINCL sockets). */
void ip_header(uint8_t* p, int total, uint8_t ttl, uint8_t proto, in_addr_t src, in_addr_t dst)
{
    memset(p, 0, kIpHead);
    p[0] = 0x45;
    put16(p + 2, (uint16_t)total);
    put16(p + 6, 0x4000);
    p[8] = ttl;
    p[9] = proto;
    memcpy(p + 12, &src, 4); /* already in network order */
    memcpy(p + 16, &dst, 4);
}

bool parse_ip(const char* text, in_addr_t* out)
{
    struct in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) return false;
    *out = a.s_addr;
    return true;
}

/* Sends one packet; the descriptor is used under fdCS so a close cannot
 * hand its number to another socket in the middle. */
int send_packet(iodev_t* dev, const uint8_t* pkt, int len, in_addr_t dst, int port)
{
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)port);
    to.sin_addr.s_addr = dst;
    ssize_t n;
    EnterCriticalSection(&dev->fdCS);
    do {
        n = dev->fd >= 0 ? sendto(dev->fd, pkt, (size_t)len, MSG_NOSIGNAL, (struct sockaddr*)&to, sizeof to) : -1;
    } while (n < 0 && errno == EINTR);
    LeaveCriticalSection(&dev->fdCS);
    return n == len ? 0 : -100;
}

bool bad_args(iodev_t* dev, const char* srcip, const char* dstip, const void* data, int len, int head)
{
    return !dev || !srcip || !dstip || len < 0 || len > kMaxPacket - head || (len > 0 && !data);
}

uint32_t now_ms32(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (uint32_t)((uint64_t)tv.tv_sec * 1000u + (uint64_t)(tv.tv_usec / 1000));
}

} // namespace

iodev_t* eprawsock_client(epcore_t* core, void* para, int protocol, int* retval)
{
    int dummy;
    if (!retval) retval = &dummy;
    *retval = -1;
    if (!core) return nullptr;

    int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        *retval = -200;
        return nullptr;
    }
    int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0) {
        close(fd);
        *retval = -300;
        return nullptr;
    }
    /* The kernel takes socket time-outs as a struct timeval. */
    struct timeval tmo = {1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tmo, sizeof tmo) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tmo, sizeof tmo) != 0) {
        close(fd);
        *retval = -400;
        return nullptr;
    }
    sock_nonblock_set(fd, 1);

    iodev_t* dev = iodev_new_from_fd(core, fd, IODEV_RAW_SOCKET, para, nullptr, nullptr);
    if (!dev) {
        close(fd);
        *retval = -100;
        return nullptr;
    }
    dev->family = AF_INET;
    dev->socktype = SOCK_RAW;
    dev->protocol = protocol;
    *retval = 0;
    iodev_bind_evpump(dev, BIND_SELECT, nullptr);
    return dev;
}

int eprawsock_notify(iodev_t* dev, int ignored, IOHandler* cb, void* cbpara)
{
    (void)ignored;
    if (!dev) return -1;
    EnterCriticalSection(&dev->fdCS);
    dev->callback = cb;
    dev->cbpara = cbpara;
    LeaveCriticalSection(&dev->fdCS);
    return 0;
}

int eprawsock_send_udp(iodev_t* dev, const char* srcip, int srcport, const char* dstip, int dstport,
                       const void* data, int len)
{
    if (bad_args(dev, srcip, dstip, data, len, RAWSOCK_UDP_HEAD)) return -1;
    in_addr_t src, dst;
    if (!parse_ip(srcip, &src) || !parse_ip(dstip, &dst)) return -100;

    int total = RAWSOCK_UDP_HEAD + len;
    /* Heap, not stack: a packet may be 64 KiB and senders run on small
     * worker stacks. */
    auto* pkt = static_cast<uint8_t*>(kalloc((size_t)total));
    if (!pkt) return -100;
    ip_header(pkt, total, kTtlUdp, IPPROTO_UDP, src, dst);
    uint8_t* udp = pkt + kIpHead;
    put16(udp, (uint16_t)srcport);
    put16(udp + 2, (uint16_t)dstport);
    put16(udp + 4, (uint16_t)(kUdpHead + len));
    put16(udp + 6, 0);
    if (len > 0) memcpy(udp + kUdpHead, data, (size_t)len);

    /* Pseudo-header: source, destination, zero, protocol, UDP length. */
    uint8_t pseudo[12];
    memcpy(pseudo, &src, 4);
    memcpy(pseudo + 4, &dst, 4);
    pseudo[8] = 0;
    pseudo[9] = IPPROTO_UDP;
    put16(pseudo + 10, (uint16_t)(kUdpHead + len));
    uint16_t ck = (uint16_t)~sum16(udp, kUdpHead + len, sum16(pseudo, sizeof pseudo, 0));
    /* A computed 0 goes out as all ones: 0 means "no checksum" in UDP. */
    put16(udp + 6, ck ? ck : 0xffff);

    int r = send_packet(dev, pkt, total, dst, dstport);
    kfree(pkt);
    return r;
}

int eprawsock_send_icmp(iodev_t* dev, const char* srcip, const char* dstip, int type, uint16_t id,
                        uint16_t seq, const void* data, int len)
{
    if (bad_args(dev, srcip, dstip, data, len, RAWSOCK_ICMP_HEAD)) return -1;
    in_addr_t src, dst;
    if (!parse_ip(srcip, &src) || !parse_ip(dstip, &dst)) return -100;

    int total = RAWSOCK_ICMP_HEAD + len;
    auto* pkt = static_cast<uint8_t*>(kalloc((size_t)total));
    if (!pkt) return -100;
    ip_header(pkt, total, kTtlIcmp, IPPROTO_ICMP, src, dst);
    uint8_t* icmp = pkt + kIpHead;
    icmp[0] = (uint8_t)type;
    icmp[1] = 0;
    put16(icmp + 2, 0);
    memcpy(icmp + 4, &id, 2); /* as given, no byte-order change */
    memcpy(icmp + 6, &seq, 2);
    uint32_t stamp = now_ms32();
    memcpy(icmp + 8, &stamp, 4);
    if (len > 0) memcpy(icmp + kIcmpHead, data, (size_t)len);
    put16(icmp + 2, (uint16_t)~sum16(icmp, kIcmpHead + len, 0));

    int r = send_packet(dev, pkt, total, dst, 0);
    kfree(pkt);
    return r;
}
