// Raw IPv4 socket devices. Everything that sends runs in a child process
// moved into a network namespace of its own (loopback only, brought up
// here), so nothing reaches the machine's network; the child captures what
// it sent with raw sockets of its own and checks headers and checksums.
#include "eprawsock.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/pumptest.h"

using pumptest::Core;
using pumptest::ManualPump;

namespace {

using Bytes = std::vector<uint8_t>;

/* Failures found in the child, handed back to the test as text. */
std::string g_errs;
#define CHECK_EQ(a, b)                                                                         \
    do {                                                                                       \
        long long va_ = (long long)(a), vb_ = (long long)(b);                                  \
        if (va_ != vb_)                                                                        \
            g_errs += std::to_string(__LINE__) + ": " #a " == " #b " (" + std::to_string(va_) + \
                      " vs " + std::to_string(vb_) + ")\n";                                    \
    } while (0)

/* RFC 1071 sum over big-endian words, written apart from the module's. */
uint16_t fold(const uint8_t* p, size_t n, uint32_t sum = 0)
{
    for (; n > 1; p += 2, n -= 2) sum += (uint32_t)(p[0] << 8 | p[1]);
    if (n) sum += (uint32_t)p[0] << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return (uint16_t)sum;
}

uint16_t be16(const uint8_t* p) { return (uint16_t)(p[0] << 8 | p[1]); }

bool loopback_up()
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

/* A raw socket that sees every packet of proto arriving in the namespace. */
int capture(int proto)
{
    int s = socket(AF_INET, SOCK_RAW, proto);
    struct timeval tv = {2, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return s;
}

/* The next captured packet that pred accepts; empty after the time-out. */
template <class Pred>
Bytes next_packet(int s, Pred pred)
{
    static uint8_t buf[70000];
    for (int i = 0; i < 16; i++) {
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        Bytes b(buf, buf + n);
        if (pred(b)) return b;
    }
    return {};
}

/* Runs body in a forked child inside a fresh network namespace and returns
 * its failures; "skip:" when no namespace could be made. */
template <class Body>
std::string in_netns(Body body)
{
    int p[2];
    if (pipe(p) != 0) return "pipe failed";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        if (unshare(CLONE_NEWNET) != 0)
            g_errs = std::string("skip: unshare: ") + strerror(errno);
        else if (!loopback_up())
            g_errs = "loopback could not be brought up";
        else
            body();
        _exit(write(p[1], g_errs.data(), g_errs.size()) == (ssize_t)g_errs.size() ? 0 : 1);
    }
    close(p[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) out += "child ended abnormally\n";
    return out;
}

#define RUN_IN_NETNS(...)                                  \
    do {                                                   \
        std::string r_ = in_netns(__VA_ARGS__);            \
        if (r_.rfind("skip:", 0) == 0) GTEST_SKIP() << r_; \
        EXPECT_EQ(r_, "");                                 \
    } while (0)

/* IPv4 header fields of both packet kinds, loopback to loopback. */
void check_ip(const Bytes& b, size_t total, int ttl, int proto)
{
    CHECK_EQ(b.size(), total);
    if (b.size() < 20) return;
    CHECK_EQ(b[0], 0x45);
    CHECK_EQ(be16(&b[2]), total);
    CHECK_EQ(be16(&b[6]), 0x4000);
    CHECK_EQ(b[8], ttl);
    CHECK_EQ(b[9], proto);
    CHECK_EQ(memcmp(&b[12], "\x7f\0\0\x01\x7f\0\0\x01", 8), 0);
}

struct Arrived {
    int reads = 0, fdtype = 0;
    size_t bytes = 0;
};

int on_packet(void* cbpara, void* obj, int event, int fdtype)
{
    auto* a = static_cast<Arrived*>(cbpara);
    a->reads += event == EVT_READ;
    a->fdtype = fdtype;
    uint8_t buf[2048];
    for (ssize_t n; (n = recv(iodev_fd(static_cast<iodev_t*>(obj)), buf, sizeof buf, 0)) > 0;)
        a->bytes += (size_t)n;
    return 0;
}

TEST(EpRawSock, UdpPacketsCarryAVerifiedChecksumAndArrivalsReachTheHandler)
{
    RUN_IN_NETNS([] {
        Core c;
        ManualPump mp(c.core);
        int rv = 1;
        iodev_t* dev = eprawsock_client(c.core, nullptr, IPPROTO_UDP, &rv);
        CHECK_EQ(rv, 0);
        if (!dev) return;
        CHECK_EQ(iodev_fdtype(dev), IODEV_RAW_SOCKET);
        CHECK_EQ(iodev_evpump(dev) == mp.pump, true);
        for (int opt : {SO_SNDTIMEO, SO_RCVTIMEO}) {
            struct timeval tv = {};
            socklen_t l = sizeof tv;
            getsockopt(iodev_fd(dev), SOL_SOCKET, opt, &tv, &l);
            CHECK_EQ(tv.tv_sec * 1000000 + tv.tv_usec, 1000000); /* one second */
        }
        Arrived a;
        CHECK_EQ(eprawsock_notify(dev, 0, on_packet, &a), 0);

        int cap = capture(IPPROTO_UDP);
        size_t sent = 0;
        for (size_t len : {0, 1, 5, 1000}) {
            Bytes data(len);
            for (size_t i = 0; i < len; i++) data[i] = (uint8_t)(i * 7 + 3);
            CHECK_EQ(eprawsock_send_udp(dev, "127.0.0.1", 40000, "127.0.0.1", 40001, data.data(), (int)len), 0);
            Bytes b = next_packet(cap, [](const Bytes& p) { return p.size() >= 28 && be16(&p[22]) == 40001; });
            check_ip(b, 28 + len, 250, IPPROTO_UDP);
            if (b.size() != 28 + len) continue;
            sent += b.size();
            CHECK_EQ(be16(&b[20]), 40000);
            CHECK_EQ(be16(&b[24]), 8 + len);
            /* Pseudo-header: source, destination, zero, protocol, UDP length. */
            uint8_t pseudo[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, IPPROTO_UDP, (uint8_t)((8 + len) >> 8), (uint8_t)(8 + len)};
            memcpy(pseudo, &b[12], 8);
            CHECK_EQ(fold(&b[20], 8 + len, fold(pseudo, 12)), 0xffff);
            CHECK_EQ(Bytes(b.begin() + 28, b.end()) == data, true);
        }
        close(cap);
        /* The device's own socket saw the same packets: one read event. */
        for (int i = 0; i < 20 && a.bytes < sent; i++) mp.pass(100);
        CHECK_EQ(a.reads, 1);
        CHECK_EQ(a.fdtype, IODEV_RAW_SOCKET);
        CHECK_EQ(a.bytes, sent);
        iodev_close(dev);
    });
}

TEST(EpRawSock, IcmpEchoRequestWithFourBytesIs36BytesAndVerifies)
{
    RUN_IN_NETNS([] {
        Core c;
        int rv = 1;
        iodev_t* dev = eprawsock_client(c.core, nullptr, IPPROTO_ICMP, &rv);
        CHECK_EQ(rv, 0);
        if (!dev) return;
        int cap = capture(IPPROTO_ICMP);
        const uint8_t data[4] = {0xde, 0xad, 0xbe, 0xef};
        uint16_t id = 0x1234, seq = 0x0102;
        struct timeval now;
        gettimeofday(&now, nullptr);
        uint32_t before = (uint32_t)(now.tv_sec * 1000 + now.tv_usec / 1000);
        CHECK_EQ(eprawsock_send_icmp(dev, "127.0.0.1", "127.0.0.1", 8, id, seq, data, 4), 0);
        Bytes b = next_packet(cap, [](const Bytes& p) { return p.size() > 20 && p[20] == 8; });
        check_ip(b, 36, 255, IPPROTO_ICMP);
        if (b.size() == 36) {
            const uint8_t* icmp = &b[20];
            CHECK_EQ(icmp[1], 0);
            CHECK_EQ(fold(icmp, 16), 0xffff);
            CHECK_EQ(memcmp(icmp + 4, &id, 2), 0); /* stored as given */
            CHECK_EQ(memcmp(icmp + 6, &seq, 2), 0);
            uint32_t stamp;
            memcpy(&stamp, icmp + 8, 4);
            CHECK_EQ(stamp - before <= 2000u, true);
            CHECK_EQ(memcmp(icmp + 12, data, 4), 0);
        }
        /* The namespace's own stack answers the request. */
        CHECK_EQ(next_packet(cap, [](const Bytes& p) { return p.size() > 20 && p[20] == 0; }).size(), 36u);
        close(cap);
        iodev_close(dev);
    });
}

TEST(EpRawSock, RefusedArgumentsAndFailedSends)
{
    RUN_IN_NETNS([] {
        Core c;
        int rv = 1;
        CHECK_EQ(eprawsock_client(c.core, nullptr, -1, &rv) == nullptr, true);
        CHECK_EQ(rv, -200);
        iodev_t* dev = eprawsock_client(c.core, nullptr, IPPROTO_RAW, &rv);
        CHECK_EQ(rv, 0);
        if (!dev) return;
        const char d[] = "x";
        struct {
            const char* dst;
            const void* data;
            int len;
            int want;
        } cases[] = {
            {"127.0.0.1", nullptr, 1, -1},
            {"127.0.0.1", d, 65535 - 27, -1}, /* the length field would wrap */
            {"localhost", d, 1, -100},         /* texts only, no resolution */
            {"10.1.2.3", d, 1, -100},          /* no route in the namespace */
        };
        for (auto& k : cases) {
            CHECK_EQ(eprawsock_send_udp(dev, "127.0.0.1", 1, k.dst, 2, k.data, k.len), k.want);
            CHECK_EQ(eprawsock_send_icmp(dev, "127.0.0.1", k.dst, 8, 1, 1, k.data, k.len), k.want);
        }
        iodev_close(dev);
    });
}

} // namespace
