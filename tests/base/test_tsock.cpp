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
#include "main/netns.h"

using testfs::Fd;

namespace {

int local_port(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    getsockname(fd, (sockaddr*)&ss, &len);
    return sock_addr_port((sockaddr*)&ss);
}

// A connected TCP pair on 127.0.0.1; small_bufs lets a peer that does not
// read fill the connection with far less than a test sends.
void tcp_pair(Fd& client, Fd& server, bool small_bufs = false)
{
    Fd lst(tcp_listen("127.0.0.1", 0, nullptr, nullptr, nullptr));
    ASSERT_GE(lst.fd, 0);
    sockattr_t attr{};
    client.reset(tcp_connect("127.0.0.1", local_port(lst), nullptr, 0, &attr));
    ASSERT_GE(client.fd, 0);
    EXPECT_EQ(attr.fd, client.fd);
    server.reset(accept(lst, nullptr, nullptr));
    ASSERT_GE(server.fd, 0);
    int size = 65536;
    for (int fd : {client.fd, server.fd})
        for (int opt : {SO_SNDBUF, SO_RCVBUF})
            if (small_bufs) setsockopt(fd, SOL_SOCKET, opt, &size, sizeof(size));
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

// Plain and compressed forms are covered by the random test below.
TEST(TsockParse, Ipv6DottedTailsAndFailures)
{
    struct Case { const char* text; int ret; const char* canon; };
    const Case cases[] = {
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

TEST(TsockAddr, ParseTakesOnlyTextThatIsWhollyAnAddress)
{
    // A name that merely starts with a dotted quad, or an address with a
    // port, must go to name resolution, not be taken as the leading address.
    struct Case {
        const char* text;
        int len;
        int want;
        int family;
    } cases[] = {
        {"1.2.3.4", -1, 1, AF_INET},
        {"2001:db8::7", -1, 1, AF_INET6},
        {"::ffff:1.2.3.4", -1, 1, AF_INET6},
        {"1.2.3.4evil.example", -1, -100, 0},
        {"10.0.0.1:80", -1, -100, 0},
        {"10.0.0.1 ", -1, -100, 0},
        {"::1x", -1, -100, 0},
        {"10.0.0.1:80", 8, 1, AF_INET}, // the length given bounds the text
        {"", -1, -2, 0},
    };
    for (const Case& c : cases) {
        ep_sockaddr_t a;
        EXPECT_EQ(sock_addr_parse(c.text, c.len, 80, &a), c.want) << c.text;
        if (c.want == 1) {
            EXPECT_EQ(a.family, c.family) << c.text;
            EXPECT_EQ(sock_addr_port(&a.u.addr), 80) << c.text;
        }
    }
}

TEST(TsockAddr, RecordsStartClearAndChainEachAddressOnce)
{
    ep_sockaddr_t a;
    memset(&a, 0x5A, sizeof(a));  // a stale next must be cleared, not walked
    ASSERT_EQ(sock_addr_parse("2001:db8::7", -1, 53, &a), 1);
    EXPECT_EQ(a.socklen, 28);
    EXPECT_EQ(a.next, nullptr);
    char text[SOCK_ADDR_TEXT_LEN] = "unchanged";
    ASSERT_EQ(sock_addr_ntop(&a.u.addr, text), 0);
    EXPECT_STREQ(text, "2001:db8::7");
    sockaddr_un su{};
    su.sun_family = AF_UNIX;
    EXPECT_EQ(sock_addr_ntop((sockaddr*)&su, text), -1);
    EXPECT_STREQ(text, "2001:db8::7");  // other families leave the text alone

    // Socket type 0 returns every address once per socket type.
    addrinfo hints{};
    addrinfo* res = nullptr;
    ASSERT_EQ(getaddrinfo("localhost", "99", &hints, &res), 0);
    std::set<std::string> distinct, seen;
    for (addrinfo* ai = res; ai; ai = ai->ai_next)
        if (ai->ai_family == AF_INET || ai->ai_family == AF_INET6)
            distinct.insert(std::string((char*)ai->ai_addr, ai->ai_addrlen));
    freeaddrinfo(res);
    memset(&a, 0x5A, sizeof(a));
    ASSERT_EQ(sock_addr_acquire(&a, "localhost", 99, 0), (int)distinct.size());
    for (ep_sockaddr_t* p = &a; p; p = p->next)
        EXPECT_TRUE(seen.insert(std::string((char*)&p->u, p->socklen)).second);
    sock_addr_freenext(&a);
    EXPECT_EQ(a.next, nullptr);
    EXPECT_EQ(sock_addr_acquire(&a, "localhost", 1, 12345), -100);  // bad socket type

    int port = 0;
    EXPECT_EQ(sock_addr_get("127.0.0.1 trailing", 9, 8080, SOCK_STREAM, text, &port, &a), 1);
    EXPECT_STREQ(text, "127.0.0.1");
    EXPECT_EQ(port, 8080);
    std::string longname(3000, 'a');  // cut to 1023 characters, no overrun
    EXPECT_EQ(sock_addr_get(longname.c_str(), -1, 1, 12345, nullptr, nullptr, nullptr), -1);
}

TEST(TsockAddr, SelfAddrMatchesInterfaceTable)
{
    AddrItem items[32] = {};
    int n = get_selfaddr(32, items);
    ifaddrs* ifa = nullptr;
    ASSERT_EQ(getifaddrs(&ifa), 0);
    for (int i = 0; i < n; i++) {
        EXPECT_STRNE(items[i].ifac, "lo");
        int matches = 0;  // the interface's own address and mask
        for (ifaddrs* p = ifa; p; p = p->ifa_next)
            matches += p->ifa_addr && p->ifa_addr->sa_family == AF_INET && !strcmp(p->ifa_name, items[i].ifac) &&
                       ((sockaddr_in*)p->ifa_addr)->sin_addr.s_addr == items[i].addr.u.addr4.sin_addr.s_addr &&
                       ((sockaddr_in*)p->ifa_netmask)->sin_addr.s_addr == items[i].netmask.u.addr4.sin_addr.s_addr;
        EXPECT_EQ(matches, 1) << items[i].ifac;
    }
    freeifaddrs(ifa);
    kmem_fail_after(0);
    EXPECT_EQ(get_selfaddr(4, items), -60);
    kmem_fail_after(-1);
}

// ------------------------------------------------------- options, waits

TEST(TsockOption, SetAppliesSelectedOptionsAndStoresResults)
{
    Fd s(socket(AF_INET, SOCK_STREAM, 0));
    sockopt_t o;
    memset(&o, 0, sizeof(o));
    o.mask = SOCKOPT_SNDBUF | SOCKOPT_RCVTIMEO | SOCKOPT_SNDTIMEO | SOCKOPT_IPV6ONLY | SOCKOPT_NOPUSH;
    o.sndbuf = 65536;
    o.rcvtimeo = 1500;
    o.sndtimeo = 0;  // not above 0: left alone
    o.sndtimeo_ret = 77;
    o.ipv6only = 1;  // fails on an IPv4 socket: reported in its field only
    o.nopush_ret = 55;
    o.keepalive_ret = 66;  // not selected
    EXPECT_EQ(sock_option_set(s, &o), 0);
    EXPECT_EQ(o.sndbuf_ret, 0);
    EXPECT_EQ(o.rcvtimeo_ret, 0);
    EXPECT_EQ(o.sndtimeo_ret, 77);
    EXPECT_EQ(o.ipv6only_ret, -1);
    EXPECT_EQ(o.nopush_ret, 55);
    EXPECT_EQ(o.keepalive_ret, 66);
    timeval tv{};
    socklen_t l = sizeof(tv);
    getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, &l);
    EXPECT_EQ(tv.tv_sec, 1);
    EXPECT_EQ(tv.tv_usec, 500000);
}

TEST(TsockWait, HighDescriptorIsWaitedWithPollLikeALowOne)
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
    for (int fd : {(int)s, high}) {
        SCOPED_TRACE(fd);
        EXPECT_EQ(sock_read_ready(fd, 20), 0);
        EXPECT_EQ(sock_write_ready(fd, 1000), 1);
        EXPECT_EQ(sock_is_open(fd), 1);
        ASSERT_EQ(send(c, "abcd", 4, 0), 4);
        char buf[8];
        int got = -1;
        EXPECT_EQ(tcp_recv(fd, buf, 4, 2000, &got), 4);
        EXPECT_EQ(tcp_recv(fd, buf, 4, 30, &got), 0);  // time-out
        EXPECT_EQ(tcp_send(fd, "wxyz", 4, 2000, &got), 4);
        EXPECT_EQ(read_all(c, 4), std::vector<char>({'w', 'x', 'y', 'z'}));
    }
    EXPECT_EQ(tcp_connected(c), 1);
    close(high);  // a closed descriptor fails, high or low
    int dead = dup(s);
    close(dead);
    for (int fd : {dead, high}) {
        char buf[4];
        int got;
        EXPECT_EQ(sock_is_open(fd), 0);
        EXPECT_EQ(sock_read_ready(fd, 10), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(tcp_recv(fd, buf, 4, 100, &got), -100);
        EXPECT_EQ(tcp_send(fd, "x", 1, 100, &got), -100);
    }
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
    EXPECT_EQ(tcp_nb_recv(s, buf, sizeof(buf), &got), 5);
    EXPECT_EQ(memcmp(buf, "hello", 5), 0);
    EXPECT_EQ(tcp_nb_recv(s, buf, sizeof(buf), &got), -20);
    EXPECT_EQ(got, 0);
}

TEST(TsockTransfer, NbSendToFullBufferReturnsPartialCount)
{
    Fd c, s;
    tcp_pair(c, s, true);
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

TEST(TsockTransfer, TimedRecvGathersCountAndKeepsItOnTimeOutAndClose)
{
    Fd c, s;
    tcp_pair(c, s);
    std::vector<char> buf(1048576);
    int got = -1;
    EXPECT_EQ(tcp_recv(s, buf.data(), 0, 0, &got), 0);  // no count, no limit: no wait
    std::vector<char> data = pattern(300000);
    std::thread writer([&] {
        for (size_t off = 0; off < data.size(); off += 70000)
            send(c, data.data() + off, std::min<size_t>(70000, data.size() - off), 0);
    });
    EXPECT_EQ(tcp_recv(s, buf.data(), (int)data.size(), 10000, &got), (int)data.size());
    writer.join();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));

    ASSERT_EQ(send(c, "abc", 3, 0), 3);
    EXPECT_EQ(tcp_recv(s, buf.data(), 10, 100, &got), 0);  // 3 of 10 came
    EXPECT_EQ(got, 3);
    ASSERT_EQ(send(c, "defg", 4, 0), 4);
    c.reset();
    EXPECT_EQ(tcp_recv(s, buf.data(), 10, 5000, &got), -20);
    EXPECT_EQ(got, 4);
    EXPECT_EQ(memcmp(buf.data(), "defg", 4), 0);
}

TEST(TsockTransfer, WritevWouldBlockKeepsCountAndResumes)
{
    Fd c, s;
    tcp_pair(c, s, true);
    sock_nonblock_set(c, 1);
    std::vector<char> all = pattern(1 << 20);
    iovec iov[3] = {{all.data(), all.size() / 2}, {nullptr, 0}, {all.data() + all.size() / 2, all.size() / 2}};
    int got = -1, err = 0;
    EXPECT_EQ(tcp_writev(c, iov, 3, &got, &err), 0);
    EXPECT_GT(got, 0);
    EXPECT_EQ(err, EAGAIN);
    // The vectors now describe what is left: finish while the peer reads.
    int total = got;
    std::vector<char> received;
    std::thread reader([&] { received = read_all(s, all.size()); });
    while (total < (int)all.size()) {
        ASSERT_EQ(sock_write_ready(c, 5000), 1);
        ASSERT_GE(tcp_writev(c, iov, 3, &got, &err), 0);
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
    EXPECT_EQ(tcp_sendfile(c, f, 99000, 1 << 30, &got, &err), 1000);  // cut at the end
    EXPECT_EQ(read_all(s, 1000), std::vector<char>(data.end() - 1000, data.end()));
    EXPECT_EQ(tcp_sendfile(c, f, 100000, 10, &got, &err), 0);
}

// ------------------------------------------------ listening, connecting

TEST(TsockListen, ShortLocalAddressListensOnAllAddresses)
{
    for (const char* any : {"", "*"}) {
        SCOPED_TRACE(any);
        sockattr_t list[8];
        int num = 8;
        int last = tcp_listen(any, 0, nullptr, list, &num);
        ASSERT_GE(num, 1);
        std::vector<Fd> keep(num);
        bool wildcard4 = false;
        int port = 0;  // of the IPv4 socket: port 0 lets each socket have its own
        for (int i = 0; i < num; i++) {
            keep[i].reset(list[i].fd);
            sockaddr_in sa{};
            socklen_t l = sizeof(sa);
            getsockname(list[i].fd, (sockaddr*)&sa, &l);
            if (sa.sin_family == AF_INET && sa.sin_addr.s_addr == htonl(INADDR_ANY)) {
                wildcard4 = true;
                port = ntohs(sa.sin_port);
            }
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

    sockopt_t o = {};
    o.mask = SOCKOPT_BACKLOG;
    o.backlog = 3;
    num = 1;
    Fd b(tcp_listen("127.0.0.1", 0, &o, list, &num));
    ASSERT_EQ(num, 1);
    EXPECT_EQ(list[0].fd, b.fd);
    // b allowed no reuse: neither the record nor the default options share its port.
    EXPECT_EQ(tcp_listen("127.0.0.1", local_port(b), &o, nullptr, nullptr), -1);
    EXPECT_EQ(tcp_listen("127.0.0.1", local_port(b), nullptr, nullptr, nullptr), -1);
    Fd u(udp_listen("127.0.0.1", 0, nullptr, list, &num));
    EXPECT_EQ(num == 1 ? list[0].socktype : -1, SOCK_DGRAM);
}

TEST(TsockConnect, RefusedNonBlockingResolvedAndLocallyBoundForms)
{
    pumptest::HeldPort closed;  // bound, never listening
    EXPECT_EQ(tcp_connect("127.0.0.1", closed.port, nullptr, 0, nullptr), -1);  // refused
    ep_sockaddr_t dst;  // parsed text carries no socket type
    ASSERT_EQ(sock_addr_parse("127.0.0.1", -1, closed.port, &dst), 1);
    int succ = -1;
    EXPECT_EQ(tcp_ep_connect(&dst, 0, nullptr, 0, nullptr, &succ), -1);

    // Given local ports are fixed numbers, in a network namespace of this
    // thread's own where nothing else can hold them.
    netns::Scope ns;
    ASSERT_TRUE(ns.ok);
    int lport = 40001;
    // A port without an address binds the wildcard address of the
    // connecting socket's own family, for IPv4 and IPv6 alike.
    for (const char* host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        Fd lst(tcp_listen(host, 0, nullptr, nullptr, nullptr));
        if (lst.fd < 0) continue;  // no IPv6 loopback here
        lport++;
        Fd a(tcp_connect(host, local_port(lst), nullptr, lport, nullptr));
        ASSERT_GE(a.fd, 0);
        EXPECT_EQ(local_port(a), lport);
    }
    Fd lst(tcp_listen("127.0.0.1", 0, nullptr, nullptr, nullptr));
    int port = local_port(lst);
    EXPECT_EQ(tcp_connect("127.0.0.1", port, "::1", 0, nullptr), -1);  // other family
    Fd nb(tcp_nb_connect("127.0.0.1", port, nullptr, 0, &succ, nullptr));
    ASSERT_GE(nb.fd, 0);
    EXPECT_EQ(sock_nonblock_get(nb), 1);
    ASSERT_EQ(sock_write_ready(nb, 5000), 1);
    EXPECT_EQ(tcp_connected(nb), 1);

    ASSERT_EQ(sock_addr_parse("127.0.0.1", -1, port, &dst), 1);
    lport++;
    Fd ep(tcp_ep_connect(&dst, 1, "127.0.0.1", lport, nullptr, nullptr));
    ASSERT_GE(ep.fd, 0);
    EXPECT_EQ(local_port(ep), lport);
}
