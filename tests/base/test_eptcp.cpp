#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "base/pumptest.h"
#include "epcore.h"
#include "epdns.h"
#include "eptcp.h"
#include "iodev.h"

using namespace pumptest;

namespace {

/* Accepts in a loop until nothing is pending, echoes what it reads. */
struct Server {
    epcore_t* core = nullptr;
    Latch accepted;
    std::atomic<int> last_retval{0};
};

int server_cb(void* cbpara, void* obj, int event, int)
{
    auto* s = static_cast<Server*>(cbpara);
    auto* dev = static_cast<iodev_t*>(obj);
    if (event == EVT_ACCEPT) {
        int r = 0;
        while (eptcp_accept(s->core, dev, nullptr, &r, server_cb, s, BIND_SELECT)) s->accepted.hit();
        s->last_retval = r;
    } else if (event == EVT_READ) {
        char buf[256];
        for (;;) {
            int got = 0;
            int r = tcp_nb_recv(iodev_fd(dev), buf, sizeof buf, &got);
            if (got > 0) tcp_nb_send(iodev_fd(dev), buf, got, nullptr);
            if (r < 0) {
                iodev_close(dev);
                break;
            }
            if (got < (int)sizeof buf) break;
        }
    }
    return 0;
}

} // namespace

TEST(EpTcp, ListenListensOnTheAddressAndRefusesUnknownBindTypes)
{
    Core c;
    int port = free_tcp_port();
    int r = 1;
    iodev_t* devs[4];
    int num = 4;
    iodev_t* dev = eptcp_listen(c.core, "127.0.0.1", port, nullptr, &r, server_cb, nullptr, BIND_NONE, devs, &num);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(num, 1);
    EXPECT_EQ(devs[0], dev);
    EXPECT_EQ(iodev_fdtype(dev), IODEV_TCP_LISTEN);
    EXPECT_EQ(dev->iostate, IOSTATE_LISTENING);
    EXPECT_STREQ(iodev_lip(dev), "127.0.0.1");
    EXPECT_EQ(iodev_lport(dev), port);
    EXPECT_TRUE(dev->reuseaddr && dev->reuseport && dev->keepalive);
    EXPECT_EQ(epcore_iodev_find(c.core, iodev_id(dev)), dev);

    num = 4;
    EXPECT_EQ(eptcp_listen(c.core, "127.0.0.1", port, nullptr, &r, server_cb, nullptr, BIND_MLISTEN, devs, &num),
              nullptr);
    iodev_close(dev);

    /* A port nobody can bind: no socket listened. */
    num = 4;
    EXPECT_EQ(eptcp_listen_create(c.core, "192.0.2.1", port, nullptr, &r, server_cb, nullptr, devs, &num), nullptr);
    EXPECT_EQ(r, -200);
    EXPECT_EQ(num, 0);
}

/* Edge-triggered polling reports the queued connections once: the accept
 * loop of that one event has to take them all. */
TEST(EpTcp, ABurstOfConnectionsIsDrainedByOneAcceptEvent)
{
    Core c;
    ManualPump mp(c.core);
    Server s;
    s.core = c.core;
    int port = free_tcp_port();
    int r;
    iodev_t* ldev = eptcp_listen(c.core, "127.0.0.1", port, nullptr, &r, server_cb, &s, BIND_SELECT, nullptr, nullptr);
    ASSERT_NE(ldev, nullptr);
    ASSERT_EQ(evpump_iodev_find(mp.pump, iodev_fd(ldev)), ldev);

    std::vector<int> clients;
    for (int i = 0; i < 50; i++) {
        int fd = tcp_client(port);
        ASSERT_GE(fd, 0);
        clients.push_back(fd);
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
    mp.pass(50);
    EXPECT_TRUE(wait_until([&] {
        mp.pass(10);
        return epcore_iodev_tcpnum(c.core) == 0;
    }));
}

TEST(EpTcp, AcceptWithNothingPendingReturnsMinus100)
{
    Core c;
    int port = free_tcp_port();
    int r;
    iodev_t* ldev = eptcp_listen(c.core, "127.0.0.1", port, nullptr, &r, server_cb, nullptr, BIND_NONE, nullptr, nullptr);
    ASSERT_NE(ldev, nullptr);
    r = 0;
    EXPECT_EQ(eptcp_accept(c.core, ldev, nullptr, &r, server_cb, nullptr, BIND_SELECT), nullptr);
    EXPECT_EQ(r, -100);

    int cfd = tcp_client(port);
    ASSERT_TRUE(wait_until([&] { return sock_read_ready(iodev_fd(ldev), 0) == 1; }));
    iodev_t* adev = eptcp_accept(c.core, ldev, nullptr, &r, server_cb, nullptr, BIND_NONE);
    ASSERT_NE(adev, nullptr);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(iodev_fdtype(adev), IODEV_TCP_ACCEPTED);
    EXPECT_STREQ(iodev_rip(adev), "127.0.0.1");
    EXPECT_STREQ(iodev_lip(adev), "127.0.0.1");
    EXPECT_EQ(iodev_lport(adev), port);
    sockaddr_in a{};
    socklen_t l = sizeof a;
    getsockname(cfd, (sockaddr*)&a, &l);
    EXPECT_EQ(iodev_rport(adev), ntohs(a.sin_port));
    EXPECT_EQ(sock_nonblock_get(iodev_fd(adev)), 1);
    close(cfd);
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
} // namespace

TEST(EpTcp, OutboundConnectReportsConnectedWithBothAddresses)
{
    Server s;
    Outcome o;
    Core c;
    s.core = c.core;
    ASSERT_TRUE(start_pumps(c.core, 2));
    int port = free_tcp_port();
    ASSERT_NE(eptcp_mlisten(c.core, "127.0.0.1", port, nullptr, server_cb, &s), nullptr);

    int r = 0;
    iodev_t* dev = eptcp_nb_connect(c.core, "127.0.0.1", port, nullptr, 0, nullptr, &r, client_cb, &o);
    ASSERT_NE(dev, nullptr);
    if (r == -100) {
        ASSERT_TRUE(o.done.wait_for(1));
        EXPECT_EQ(o.event.load(), EVT_CONNECTED);
        EXPECT_EQ(o.rip, "127.0.0.1");
        EXPECT_EQ(o.rport, port);
        EXPECT_EQ(o.lip, "127.0.0.1");
        EXPECT_NE(o.lport, 0);
    } else {
        EXPECT_EQ(r, 0);
    }
    EXPECT_TRUE(s.accepted.wait_for(1));
}

TEST(EpTcp, OutboundConnectToAClosedPortFails)
{
    Outcome o;
    Core c;
    ASSERT_TRUE(start_pumps(c.core, 2));
    int port = free_tcp_port();
    int r = 0;
    iodev_t* dev = eptcp_nb_connect(c.core, "127.0.0.1", port, nullptr, 0, nullptr, &r, client_cb, &o);
    if (dev) {
        EXPECT_EQ(r, -100);
        ASSERT_TRUE(o.done.wait_for(1));
        EXPECT_EQ(o.event.load(), EVT_CONNECT_FAILED);
    } else {
        EXPECT_EQ(r, -30);
    }
}

TEST(EpTcp, NamesWaitForTheResolverAndLiteralsResolveAtOnce)
{
    Server s;
    Outcome o;
    Core c;
    s.core = c.core;
    ASSERT_TRUE(start_pumps(c.core, 2));
    int port = free_tcp_port();
    ASSERT_NE(eptcp_mlisten(c.core, "127.0.0.1", port, nullptr, server_cb, &s), nullptr);

    // The blocking form never resolves; the non-blocking one cannot start a
    // network query yet, so a name fails cleanly instead of blocking a pump.
    int r = 0;
    EXPECT_EQ(eptcp_connect(c.core, "camera.invalid", port, nullptr, 0, nullptr, &r, client_cb, &o), nullptr);
    EXPECT_EQ(r, -30);
    EXPECT_EQ(eptcp_nb_connect(c.core, "camera.invalid", port, nullptr, 0, nullptr, &r, client_cb, &o), nullptr);
    EXPECT_EQ(r, -30);

    // A literal answered by the resolver connects through the callback.
    struct Ctx {
        int status = 0;
    } ctx;
    EXPECT_EQ(dns_query(c.core, "127.0.0.1", -1, [](void* obj, char*, int, void* cache, int status) {
        EXPECT_EQ(cache, nullptr);
        static_cast<Ctx*>(obj)->status = status;
        return 0;
    }, &ctx), 1);
    EXPECT_EQ(ctx.status, 200);
    EXPECT_EQ(dns_query(c.core, "::1", 3, nullptr, nullptr), 2);
    EXPECT_EQ(dns_query(c.core, "", -1, nullptr, nullptr), -3);

    iodev_t* dev = iodev_new(c.core);
    ASSERT_NE(dev, nullptr);
    epcore_iodev_add(c.core, dev);
    dev->fdtype = IODEV_TCP_CONNECTED;
    dev->callback = client_cb;
    dev->cbpara = &o;
    dev->remote_port = (uint16_t)port;
    char name[] = "127.0.0.1";
    EXPECT_EQ(eptcp_connect_dnscb(dev, name, 9, nullptr, 200), 0);
    ASSERT_TRUE(o.done.wait_for(1));
    EXPECT_EQ(o.event.load(), EVT_CONNECTED);
    EXPECT_EQ(o.rip, "127.0.0.1");
    EXPECT_TRUE(s.accepted.wait_for(1));

    // No answer: the handler hears of the failure.
    Outcome failed;
    iodev_t* dev2 = iodev_new(c.core);
    epcore_iodev_add(c.core, dev2);
    dev2->fdtype = IODEV_TCP_CONNECTED;
    dev2->callback = client_cb;
    dev2->cbpara = &failed;
    EXPECT_EQ(eptcp_connect_dnscb(dev2, nullptr, 0, nullptr, 404), -1);
    EXPECT_EQ(failed.event.load(), EVT_CONNECT_FAILED);
    iodev_close(dev2);
}
