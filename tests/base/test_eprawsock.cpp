// Raw IPv4 socket devices. Everything that sends runs in a child process
// inside a network namespace of its own (loopback only, brought up here),
// so nothing reaches the machine's own network; the child captures what it
// sent with raw sockets of its own and checks headers and checksums.
#include "eprawsock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
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
#include "tsock.h"

using pumptest::Core;
using pumptest::ManualPump;

namespace {

using Bytes = std::vector<uint8_t>;

/* Failures found in the child, sent back to the test as text. */
std::string g_errs;
#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) g_errs += std::to_string(__LINE__) + ": " #cond "\n";           \
    } while (0)
#define CHECK_EQ(a, b)                                                               \
    do {                                                                             \
        long long va_ = (long long)(a), vb_ = (long long)(b);                        \
        if (va_ != vb_)                                                              \
            g_errs += std::to_string(__LINE__) + ": " #a " == " #b " (" +            \
                      std::to_string(va_) + " vs " + std::to_string(vb_) + ")\n";    \
    } while (0)

/* Independent of the module: RFC 1071 sum over big-endian words. */
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
    if (s < 0) return false;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
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

/* The next captured packet that pred accepts, or empty after the time-out. */
template <class Pred>
Bytes next_packet(int s, Pred pred)
{
    for (int i = 0; i < 16; i++) {
        uint8_t buf[70000];
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) return {};
        Bytes b(buf, buf + n);
        if (pred(b)) return b;
    }
    return {};
}

uint64_t now_ms()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
}

/* Runs body in a forked child moved into a fresh network namespace and
 * returns its failures; "skip:" when no namespace could be made. */
template <class Body>
std::string in_netns(Body body)
{
    int p[2];
    if (pipe(p) != 0) return "pipe failed";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        g_errs.clear();
        if (unshare(CLONE_NEWNET) != 0)
            g_errs = std::string("skip: unshare: ") + strerror(errno);
        else if (!loopback_up())
            g_errs = "loopback could not be brought up";
        else
            body();
        ssize_t w = write(p[1], g_errs.data(), g_errs.size());
        (void)w;
        _exit(0);
    }
    close(p[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) out += "child ended abnormally\n";
    return out;
}

#define RUN_IN_NETNS(...)                                        \
    do {                                                         \
        std::string r_ = in_netns(__VA_ARGS__);                        \
        if (r_.rfind("skip:", 0) == 0) GTEST_SKIP() << r_;       \
        EXPECT_EQ(r_, "");                                       \
    } while (0)

/* IPv4 header fields common to both packet kinds. */
void check_ip(const Bytes& b, size_t total, int ttl, int proto)
{
    CHECK_EQ(b.size(), total);
    if (b.size() < 20) return;
    CHECK_EQ(b[0], 0x45);
    CHECK_EQ(b[1], 0);
    CHECK_EQ(be16(&b[2]), total);
    CHECK_EQ(be16(&b[6]), 0x4000);
    CHECK_EQ(b[8], ttl);
    CHECK_EQ(b[9], proto);
    CHECK_EQ(fold(b.data(), 20), 0xffff); /* header checksum as the kernel filled it */
    CHECK_EQ(memcmp(&b[12], "\x7f\x00\x00\x01", 4), 0);
    CHECK_EQ(memcmp(&b[16], "\x7f\x00\x00\x01", 4), 0);
}

TEST(EpRawSock, UdpPacketsCarryAVerifiedPseudoHeaderChecksum)
{
    RUN_IN_NETNS([] {
        Core c;
        int rv = 1;
        int para = 0;
        iodev_t* dev = eprawsock_client(c.core, &para, IPPROTO_RAW, &rv);
        CHECK(dev != nullptr);
        if (!dev) return;
        CHECK_EQ(rv, 0);
        CHECK_EQ(iodev_fdtype(dev), IODEV_RAW_SOCKET);
        CHECK_EQ(dev->iostate, IOSTATE_READY);
        CHECK_EQ(iodev_rwflag(dev), WATCH_READ);
        CHECK_EQ(dev->bindtype, BIND_SELECT);
        CHECK(dev->callback == nullptr);
        CHECK(iodev_para(dev) == &para);
        CHECK_EQ(sock_nonblock_get(iodev_fd(dev)), 1);
        int on = 0;
        socklen_t l = sizeof on;
        CHECK_EQ(getsockopt(iodev_fd(dev), IPPROTO_IP, IP_HDRINCL, &on, &l), 0);
        CHECK_EQ(on, 1);
        for (int opt : {SO_SNDTIMEO, SO_RCVTIMEO}) {
            struct timeval tv = {};
            l = sizeof tv;
            CHECK_EQ(getsockopt(iodev_fd(dev), SOL_SOCKET, opt, &tv, &l), 0);
            CHECK_EQ(tv.tv_sec, 1); /* one second, not a value read as garbage */
            CHECK_EQ(tv.tv_usec, 0);
        }

        int cap = capture(IPPROTO_UDP);
        int rx = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(40001);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        CHECK_EQ(bind(rx, (sockaddr*)&a, sizeof a), 0);
        struct timeval tv = {2, 0};
        setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

        for (size_t len : {0, 1, 5, 1000}) {
            Bytes data(len);
            for (size_t i = 0; i < len; i++) data[i] = (uint8_t)(i * 7 + 3);
            CHECK_EQ(eprawsock_send_udp(dev, "127.0.0.1", 40000, "127.0.0.1", 40001, data.data(), (int)len), 0);
            Bytes b = next_packet(cap, [](const Bytes& p) { return p.size() >= 28 && be16(&p[22]) == 40001; });
            check_ip(b, 28 + len, 250, IPPROTO_UDP);
            if (b.size() != 28 + len) continue;
            CHECK_EQ(be16(&b[20]), 40000);
            CHECK_EQ(be16(&b[24]), 8 + len);
            CHECK(be16(&b[26]) != 0);
            uint8_t pseudo[12];
            memcpy(pseudo, &b[12], 8);
            pseudo[8] = 0;
            pseudo[9] = IPPROTO_UDP;
            pseudo[10] = (uint8_t)((8 + len) >> 8);
            pseudo[11] = (uint8_t)(8 + len);
            CHECK_EQ(fold(&b[20], 8 + len, fold(pseudo, 12)), 0xffff);
            CHECK(Bytes(b.begin() + 28, b.end()) == data);
            /* The kernel's own UDP layer takes it too. */
            uint8_t got[1100];
            CHECK_EQ(recv(rx, got, sizeof got, 0), (ssize_t)len);
        }
        close(rx);
        close(cap);
        iodev_close(dev);
    });
}

TEST(EpRawSock, IcmpEchoRequestWithFourBytesIs36BytesAndVerifies)
{
    RUN_IN_NETNS([] {
        Core c;
        int rv = 1;
        iodev_t* dev = eprawsock_client(c.core, nullptr, IPPROTO_ICMP, &rv);
        CHECK(dev != nullptr);
        if (!dev) return;
        int cap = capture(IPPROTO_ICMP);
        const uint8_t data[4] = {0xde, 0xad, 0xbe, 0xef};
        uint16_t id = 0x1234, seq = 0x0102;
        uint64_t before = now_ms();
        CHECK_EQ(eprawsock_send_icmp(dev, "127.0.0.1", "127.0.0.1", 8, id, seq, data, 4), 0);
        Bytes b = next_packet(cap, [](const Bytes& p) { return p.size() > 20 && p[20] == 8; });
        check_ip(b, 36, 255, IPPROTO_ICMP);
        if (b.size() != 36) return;
        const uint8_t* icmp = &b[20];
        CHECK_EQ(icmp[0], 8);
        CHECK_EQ(icmp[1], 0);
        CHECK_EQ(fold(icmp, 16), 0xffff);
        CHECK_EQ(memcmp(icmp + 4, &id, 2), 0); /* stored as given */
        CHECK_EQ(memcmp(icmp + 6, &seq, 2), 0);
        uint32_t stamp;
        memcpy(&stamp, icmp + 8, 4);
        CHECK((uint32_t)(stamp - (uint32_t)before) <= 2000u);
        CHECK_EQ(memcmp(icmp + 12, data, 4), 0);
        /* The namespace's own stack answers the request. */
        Bytes reply = next_packet(cap, [](const Bytes& p) { return p.size() > 20 && p[20] == 0; });
        CHECK_EQ(reply.size(), 36u);
        close(cap);
        iodev_close(dev);
    });
}

struct Arrived {
    int events = 0, fdtype = 0;
    size_t bytes = 0;
};

int on_packet(void* cbpara, void* obj, int event, int fdtype)
{
    auto* a = static_cast<Arrived*>(cbpara);
    a->events += event == EVT_READ;
    a->fdtype = fdtype;
    uint8_t buf[2048];
    ssize_t n;
    while ((n = recv(iodev_fd(static_cast<iodev_t*>(obj)), buf, sizeof buf, 0)) > 0) a->bytes += (size_t)n;
    return 0;
}

TEST(EpRawSock, ArrivingPacketsReachTheHandlerSetByNotify)
{
    RUN_IN_NETNS([] {
        Core c;
        ManualPump mp(c.core);
        int rv = 1;
        iodev_t* dev = eprawsock_client(c.core, nullptr, IPPROTO_UDP, &rv);
        CHECK(dev != nullptr);
        if (!dev) return;
        CHECK(iodev_evpump(dev) == mp.pump);
        Arrived a;
        CHECK_EQ(eprawsock_notify(dev, 0, on_packet, &a), 0);
        CHECK_EQ(eprawsock_notify(nullptr, 0, on_packet, &a), -1);
        CHECK_EQ(eprawsock_send_udp(dev, "127.0.0.1", 5000, "127.0.0.1", 5001, "abc", 3), 0);
        for (int i = 0; i < 20 && a.events == 0; i++) mp.pass(100);
        CHECK_EQ(a.events, 1);
        CHECK_EQ(a.fdtype, IODEV_RAW_SOCKET);
        CHECK_EQ(a.bytes, 31u); /* its own packet, IP header included */
        iodev_close(dev);
    });
}

TEST(EpRawSock, RefusedArgumentsAndFailedSends)
{
    RUN_IN_NETNS([] {
        Core c;
        int rv = 1;
        CHECK(eprawsock_client(nullptr, nullptr, IPPROTO_RAW, &rv) == nullptr);
        CHECK_EQ(rv, -1);
        CHECK(eprawsock_client(c.core, nullptr, -1, &rv) == nullptr);
        CHECK_EQ(rv, -200);
        iodev_t* dev = eprawsock_client(c.core, nullptr, IPPROTO_RAW, &rv);
        CHECK(dev != nullptr);
        if (!dev) return;
        const char d[] = "x";
        struct {
            const char* src;
            const char* dst;
            const void* data;
            int len;
            int want;
        } cases[] = {
            {nullptr, "127.0.0.1", d, 1, -1},
            {"127.0.0.1", "127.0.0.1", nullptr, 1, -1},
            {"127.0.0.1", "127.0.0.1", d, -1, -1},
            {"127.0.0.1", "127.0.0.1", d, 65535 - 27, -1}, /* the length field would wrap */
            {"127.0.0.1", "localhost", d, 1, -100},
            {"127.0.0.1", "1.2.3", d, 1, -100},
            {"127.0.0.1", "10.1.2.3", d, 1, -100},         /* no route in the namespace */
        };
        for (auto& k : cases) {
            CHECK_EQ(eprawsock_send_udp(dev, k.src, 1, k.dst, 2, k.data, k.len), k.want);
            CHECK_EQ(eprawsock_send_icmp(dev, k.src, k.dst, 8, 1, 1, k.data, k.len), k.want);
        }
        CHECK_EQ(eprawsock_send_udp(nullptr, "127.0.0.1", 1, "127.0.0.1", 2, d, 1), -1);
        iodev_close(dev);
    });
}

} // namespace
