// TCP endpoints: listening devices, accepting (a burst drained by one
// edge-triggered event), outbound connects and the resolver's continuation.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "base/dnstest.h"
#include "base/pumptest.h"
#include "epcore.h"
#include "epdns.h"
#include "eptcp.h"
#include "iodev.h"

using namespace pumptest;

TEST(EpTcp, ListenMakesRegisteredListeningDevicesAndRefusesUnknownBindTypes)
{
    Core c;
    int r = 1;
    iodev_t* devs[4];
    int num = 4;
    iodev_t* dev = eptcp_listen(c.core, "127.0.0.1", 0, nullptr, &r, EchoServer::cb, nullptr, BIND_NONE, devs, &num);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(num, 1);
    EXPECT_EQ(dev->iostate, IOSTATE_LISTENING);
    /* Port 0: the device tells the port the kernel chose. */
    int port = iodev_lport(dev);
    ASSERT_NE(port, 0);
    sockaddr_in bound{};
    socklen_t bl = sizeof bound;
    getsockname(iodev_fd(dev), (sockaddr*)&bound, &bl);
    EXPECT_EQ(ntohs(bound.sin_port), port);
    EXPECT_TRUE(dev->reuseaddr && dev->reuseport && dev->keepalive);
    EXPECT_EQ(epcore_iodev_find(c.core, iodev_id(dev)), dev);
    EXPECT_EQ(eptcp_listen(c.core, "127.0.0.1", port, nullptr, &r, EchoServer::cb, nullptr, BIND_MLISTEN, devs, &num),
              nullptr);

    /* Accepting by hand: nothing pending, then one connection. */
    EXPECT_EQ(eptcp_accept(c.core, dev, nullptr, &r, EchoServer::cb, nullptr, BIND_NONE), nullptr);
    EXPECT_EQ(r, -100);
    int cfd = tcp_client(port);
    ASSERT_TRUE(wait_until([&] { return sock_read_ready(iodev_fd(dev), 0) == 1; }));
    iodev_t* adev = eptcp_accept(c.core, dev, nullptr, &r, EchoServer::cb, nullptr, BIND_NONE);
    ASSERT_NE(adev, nullptr);
    EXPECT_EQ(iodev_fdtype(adev), IODEV_TCP_ACCEPTED);
    EXPECT_STREQ(iodev_rip(adev), "127.0.0.1");
    EXPECT_EQ(iodev_lport(adev), port);
    sockaddr_in a{};
    socklen_t l = sizeof a;
    getsockname(cfd, (sockaddr*)&a, &l);
    EXPECT_EQ(iodev_rport(adev), ntohs(a.sin_port));
    EXPECT_EQ(sock_nonblock_get(iodev_fd(adev)), 1);
    close(cfd);
}

/* A listener on every address asking for port 0 answers on one port, the
 * one its first socket was given: a port-0 listener reports a single port. */
TEST(EpTcp, PortZeroOnEveryAddressIsOnePort)
{
    Core c;
    int r = 1;
    iodev_t* devs[8];
    int num = 8;
    ASSERT_NE(eptcp_listen(c.core, "", 0, nullptr, &r, EchoServer::cb, nullptr, BIND_NONE, devs, &num), nullptr);
    ASSERT_GE(num, 1);
    int port = iodev_lport(devs[0]);
    EXPECT_NE(port, 0);
    for (int i = 1; i < num; i++) EXPECT_EQ(iodev_lport(devs[i]), port) << i;
    int fd = tcp_client(port);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
}

/* Edge-triggered polling reports the queued connections once: the accept
 * loop of that one event has to take them all. */
TEST(EpTcp, ABurstOfConnectionsIsDrainedByOneAcceptEvent)
{
    Core c;
    ManualPump mp(c.core);
    EchoServer s;
    s.core = c.core;
    int r;
    iodev_t* ldev = eptcp_listen(c.core, "127.0.0.1", 0, nullptr, &r, EchoServer::cb, &s, BIND_SELECT, nullptr, nullptr);
    ASSERT_NE(ldev, nullptr);
    int port = iodev_lport(ldev);
    ASSERT_EQ(evpump_iodev_find(mp.pump, iodev_fd(ldev)), ldev);

    std::vector<int> clients;
    for (int i = 0; i < 50; i++) {
        clients.push_back(tcp_client(port));
        ASSERT_GE(clients.back(), 0);
    }
    mp.pass();
    EXPECT_EQ(s.accepted.count(), 50);
    EXPECT_EQ(s.last_retval.load(), -100);
    EXPECT_EQ(epcore_iodev_tcpnum(c.core), 50);
    EXPECT_EQ(evpump_iodev_tcpnum(mp.pump), 50);

    /* The accepted devices are served by the pump: an echo comes back. */
    ASSERT_EQ(write(clients[7], "hello", 5), 5);
    mp.pass(100);
    char buf[8] = {0};
    ASSERT_EQ(read(clients[7], buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");

    for (int fd : clients) close(fd);
    EXPECT_TRUE(wait_until([&] {
        mp.pass(10);
        return epcore_iodev_tcpnum(c.core) == 0;
    }));
}

namespace {
struct Outcome {
    Latch done;
    std::atomic<int> event{0};
    std::string lip, rip;
    int lport = 0, rport = 0;
};
int client_cb(void* cbpara, void* obj, int event, int fdtype)
{
    auto* o = static_cast<Outcome*>(cbpara);
    auto* dev = static_cast<iodev_t*>(obj);
    if (event != EVT_CONNECTED && event != EVT_CONNECT_FAILED) return 0;
    EXPECT_EQ(fdtype, IODEV_TCP_CONNECTED);
    o->lip = iodev_lip(dev);
    o->rip = iodev_rip(dev);
    o->lport = iodev_lport(dev);
    o->rport = iodev_rport(dev);
    o->event = event;
    o->done.hit();
    return 0;
}

/* Two pumps and an echo server on every pump. */
struct Peers {
    EchoServer s;
    Core c;
    int port = 0;
    Peers()
    {
        s.core = c.core;
        EXPECT_TRUE(start_pumps(c.core, 2));
        port = mlisten_port(eptcp_mlisten(c.core, "127.0.0.1", 0, nullptr, EchoServer::cb, &s));
        EXPECT_NE(port, 0);
    }
};
} // namespace

TEST(EpTcp, OutboundConnectReportsConnectedWithBothAddressesOrFailed)
{
    Outcome o, refused;
    Peers p;
    int r = 0;
    iodev_t* dev = eptcp_nb_connect(p.c.core, "127.0.0.1", p.port, nullptr, 0, nullptr, &r, client_cb, &o);
    ASSERT_NE(dev, nullptr);
    if (r == -100) {
        ASSERT_TRUE(o.done.wait_for(1));
        EXPECT_EQ(o.event.load(), EVT_CONNECTED);
        EXPECT_EQ(o.rip, "127.0.0.1");
        EXPECT_EQ(o.rport, p.port);
        EXPECT_EQ(o.lip, "127.0.0.1");
        EXPECT_NE(o.lport, 0);
    } else {
        EXPECT_EQ(r, 0);
    }
    EXPECT_TRUE(p.s.accepted.wait_for(1));

    HeldPort closed;
    dev = eptcp_nb_connect(p.c.core, "127.0.0.1", closed.port, nullptr, 0, nullptr, &r, client_cb, &refused);
    if (dev) {
        EXPECT_EQ(r, -100);
        ASSERT_TRUE(refused.done.wait_for(1));
        EXPECT_EQ(refused.event.load(), EVT_CONNECT_FAILED);
    } else {
        EXPECT_EQ(r, -30);
    }
}

TEST(EpTcp, NamesConnectThroughTheResolverAndItsCache)
{
    dnstest::ResolvConf conf; /* before the core: it names no server */
    Outcome o, cached, unknown, failed;
    dnstest::Server dns;
    Peers p;
    ASSERT_TRUE(dns.ok());
    ASSERT_EQ(epcore_dnsrv_add(p.c.core, "127.0.0.1", dns.port), 0);
    int r = 0;
    // The blocking form never resolves.
    EXPECT_EQ(eptcp_connect(p.c.core, "camera.example", p.port, nullptr, 0, nullptr, &r, client_cb, &o), nullptr);
    EXPECT_EQ(r, -30);

    iodev_t* dev = eptcp_nb_connect(p.c.core, "camera.example", p.port, nullptr, 0, nullptr, &r, client_cb, &o);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(r, -101);
    dnstest::Bytes q = dns.next();
    ASSERT_EQ(dnstest::question(q), "camera.example");
    dns.send(dnstest::Msg(dnstest::id_of(q), 0, "camera.example", 1, 0, 0).a("camera.example", "127.0.0.1").b);
    ASSERT_TRUE(o.done.wait_for(1));
    EXPECT_EQ(o.event.load(), EVT_CONNECTED);
    EXPECT_EQ(o.rip, "127.0.0.1");
    EXPECT_TRUE(p.s.accepted.wait_for(1));

    // Known now: connected at once from the cache, without a query.
    dev = eptcp_nb_connect(p.c.core, "CAMERA.example", p.port, nullptr, 0, nullptr, &r, client_cb, &cached);
    ASSERT_NE(dev, nullptr);
    EXPECT_TRUE(r == 0 || r == -100) << r;
    if (r == -100) { /* in progress: the pump reports it */
        ASSERT_TRUE(cached.done.wait_for(1));
        EXPECT_EQ(cached.event.load(), EVT_CONNECTED);
        EXPECT_EQ(cached.rip, "127.0.0.1");
    }
    EXPECT_TRUE(dns.next(0).empty());
    EXPECT_TRUE(p.s.accepted.wait_for(2));

    // A name nobody knows: the handler hears that the connect failed.
    dev = eptcp_nb_connect(p.c.core, "nobody.example", p.port, nullptr, 0, nullptr, &r, client_cb, &unknown);
    ASSERT_NE(dev, nullptr);
    for (int i = 0; i < 3; i++) {
        q = dns.next();
        ASSERT_EQ(dnstest::question(q), "nobody.example");
        dns.send(dnstest::Msg(dnstest::id_of(q), 3, "nobody.example", 0, 0, 0).b);
    }
    ASSERT_TRUE(unknown.done.wait_for(1));
    EXPECT_EQ(unknown.event.load(), EVT_CONNECT_FAILED);
    iodev_close(dev);

    int status = 0;
    EXPECT_EQ(dns_query(p.c.core, "127.0.0.1", -1, [](void* obj, char*, int, void*, int st) {
        return *static_cast<int*>(obj) = st;
    }, &status), 1);
    EXPECT_EQ(status, 200);

    // The resolver's callback connects to a literal, or reports the failure.
    auto pending = [&](Outcome* out) {
        iodev_t* dev = iodev_new(p.c.core);
        epcore_iodev_add(p.c.core, dev);
        dev->fdtype = IODEV_TCP_CONNECTED;
        dev->callback = client_cb;
        dev->cbpara = out;
        dev->remote_port = (uint16_t)p.port;
        return dev;
    };
    char name[] = "127.0.0.1";
    EXPECT_EQ(eptcp_connect_dnscb(pending(&o), name, 9, nullptr, 200), 0);
    ASSERT_TRUE(o.done.wait_for(2));
    EXPECT_EQ(o.event.load(), EVT_CONNECTED);
    EXPECT_EQ(o.rip, "127.0.0.1");
    EXPECT_TRUE(p.s.accepted.wait_for(3));
    dev = pending(&failed);
    EXPECT_EQ(eptcp_connect_dnscb(dev, nullptr, 0, nullptr, 404), -1);
    EXPECT_EQ(failed.event.load(), EVT_CONNECT_FAILED);
    iodev_close(dev);
}
