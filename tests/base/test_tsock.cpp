// Socket helpers: address parsing and records, option records, readiness
// waits (select and poll forms), listening/connecting and the transfer loops
// over loopback connections.
#include "tsock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "memory.h"
#include "base/pumptest.h"
#include "base/tmpdir.h"

using pumptest::free_tcp_port;
using testfs::Fd;

namespace {

int local_port(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    getsockname(fd, (sockaddr*)&ss, &len);
    return sock_addr_port((sockaddr*)&ss);
}

// A connected TCP pair on 127.0.0.1.
void tcp_pair(Fd& client, Fd& server)
{
    Fd lst(tcp_listen("127.0.0.1", 0, nullptr, nullptr, nullptr));
    ASSERT_GE(lst.fd, 0);
    sockattr_t attr{};
    client.reset(tcp_connect("127.0.0.1", local_port(lst), nullptr, 0, &attr));
    ASSERT_GE(client.fd, 0);
    EXPECT_EQ(attr.fd, client.fd);
    server.reset(accept(lst, nullptr, nullptr));
    ASSERT_GE(server.fd, 0);
}

// Small buffers let a peer that does not read fill the connection with far
// less than a test sends (much smaller ones make loopback crawl).
void small_bufs(int a, int b)
{
    int size = 65536;
    for (int fd : {a, b}) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
}

std::vector<char> pattern(size_t n)
{
    std::vector<char> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (char)(i * 131 + i / 256);
    return v;
}

// Reads n bytes with plain blocking reads (the peer side of a test).
std::vector<char> read_all(int fd, size_t n)
{
    std::vector<char> out;
    char buf[65536];
    while (out.size() < n) {
        ssize_t r = recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

}  // namespace

// ------------------------------------------------------------ addresses

TEST(TsockParse, Ipv4TextTable)
{
    struct Case { const char* text; int len; int ret; const char* addr; };
    const Case cases[] = {
        {"255.255.255.255", -1, 15, "255.255.255.255"},
        {"010.0.0.1", -1, 9, "10.0.0.1"},  // leading zeros are decimal
        {"10.0.0.1:80", -1, 8, "10.0.0.1"},
        {"1.2.3.4x", -1, 7, "1.2.3.4"},
        {"1.2.3.4", 5, -104, nullptr},     // the length cuts after "1.2.3"
        {"256.1.1.1", -1, -103, nullptr}, {"1.2.3.2555", -1, -103, nullptr},
        {"1.2.3", -1, -104, nullptr},     {"1.2.3.", -1, -104, nullptr},
        {"1..2.3", -1, -100, nullptr},    {".1.2.3", -1, -100, nullptr},
        {"1.2.3.4.5", -1, -101, nullptr}, {"1.2.x.4", -1, -102, nullptr},
        {"abc", -1, -102, nullptr},       {"", -1, -2, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t in = 0xdeadbeef;
        int used = -7;
        EXPECT_EQ(sock_inet_addr_parse(c.text, c.len, &in, &used), c.ret);
        EXPECT_EQ(in, c.addr ? inet_addr(c.addr) : 0xdeadbeefu);  // untouched on failure
        EXPECT_EQ(used, c.addr ? c.ret : 0);
    }
}

TEST(TsockParse, Ipv6TextTable)
{
    struct Case { const char* text; int ret; const char* canon; };
    const Case cases[] = {
        {"::1", 3, "::1"}, {"::", 2, "::"}, {"1::", 3, "1::"},
        {"1:2:3:4:5:6:7:8", 15, "1:2:3:4:5:6:7:8"},
        {"fe80::ABCD:12", 13, "fe80::abcd:12"},
        {"::ffff:1.2.3.4", 14, "::ffff:1.2.3.4"},
        {"1:2:3:4:5:6:1.2.3.4", 19, "1:2:3:4:5:6:1.2.3.4"},
        {"1::2:3:4:5:6:7:8", -200, nullptr}, {"1:2:3:4:5:6:7", -200, nullptr},
        {"1:2:3:4:5:6:7:8:9", -100, nullptr}, {"1::2::3", -100, nullptr},
        {"1:2:3:4:5:6:7:1.2.3.4", -101, nullptr}, {"1.2.3.4", -101, nullptr},
        {"::1.2.3", -102, nullptr}, {"::1.2.3.4x", -102, nullptr},
        {"12345::", -103, nullptr}, {"::g", -104, nullptr},
        {":", -105, nullptr}, {"1:2:", -105, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint8_t out[16], want[16];
        memset(out, 0xAA, sizeof(out));
        int used = -7;
        EXPECT_EQ(sock_inet6_addr_parse(c.text, -1, out, &used), c.ret);
        EXPECT_EQ(used, c.canon ? c.ret : 0);
        if (!c.canon) {
            EXPECT_EQ(out[0], 0xAA);
            continue;
        }
        ASSERT_EQ(inet_pton(AF_INET6, c.canon, want), 1);
        EXPECT_EQ(memcmp(out, want, 16), 0);
    }
}

TEST(TsockParse, Ipv6AgreesWithInetPtonOnRandomAddresses)
{
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; round++) {
        uint8_t a[16], out[16];
        for (auto& b : a) b = rng() % 4 == 0 ? (uint8_t)rng() : 0;  // many zero groups
        char text[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, a, text, sizeof(text)), nullptr);
        std::string forms[3] = {text, text, ""};
        for (char& ch : forms[1]) ch = (char)toupper((unsigned char)ch);
        for (int g = 0; g < 8; g++) {  // uncompressed, with leading zeros
            char part[8];
            snprintf(part, sizeof(part), "%s%04x", g ? ":" : "", a[2 * g] << 8 | a[2 * g + 1]);
            forms[2] += part;
        }
        for (const std::string& f : forms) {
            ASSERT_EQ(sock_inet6_addr_parse(f.c_str(), (int)f.size(), out, nullptr), (int)f.size()) << f;
            ASSERT_EQ(memcmp(out, a, 16), 0) << f;
        }
    }
}

TEST(TsockAddr, ParseAndRecordConversions)
{
    ep_sockaddr_t a;
    memset(&a, 0x5A, sizeof(a));  // next must be cleared too
    ASSERT_EQ(sock_addr_parse("192.168.7.9", -1, 8080, &a), 1);
    EXPECT_EQ(a.family, AF_INET);
    EXPECT_EQ(a.socklen, 16);
    EXPECT_EQ(a.u.addr4.sin_port, htons(8080));
    EXPECT_EQ(a.u.addr4.sin_addr.s_addr, inet_addr("192.168.7.9"));
    EXPECT_EQ(a.next, nullptr);

    ASSERT_EQ(sock_addr_parse("2001:db8::7", -1, 53, &a), 1);
    EXPECT_EQ(a.socklen, 28);
    EXPECT_EQ(sock_addr_port(&a.u.addr), 53);
    char text[SOCK_ADDR_TEXT_LEN];
    ASSERT_EQ(sock_addr_ntop(&a.u.addr, text), 0);
    EXPECT_STREQ(text, "2001:db8::7");
    ep_sockaddr_t b{};
    sock_addr_to_epaddr(&a.u.addr, &b);
    EXPECT_EQ(b.socklen, 28);
    EXPECT_EQ(memcmp(&b.u.addr6, &a.u.addr6, 28), 0);

    sockaddr_un su{};
    su.sun_family = AF_UNIX;
    sock_addr_to_epaddr((sockaddr*)&su, &b);
    EXPECT_EQ(b.family, AF_UNIX);  // family for any family, nothing copied
    EXPECT_EQ(b.socklen, 28);
    char buf[SOCK_ADDR_TEXT_LEN] = "unchanged";
    EXPECT_EQ(sock_addr_ntop((sockaddr*)&su, buf), -1);
    EXPECT_STREQ(buf, "unchanged");
    EXPECT_EQ(sock_addr_port((sockaddr*)&su), 0);
}

TEST(TsockAddr, AcquireChainsEachAddressOnce)
{
    ep_sockaddr_t a;
    memset(&a, 0x5A, sizeof(a));  // a stale next must not be walked
    ASSERT_EQ(sock_addr_acquire(&a, "::1", 81, SOCK_DGRAM), 1);
    EXPECT_EQ(a.family, AF_INET6);
    EXPECT_EQ(a.next, nullptr);

    // Socket type 0 returns every address once per socket type.
    addrinfo hints{};
    addrinfo* res = nullptr;
    ASSERT_EQ(getaddrinfo("localhost", "99", &hints, &res), 0);
    std::set<std::string> distinct;
    for (addrinfo* ai = res; ai; ai = ai->ai_next)
        if (ai->ai_family == AF_INET || ai->ai_family == AF_INET6)
            distinct.insert(std::string((char*)ai->ai_addr, ai->ai_addrlen));
    freeaddrinfo(res);
    int n = sock_addr_acquire(&a, "localhost", 99, 0);
    ASSERT_EQ(n, (int)distinct.size());
    std::set<std::string> seen;
    for (ep_sockaddr_t* p = &a; p; p = p->next)
        EXPECT_TRUE(seen.insert(std::string((char*)&p->u, p->socklen)).second);
    EXPECT_EQ((int)seen.size(), n);
    sock_addr_freenext(&a);
    EXPECT_EQ(a.next, nullptr);
    EXPECT_EQ(sock_addr_acquire(&a, "localhost", 1, 12345), -100);  // bad socket type

    char ip[SOCK_ADDR_TEXT_LEN] = "";
    int port = 0;
    EXPECT_EQ(sock_addr_get("127.0.0.1 trailing", 9, 8080, SOCK_STREAM, ip, &port, &a), 1);
    EXPECT_STREQ(ip, "127.0.0.1");
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(a.next, nullptr);
    EXPECT_EQ(sock_addr_get("localhost", -1, 1, 12345, ip, &port, nullptr), -1);
    std::string longname(3000, 'a');  // cut to 1023 characters, no overrun
    EXPECT_EQ(sock_addr_get(longname.c_str(), -1, 1, 12345, nullptr, nullptr, nullptr), -1);
}

TEST(TsockAddr, AddrinfoPrintLine)
{
    sockaddr_in s4{};
    s4.sin_family = AF_INET;
    s4.sin_port = htons(9900);
    s4.sin_addr.s_addr = inet_addr("10.0.0.5");
    addrinfo ai{};
    ai.ai_family = AF_INET;
    ai.ai_socktype = SOCK_STREAM;
    ai.ai_protocol = IPPROTO_TCP;
    ai.ai_addr = (sockaddr*)&s4;
    ai.ai_addrlen = sizeof(s4);
    ai.ai_flags = 1;
    testing::internal::CaptureStdout();
    addrinfo_print(&ai);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "AF_INET SOCK_STREAM IPPROTO_TCP 10.0.0.5:9900 SockLen: 16  AI_Flags: 1\n");
}

TEST(TsockAddr, SelfAddrMatchesInterfaceTable)
{
    AddrItem items[32];
    memset(items, 0, sizeof(items));
    EXPECT_EQ(get_selfaddr(0, items), 0);
    int n = get_selfaddr(32, items);
    ifaddrs* ifa = nullptr;
    ASSERT_EQ(getifaddrs(&ifa), 0);
    int expected = 0;
    for (ifaddrs* p = ifa; p; p = p->ifa_next)
        expected += p->ifa_addr && p->ifa_addr->sa_family == AF_INET && strcmp(p->ifa_name, "lo") != 0;
    EXPECT_EQ(n, std::min(expected, 32));
    for (int i = 0; i < n; i++) {
        SCOPED_TRACE(items[i].ifac);
        const ifaddrs* match = nullptr;
        for (ifaddrs* p = ifa; p; p = p->ifa_next)
            if (p->ifa_addr && p->ifa_addr->sa_family == AF_INET && !strcmp(p->ifa_name, items[i].ifac) &&
                ((sockaddr_in*)p->ifa_addr)->sin_addr.s_addr == items[i].addr.u.addr4.sin_addr.s_addr)
                match = p;
        ASSERT_NE(match, nullptr);
        EXPECT_EQ(items[i].addr.socklen, 16);
        EXPECT_STREQ(items[i].ipstr, inet_ntoa(items[i].addr.u.addr4.sin_addr));
        // The mask is the interface's own, not a copy of its address.
        EXPECT_EQ(items[i].netmask.u.addr4.sin_addr.s_addr,
                  ((sockaddr_in*)match->ifa_netmask)->sin_addr.s_addr);
        EXPECT_GT(items[i].mtu, 0);
    }
    freeifaddrs(ifa);

    kmem_fail_after(0);
    EXPECT_EQ(get_selfaddr(4, items), -60);
    kmem_fail_after(-1);
}

// ------------------------------------------------------------- options

TEST(TsockOption, SetAppliesSelectedOptionsAndStoresResults)
{
    Fd s(socket(AF_INET, SOCK_STREAM, 0));

    sockopt_t o;
    memset(&o, 0, sizeof(o));
    o.mask = SOCKOPT_REUSEADDR | SOCKOPT_SNDBUF | SOCKOPT_RCVTIMEO | SOCKOPT_SNDTIMEO |
             SOCKOPT_NODELAY | SOCKOPT_IPV6ONLY | SOCKOPT_NOPUSH;
    o.reuseaddr = 1;
    o.sndbuf = 65536;
    o.rcvtimeo = 1500;
    o.sndtimeo = 0;  // not above 0: left alone
    o.sndtimeo_ret = 77;
    o.nodelay = 1;
    o.ipv6only = 1;  // fails on an IPv4 socket: reported in its field only
    o.nopush_ret = 55;
    o.keepalive_ret = 66;  // not selected
    EXPECT_EQ(sock_option_set(s, &o), 0);
    EXPECT_EQ(o.reuseaddr_ret, 0);
    EXPECT_EQ(o.sndbuf_ret, 0);
    EXPECT_EQ(o.rcvtimeo_ret, 0);
    EXPECT_EQ(o.sndtimeo_ret, 77);
    EXPECT_EQ(o.nodelay_ret, 0);
    EXPECT_EQ(o.ipv6only_ret, -1);
    EXPECT_EQ(o.nopush_ret, 55);
    EXPECT_EQ(o.keepalive_ret, 66);

    int v = 0;
    socklen_t l = sizeof(v);
    getsockopt(s, SOL_SOCKET, SO_SNDBUF, &v, &l);
    EXPECT_GE(v, 65536);
    getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &v, &l);
    EXPECT_NE(v, 0);
    timeval tv{};
    l = sizeof(tv);
    getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, &l);
    EXPECT_EQ(tv.tv_sec, 1);
    EXPECT_EQ(tv.tv_usec, 500000);
}

// ------------------------------------------------------------- waits

TEST(TsockWait, ReadinessAndOpenState)
{
    Fd c, s;
    tcp_pair(c, s);
    EXPECT_EQ(sock_read_ready(s, 20), 0);
    EXPECT_EQ(sock_write_ready(c, 1000), 1);
    ASSERT_EQ(send(c, "x", 1, 0), 1);
    EXPECT_EQ(sock_read_ready(s, 5000), 1);
    EXPECT_EQ(sock_is_open(s), 1);
    EXPECT_EQ(tcp_connected(c), 1);

    int dead = dup(s);
    close(dead);
    EXPECT_EQ(sock_is_open(dead), 0);
    EXPECT_EQ(sock_read_ready(dead, 10), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(TsockWait, HighDescriptorIsWaitedWithPollAlike)
{
    const int high = 1500;
    rlimit rl{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_cur <= (rlim_t)high) {
        rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, 4096);
        if (rl.rlim_cur <= (rlim_t)high || setrlimit(RLIMIT_NOFILE, &rl) != 0)
            GTEST_SKIP() << "cannot raise the descriptor limit";
    }
    ASSERT_LT(fcntl(high, F_GETFD), 0) << "descriptor already in use";
    Fd c, s;
    tcp_pair(c, s);
    ASSERT_EQ(dup2(s, high), high);
    Fd h(high);

    EXPECT_EQ(sock_read_ready(h, 20), 0);
    EXPECT_EQ(sock_write_ready(h, 1000), 1);
    EXPECT_EQ(sock_is_open(h), 1);
    ASSERT_EQ(send(c, "abcd", 4, 0), 4);
    char buf[8];
    int got = -1;
    EXPECT_EQ(tcp_recv(h, buf, 4, 2000, &got), 4);
    EXPECT_EQ(tcp_recv(h, buf, 4, 30, &got), 0);  // time-out through poll
    EXPECT_EQ(tcp_send(h, "wxyz", 4, 2000, &got), 4);
    EXPECT_EQ(read_all(c, 4), std::vector<char>({'w', 'x', 'y', 'z'}));

    h.reset();  // a closed high descriptor fails like a closed low one
    EXPECT_EQ(sock_is_open(high), 0);
    EXPECT_EQ(sock_read_ready(high, 10), -1);
    EXPECT_EQ(tcp_recv(high, buf, 4, 100, &got), -100);
    EXPECT_EQ(tcp_send(high, "x", 1, 100, &got), -100);
}

// --------------------------------------------------------- transfers

TEST(TsockTransfer, NbRecvReportsDataThenPeerClose)
{
    Fd c, s;
    tcp_pair(c, s);
    sock_nonblock_set(s, 1);
    char buf[64];
    int got = -1;
    EXPECT_EQ(tcp_nb_recv(s, buf, sizeof(buf), &got), 0);  // nothing waits

    ASSERT_EQ(send(c, "hello", 5, 0), 5);
    c.reset();
    pollfd p{s, POLLRDHUP, 0};  // wait for the FIN behind the data
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(tcp_nb_recv(s, buf, 0, &got), 0);  // does not touch the socket
    EXPECT_EQ(sock_unread_data(s), 5);
    EXPECT_EQ(tcp_nb_recv(s, buf, sizeof(buf), &got), 5);
    EXPECT_EQ(got, 5);
    EXPECT_EQ(memcmp(buf, "hello", 5), 0);
    EXPECT_EQ(tcp_nb_recv(s, buf, sizeof(buf), &got), -20);
    EXPECT_EQ(got, 0);
}

TEST(TsockTransfer, NbSendToFullBufferReturnsPartialCount)
{
    Fd c, s;
    tcp_pair(c, s);
    small_bufs(c, s);
    sock_nonblock_set(c, 1);
    std::vector<char> data = pattern(1 << 20);
    int got = -1;
    int n = tcp_nb_send(c, data.data(), (int)data.size(), &got);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, (int)data.size());
    EXPECT_EQ(got, n);
    EXPECT_EQ(tcp_nb_send(c, data.data() + n, 1000, &got), 0);  // still full: no error
    EXPECT_EQ(read_all(s, n), std::vector<char>(data.begin(), data.begin() + n));
}

TEST(TsockTransfer, TimedSendTimesOutThenCompletesWhilePeerDrains)
{
    Fd c, s;
    tcp_pair(c, s);
    small_bufs(c, s);
    std::vector<char> data = pattern(1 << 20);
    int got = -1;
    EXPECT_EQ(tcp_send(c, data.data(), (int)data.size(), 100, &got), 0);  // nobody reads
    int first = got;
    ASSERT_GT(first, 0);
    ASSERT_LT(first, (int)data.size());
    std::vector<char> received;
    std::thread reader([&] { received = read_all(s, data.size()); });
    int n = tcp_send(c, data.data() + first, (int)data.size() - first, 0, &got);
    reader.join();
    EXPECT_EQ(n, (int)data.size() - first);
    EXPECT_EQ(got, n);
    EXPECT_EQ(received, data);

    s.reset();  // a closed peer ends in an error, sooner or later
    int r = 0;
    for (int i = 0; i < 100 && r >= 0; i++) r = tcp_send(c, data.data(), 65536, 2000, &got);
    EXPECT_EQ(r, -30);
}

TEST(TsockTransfer, TimedRecvGathersCountAndKeepsItOnTimeOutAndClose)
{
    Fd c, s;
    tcp_pair(c, s);
    std::vector<char> data = pattern(300000);
    std::thread writer([&] {
        for (size_t off = 0; off < data.size(); off += 70000)
            send(c, data.data() + off, std::min<size_t>(70000, data.size() - off), 0);
    });
    std::vector<char> buf(data.size());
    int got = -1;
    EXPECT_EQ(tcp_recv(s, buf.data(), (int)buf.size(), 10000, &got), (int)data.size());
    writer.join();
    EXPECT_EQ(buf, data);

    ASSERT_EQ(send(c, "abc", 3, 0), 3);
    EXPECT_EQ(tcp_recv(s, buf.data(), 10, 100, &got), 0);  // 3 of 10 came
    EXPECT_EQ(got, 3);
    ASSERT_EQ(send(c, "defg", 4, 0), 4);
    c.reset();
    EXPECT_EQ(tcp_recv(s, buf.data(), 10, 5000, &got), -20);
    EXPECT_EQ(got, 4);
    EXPECT_EQ(memcmp(buf.data(), "defg", 4), 0);
}

TEST(TsockTransfer, RecvWithoutCountOrLimitTakesWhatIsThere)
{
    Fd c, s;
    tcp_pair(c, s);
    std::vector<char> buf(1048576);
    int got = -1;
    EXPECT_EQ(tcp_recv(s, buf.data(), 0, 0, &got), 0);  // blocking socket, yet no wait
    ASSERT_EQ(send(c, "xyz", 3, 0), 3);
    ASSERT_EQ(sock_read_ready(s, 5000), 1);
    EXPECT_EQ(tcp_recv(s, buf.data(), 0, 0, &got), 3);
}

TEST(TsockTransfer, WritevWouldBlockKeepsCountAndResumes)
{
    Fd c, s;
    tcp_pair(c, s);
    char a[] = "first-", e[] = "-last";
    iovec few[3] = {{a, 6}, {nullptr, 0}, {e, 5}};
    int got = -1, err = 0;
    EXPECT_EQ(tcp_writev(c, few, 3, &got, &err), 11);
    std::vector<char> r = read_all(s, 11);
    EXPECT_EQ(std::string(r.begin(), r.end()), "first--last");

    small_bufs(c, s);
    sock_nonblock_set(c, 1);
    std::vector<char> all = pattern(1 << 20);
    iovec iov[2] = {{all.data(), all.size() / 2}, {all.data() + all.size() / 2, all.size() / 2}};
    EXPECT_EQ(tcp_writev(c, iov, 2, &got, &err), 0);
    EXPECT_GT(got, 0);
    EXPECT_EQ(err, EAGAIN);
    // The vectors now describe what is left: finish while the peer reads.
    int total = got;
    std::vector<char> received;
    std::thread reader([&] { received = read_all(s, all.size()); });
    while (total < (int)all.size()) {
        ASSERT_EQ(sock_write_ready(c, 5000), 1);
        ASSERT_GE(tcp_writev(c, iov, 2, &got, &err), 0);
        total += got;
    }
    reader.join();
    EXPECT_EQ(received, all);
}

TEST(TsockTransfer, SendfileSendsBoundedFileRange)
{
    char path[] = "/tmp/tsock-sendfile-XXXXXX";
    Fd f(mkstemp(path));
    ASSERT_GE(f.fd, 0);
    unlink(path);
    std::vector<char> data = pattern(100000);
    ASSERT_EQ(write(f, data.data(), data.size()), (ssize_t)data.size());
    Fd c, s;
    tcp_pair(c, s);
    int got = -1, err = 0;
    EXPECT_EQ(tcp_sendfile(c, f, 1000, 5000, &got, &err), 5000);
    EXPECT_EQ(read_all(s, 5000), std::vector<char>(data.begin() + 1000, data.begin() + 6000));
    EXPECT_EQ(tcp_sendfile(c, f, 99000, 1 << 30, &got, &err), 1000);  // cut at the end
    EXPECT_EQ(read_all(s, 1000), std::vector<char>(data.end() - 1000, data.end()));
    EXPECT_EQ(tcp_sendfile(c, f, 100000, 10, &got, &err), 0);
    EXPECT_EQ(tcp_sendfile(c, 987, 0, 10, &got, &err), -3);
}

// ------------------------------------------------ listening, connecting

TEST(TsockListen, ShortLocalAddressListensOnAllAddresses)
{
    for (const char* any : {"", "*"}) {
        SCOPED_TRACE(any);
        int port = free_tcp_port();
        sockattr_t list[8];
        int num = 8;
        int last = tcp_listen(any, port, nullptr, list, &num);
        ASSERT_GE(num, 1);
        std::vector<Fd> keep(num);
        bool wildcard4 = false;
        for (int i = 0; i < num; i++) {
            keep[i].reset(list[i].fd);
            EXPECT_EQ(local_port(list[i].fd), port);
            sockaddr_in sa{};
            socklen_t l = sizeof(sa);
            getsockname(list[i].fd, (sockaddr*)&sa, &l);
            wildcard4 |= sa.sin_family == AF_INET && sa.sin_addr.s_addr == htonl(INADDR_ANY);
        }
        EXPECT_TRUE(wildcard4);
        EXPECT_TRUE(last == -1 || last == list[num - 1].fd);
        Fd c(tcp_connect("127.0.0.1", port, nullptr, 0, nullptr));
        EXPECT_GE(c.fd, 0);
    }
}

TEST(TsockListen, ListCapacityOptionsAndBusyPort)
{
    sockattr_t list[1];
    int num = 0;  // no room: the socket is returned unrecorded
    Fd a(tcp_listen("127.0.0.1", 0, nullptr, list, &num));
    EXPECT_GE(a.fd, 0);
    EXPECT_EQ(num, 0);

    sockopt_t o;
    memset(&o, 0, sizeof(o));
    o.mask = SOCKOPT_BACKLOG | SOCKOPT_RCVBUF;
    o.backlog = 3;
    o.rcvbuf = 8192;
    num = 1;
    Fd b(tcp_listen("127.0.0.1", 0, &o, list, &num));
    ASSERT_EQ(num, 1);
    EXPECT_EQ(list[0].fd, b.fd);
    EXPECT_EQ(list[0].protocol, IPPROTO_TCP);
    EXPECT_EQ(o.rcvbuf_ret, 0);
    // b allowed no reuse: neither the record nor the default options share its port.
    EXPECT_EQ(tcp_listen("127.0.0.1", local_port(b), &o, nullptr, nullptr), -1);
    EXPECT_EQ(tcp_listen("127.0.0.1", local_port(b), nullptr, nullptr, nullptr), -1);

    num = 4;
    sockattr_t ul[4];
    Fd u(udp_listen("127.0.0.1", 0, nullptr, ul, &num));
    ASSERT_EQ(num, 1);
    EXPECT_EQ(ul[0].socktype, SOCK_DGRAM);
    ep_sockaddr_t dst;
    ASSERT_EQ(sock_addr_parse("127.0.0.1", -1, local_port(u), &dst), 1);
    Fd out(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_EQ(sendto(out, "ping", 4, 0, &dst.u.addr, dst.socklen), 4);
    ASSERT_EQ(sock_read_ready(u, 5000), 1);
    EXPECT_EQ(sock_unread_data(u), 4);
}

TEST(TsockConnect, RefusedNonBlockingAndResolvedForms)
{
    EXPECT_EQ(tcp_connect("127.0.0.1", free_tcp_port(), nullptr, 0, nullptr), -1);  // refused
    Fd lst(tcp_listen("127.0.0.1", 0, nullptr, nullptr, nullptr));
    int port = local_port(lst);
    int succ = -1;
    Fd nb(tcp_nb_connect("127.0.0.1", port, nullptr, 0, &succ, nullptr));
    ASSERT_GE(nb.fd, 0);
    EXPECT_TRUE(succ == 0 || succ == 1);
    EXPECT_EQ(sock_nonblock_get(nb), 1);
    ASSERT_EQ(sock_write_ready(nb, 5000), 1);
    EXPECT_EQ(tcp_connected(nb), 1);

    ep_sockaddr_t dst;  // parsed text carries no socket type
    ASSERT_EQ(sock_addr_parse("127.0.0.1", -1, port, &dst), 1);
    Fd ep(tcp_ep_connect(&dst, 0, nullptr, 0, nullptr, &succ));
    ASSERT_GE(ep.fd, 0);
    EXPECT_EQ(succ, 1);
    ASSERT_EQ(sock_addr_parse("127.0.0.1", -1, free_tcp_port(), &dst), 1);
    EXPECT_EQ(tcp_ep_connect(&dst, 0, nullptr, 0, nullptr, &succ), -1);
}

TEST(TsockConnect, LocalBindUsesTheConnectingFamily)
{
    // A port without an address binds the wildcard address of the
    // connecting socket's own family, for IPv4 and IPv6 alike.
    for (const char* host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        Fd lst(tcp_listen(host, 0, nullptr, nullptr, nullptr));
        if (lst.fd < 0) continue;  // no IPv6 loopback here
        int lport = free_tcp_port();
        Fd a(tcp_connect(host, local_port(lst), nullptr, lport, nullptr));
        ASSERT_GE(a.fd, 0);
        EXPECT_EQ(local_port(a), lport);
    }
    Fd lst(tcp_listen("127.0.0.1", 0, nullptr, nullptr, nullptr));
    int port = local_port(lst);
    Fd b(tcp_connect("127.0.0.1", port, "127.0.0.1", 0, nullptr));
    EXPECT_GE(b.fd, 0);
    EXPECT_EQ(tcp_connect("127.0.0.1", port, "::1", 0, nullptr), -1);  // other family

    ep_sockaddr_t dst;
    ASSERT_EQ(sock_addr_parse("127.0.0.1", -1, port, &dst), 1);
    int lport = free_tcp_port();
    Fd c(tcp_ep_connect(&dst, 1, "127.0.0.1", lport, nullptr, nullptr));
    ASSERT_GE(c.fd, 0);
    EXPECT_EQ(local_port(c), lport);
}
